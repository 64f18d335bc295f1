// What a client can make the emulated unit keep, and input that used to end
// it: the unit's behaviour fed whole conversations as bytes, and once over
// loopback (127.0.41.x).
#include "Log.h"
#include "SentrelAdaptor.h"
#include "SentrelEmulator.h"
#include "SentrelTestSupport.h"

using namespace std::chrono_literals;
using sntest::RawUnitClient;

namespace {

SentrelUnit::Options quiet()
{
    SentrelUnit::Options o;
    o.udpPort = 0;
    return o;
}

// The bytes the unit writes back to one new connection that sends `bytes`.
std::string serve(SentrelUnit& unit, const std::string& bytes)
{
    UnitSession session;
    return unit.receive(session, bytes).bytes();
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
    SentrelUnit unit(quiet());
    const std::string written = serve(unit, framed({
        message("VitalsData", "\"hr\":72,\"spO2\":-1"),
        SentrelAdaptor::kStatusRequestOther,
        message("CalData", "\"calName\":\"Mine\",\"calType\":\"SpO2\",\"calPts\":[]"),
        SentrelAdaptor::kCalListRequestSpO2,
    }));
    EXPECT_EQ(replies(written),
              (std::vector<std::string>{
                  "{\"MessageType\":\"StatusData\",\"Message\":{\"battLvlPerc\":87,\"pluggedIn\":true}}",
                  "{\"MessageType\":\"CalList\",\"Message\":{\"calType\":\"SpO2\",\"calNames\":[\"Mine\"]}}"}));
    SentrelUnit::VitalValue hr;
    ASSERT_TRUE(unit.vital("hr", hr));
    EXPECT_EQ(hr.text, "72");
    EXPECT_EQ(unit.totalMessageCount(), 4u);
}

TEST(SentrelEmulatorBytes, DeeplyNestedJsonIsAMalformedFrame)
{
    SentrelUnit unit(quiet());
    snlog::Capture capture;
    const std::string written = serve(
        unit, framed({"{\"MessageType\":\"VitalsData\",\"Message\":{\"hr\":" + std::string(65000, '[') + "}}",
                      std::string(200000, '['), SentrelAdaptor::kStatusRequestOther}));
    const std::string err = capture.err();
    EXPECT_EQ(unit.malformedFrameCount(), 2u);
    EXPECT_NE(err.find("nested deeper than 64 levels"), std::string::npos) << err.substr(0, 300);
    EXPECT_EQ(replies(written).size(), 1u);  // the request after them is answered
}

TEST(SentrelEmulatorBytes, EndlessNewNamesAreCountedNotKept)
{
    SentrelUnit unit(quiet());
    std::vector<std::string> frames;
    const std::size_t many = 3 * SentrelUnit::kMaxKeptNames;
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
    {
        snlog::Capture capture;
        serve(unit, framed(frames));
    }

    EXPECT_EQ(unit.vitals().size(), SentrelUnit::kMaxKeptNames + 1);  // and hr
    SentrelUnit::VitalValue hr;
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
    EXPECT_EQ(stored, SentrelUnit::kMaxKeptNames);
    EXPECT_GT(unit.namesNotKept(), 0u);
}

TEST(SentrelEmulatorBytes, TheMessageLogIsBoundedInBytes)
{
    SentrelUnit::Options o = quiet();
    o.messageLogBytes = 10000;
    SentrelUnit unit(o);
    const std::string big = message("CalSelect", "\"pad\":\"" + std::string(3000, 'p') + "\"");
    serve(unit, framed({big, big, big, big, big}));
    const auto log = unit.messageLog();
    ASSERT_EQ(log.size(), 3u);
    const std::string huge = message("CalSelect", "\"pad\":\"" + std::string(20000, 'p') + "\"");
    serve(unit, framed({huge}));
    ASSERT_EQ(unit.messageLog().size(), 1u);  // the newest stays, however big
    EXPECT_EQ(unit.messageLog().back().json, huge);
}

TEST(SentrelEmulatorBytes, AClientThatNeverReadsIsDisconnectedAtTheReplyBound)
{
    SentrelUnit unit(quiet());
    std::string requests;
    const std::string one = frameUnitMessage(SentrelAdaptor::kStatusRequestOther);
    const std::string answer = frameUnitMessage(
        "{\"MessageType\":\"StatusData\",\"Message\":{\"battLvlPerc\":87,\"pluggedIn\":true}}");
    const std::size_t count = SentrelUnit::kMaxPendingReplyBytes / answer.size() + 100;
    for (std::size_t i = 0; i < count; ++i)
        requests += one;
    snlog::Capture capture;
    UnitSession session(7);
    const SentrelUnit::Response response = unit.receive(session, requests);
    const std::string out = capture.out();
    EXPECT_TRUE(response.end);
    EXPECT_TRUE(response.writes.empty());  // the connection ends, nothing more is written
    EXPECT_EQ(unit.receive(session, one).writes.size(), 0u);  // nor is anything read after it
    EXPECT_LT(unit.messageCount("StatusRequest"), count);       // the rest was not read
    EXPECT_NE(out.find("SentrelEmulator> closing connection 7: more than 4194304 reply bytes not read\n"),
              std::string::npos)
        << out.substr(0, 300);

    // A client whose replies are written as they come gets every one.
    UnitSession reader;
    const std::size_t perRead = 1000 * one.size();
    std::size_t answered = 0;
    for (std::size_t at = 0; at < requests.size(); at += perRead) {
        const SentrelUnit::Response r = unit.receive(reader, requests.substr(at, perRead));
        ASSERT_FALSE(r.end);
        answered += r.writes.size();
        reader.wrote(r.bytes().size());
    }
    EXPECT_EQ(answered, count);
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
