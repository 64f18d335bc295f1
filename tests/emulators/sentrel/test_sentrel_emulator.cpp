// The emulated unit, driven through the real SentrelAdaptor and through raw
// sockets on loopback (127.0.2.x, one address per test).
#include "EmulatedUnit.h"
#include "Log.h"
#include "SentrelEmulator.h"
#include "SentrelAdaptor.h"
#include "SentrelTestSupport.h"

#include <boost/property_tree/json_parser.hpp>

#include "ChildProcess.h"
#include "MonitorTestSupport.h"
#include "TestSupport.h"

#include <csignal>
#include <ctime>
#include <optional>

using namespace std::chrono_literals;
using sntest::RawUnitClient;
using testsupport::unitOptions;
namespace pt = boost::property_tree;

namespace {

std::vector<std::string> calNames(const std::string& calListJson)
{
    std::istringstream in(calListJson);
    pt::ptree tree;
    pt::read_json(in, tree);
    std::vector<std::string> names;
    for (const auto& item : tree.get_child("Message.calNames"))
        names.push_back(item.second.data());
    return names;
}

std::string calData(const std::string& type, const std::string& name, const std::string& points)
{
    return "{\"MessageType\":\"CalData\",\"Message\":{\"calName\":\"" + name + "\",\"calType\":\"" + type +
           "\",\"calPts\":[" + points + "]}}";
}

std::string calRemove(const std::string& type, const std::string& name)
{
    return "{\"MessageType\":\"CalRemove\",\"Message\":{\"calName\":\"" + name + "\",\"calType\":\"" + type +
           "\"}}";
}

// Replies within 3 s unless a test says otherwise.
Timing linkTiming(std::chrono::milliseconds replyTimeout = 3000ms)
{
    Timing timing;
    timing.replyTimeout = replyTimeout;
    return timing;
}

// An emulator and an adaptor that talks to it, in a fresh directory.
struct Linked {
    Linked(const SentrelEmulator::Options& o, const Timing& timing)
        : emulator(o), address(o.address), adaptor(timing)
    {
        emulator.start();
    }
    bool connect() { return adaptor.connectIP("", address, 3); }

    testsupport::TempWorkingDirectory dir;
    SentrelEmulator emulator;
    std::string address;
    SentrelAdaptor adaptor;
};

std::unique_ptr<Linked> makeLinked(const SentrelEmulator::Options& o, const Timing& timing = linkTiming())
{
    return std::make_unique<Linked>(o, timing);
}

}  // namespace

TEST(SentrelEmulator, AnswersStatusAndNetworkStatusThroughTheAdaptor)
{
    auto o = unitOptions("127.0.2.1");
    o.batteryLevel = 55;
    o.pluggedIn = false;
    auto l = makeLinked(o);
    ASSERT_TRUE(l->connect());

    std::string status = l->adaptor.sendRequestOtherStatus();
    EXPECT_EQ(l->adaptor.getJsonKeyValue(status, "MessageType"), "StatusData");
    EXPECT_EQ(l->adaptor.getJsonKeyValue(status, "Message.battLvlPerc"), "55");
    EXPECT_EQ(l->adaptor.getJsonKeyValue(status, "Message.pluggedIn"), "false");

    l->emulator.setBattery(90, true);
    status = l->adaptor.sendRequestOtherStatus();
    EXPECT_EQ(l->adaptor.getJsonKeyValue(status, "Message.battLvlPerc"), "90");
    EXPECT_EQ(l->adaptor.getJsonKeyValue(status, "Message.pluggedIn"), "true");

    std::string network = l->adaptor.sendRequestNetworkStatus();
    EXPECT_EQ(l->adaptor.getJsonKeyValue(network, "MessageType"), "NetworkStatusData");
    EXPECT_EQ(l->adaptor.getJsonKeyValue(network, "Message.wifiConnected"), "false");
    EXPECT_EQ(l->adaptor.getJsonKeyValue(network, "Message.wifiStatus"), "NotConfigured");
    EXPECT_EQ(l->adaptor.getJsonKeyValue(network, "Message.ipAddress"), "");

    EXPECT_EQ(l->emulator.messageCount("StatusRequest"), 3u);
    EXPECT_EQ(l->emulator.connectionCount(), 1u);
    ASSERT_FALSE(l->emulator.messageLog().empty());
    EXPECT_EQ(l->emulator.messageLog().back().json, SentrelAdaptor::kStatusRequestNetwork);
}

TEST(SentrelEmulator, StoresCalibrationsAndListsThemPerType)
{
    auto l = makeLinked(unitOptions("127.0.2.2"));
    ASSERT_TRUE(l->connect());
    EXPECT_TRUE(calNames(l->adaptor.sendRequestStoredCalibrationNamesSpO2()).empty());

    const std::string first = calData("SpO2", "SpaceLabs Xprezzon", "{\"Item1\":\"60\",\"Item2\":\"88\"}");
    l->adaptor.sendSnCommand(first);
    l->adaptor.sendSnCommand(calData("SpO2", "Other monitor", ""));
    l->adaptor.sendSnCommand(calData("CO2", "SpaceLabs Xprezzon", "{\"Item1\":\"5\",\"Item2\":\"30\"}"));

    std::string spo2 = l->adaptor.sendRequestStoredCalibrationNamesSpO2();
    EXPECT_EQ(l->adaptor.getJsonKeyValue(spo2, "Message.calType"), "SpO2");
    EXPECT_EQ(calNames(spo2), (std::vector<std::string>{"SpaceLabs Xprezzon", "Other monitor"}));
    std::string co2 = l->adaptor.sendRequestStoredCalibrationNamesCO2();
    EXPECT_EQ(l->adaptor.getJsonKeyValue(co2, "Message.calType"), "CO2");
    EXPECT_EQ(calNames(co2), std::vector<std::string>{"SpaceLabs Xprezzon"});
    EXPECT_EQ(l->emulator.calibrationData("SpO2", "SpaceLabs Xprezzon"), first);

    // The same name again replaces the stored points, it adds no second entry.
    const std::string second = calData("SpO2", "SpaceLabs Xprezzon", "{\"Item1\":\"45\",\"Item2\":\"97\"}");
    l->adaptor.sendSnCommand(second);
    l->adaptor.sendSnCommand(calRemove("SpO2", "Other monitor"));
    spo2 = l->adaptor.sendRequestStoredCalibrationNamesSpO2();
    EXPECT_EQ(calNames(spo2), std::vector<std::string>{"SpaceLabs Xprezzon"});
    EXPECT_EQ(l->emulator.calibrationData("SpO2", "SpaceLabs Xprezzon"), second);

    l->adaptor.sendSnCommand(calRemove("SpO2", "SpaceLabs Xprezzon"));
    EXPECT_TRUE(calNames(l->adaptor.sendRequestStoredCalibrationNamesSpO2()).empty());
    EXPECT_EQ(calNames(l->adaptor.sendRequestStoredCalibrationNamesCO2()),
              std::vector<std::string>{"SpaceLabs Xprezzon"});
    EXPECT_EQ(l->emulator.messageCount("CalData"), 4u);
    EXPECT_EQ(l->emulator.messageCount("CalRemove"), 2u);
}

TEST(SentrelEmulator, KeepsStreamedVitalsAndWaveformSamples)
{
    auto o = unitOptions("127.0.2.3");
    o.waveformHistory = 4;
    Timing timing = linkTiming();
    timing.streamPeriod = 20ms;
    auto l = makeLinked(o, timing);
    ASSERT_TRUE(l->adaptor.initialize("", "127.0.2.3", "", "", false));
    l->adaptor.enableStreamVitals(true);

    l->adaptor.sendHR_bpm(72);
    l->adaptor.sendT1_degC(36.5f);
    l->adaptor.sendNIBP_mmHg(120, 80, 93);
    std::vector<float> abp = {100, 110, 120, 130, 140, 100, 110, 120, 130, 140};
    l->adaptor.sendABP_50Hz(abp);
    ASSERT_TRUE(l->emulator.waitForMessageCount("VitalsData", 1, 5s));
    ASSERT_TRUE(l->emulator.waitForSampleCount("abp", 6, 5s));

    SentrelEmulator::VitalValue v;
    ASSERT_TRUE(l->emulator.vital("hr", v));
    EXPECT_EQ(v.text, "72");
    ASSERT_TRUE(l->emulator.vital("t1", v));
    EXPECT_EQ(v.text, "36.5");
    ASSERT_TRUE(l->emulator.vital("mbp", v));
    EXPECT_EQ(v.text, "93");
    // Unset members carry no value.
    EXPECT_FALSE(l->emulator.vital("CVP", v));
    EXPECT_FALSE(l->emulator.vital("spo2Override", v));
    // Bounded history, full count.
    EXPECT_EQ(l->emulator.sampleCount("abp"), 6u);
    // Each 5-sample group gives 100, 117, 133; the last four of six are kept.
    EXPECT_EQ(l->emulator.recentSamples("abp"), (std::vector<int>{133, 100, 117, 133}));
    EXPECT_EQ(l->emulator.sampleCount("pleth"), 0u);

    // A later message with only rr set keeps the earlier hr.
    l->adaptor.sendRR_brpm(12);
    ASSERT_TRUE(testsupport::eventually([&] { return l->emulator.vital("rr", v); }, 5s));
    EXPECT_EQ(v.text, "12");
    ASSERT_TRUE(l->emulator.vital("hr", v));
    EXPECT_EQ(v.text, "72");
    // The console line shows values (how its traces read is pinned where
    // the time is the test's own: MonitorState's tests).
    std::string line = l->emulator.summaryLine();
    EXPECT_NE(line.find("hr 72 "), std::string::npos) << line;
    EXPECT_NE(line.find("nibp 120/80/93"), std::string::npos) << line;
    EXPECT_NE(line.find("rr 12 "), std::string::npos) << line;
    EXPECT_NE(line.find("pleth -"), std::string::npos) << line;  // none ever came
}

TEST(SentrelEmulatorFaults, RefusesConnectionsUntilTheSwitchIsOff)
{
    auto o = unitOptions("127.0.2.4");
    o.faults.refuseConnections = true;
    auto l = makeLinked(o);
    EXPECT_FALSE(l->connect());
    EXPECT_EQ(l->emulator.connectionCount(), 0u);

    l->emulator.setFaults(SentrelEmulator::Faults());
    ASSERT_TRUE(testsupport::eventually([&] { return l->connect(); }, 5s, 20ms));
    EXPECT_TRUE(l->emulator.waitForConnectionCount(1, 2s));
    EXPECT_EQ(l->adaptor.getJsonKeyValue(l->adaptor.sendRequestOtherStatus(), "MessageType"), "StatusData");
}

TEST(SentrelEmulatorFaults, ClosesTheConnectionAfterNFrames)
{
    auto o = unitOptions("127.0.2.5");
    o.faults.closeAfterFrames = 2;
    auto l = makeLinked(o);
    ASSERT_TRUE(l->connect());
    l->adaptor.sendPing();
    EXPECT_TRUE(l->emulator.waitForMessageCount("CalSelect", 1, 2s));
    EXPECT_TRUE(l->emulator.clientConnected());
    l->adaptor.sendPing();
    ASSERT_TRUE(l->emulator.waitForMessageCount("CalSelect", 2, 2s));
    // The second frame ends the connection: a request now fails, whether at
    // its write or at its read.
    EXPECT_ANY_THROW(l->adaptor.sendRequestOtherStatus());
    EXPECT_FALSE(l->emulator.clientConnected());

    // A new connection starts counting again.
    ASSERT_TRUE(l->connect());
    EXPECT_EQ(l->adaptor.getJsonKeyValue(l->adaptor.sendRequestOtherStatus(), "MessageType"), "StatusData");
    EXPECT_EQ(l->emulator.connectionCount(), 2u);
}

TEST(SentrelEmulatorFaults, NeverAnswerReadsButStaysSilent)
{
    auto o = unitOptions("127.0.2.6");
    o.faults.neverAnswer = true;
    auto l = makeLinked(o, linkTiming(400ms));
    ASSERT_TRUE(l->connect());
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_ANY_THROW(l->adaptor.sendRequestOtherStatus());
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 5s);
    EXPECT_EQ(l->emulator.messageCount("StatusRequest"), 1u);
    EXPECT_TRUE(l->emulator.clientConnected());
}

TEST(SentrelEmulatorFaults, UnsolicitedFrameBeforeEachReplyIsDroppedByTheRequester)
{
    auto o = unitOptions("127.0.2.7");
    o.faults.unsolicitedBeforeReply = true;
    auto l = makeLinked(o);
    ASSERT_TRUE(l->connect());
    // The requester reads the UnitEvent frame first and drops it.
    std::string status = l->adaptor.sendRequestOtherStatus();
    std::string spo2 = l->adaptor.sendRequestStoredCalibrationNamesSpO2();
    EXPECT_EQ(l->adaptor.getJsonKeyValue(status, "MessageType"), "StatusData");
    EXPECT_EQ(l->adaptor.getJsonKeyValue(spo2, "Message.calType"), "SpO2");

    RawUnitClient raw("127.0.2.7");  // the newest connection is served
    raw.sendJson(SentrelAdaptor::kStatusRequestOther);
    EXPECT_NE(raw.readFrame().find("\"MessageType\":\"UnitEvent\""), std::string::npos);
    EXPECT_NE(raw.readFrame().find("\"MessageType\":\"StatusData\""), std::string::npos);
}

TEST(SentrelEmulatorFaults, SplitRepliesArriveInSeveralReads)
{
    auto o = unitOptions("127.0.2.8");
    o.faults.splitReplies = true;
    auto l = makeLinked(o);
    RawUnitClient raw("127.0.2.8");
    raw.sendJson(SentrelAdaptor::kStatusRequestOther);
    std::string first = raw.readSome(3000ms);
    ASSERT_FALSE(first.empty());
    // How many pieces a read sees depends on the scheduler; what matters is that
    // the pieces put together make one whole frame.
    std::string all = first;
    for (int i = 0; i < 20 && all.find('\x03') == std::string::npos; ++i)
        all += raw.readSome(500ms);
    UnitFrameParser parser;
    parser.append(all.data(), all.size());
    std::string reply, error;
    ASSERT_EQ(parser.next(reply, error), UnitFrameParser::Status::Frame);
    EXPECT_NE(verifyUnitReply(reply).find("\"battLvlPerc\":87"), std::string::npos);

    // And the adaptor puts split replies together.
    ASSERT_TRUE(l->connect());
    EXPECT_EQ(l->adaptor.getJsonKeyValue(l->adaptor.sendRequestNetworkStatus(), "Message.wifiStatus"),
              "NotConfigured");
}

TEST(SentrelEmulatorFaults, TwoFramesInOneWrite)
{
    auto o = unitOptions("127.0.2.9");
    o.faults.twoFramesPerWrite = true;
    auto l = makeLinked(o);
    {
        RawUnitClient raw("127.0.2.9");
        raw.sendJson(SentrelAdaptor::kStatusRequestOther);
        std::string bytes = raw.readSome(3000ms);
        UnitFrameParser parser;
        parser.append(bytes.data(), bytes.size());
        std::string a, b, error;
        ASSERT_EQ(parser.next(a, error), UnitFrameParser::Status::Frame);
        ASSERT_EQ(parser.next(b, error), UnitFrameParser::Status::Frame) << "one read: " << bytes.size() << " bytes";
        EXPECT_NE(a.find("StatusData"), std::string::npos);
        EXPECT_NE(b.find("UnitEvent"), std::string::npos);
    }
    // The adaptor keeps the second frame and drops it at the next request.
    ASSERT_TRUE(l->connect());
    for (int i = 0; i < 3; ++i)
        EXPECT_EQ(l->adaptor.getJsonKeyValue(l->adaptor.sendRequestOtherStatus(), "Message.battLvlPerc"), "87");
}

TEST(SentrelEmulator, SkipsMalformedFramesAndKeepsServing)
{
    auto l = makeLinked(unitOptions("127.0.2.10"));
    RawUnitClient raw("127.0.2.10");
    const std::string stx = "\x02", etx = "\x03";
    raw.sendBytes(stx + "00x7{\"a\":1}" + etx);                                  // bad length field
    raw.sendBytes(stx + "0099{\"MessageType\":\"CalSelect\",\"Message\":{}}" + etx);  // length mismatch
    raw.sendJson("{\"MessageType\":\"CalSelect\",\"Message\":{");                 // bad JSON
    raw.sendJson("{\"Message\":{}}");                                            // no MessageType
    raw.sendJson("{\"MessageType\":\"CalSelect\",\"Message\":\"text\"}");        // Message not an object
    ASSERT_TRUE(l->emulator.waitForMalformedCount(5, 3s));
    // Oversized: more than the longest accepted frame without an ETX.
    raw.sendBytes(stx + std::string(UnitFrameParser::kMaxReplyBytes + 16, 'a'));
    ASSERT_TRUE(l->emulator.waitForMalformedCount(6, 5s));
    raw.sendBytes("junk");

    raw.sendJson(SentrelAdaptor::kStatusRequestOther);
    std::string reply = raw.readFrame();
    EXPECT_NE(reply.find("\"MessageType\":\"StatusData\""), std::string::npos) << reply;
    EXPECT_EQ(l->emulator.messageCount("CalSelect"), 0u);
    EXPECT_EQ(l->emulator.messageCount("StatusRequest"), 1u);
    EXPECT_TRUE(l->emulator.clientConnected());
}

TEST(SentrelEmulator, ServesTheNewestConnection)
{
    auto l = makeLinked(unitOptions("127.0.2.11"));
    RawUnitClient first("127.0.2.11");
    ASSERT_TRUE(l->emulator.waitForConnectionCount(1, 2s));
    RawUnitClient second("127.0.2.11");
    ASSERT_TRUE(l->emulator.waitForConnectionCount(2, 2s));
    EXPECT_TRUE(first.closedByPeer(3s));
    second.sendJson(SentrelAdaptor::kStatusRequestOther);
    EXPECT_NE(second.readFrame().find("StatusData"), std::string::npos);

    // The adaptor reconnecting by opening a new socket is served at once.
    ASSERT_TRUE(l->connect());
    ASSERT_TRUE(l->connect());
    EXPECT_EQ(l->adaptor.getJsonKeyValue(l->adaptor.sendRequestOtherStatus(), "MessageType"), "StatusData");
    EXPECT_EQ(l->emulator.connectionCount(), 4u);
    EXPECT_TRUE(second.closedByPeer(3s));
}

TEST(SentrelEmulatorWifi, JoinsWithMatchingCredentials)
{
    auto o = unitOptions("127.0.2.12");
    o.wifiSsid = "Ward \"4\"";
    o.wifiPassword = "p\\a\"ss";  // quote and backslash travel escaped
    o.wifiJoinDelay = 200ms;
    Timing timing = linkTiming();
    timing.wifiJoinWait = 800ms;
    auto l = makeLinked(o, timing);
    ASSERT_TRUE(l->connect());
    snlog::Capture capture;
    EXPECT_TRUE(l->adaptor.setWifiCfg(o.wifiSsid.c_str(), o.wifiPassword.c_str()));
    EXPECT_EQ(l->emulator.wifiState(), SentrelEmulator::WifiState::Connected);
    const std::string network = l->adaptor.sendRequestNetworkStatus();
    EXPECT_EQ(l->adaptor.getJsonKeyValue(network, "Message.ssid"), o.wifiSsid);
    EXPECT_EQ(l->adaptor.getJsonKeyValue(network, "Message.ipAddress"), "192.168.50.23");
    EXPECT_EQ(l->adaptor.getJsonKeyValue(network, "Message.wifiStatus"), "Success");
    // The unit's own lines about the join.
    EXPECT_NE(capture.out().find("SentrelEmulator> joining Wi-Fi network \"Ward \\\"4\\\"\"\n"), std::string::npos)
        << capture.out();
    EXPECT_NE(capture.out().find("SentrelEmulator> Wi-Fi \"Ward \\\"4\\\"\": joined\n"), std::string::npos)
        << capture.out();
}

TEST(SentrelEmulatorWifi, WrongPasswordIsNotConnected)
{
    auto o = unitOptions("127.0.2.13");
    o.wifiSsid = "Ward4";
    o.wifiPassword = "secret";
    o.wifiJoinDelay = 1000ms;
    Timing timing = linkTiming();
    timing.wifiJoinWait = 1500ms;
    auto l = makeLinked(o, timing);
    ASSERT_TRUE(l->connect());
    EXPECT_FALSE(l->adaptor.setWifiCfg("Ward4", "secret2"));
    EXPECT_EQ(l->emulator.wifiState(), SentrelEmulator::WifiState::Failed);
    std::string network = l->adaptor.sendRequestNetworkStatus();
    EXPECT_EQ(l->adaptor.getJsonKeyValue(network, "Message.wifiConnected"), "false");
    EXPECT_EQ(l->adaptor.getJsonKeyValue(network, "Message.wifiStatus"), "Failed");
    EXPECT_EQ(l->adaptor.getJsonKeyValue(network, "Message.ssid"), "Ward4");

    // Asked too early, the unit is still joining; then the right password joins.
    Timing hasty = linkTiming();
    hasty.wifiJoinWait = 0ms;
    SentrelAdaptor early(hasty);  // the unit serves its newest connection
    ASSERT_TRUE(early.connectIP("", o.address, 3));
    EXPECT_FALSE(early.setWifiCfg("Ward4", "secret"));
    EXPECT_EQ(l->emulator.wifiState(), SentrelEmulator::WifiState::Joining);
    ASSERT_TRUE(l->emulator.waitForWifiState(SentrelEmulator::WifiState::Connected, 3s));
    EXPECT_EQ(early.getJsonKeyValue(early.sendRequestNetworkStatus(), "Message.wifiConnected"), "true");
}

TEST(SentrelEmulatorWifi, UnitThatNeverAnswersEndsTheWaitInBoundedTime)
{
    auto o = unitOptions("127.0.2.14");
    o.wifiSsid = "Ward4";
    o.wifiPassword = "secret";
    o.faults.neverAnswer = true;
    Timing timing = linkTiming(500ms);
    timing.wifiJoinWait = 100ms;
    auto l = makeLinked(o, timing);
    ASSERT_TRUE(l->connect());
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_ANY_THROW(l->adaptor.setWifiCfg("Ward4", "secret"));
    EXPECT_LT(std::chrono::steady_clock::now() - t0, 6s);
    EXPECT_EQ(l->emulator.messageCount("WifiCredentials"), 1u);
    EXPECT_EQ(l->emulator.messageCount("StatusRequest"), 1u);
}

TEST(SentrelEmulator, StartStopAndBindConflicts)
{
    SentrelEmulator a(unitOptions("127.0.2.15"));
    a.start();
    a.start();  // no second listener
    EXPECT_TRUE(a.running());
    SentrelEmulator b(unitOptions("127.0.2.15"));
    EXPECT_THROW(b.start(), boost::system::system_error);  // the address is taken
    EXPECT_FALSE(b.running());
    {
        RawUnitClient client("127.0.2.15");
        ASSERT_TRUE(a.waitForConnectionCount(1, 2s));
        a.stop();
        EXPECT_FALSE(a.running());
        EXPECT_TRUE(client.closedByPeer(3s));
    }
    a.stop();
    // Free again once stopped, and a stopped emulator starts again.
    b.start();
    RawUnitClient again("127.0.2.15");
    again.sendJson(SentrelAdaptor::kStatusRequestOther);
    EXPECT_NE(again.readFrame().find("StatusData"), std::string::npos);
    EXPECT_EQ(b.connectionCount(), 1u);
    b.stop();
    a.start();
    RawUnitClient third("127.0.2.15");
    third.sendJson(SentrelAdaptor::kStatusRequestOther);
    EXPECT_NE(third.readFrame().find("StatusData"), std::string::npos);
    EXPECT_EQ(a.connectionCount(), 2u);
}

TEST(SentrelEmulator, AnswersDatagrams)
{
    auto o = unitOptions("127.0.7.21");
    o.udpPort = 14997;
    o.serial = "SN-42";
    SentrelEmulator emulator(o);
    emulator.start();
    sntest::RawDatagramPeer peer("127.0.7.20", 14997);
    peer.sendTo("WHO@", "127.0.7.21");
    std::string sender;
    EXPECT_EQ(peer.receive(3000ms, &sender), "SENTREL SN-42@");
    EXPECT_EQ(sender, "127.0.7.21");
    peer.sendTo("[STOPME]@", "127.0.7.21");
    ASSERT_TRUE(emulator.waitForDatagramCount(2, 2s));
    EXPECT_EQ(emulator.lastDatagram(), "[STOPME]@");
    EXPECT_EQ(peer.receive(300ms), "");
}

#ifdef SENTREL_EMULATOR_BINARY
TEST(SentrelEmulatorProgram, HelpAndCleanExitOnSigterm)
{
    testsupport::TempDir dir;
    {
        ChildProcess help(SENTREL_EMULATOR_BINARY, {"--help"}, dir.path());
        EXPECT_EQ(help.waitForExit(10s), std::optional<int>(0));
        const std::string text = help.out();
        EXPECT_NE(text.find("--wifi-ssid"), std::string::npos);
        EXPECT_NE(text.find("--never-answer"), std::string::npos);
        EXPECT_NE(text.find("NetworkStatusData"), std::string::npos);
    }

    ChildProcess emu(SENTREL_EMULATOR_BINARY,
                     {"--address", "127.0.2.16", "--udp-port", "0", "--battery", "42", "--no-console"}, dir.path());
    ASSERT_TRUE(emu.waitForLine(ChildProcess::Stream::Out, "listening on 127.0.2.16:14997", 10s)) << emu.err();
    RawUnitClient client("127.0.2.16");
    client.sendJson(SentrelAdaptor::kStatusRequestOther);
    const std::string reply = client.readFrame(2000ms);
    EXPECT_NE(reply.find("\"battLvlPerc\":42"), std::string::npos) << reply;
    emu.sendSignal(SIGTERM);
    EXPECT_EQ(emu.waitForExit(5s), std::optional<int>(0)) << emu.err();
    EXPECT_FALSE(emu.signalled());
}
#endif

#ifdef SENTREL_EMULATOR_BINARY
namespace {

// A plain connection to the emulated unit that tells a reset from a close.
struct PlainConnection {
    explicit PlainConnection(const std::string& address) : socket(io)
    {
        namespace ip = boost::asio::ip;
        socket.connect(ip::tcp::endpoint(ip::make_address(address), 14997));
    }
    // The error that ends the connection within the timeout (none: success).
    boost::system::error_code end(std::chrono::milliseconds timeout)
    {
        pollfd p{socket.native_handle(), POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(timeout.count())) <= 0)
            return {};
        char buf[256];
        boost::system::error_code ec;
        socket.read_some(boost::asio::buffer(buf), ec);
        return ec;
    }
    boost::asio::io_context io;
    boost::asio::ip::tcp::socket socket;
};

bool connectRefused(const std::string& address)
{
    boost::asio::io_context io;
    boost::asio::ip::tcp::socket socket(io);
    boost::system::error_code ec;
    socket.connect({boost::asio::ip::make_address(address), 14997}, ec);
    return ec == boost::asio::error::connection_refused;
}

// The log line of the first received message of `type`, "" when none.
std::string logLine(const std::string& out, const std::string& type)
{
    for (const auto& line : sntest::linesStartingWith(out, {"SentrelEmulator> "}))
        if (line.find(" " + type + " {") != std::string::npos)
            return line;
    return "";
}

} // namespace

TEST(SentrelEmulatorProgram, ControlWordsAndTimeStampedMessageLog)
{
    testsupport::TempDir dir;
    ChildProcess emu(SENTREL_EMULATOR_BINARY,
                     {"--address", "127.0.15.10", "--udp-port", "0", "--no-console", "--log-messages"}, dir.path(),
                     ChildProcess::Input::Pipe);
    ASSERT_TRUE(emu.waitForLine(ChildProcess::Stream::Out, "listening on 127.0.15.10:14997", 10s)) << emu.err();

    // Each received message: its UTC arrival time with milliseconds, its type, its text.
    PlainConnection first("127.0.15.10");
    const std::string wave = montest::waveform(3);
    boost::asio::write(first.socket, boost::asio::buffer(frameUnitMessage(wave)));
    ASSERT_TRUE(emu.waitForLine(ChildProcess::Stream::Out, " WaveformData {", 5s)) << emu.out();
    const std::string line = logLine(emu.out(), "WaveformData");
    const std::string prefix = "SentrelEmulator> ";
    ASSERT_EQ(line.size(), prefix.size() + 24 + 1 + std::string("WaveformData ").size() + wave.size()) << line;
    EXPECT_EQ(line.substr(prefix.size() + 25), "WaveformData " + wave);
    const std::string stamp = line.substr(prefix.size(), 24);  // 2026-12-08T10:15:30.123Z
    std::tm parsed{};
    const char* rest = ::strptime(stamp.c_str(), "%Y-%m-%dT%H:%M:%S", &parsed);
    ASSERT_NE(rest, nullptr) << stamp;
    EXPECT_TRUE(rest[0] == '.' && std::isdigit(rest[1]) && std::isdigit(rest[2]) && std::isdigit(rest[3]) &&
                rest[4] == 'Z' && rest[5] == '\0')
        << stamp;
    const double away = std::difftime(::timegm(&parsed), std::time(nullptr));
    EXPECT_LT(std::abs(away), 600.0) << stamp << " is not this time in UTC";

    // reset: the connection ends with a reset, not a close.
    ASSERT_TRUE(emu.writeInput("reset\n"));
    EXPECT_EQ(first.end(5000ms), boost::asio::error::connection_reset);
    EXPECT_TRUE(emu.waitForLine(ChildProcess::Stream::Out, "resetting connection 1", 5s)) << emu.out();

    // refuse on: the current connection closes and new ones are refused.
    PlainConnection second("127.0.15.10");
    ASSERT_TRUE(emu.waitForLine(ChildProcess::Stream::Out, "connection 2 from", 5s));
    ASSERT_TRUE(emu.writeInput("refuse on\n"));
    EXPECT_TRUE(second.end(5000ms)) << "the current connection stayed open";
    EXPECT_TRUE(testsupport::eventually([] { return connectRefused("127.0.15.10"); }, 5000ms));
    // refuse off: served again.
    ASSERT_TRUE(emu.writeInput("refuse off\n"));
    std::string reply;
    ASSERT_TRUE(testsupport::eventually(
        [&] {
            if (connectRefused("127.0.15.10"))
                return false;
            sntest::RawUnitClient client("127.0.15.10");
            client.sendJson(SentrelAdaptor::kStatusRequestOther);
            reply = client.readFrame(2000ms);
            return true;
        },
        5000ms));
    EXPECT_NE(reply.find("StatusData"), std::string::npos) << reply;

    ASSERT_TRUE(emu.writeInput("dance\n"));
    EXPECT_TRUE(emu.waitForLine(ChildProcess::Stream::Out, "unknown control word \"dance\"", 5s)) << emu.out();
    ASSERT_TRUE(emu.writeInput("quit\n"));
    EXPECT_EQ(emu.waitForExit(10s), 0);
    EXPECT_NE(emu.out().find("SentrelEmulator> stopping (quit)"), std::string::npos) << emu.out();
}

TEST(SentrelEmulatorProgram, EndOfInputKeepsItServing)
{
    testsupport::TempDir dir;
    ChildProcess emu(SENTREL_EMULATOR_BINARY, {"--address", "127.0.15.11", "--udp-port", "0", "--no-console"},
                     dir.path(), ChildProcess::Input::Pipe);
    ASSERT_TRUE(emu.waitForLine(ChildProcess::Stream::Out, "listening on", 10s)) << emu.err();
    emu.closeInput();
    sntest::RawUnitClient client("127.0.15.11");
    client.sendJson(SentrelAdaptor::kStatusRequestOther);
    EXPECT_NE(client.readFrame(5000ms).find("StatusData"), std::string::npos);
    EXPECT_FALSE(emu.exited());
    emu.sendSignal(SIGTERM);
    EXPECT_EQ(emu.waitForExit(10s), 0);
}

TEST(SentrelEmulatorProgram, MonitorOption)
{
    testsupport::TempDir dir;
    {
        ChildProcess bad(SENTREL_EMULATOR_BINARY, {"--address", "127.0.15.12", "--monitor", "127.0.15.12"}, dir.path());
        EXPECT_EQ(bad.waitForExit(10s), 1);
        EXPECT_NE(bad.err().find("--monitor 127.0.15.12: expected ADDR:PORT"), std::string::npos) << bad.err();
    }
    ChildProcess emu(SENTREL_EMULATOR_BINARY,
                     {"--address", "127.0.15.12", "--udp-port", "0", "--no-console", "--monitor", "127.0.15.12:8080"},
                     dir.path());
    ASSERT_TRUE(emu.waitForLine(ChildProcess::Stream::Out, "monitor page on http://127.0.15.12:8080/", 10s))
        << emu.out() << emu.err();
    montest::RawHttpClient browser("127.0.15.12", 8080);
    EXPECT_EQ(browser.exchange("GET / HTTP/1.1\r\n\r\n").rfind("HTTP/1.1 200 OK", 0), 0u);
    emu.sendSignal(SIGTERM);
    EXPECT_EQ(emu.waitForExit(10s), 0);
}
#endif
