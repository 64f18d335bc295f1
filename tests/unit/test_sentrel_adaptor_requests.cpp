#include "AdaptorTestSupport.h"
#include "Log.h"
#include "UnitJson.h"

#include <boost/property_tree/json_parser.hpp>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <sstream>

using testing::HasSubstr;
using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

namespace {

boost::property_tree::ptree parse(const std::string& json)
{
    std::istringstream in(json);
    boost::property_tree::ptree tree;
    boost::property_tree::read_json(in, tree);
    return tree;
}

std::string typeOf(const std::string& json)
{
    try {
        return parse(json).get<std::string>("MessageType", "");
    } catch (const std::exception&) {
        return "";
    }
}

const std::string kStatusData =
    "{\"MessageType\":\"StatusData\",\"Message\":{\"battLvlPerc\":87,\"pluggedIn\":true}}";
const std::string kUnsolicited = "{\"MessageType\":\"UnitEvent\",\"Message\":{\"event\":\"button\"}}";
const std::string kCalListSpO2 =
    "{\"MessageType\":\"CalList\",\"Message\":{\"calType\":\"SpO2\",\"calNames\":[\"A\",\"B\"]}}";
const std::string kCalListCO2 =
    "{\"MessageType\":\"CalList\",\"Message\":{\"calType\":\"CO2\",\"calNames\":[\"C\"]}}";

struct Requests : testing::Test {
    void open(const std::string& address, const Timing& timing = quickTiming())
    {
        peer = std::make_unique<ScriptedUnitPeer>(address);
        adaptor = std::make_unique<SentrelAdaptor>(timing);
        ASSERT_TRUE(adaptor->connectIP("", address, 1));
    }
    testsupport::TempWorkingDirectory dir;
    std::unique_ptr<ScriptedUnitPeer> peer;
    std::unique_ptr<SentrelAdaptor> adaptor;
};

Timing replyWithin(std::chrono::milliseconds bound)
{
    Timing timing = quickTiming();
    timing.replyTimeout = bound;
    return timing;
}

using SentrelAdaptorRequests = Requests;

TEST_F(SentrelAdaptorRequests, StatusDataOnTheFirstReadReturnsAtOnce)
{
    open("127.0.1.70");
    peer->setScript([](const std::string& json) {
        EXPECT_EQ(json, SentrelAdaptor::kStatusRequestOther);
        return std::vector<std::string>{frameUnitMessage(kStatusData)};
    });
    snlog::Capture capture;
    EXPECT_EQ(adaptor->sendRequestOtherStatus(), kStatusData);
    adaptor->getBattery();
    EXPECT_EQ(capture.out(), "SN>Battery level: 87 plugged in: true\n");
}

TEST_F(SentrelAdaptorRequests, UnsolicitedFrameBeforeTheReplyIsPrintedOnceAndDropped)
{
    open("127.0.1.71");
    peer->setScript([](const std::string&) {
        return std::vector<std::string>{frameUnitMessage(kUnsolicited) + frameUnitMessage(kStatusData)};
    });
    snlog::Capture capture;
    EXPECT_EQ(adaptor->sendRequestOtherStatus(), kStatusData);
    EXPECT_EQ(capture.out(),
              "sendRequestOtherStatus Re-request: Received UnitEvent, looking for StatusData..\n" +
                  kUnsolicited + "\nre-reading incoming messages\n");
    // Nothing was sent again: the loop only reads.
    EXPECT_EQ(peer->received().size(), 1u);
}

TEST_F(SentrelAdaptorRequests, NetworkStatusSkipsOtherTypesAndUnreadableOnes)
{
    open("127.0.1.72");
    const std::string network =
        "{\"MessageType\":\"NetworkStatusData\",\"Message\":{\"ssid\":\"ward\",\"ipAddress\":"
        "\"10.0.0.7\",\"wifiConnected\":true,\"wifiStatus\":\"Success\"}}";
    peer->setScript([&](const std::string& json) {
        EXPECT_EQ(json, SentrelAdaptor::kStatusRequestNetwork);
        return std::vector<std::string>{frameUnitMessage(kStatusData), frameUnitMessage("{\"x\":1}"),
                                        frameUnitMessage(network)};
    });
    snlog::Capture capture;
    EXPECT_EQ(adaptor->sendRequestNetworkStatus(), network);
    const std::string err = capture.err();
    const std::string out = capture.out();
    EXPECT_THAT(out, HasSubstr("sendRequestNetworkStatus Re-request: Received StatusData, looking for "
                               "NetworkStatusData..\n" + kStatusData + "\nre-reading incoming messages\n"));
    EXPECT_THAT(out, HasSubstr("sendRequestNetworkStatus Re-request: Received , looking for "
                               "NetworkStatusData..\n{\"x\":1}\n"));
    EXPECT_THAT(err, HasSubstr("Error while trying to locate value for key: MessageType\n"));
}

TEST_F(SentrelAdaptorRequests, CalibrationListsSkipOtherFramesAndTheWrongType)
{
    open("127.0.1.73");
    peer->setScript([](const std::string& json) {
        const std::string type = parse(json).get<std::string>("Message.calType");
        const std::string own = type == "SpO2" ? kCalListSpO2 : kCalListCO2;
        const std::string other = type == "SpO2" ? kCalListCO2 : kCalListSpO2;
        return std::vector<std::string>{frameUnitMessage(kUnsolicited),
                                        frameUnitMessage(other) + frameUnitMessage(own)};
    });
    snlog::Capture capture;
    EXPECT_EQ(adaptor->sendRequestStoredCalibrationNamesSpO2(), kCalListSpO2);
    std::string out = capture.out();
    EXPECT_EQ(out,
              "sendRequestStoredCalibrationNamesSpO2 Re-request: something other than cal message "
              "received; something else..\n" + kUnsolicited + "\nre-reading incoming messages\n"
              "sendRequestStoredCalibrationNamesSpO2 Re-request: CO2 cal result received by "
              "mistake...\n" + kCalListCO2 + "\nre-reading incoming messages\n");

    capture.clear();
    EXPECT_EQ(adaptor->sendRequestStoredCalibrationNamesCO2(), kCalListCO2);
    out = capture.out();
    EXPECT_THAT(out, HasSubstr("sendRequestStoredCalibrationNamesCO2 Re-request: something other than "
                               "cal message received; something else..\n"));
    EXPECT_THAT(out, HasSubstr("sendRequestStoredCalibrationNamesCO2 Re-request: SpO2 cal result "
                               "received by mistake...\n" + kCalListSpO2 + "\n"));
    const auto frames = peer->received();
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(frames[0].json, SentrelAdaptor::kCalListRequestSpO2);
    EXPECT_EQ(frames[1].json, SentrelAdaptor::kCalListRequestCO2);
}

TEST_F(SentrelAdaptorRequests, UnitThatKeepsSendingOtherTypesCannotHoldTheRequesterForEver)
{
    open("127.0.1.74", replyWithin(milliseconds(300)));
    peer->setScript([](const std::string&) { return std::vector<std::string>{}; });
    std::atomic<bool> stop{false};
    std::thread chatter([&] {
        while (!stop) {
            peer->send(frameUnitMessage(kUnsolicited));
            std::this_thread::sleep_for(milliseconds(20));
        }
    });
    snlog::Capture capture;
    const auto start = Clock::now();
    try {
        adaptor->sendRequestStoredCalibrationNamesSpO2();
        ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_THAT(e.what(), HasSubstr("CalList for SpO2"));
        EXPECT_THAT(e.what(), HasSubstr("300 ms"));
    }
    const auto elapsed = Clock::now() - start;
    stop = true;
    chatter.join();
    EXPECT_GE(elapsed, milliseconds(250));
}

TEST_F(SentrelAdaptorRequests, ReplyFailingTheLengthCheckRaises)
{
    open("127.0.1.75");
    peer->setScript([](const std::string&) {
        return std::vector<std::string>{"\x02" "0099" + kStatusData + "\x03"};
    });
    snlog::Capture capture;
    try {
        adaptor->sendRequestOtherStatus();
        ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "expectedResponseLength does not match actual message length");
    }
    EXPECT_THAT(capture.out(),
                HasSubstr("Expected length: 99 actual length: " + std::to_string(kStatusData.size())));
}

// A unit that joins the network when the credentials match.
struct WifiUnit {
    explicit WifiUnit(ScriptedUnitPeer& peer, std::string ssid, std::string password,
                      bool reportConnected = true)
    {
        peer.setScript([=](const std::string& json) {
            std::vector<std::string> writes;
            const auto tree = parse(json);
            const std::string type = tree.get<std::string>("MessageType");
            if (type == "WifiCredentials") {
                std::lock_guard<std::mutex> lock(mutex);
                seenSsid = tree.get<std::string>("Message.ssid");
                seenPassword = tree.get<std::string>("Message.password");
                members = tree.get_child("Message").size();
                joined = seenSsid == ssid && seenPassword == password;
            } else if (type == "StatusRequest") {
                std::lock_guard<std::mutex> lock(mutex);
                const bool ok = joined;
                writes.push_back(frameUnitMessage(
                    std::string("{\"MessageType\":\"NetworkStatusData\",\"Message\":{\"ssid\":\"") +
                    (ok ? "ward" : "") + "\",\"ipAddress\":\"" + (ok ? "10.1.2.3" : "") +
                    "\",\"wifiConnected\":" + (ok && reportConnected ? "true" : "false") +
                    ",\"wifiStatus\":\"" + (ok ? "Success" : "Failed") + "\"}}"));
            }
            return writes;
        });
    }
    std::mutex mutex;
    bool joined = false;
    std::string seenSsid, seenPassword;
    std::size_t members = 0;
};

TEST_F(SentrelAdaptorRequests, WifiJoinsWithCredentialsThatNeedEscaping)
{
    open("127.0.1.76");
    const std::string password = "p\"a\\ss\",\"x\":\"y";
    WifiUnit unit(*peer, "ward net", password);
    snlog::Capture capture;
    EXPECT_TRUE(adaptor->setWifiCfg("ward net", password.c_str()));
    EXPECT_EQ(capture.out(),
              "Successful connection!\nssid: ward\nipAddress: 10.1.2.3\nwifiConnected: true\n"
              "wifiStatus: Success\n");
    std::lock_guard<std::mutex> lock(unit.mutex);
    EXPECT_EQ(unit.seenSsid, "ward net");
    EXPECT_EQ(unit.seenPassword, password);
    EXPECT_EQ(unit.members, 2u);
}

TEST_F(SentrelAdaptorRequests, WifiWrongPasswordOrNotConnectedIsFailure)
{
    open("127.0.1.77");
    snlog::Capture capture;
    {
        WifiUnit unit(*peer, "ward", "right");
        EXPECT_FALSE(adaptor->setWifiCfg("ward", "wrong"));
        EXPECT_EQ(capture.out(), "");
    }
    {
        WifiUnit unit(*peer, "ward", "right", false);
        capture.clear();
        EXPECT_FALSE(adaptor->setWifiCfg("ward", "right"));
        EXPECT_EQ(capture.out(), "");
    }
}

TEST_F(SentrelAdaptorRequests, WifiWithASilentUnitRaisesWithinTheBound)
{
    open("127.0.1.78", replyWithin(milliseconds(300)));
    snlog::Capture capture;
    try {
        adaptor->setWifiCfg("ward", "pw");
        ADD_FAILURE() << "no exception";
    } catch (const std::runtime_error& e) {
        EXPECT_THAT(e.what(), HasSubstr("no NetworkStatusData from the Sentrel unit within 300 ms"));
    }
    ASSERT_TRUE(peer->waitForFrames(2));
    EXPECT_EQ(typeOf(peer->received()[0].json), "WifiCredentials");
    EXPECT_EQ(peer->received()[1].json, SentrelAdaptor::kStatusRequestNetwork);
}

TEST(SentrelAdaptorWifiText, CredentialsAreEscapedAsJsonStrings)
{
    EXPECT_EQ(unitmsg::wifiCredentialsMessage("ward", "secret"),
              "{\"MessageType\":\"WifiCredentials\",\"Message\":{\"ssid\":\"ward\",\"password\":"
              "\"secret\"}}");
    EXPECT_EQ(unitjson::escapeJsonString("a\"b\\c\nd\te\x01\b\f\r"), "a\\\"b\\\\c\\nd\\te\\u0001\\b\\f\\r");
    EXPECT_EQ(unitjson::escapeJsonString("caf\xc3\xa9"), "caf\xc3\xa9");
    EXPECT_EQ(unitjson::quotedJsonString("a\"b\\c"), "\"a\\\"b\\\\c\"");
    const auto tree = parse(unitmsg::wifiCredentialsMessage("x\",\"y", "\\\"}}"));
    EXPECT_EQ(tree.get<std::string>("Message.ssid"), "x\",\"y");
    EXPECT_EQ(tree.get<std::string>("Message.password"), "\\\"}}");
}

}  // namespace
