#include "AdaptorTestSupport.h"

#include <boost/property_tree/json_parser.hpp>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <stdexcept>

using testing::HasSubstr;

namespace {

// hh:mm:ss.mmm at the start of `text`.
bool startsWithTimeOfDay(const std::string& text)
{
    const std::string form = "00:00:00.000";
    if (text.size() < form.size())
        return false;
    for (std::size_t i = 0; i < form.size(); ++i) {
        const bool digit = text[i] >= '0' && text[i] <= '9';
        if (form[i] == '0' ? !digit : text[i] != form[i])
            return false;
    }
    return std::stoi(text.substr(0, 2)) < 24 && std::stoi(text.substr(3, 2)) < 60 &&
           std::stoi(text.substr(6, 2)) < 60;
}

// Connecting writes the last-connected file: each test gets its own folder.
struct SentrelAdaptorWire : testing::Test {
    testsupport::TempWorkingDirectory dir;
};

const std::string kStx = "\x02";
const std::string kEtx = "\x03";

TEST(SentrelAdaptorJson, GetJsonKeyValueReadsPathsNumbersAndBooleans)
{
    SentrelAdaptor adaptor;
    const std::string json =
        "{\"MessageType\":\"StatusData\",\"Message\":{\"battLvlPerc\":87,\"pluggedIn\":true,"
        "\"ssid\":\"ward 3\"}}";
    EXPECT_EQ(adaptor.getJsonKeyValue(json, "MessageType"), "StatusData");
    EXPECT_EQ(adaptor.getJsonKeyValue(json, "Message.battLvlPerc"), "87");
    EXPECT_EQ(adaptor.getJsonKeyValue(json, "Message.pluggedIn"), "true");
    EXPECT_EQ(adaptor.getJsonKeyValue(json, "Message.ssid"), "ward 3");
}

TEST(SentrelAdaptorJson, GetJsonKeyValueReportsMissingKeysAndBadTextWithTwoLines)
{
    SentrelAdaptor adaptor;
    testing::internal::CaptureStderr();
    EXPECT_EQ(adaptor.getJsonKeyValue("{\"MessageType\":\"X\"}", "Message.battLvlPerc"), "");
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(countOf(err, "\n"), 2u) << err;
    EXPECT_THAT(err, testing::StartsWith("SN>ERROR>"));
    EXPECT_THAT(err, HasSubstr("\nError while trying to locate value for key: Message.battLvlPerc\n"));

    testing::internal::CaptureStderr();
    EXPECT_EQ(adaptor.getJsonKeyValue("this is not json", "MessageType"), "");
    err = testing::internal::GetCapturedStderr();
    EXPECT_EQ(countOf(err, "\n"), 2u) << err;
    EXPECT_THAT(err, HasSubstr("Error while trying to locate value for key: MessageType\n"));
}

TEST(SentrelAdaptorJson, PrintJsonIndentsAndBadTextRaises)
{
    SentrelAdaptor adaptor;
    testing::internal::CaptureStdout();
    adaptor.printJson("{\"MessageType\":\"CalList\",\"Message\":{\"calType\":\"SpO2\"}}");
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out,
              "{\n    \"MessageType\": \"CalList\",\n    \"Message\": {\n        \"calType\": "
              "\"SpO2\"\n    }\n}\n\n");
    EXPECT_THROW(adaptor.printJson("{broken"), boost::property_tree::json_parser_error);
    EXPECT_THROW(adaptor.jsonStringToPtree("[1,"), boost::property_tree::json_parser_error);
    EXPECT_EQ(adaptor.jsonStringToPtree("{\"a\":{\"b\":\"c\"}}").get<std::string>("a.b"), "c");
}

TEST(SentrelAdaptorJson, NowStrIsTimeOfDayWithMilliseconds)
{
    SentrelAdaptor adaptor;
    const std::string now = adaptor.now_str();
    EXPECT_EQ(now.size(), 12u);
    EXPECT_TRUE(startsWithTimeOfDay(now)) << now;
}

TEST_F(SentrelAdaptorWire, SendSnCommandFramesAndLogsOnlyInDebugMode)
{
    ScriptedUnitPeer peer("127.0.1.10");
    SentrelAdaptor adaptor;
    ASSERT_TRUE(adaptor.connectIP("", "127.0.1.10", 1));

    testing::internal::CaptureStdout();
    adaptor.sendSnCommand(SentrelAdaptor::kCalSelectPing);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");

    adaptor.enableDebugMode();
    testing::internal::CaptureStdout();
    adaptor.sendSnCommand("{\"MessageType\":\"X\",\"Message\":{}}");
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_TRUE(startsWithTimeOfDay(out)) << out;
    EXPECT_EQ(out.substr(12), ": [{\"MessageType\":\"X\",\"Message\":{}}]\n");

    ASSERT_TRUE(peer.waitForFrames(2));
    const auto frames = peer.received();
    EXPECT_EQ(frames[0].json, SentrelAdaptor::kCalSelectPing);
    EXPECT_EQ(frames[1].json, "{\"MessageType\":\"X\",\"Message\":{}}");
    EXPECT_TRUE(adaptor.checkConnection());
}

TEST_F(SentrelAdaptorWire, TwoFramesInOneWriteAreBothReturned)
{
    ScriptedUnitPeer peer("127.0.1.11");
    peer.setScript([](const std::string&) {
        return std::vector<std::string>{frameUnitMessage("{\"MessageType\":\"A\"}") +
                                        frameUnitMessage("{\"MessageType\":\"B\"}")};
    });
    SentrelAdaptor adaptor;
    ASSERT_TRUE(adaptor.connectIP("", "127.0.1.11", 1));
    testing::internal::CaptureStdout();
    const std::string first = adaptor.sendSnRequest(SentrelAdaptor::kStatusRequestOther);
    const std::string second = adaptor.receiveSNResponse();
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(adaptor.verifyMessage(first), "{\"MessageType\":\"A\"}");
    EXPECT_EQ(adaptor.verifyMessage(second), "{\"MessageType\":\"B\"}");
    EXPECT_EQ(out, "");
}

TEST_F(SentrelAdaptorWire, ReplySplitOverManyWritesComesBackWhole)
{
    ScriptedUnitPeer peer("127.0.1.12");
    const std::string json = "{\"MessageType\":\"StatusData\",\"Message\":{\"note\":\"a\nb\"}}";
    peer.setScript([json](const std::string&) {
        std::vector<std::string> writes;
        for (char c : frameUnitMessage(json))
            writes.emplace_back(1, c);
        return writes;
    });
    SentrelAdaptor adaptor;
    ASSERT_TRUE(adaptor.connectIP("", "127.0.1.12", 1));
    const std::string reply = adaptor.sendSnRequest(SentrelAdaptor::kStatusRequestOther);
    EXPECT_EQ(adaptor.verifyMessage(reply), json);
}

TEST_F(SentrelAdaptorWire, OversizedReplyWithoutEtxRaisesAClearError)
{
    ScriptedUnitPeer peer("127.0.1.13");
    SentrelAdaptor adaptor;
    ASSERT_TRUE(adaptor.connectIP("", "127.0.1.13", 1));
    ASSERT_TRUE(peer.waitForConnections(1));
    peer.send(kStx + std::string(UnitFrameParser::kMaxReplyBytes + 4096, '7'));
    testing::internal::CaptureStdout();
    try {
        adaptor.receiveSNResponse();
        ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_THAT(e.what(), HasSubstr("without ETX"));
    }
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_THAT(out, testing::StartsWith("ERROR: Exception thrown within receiveSNResponse!\n"));
}

TEST_F(SentrelAdaptorWire, SilentUnitTimesOutInsteadOfHanging)
{
    ScriptedUnitPeer peer("127.0.1.14");
    Timing timing;
    timing.replyTimeout = std::chrono::milliseconds(200);
    SentrelAdaptor adaptor(timing);
    ASSERT_TRUE(adaptor.connectIP("", "127.0.1.14", 1));
    testing::internal::CaptureStdout();
    try {
        adaptor.sendSnRequest(SentrelAdaptor::kStatusRequestOther);
        ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_THAT(e.what(), HasSubstr("within 200 ms"));
    }
    testing::internal::GetCapturedStdout();
}

TEST_F(SentrelAdaptorWire, UnitClosingDuringAReadRaises)
{
    ScriptedUnitPeer peer("127.0.1.15");
    SentrelAdaptor adaptor;
    ASSERT_TRUE(adaptor.connectIP("", "127.0.1.15", 1));
    ASSERT_TRUE(peer.waitForConnections(1));
    peer.send(kStx + "0010{\"a\"");
    peer.closeConnection();
    testing::internal::CaptureStdout();
    try {
        adaptor.receiveSNResponse();
        ADD_FAILURE() << "no exception";
    } catch (const boost::system::system_error& e) {
        EXPECT_THAT(e.what(), testing::StartsWith("read_until"));
    }
    testing::internal::GetCapturedStdout();
}

TEST_F(SentrelAdaptorWire, WriteOnBrokenConnectionClearsConnectedAndDoesNotRaise)
{
    ScriptedUnitPeer peer("127.0.1.16");
    SentrelAdaptor adaptor;
    ASSERT_TRUE(adaptor.connectIP("", "127.0.1.16", 1));
    ASSERT_TRUE(peer.waitForConnections(1));
    peer.closeConnection();
    testing::internal::CaptureStdout();
    // The first write after the peer left may still be accepted locally.
    for (int i = 0; i < 50 && adaptor.checkConnection(); ++i) {
        EXPECT_NO_THROW(adaptor.sendPing());
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_FALSE(adaptor.checkConnection());
    EXPECT_THAT(out, HasSubstr("SentrelAdaptor::writeToWire: Error occured! Error code = system:"));
    EXPECT_THAT(out, HasSubstr(". Message: "));
}

TEST(SentrelAdaptorNoLink, WriteWithoutAnySocketIsReportedNotCrashed)
{
    SentrelAdaptor adaptor;
    testing::internal::CaptureStdout();
    EXPECT_NO_THROW(adaptor.sendPing());
    EXPECT_NO_THROW(adaptor.writeToWire(frameUnitMessage(SentrelAdaptor::kCalSelectPing)));
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_FALSE(adaptor.checkConnection());
    EXPECT_EQ(countOf(out, "SentrelAdaptor::writeToWire: Error occured! Error code = system:107. "
                           "Message: Transport endpoint is not connected\n"),
              2u)
        << out;
}

TEST_F(SentrelAdaptorWire, BytesOfAReplacedConnectionAreDropped)
{
    ScriptedUnitPeer peer("127.0.1.17");
    SentrelAdaptor adaptor;
    ASSERT_TRUE(adaptor.connectIP("", "127.0.1.17", 1));
    ASSERT_TRUE(peer.waitForConnections(1));
    // A whole reply and the start of another, then the link is replaced.
    peer.send(frameUnitMessage("{\"n\":1}") + kStx + "0010{\"n\"");
    EXPECT_EQ(adaptor.verifyMessage(adaptor.receiveSNResponse()), "{\"n\":1}");
    ASSERT_TRUE(adaptor.connectIP("", "127.0.1.17", 1));
    ASSERT_TRUE(peer.waitForConnections(2));
    peer.send(frameUnitMessage("{\"n\":2}"));
    EXPECT_EQ(adaptor.verifyMessage(adaptor.receiveSNResponse()), "{\"n\":2}");
}

}  // namespace
