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

TEST(UdpAnswerAccumulator, EachSenderGathersItsOwnAnswer)
{
    UdpAnswerAccumulator acc;
    std::string answer, error;
    EXPECT_EQ(acc.add("10.0.0.1:14997", "ab", 2, false, answer, error), UdpAnswerAccumulator::Status::NeedMore);
    EXPECT_EQ(acc.add("10.0.0.2:14997", "xy", 2, false, answer, error), UdpAnswerAccumulator::Status::NeedMore);
    ASSERT_EQ(acc.add("10.0.0.1:14997", "c@", 2, false, answer, error), UdpAnswerAccumulator::Status::Answer);
    EXPECT_EQ(answer, "abc@");
    ASSERT_EQ(acc.add("10.0.0.2:14997", "z@", 2, false, answer, error), UdpAnswerAccumulator::Status::Answer);
    EXPECT_EQ(answer, "xyz@");
    EXPECT_EQ(acc.buffered(), 0u);

    // Senders with an unfinished answer are bounded; a finished one makes room.
    for (std::size_t i = 0; i < UdpAnswerAccumulator::kMaxSenders; ++i)
        EXPECT_EQ(acc.add("s" + std::to_string(i), "a", 1, false, answer, error),
                  UdpAnswerAccumulator::Status::NeedMore);
    ASSERT_EQ(acc.add("one more", "a", 1, false, answer, error), UdpAnswerAccumulator::Status::Error);
    EXPECT_EQ(error, "UDP answers from more than 16 senders at once; datagram from one more dropped");
    EXPECT_EQ(acc.add("s0", "@", 1, false, answer, error), UdpAnswerAccumulator::Status::Answer);
    EXPECT_EQ(acc.add("one more", "a", 1, false, answer, error), UdpAnswerAccumulator::Status::NeedMore);
}

TEST(UdpAnswerAccumulator, ACutDatagramIsRefusedWholeWithItsSendersUnfinishedAnswer)
{
    UdpAnswerAccumulator acc;
    std::string answer, error;
    acc.add("u", "start", 5, false, answer, error);
    acc.add("v", "other", 5, false, answer, error);
    const std::string cut(250, 'x');
    ASSERT_EQ(acc.add("u", cut.data(), cut.size(), true, answer, error), UdpAnswerAccumulator::Status::Error);
    EXPECT_EQ(error, "UDP datagram from u longer than the receive buffer dropped");
    ASSERT_EQ(acc.add("u", "next@", 5, false, answer, error), UdpAnswerAccumulator::Status::Answer);
    EXPECT_EQ(answer, "next@");  // no fragment in front of it
    ASSERT_EQ(acc.add("v", "@", 1, false, answer, error), UdpAnswerAccumulator::Status::Answer);
    EXPECT_EQ(answer, "other@");  // another sender keeps its own
}

TEST(UdpAnswerAccumulator, ClearForgetsEveryUnfinishedAnswer)
{
    UdpAnswerAccumulator acc;
    std::string answer, error;
    acc.add("u", "stale", 5, false, answer, error);
    acc.add("v", "old", 3, false, answer, error);
    acc.clear();
    EXPECT_EQ(acc.buffered(), 0u);
    ASSERT_EQ(acc.add("u", "fresh@", 6, false, answer, error), UdpAnswerAccumulator::Status::Answer);
    EXPECT_EQ(answer, "fresh@");
}

}  // namespace
