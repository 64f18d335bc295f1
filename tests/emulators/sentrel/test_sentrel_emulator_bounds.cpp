// What a client can make the emulated unit keep, and input that used to end
// it: through the socket-free entry (whole conversations as bytes) and once
// over loopback (127.0.41.x).
#include "SentrelEmulator.h"
#include "SentrelAdaptor.h"
#include "SentrelTestSupport.h"

using namespace std::chrono_literals;
using sntest::RawUnitClient;

namespace {

SentrelEmulator::Options quiet()
{
    SentrelEmulator::Options o;
    o.udpPort = 0;
    return o;
}

std::string framed(const std::vector<std::string>& jsonTexts)
{
    std::string bytes;
    for (const std::string& json : jsonTexts)
        bytes += frameUnitMessage(json);
    return bytes;
}

// The JSON texts of the frames in `bytes`.
std::vector<std::string> replies(const std::string& bytes)
{
    UnitFrameParser parser;
    parser.append(bytes.data(), bytes.size());
    std::vector<std::string> texts;
    std::string reply, error;
    while (parser.next(reply, error) == UnitFrameParser::Status::Frame)
        texts.push_back(verifyUnitReply(reply));
    EXPECT_EQ(parser.buffered(), 0u);
    return texts;
}

std::string message(const std::string& type, const std::string& members)
{
    return "{\"MessageType\":\"" + type + "\",\"Message\":{" + members + "}}";
}

TEST(SentrelEmulatorBytes, AnswersAConversationWithoutASocket)
{
    SentrelEmulator unit(quiet());
    const std::string written = unit.serveBytes(framed({
        message("VitalsData", "\"hr\":72,\"spO2\":-1"),
        SentrelAdaptor::kStatusRequestOther,
        message("CalData", "\"calName\":\"Mine\",\"calType\":\"SpO2\",\"calPts\":[]"),
        SentrelAdaptor::kCalListRequestSpO2,
    }));
    EXPECT_EQ(replies(written),
              (std::vector<std::string>{
                  "{\"MessageType\":\"StatusData\",\"Message\":{\"battLvlPerc\":87,\"pluggedIn\":true}}",
                  "{\"MessageType\":\"CalList\",\"Message\":{\"calType\":\"SpO2\",\"calNames\":[\"Mine\"]}}"}));
    SentrelEmulator::VitalValue hr;
    ASSERT_TRUE(unit.vital("hr", hr));
    EXPECT_EQ(hr.text, "72");
    EXPECT_EQ(unit.totalMessageCount(), 4u);
    EXPECT_THROW(
        {
            SentrelEmulator::Options o = quiet();
            o.address = "127.0.41.1";
            SentrelEmulator running(o);
            running.start();
            running.serveBytes("");
        },
        std::logic_error);
}

TEST(SentrelEmulatorBytes, DeeplyNestedJsonIsAMalformedFrame)
{
    SentrelEmulator unit(quiet());
    testing::internal::CaptureStderr();
    const std::string written = unit.serveBytes(
        framed({"{\"MessageType\":\"VitalsData\",\"Message\":{\"hr\":" + std::string(65000, '[') + "}}",
                std::string(200000, '['), SentrelAdaptor::kStatusRequestOther}));
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(unit.malformedFrameCount(), 2u);
    EXPECT_NE(err.find("nested deeper than 64 levels"), std::string::npos) << err.substr(0, 300);
    EXPECT_EQ(replies(written).size(), 1u);  // the request after them is answered
}

TEST(SentrelEmulatorBytes, EndlessNewNamesAreCountedNotKept)
{
    SentrelEmulator unit(quiet());
    std::vector<std::string> frames;
    const std::size_t many = 3 * SentrelEmulator::kMaxKeptNames;
    for (std::size_t i = 0; i < many; ++i) {
        const std::string n = std::to_string(i);
        frames.push_back(message("VitalsData", "\"v" + n + "\":1"));
        frames.push_back(message("WaveformData", "\"w" + n + "\":[1,2]"));
        frames.push_back(message("Type" + n, ""));
        frames.push_back(message("CalData", "\"calName\":\"c" + n + "\",\"calType\":\"t" + n + "\""));
        frames.push_back(message("CalData", "\"calName\":\"c" + n + "\",\"calType\":\"SpO2\""));
        frames.push_back(message("CalRemove", "\"calName\":\"c\",\"calType\":\"r" + n + "\""));
    }
    // The bridge's own names still count after the junk.
    frames.push_back(message("VitalsData", "\"hr\":60"));
    frames.push_back(message("WaveformData", "\"abp\":[5]"));
    frames.push_back(message("CalSelect", ""));
    testing::internal::CaptureStderr();
    unit.serveBytes(framed(frames));
    testing::internal::GetCapturedStderr();

    EXPECT_EQ(unit.vitals().size(), SentrelEmulator::kMaxKeptNames + 1);  // and hr
    SentrelEmulator::VitalValue hr;
    ASSERT_TRUE(unit.vital("hr", hr));
    EXPECT_EQ(hr.text, "60");
    EXPECT_EQ(unit.sampleCount("abp"), 1u);
    EXPECT_EQ(unit.sampleCount("w" + std::to_string(many - 1)), 0u);
    EXPECT_EQ(unit.messageCount("CalSelect"), 1u);
    EXPECT_EQ(unit.messageCount("Type" + std::to_string(many - 1)), 0u);
    EXPECT_EQ(unit.totalMessageCount(), frames.size());  // every message still counts in the total

    std::size_t stored = unit.calibrationNames("SpO2").size();
    for (std::size_t i = 0; i < many; ++i)
        stored += unit.calibrationNames("t" + std::to_string(i)).size();
    EXPECT_EQ(stored, SentrelEmulator::kMaxKeptNames);
    EXPECT_GT(unit.namesNotKept(), 0u);
}

TEST(SentrelEmulatorBytes, TheMessageLogIsBoundedInBytes)
{
    SentrelEmulator::Options o = quiet();
    o.messageLogBytes = 10000;
    SentrelEmulator unit(o);
    const std::string big = message("CalSelect", "\"pad\":\"" + std::string(3000, 'p') + "\"");
    unit.serveBytes(framed({big, big, big, big, big}));
    const auto log = unit.messageLog();
    ASSERT_EQ(log.size(), 3u);
    const std::string huge = message("CalSelect", "\"pad\":\"" + std::string(20000, 'p') + "\"");
    unit.serveBytes(framed({huge}));
    ASSERT_EQ(unit.messageLog().size(), 1u);  // the newest stays, however big
    EXPECT_EQ(unit.messageLog().back().json, huge);
}

TEST(SentrelEmulatorBytes, AClientThatNeverReadsIsDisconnectedAtTheReplyBound)
{
    SentrelEmulator unit(quiet());
    std::string requests;
    const std::string one = frameUnitMessage(SentrelAdaptor::kStatusRequestOther);
    const std::string answer = frameUnitMessage(
        "{\"MessageType\":\"StatusData\",\"Message\":{\"battLvlPerc\":87,\"pluggedIn\":true}}");
    const std::size_t count = SentrelEmulator::kMaxPendingReplyBytes / answer.size() + 100;
    for (std::size_t i = 0; i < count; ++i)
        requests += one;
    testing::internal::CaptureStdout();
    const std::string written = unit.serveBytes(requests);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_GT(written.size(), SentrelEmulator::kMaxPendingReplyBytes);
    EXPECT_LE(written.size(), SentrelEmulator::kMaxPendingReplyBytes + answer.size());
    EXPECT_LT(unit.messageCount("StatusRequest"), count);  // the rest was not read
    EXPECT_NE(out.find("reply bytes not read"), std::string::npos) << out;
}

TEST(SentrelEmulatorBounds, SurvivesDeepNestingOverTheWire)
{
    SentrelEmulator::Options o = quiet();
    o.address = "127.0.41.2";
    SentrelEmulator unit(o);
    unit.start();
    RawUnitClient raw("127.0.41.2");
    raw.sendJson(std::string(200000, '['));
    ASSERT_TRUE(unit.waitForMalformedCount(1, 5s));
    raw.sendJson(SentrelAdaptor::kStatusRequestOther);
    EXPECT_NE(raw.readFrame().find("\"StatusData\""), std::string::npos);
}

}  // namespace
