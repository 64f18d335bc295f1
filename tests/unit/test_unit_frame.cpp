#include "UnitFrame.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

namespace {

const std::string kStx = "\x02";
const std::string kEtx = "\x03";

TEST(UnitFrame, LengthIsPaddedToFourDigitsAndGrowsBeyond)
{
    EXPECT_EQ(frameUnitMessage("{\"a\"}"), kStx + "0005{\"a\"}" + kEtx);
    const std::string json72(72, 'x');
    EXPECT_EQ(frameUnitMessage(json72), kStx + "0072" + json72 + kEtx);
    const std::string big(12345, 'y');
    EXPECT_EQ(frameUnitMessage(big), kStx + "12345" + big + kEtx);
    EXPECT_EQ(frameUnitMessage(""), kStx + "0000" + kEtx);
}

TEST(UnitFrameParser, TwoFramesInOneReadComeBackInOrder)
{
    UnitFrameParser parser;
    const std::string bytes = frameUnitMessage("{\"n\":1}") + frameUnitMessage("{\"n\":2}");
    parser.append(bytes.data(), bytes.size());
    std::string reply, error;
    ASSERT_EQ(parser.next(reply, error), UnitFrameParser::Status::Frame);
    EXPECT_EQ(reply, "0007{\"n\":1}");
    ASSERT_EQ(parser.next(reply, error), UnitFrameParser::Status::Frame);
    EXPECT_EQ(reply, "0007{\"n\":2}");
    EXPECT_EQ(parser.next(reply, error), UnitFrameParser::Status::NeedMore);
    EXPECT_EQ(parser.buffered(), 0u);
}

TEST(UnitFrameParser, OneFrameOverManyReadsAndTheStartOfTheNext)
{
    UnitFrameParser parser;
    const std::string first = frameUnitMessage("{\"text\":\"line1\nline2\"}");
    const std::string second = frameUnitMessage("{\"b\":true}");
    const std::string bytes = first + second.substr(0, 3);
    std::string reply, error;
    for (std::size_t i = 0; i + 1 < first.size(); ++i) {
        parser.append(&bytes[i], 1);
        ASSERT_EQ(parser.next(reply, error), UnitFrameParser::Status::NeedMore) << i;
    }
    parser.append(bytes.data() + first.size() - 1, bytes.size() - first.size() + 1);
    ASSERT_EQ(parser.next(reply, error), UnitFrameParser::Status::Frame);
    // Cut at ETX, not at the line feed inside the JSON text.
    EXPECT_EQ(reply, first.substr(1, first.size() - 2));
    EXPECT_EQ(parser.next(reply, error), UnitFrameParser::Status::NeedMore);
    EXPECT_EQ(parser.buffered(), 3u);
    parser.append(second.data() + 3, second.size() - 3);
    ASSERT_EQ(parser.next(reply, error), UnitFrameParser::Status::Frame);
    EXPECT_EQ(reply, "0010{\"b\":true}");
}

TEST(UnitFrameParser, ReplyWithoutEtxIsBoundedAndReported)
{
    UnitFrameParser parser;
    std::string reply, error;
    parser.append(kStx.data(), 1);
    const std::string chunk(64 * 1024, 'z');
    UnitFrameParser::Status status = UnitFrameParser::Status::NeedMore;
    std::size_t appended = 1;
    while (status == UnitFrameParser::Status::NeedMore && appended < 4 * UnitFrameParser::kMaxReplyBytes) {
        parser.append(chunk.data(), chunk.size());
        appended += chunk.size();
        status = parser.next(reply, error);
        EXPECT_LE(parser.buffered(), UnitFrameParser::kMaxReplyBytes + 2 + chunk.size());
    }
    ASSERT_EQ(status, UnitFrameParser::Status::Error);
    EXPECT_NE(error.find("without ETX"), std::string::npos) << error;
    EXPECT_EQ(error.find('\n'), std::string::npos);
    EXPECT_LE(appended, UnitFrameParser::kMaxReplyBytes + 2 + chunk.size());
    EXPECT_EQ(parser.buffered(), 0u);

    // The rest of the oversized frame is dropped as stray bytes; a following
    // frame still comes through.
    const std::string rest = "zzzz" + kEtx + frameUnitMessage("{}");
    parser.append(rest.data(), rest.size());
    EXPECT_EQ(parser.next(reply, error), UnitFrameParser::Status::Error);
    ASSERT_EQ(parser.next(reply, error), UnitFrameParser::Status::Frame);
    EXPECT_EQ(reply, "0002{}");
}

TEST(UnitFrameParser, LargestAcceptedFrameStillPasses)
{
    UnitFrameParser parser;
    const std::string json(UnitFrameParser::kMaxReplyBytes - 7, 'q');
    const std::string bytes = frameUnitMessage(json);
    parser.append(bytes.data(), bytes.size());
    std::string reply, error;
    ASSERT_EQ(parser.next(reply, error), UnitFrameParser::Status::Frame) << error;
    EXPECT_EQ(reply.size(), UnitFrameParser::kMaxReplyBytes);
}

TEST(UnitFrameParser, StrayBytesAndCutFramesAreErrorsThenParsingGoesOn)
{
    UnitFrameParser parser;
    const std::string bytes = "junk" + kStx + "0009{\"cut\":" + frameUnitMessage("{\"ok\":1}");
    parser.append(bytes.data(), bytes.size());
    std::string reply, error;
    ASSERT_EQ(parser.next(reply, error), UnitFrameParser::Status::Error);
    EXPECT_NE(error.find("4 bytes outside a frame"), std::string::npos) << error;
    ASSERT_EQ(parser.next(reply, error), UnitFrameParser::Status::Error);
    EXPECT_NE(error.find("cut off"), std::string::npos) << error;
    ASSERT_EQ(parser.next(reply, error), UnitFrameParser::Status::Frame);
    EXPECT_EQ(reply, "0008{\"ok\":1}");
}

TEST(UnitFrameParser, ClearDropsBufferedBytes)
{
    UnitFrameParser parser;
    const std::string half = frameUnitMessage("{\"a\":1}").substr(0, 6);
    parser.append(half.data(), half.size());
    EXPECT_EQ(parser.buffered(), 6u);
    parser.clear();
    EXPECT_EQ(parser.buffered(), 0u);
    const std::string whole = frameUnitMessage("{\"b\":2}");
    parser.append(whole.data(), whole.size());
    std::string reply, error;
    ASSERT_EQ(parser.next(reply, error), UnitFrameParser::Status::Frame);
    EXPECT_EQ(reply, "0007{\"b\":2}");
}

TEST(UnitFrameParser, BytesSearchedInAnEarlierCallStillCountWhenTheFrameIsCut)
{
    // The parser goes on from where its last search stopped; an STX that
    // arrives in a later read still cuts the frame it interrupts.
    UnitFrameParser parser;
    std::string reply, error;
    const std::string pieces[] = {kStx, "00", "0", "9{\"cu"};
    for (const std::string& piece : pieces) {
        parser.append(piece.data(), piece.size());
        ASSERT_EQ(parser.next(reply, error), UnitFrameParser::Status::NeedMore) << piece;
    }
    const std::string rest = "t\"" + frameUnitMessage("{}");
    parser.append(rest.data(), rest.size());
    ASSERT_EQ(parser.next(reply, error), UnitFrameParser::Status::Error);
    EXPECT_NE(error.find("unit frame of 10 bytes cut off"), std::string::npos) << error;
    ASSERT_EQ(parser.next(reply, error), UnitFrameParser::Status::Frame);
    EXPECT_EQ(reply, "0002{}");
    EXPECT_EQ(parser.buffered(), 0u);
}

TEST(UnitFrameParser, ManyFramesInOneReadThenTheRestOfAHalfFrame)
{
    UnitFrameParser parser;
    std::string bytes;
    for (int i = 0; i < 5000; ++i)
        bytes += frameUnitMessage("{\"n\":" + std::to_string(i) + "}");
    const std::string last = frameUnitMessage("{\"last\":true}");
    bytes += last.substr(0, 7);
    parser.append(bytes.data(), bytes.size());
    std::string reply, error;
    for (int i = 0; i < 5000; ++i) {
        ASSERT_EQ(parser.next(reply, error), UnitFrameParser::Status::Frame) << i;
        ASSERT_EQ(verifyUnitReply(reply), "{\"n\":" + std::to_string(i) + "}");
    }
    EXPECT_EQ(parser.next(reply, error), UnitFrameParser::Status::NeedMore);
    EXPECT_EQ(parser.buffered(), 7u);
    parser.append(last.data() + 7, last.size() - 7);
    ASSERT_EQ(parser.next(reply, error), UnitFrameParser::Status::Frame);
    EXPECT_EQ(verifyUnitReply(reply), "{\"last\":true}");
    EXPECT_EQ(parser.buffered(), 0u);
}

TEST(VerifyUnitReply, MatchingLengthReturnsJson)
{
    const std::string json(72, 'j');
    EXPECT_EQ(verifyUnitReply("0072" + json), json);
    const std::string big(12345, 'k');
    EXPECT_EQ(verifyUnitReply("12345" + big), big);
    // All digits count, not only the first four.
    const std::string json10000(10000, 'm');
    EXPECT_EQ(verifyUnitReply("10000" + json10000), json10000);
}

TEST(VerifyUnitReply, MismatchWarnsAndThrows)
{
    testing::internal::CaptureStdout();
    try {
        verifyUnitReply("0072" + std::string(71, 'j'));
        ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "expectedResponseLength does not match actual message length");
    }
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out,
              "Warning: Some stuff didn't get transmitted correctly. Expected length: 72 actual "
              "length: 71\n");
}

TEST(VerifyUnitReply, MissingOrZeroOrHugeLengthFieldIsRejected)
{
    EXPECT_THROW(verifyUnitReply("{\"a\":1}"), std::invalid_argument);
    EXPECT_THROW(verifyUnitReply("0000"), std::invalid_argument);
    EXPECT_THROW(verifyUnitReply(""), std::invalid_argument);
    testing::internal::CaptureStdout();
    EXPECT_THROW(verifyUnitReply("99999999999999999999999{}"), std::runtime_error);
    testing::internal::GetCapturedStdout();
}

}  // namespace
