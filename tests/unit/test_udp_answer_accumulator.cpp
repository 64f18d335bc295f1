#include "UdpAnswerAccumulator.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

// Feeds each datagram in turn; returns the answers and errors that came out.
struct Fed {
    std::vector<std::string> answers;
    std::vector<std::string> errors;
};

Fed feed(UdpAnswerAccumulator& acc, const std::vector<std::string>& datagrams)
{
    Fed fed;
    for (const std::string& d : datagrams) {
        std::string answer, error;
        switch (acc.add(d.data(), d.size(), answer, error)) {
        case UdpAnswerAccumulator::Status::Answer:
            fed.answers.push_back(answer);
            break;
        case UdpAnswerAccumulator::Status::Error:
            fed.errors.push_back(error);
            break;
        case UdpAnswerAccumulator::Status::NeedMore:
            break;
        }
    }
    return fed;
}

TEST(UdpAnswerAccumulator, AnAnswerSpansDatagramsAndEndsAtTheFirstAt)
{
    UdpAnswerAccumulator acc;
    Fed fed = feed(acc, {"ab", "c@", "x@y", "z@"});
    EXPECT_EQ(fed.answers, (std::vector<std::string>{"abc@", "x@", "z@"}));  // the y was dropped
    EXPECT_TRUE(fed.errors.empty());
    EXPECT_EQ(acc.buffered(), 0u);
}

TEST(UdpAnswerAccumulator, TextEndsAtTheFirstNulOfADatagram)
{
    UdpAnswerAccumulator acc;
    Fed fed = feed(acc, {std::string("ab\0@", 4), std::string("c@\0", 3), std::string("\0@", 2), "@"});
    EXPECT_EQ(fed.answers, (std::vector<std::string>{"abc@", "@"}));
}

TEST(UdpAnswerAccumulator, AnAnswerThatNeverEndsIsDroppedAtItsCapAndTheNextComesThrough)
{
    UdpAnswerAccumulator acc;
    const std::string chunk(250, 'a');
    std::vector<std::string> datagrams(UdpAnswerAccumulator::kMaxAnswerBytes / chunk.size(), chunk);
    Fed fed = feed(acc, datagrams);
    EXPECT_TRUE(fed.errors.empty());  // at most the cap is still held
    EXPECT_LE(acc.buffered(), UdpAnswerAccumulator::kMaxAnswerBytes);

    fed = feed(acc, {chunk, "ok@"});
    ASSERT_EQ(fed.errors.size(), 1u);
    EXPECT_EQ(fed.errors[0], "UDP answer longer than 65536 bytes without '@' dropped");
    EXPECT_EQ(fed.answers, (std::vector<std::string>{"ok@"}));

    // An answer ending in the datagram that takes it past the cap still counts.
    datagrams.assign(UdpAnswerAccumulator::kMaxAnswerBytes / chunk.size(), chunk);
    datagrams.push_back(chunk + "@");
    fed = feed(acc, datagrams);
    ASSERT_EQ(fed.answers.size(), 1u);
    EXPECT_GT(fed.answers[0].size(), UdpAnswerAccumulator::kMaxAnswerBytes);
}

}  // namespace
