// The emulated servers spoken to frame by frame over loopback: what the
// sockets add to the handlers (connections, updates on a timer, fault switches).
#include "Log.h"
#include "RawClient.h"
#include "SimulatorEmulator.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <thread>

using namespace simemu;
using namespace std::chrono_literals;

namespace {

SimulatorEmulator::Options optionsOn(const std::string& address) {
    SimulatorEmulator::Options o;
    o.address = address;
    o.tick = std::chrono::milliseconds(50);
    return o;
}

// Completes the APP handshake on a raw connection.
void appHandshake(RawClient& c) {
    ASSERT_TRUE(c.sendBody(flowControl(0), 3));
    RawFrame f;
    ASSERT_TRUE(c.readFrame(f));
    ASSERT_EQ(f.kind, 3u);
    EXPECT_EQ(get32(f.body, 0), 1u);  // the grant
}

}  // namespace

TEST(SimEmuServer, SimSubscriptionGivesIdsValuesAndUpdates) {
    SimulatorEmulator emu(optionsOn("127.0.4.1"));
    ASSERT_TRUE(emu.start());
    RawClient c;
    ASSERT_TRUE(c.connect("127.0.4.1", 55580));
    ASSERT_TRUE(c.sendBody(simInputSubscription({{"HW_PATSPEED", true}, {"BODY_TEMP", false}})));
    RawFrame f;
    ASSERT_TRUE(c.readUntilCode(0x0101, f));
    ASSERT_EQ(get32(f.body, 16), 2u);
    ASSERT_EQ(f.body.size(), 20u + 2 * 52);
    unsigned speedId = get32(f.body, 20);
    EXPECT_EQ(speedId, emu.serverId("HW_PATSPEED"));
    EXPECT_EQ(get32(f.body, 20 + 12), 1u);           // integer
    EXPECT_EQ(get32(f.body, 20 + 16), 0u);           // paused at start
    EXPECT_EQ(getName(f.body, 20 + 20), "HW_PATSPEED");
    EXPECT_FLOAT_EQ(getFloat(f.body, 72 + 16), 37.0f);
    EXPECT_EQ(getName(f.body, 72 + 20), "BODY_TEMP");
    EXPECT_TRUE(emu.waitUntil(1s, [&](const SimulatorEmulator::State& s) {
        return s.subscribedIds(kSim).count(speedId) == 1;
    }));

    EXPECT_EQ(emu.execute("run"), "ok");
    ASSERT_TRUE(c.readUntilCode(0x0003, f));
    ASSERT_EQ(get32(f.body, 20), 1u);
    EXPECT_EQ(get32(f.body, 24), speedId);
    EXPECT_EQ(get32(f.body, 28), 1u);  // integer kind
    EXPECT_EQ(get32(f.body, 32), 1u);

    // calib sends both calibration parameters in one update
    ASSERT_TRUE(c.sendBody(simInputSubscription({{"HW_PATMON_CALIB_ACTION", true}, {"HW_PATMON_CALIB_ARG1", true}})));
    ASSERT_TRUE(c.readUntilCode(0x0101, f));
    EXPECT_EQ(emu.execute("calib 3 60"), "ok");
    ASSERT_TRUE(c.readUntilCode(0x0003, f));
    ASSERT_EQ(get32(f.body, 20), 2u);
    std::map<unsigned, unsigned> got{{get32(f.body, 24), get32(f.body, 32)}, {get32(f.body, 36), get32(f.body, 44)}};
    EXPECT_EQ(got[emu.serverId("HW_PATMON_CALIB_ACTION")], 3u);
    EXPECT_EQ(got[emu.serverId("HW_PATMON_CALIB_ARG1")], 60u);
}

TEST(SimEmuServer, AppHandshakeSubscriptionAndWaveformBatches) {
    auto o = optionsOn("127.0.4.3");
    o.running = true;
    o.patientId = 7;
    o.sceId = 3;
    SimulatorEmulator emu(o);
    ASSERT_TRUE(emu.start());
    RawClient c;
    ASSERT_TRUE(c.connect("127.0.4.3", 55557));
    appHandshake(c);
    ASSERT_TRUE(c.sendBody(messageHeader(1, 1, 0x0001)));
    RawFrame f;
    ASSERT_TRUE(c.readUntilCode(0x0002, f));
    EXPECT_EQ(get32(f.body, 12), 1u);
    EXPECT_EQ(get32(f.body, 16), 7u);
    EXPECT_EQ(get32(f.body, 20), 3u);
    EXPECT_EQ(get32(f.body, 24), 5u);
    EXPECT_FLOAT_EQ(getFloat(f.body, 28), 1.0f);

    // a subscription for another patient is ignored
    ASSERT_TRUE(c.sendBody(appInputSubscription(8, {"HRPM"})));
    ASSERT_TRUE(c.sendBody(appInputSubscription(7, {"HRPM", "ARTLINE"})));
    ASSERT_TRUE(c.readUntilCode(0x0106, f));
    EXPECT_EQ(get32(f.body, 12), 7u);
    ASSERT_EQ(get32(f.body, 16), 2u);
    EXPECT_EQ(getName(f.body, 20 + 16), "HRPM");
    EXPECT_FLOAT_EQ(getFloat(f.body, 20 + 12), 75.0f);
    unsigned art = get32(f.body, 68);
    unsigned hr = get32(f.body, 20);
    ASSERT_TRUE(c.readUntilCode(0x0008, f));
    EXPECT_EQ(get32(f.body, 12), 7u);
    unsigned n = get32(f.body, 20);
    ASSERT_GE(n, 1u);
    ASSERT_LE(n, 10u);  // small batches
    ASSERT_EQ(f.body.size(), 24u + 8 * n);
    for (unsigned i = 0; i < n; ++i) EXPECT_EQ(get32(f.body, 24 + 8 * i), art);

    EXPECT_EQ(emu.execute("set HRPM 90"), "ok");
    bool sawHr = false;
    for (int i = 0; i < 20 && !sawHr; ++i) {
        ASSERT_TRUE(c.readUntilCode(0x0008, f));
        for (unsigned k = 0; k < get32(f.body, 20); ++k)
            if (get32(f.body, 24 + 8 * k) == hr) {
                EXPECT_FLOAT_EQ(getFloat(f.body, 28 + 8 * k), 90.0f);
                sawHr = true;
            }
    }
    EXPECT_TRUE(sawHr);
}

TEST(SimEmuServer, BadInputGetsALogLineAndNoCrash) {
    snlog::Capture capture;
    auto o = optionsOn("127.0.4.5");
    o.log = true;
    SimulatorEmulator emu(o);
    ASSERT_TRUE(emu.start());
    {
        RawClient c;
        ASSERT_TRUE(c.connect("127.0.4.5", 55580));
        ASSERT_TRUE(c.sendBody(Bytes{4, 2, 0}));                      // shorter than a message header
        Bytes lying = simRequest(0x0001);
        put32(lying, 1000000);                                       // count far beyond the body
        put32(lying, 0);
        ASSERT_TRUE(c.sendBody(lying));
        Bytes unknown = simRequest(0x0777);
        ASSERT_TRUE(c.sendBody(unknown));
        RawFrame f;
        ASSERT_TRUE(c.readUntilCode(0x0101, f));
        EXPECT_EQ(get32(f.body, 16), 0u);                            // nothing past the body was read
        Bytes badHeader = frame(Bytes{1, 2, 3});
        set32(badHeader, 0, 12);
        ASSERT_TRUE(c.sendBytes(badHeader));
        EXPECT_TRUE(c.peerClosed(2000));
    }
    {
        RawClient c;
        ASSERT_TRUE(c.connect("127.0.4.5", 55557));
        ASSERT_TRUE(c.sendBody(Bytes{9}, 3));                        // flow control too short
        ASSERT_TRUE(c.sendBody(Bytes{1, 2, 0, 0, 0}, 7));            // unknown frame kind
        appHandshake(c);                                             // still served
    }
    EXPECT_TRUE(emu.waitUntil(2s, [](const SimulatorEmulator::State& s) { return s.malformed >= 4; }));
    emu.stop();
    EXPECT_NE(capture.out().find("SIMEMU> SIM bad frame from client (frame length 12 not above 32); closing it\n"),
              std::string::npos)
        << capture.out();
    EXPECT_NE(capture.out().find("SIMEMU> SIM message code 1911 unknown; ignored\n"), std::string::npos);
}

TEST(SimEmuServer, RefuseDownAndUp) {
    SimulatorEmulator emu(optionsOn("127.0.4.6"));
    ASSERT_TRUE(emu.start());
    RawClient keep;
    ASSERT_TRUE(keep.connect("127.0.4.6", 55557));
    ASSERT_TRUE(emu.waitForClients(SimProtocol::APP, 1, 2s));
    EXPECT_EQ(emu.execute("refuse sim on"), "ok");
    RawClient c;
    EXPECT_TRUE(testsupport::eventually([&] { return !c.connect("127.0.4.6", 55580); }, 5s, 20ms));
    EXPECT_EQ(emu.read([](const SimulatorEmulator::State& s) { return s.clientCount(kApp); }), 1u);  // others untouched
    EXPECT_EQ(emu.execute("refuse sim off"), "ok");
    EXPECT_TRUE(testsupport::eventually([&] { return c.connect("127.0.4.6", 55580); }, 5s, 20ms));

    EXPECT_EQ(emu.execute("down"), "ok");
    EXPECT_TRUE(keep.peerClosed(2000));
    EXPECT_TRUE(emu.waitForClients(SimProtocol::APP, 0, 2s));
    EXPECT_EQ(emu.execute("up"), "ok");
    EXPECT_TRUE(testsupport::eventually([&] { return keep.connect("127.0.4.6", 55557); }, 5s, 20ms));
    EXPECT_TRUE(emu.waitForClients(SimProtocol::APP, 1, 2s));
}

TEST(SimEmuServer, DropStallAndBadHeaderSwitches) {
    auto o = optionsOn("127.0.4.7");
    o.sendUpdates = false;
    SimulatorEmulator emu(o);
    ASSERT_TRUE(emu.start());
    RawClient c;
    ASSERT_TRUE(c.connect("127.0.4.7", 55557));
    ASSERT_TRUE(emu.waitForClients(SimProtocol::APP, 1, 2s));
    EXPECT_EQ(emu.execute("badheader app"), "ok");
    std::uint8_t h[32];
    ASSERT_EQ(c.readSome(h, 32, 2000), 32u);
    EXPECT_EQ(get32(Bytes(h, h + 32), 0), 8u);
    std::uint8_t rest[4];
    ASSERT_EQ(c.readSome(rest, 4, 2000), 4u);

    EXPECT_EQ(emu.execute("stall app on"), "ok");
    ASSERT_TRUE(c.sendBody(messageHeader(1, 1, 0x0001)));  // patient list: 32 + 32 bytes
    std::uint8_t part[64];
    std::size_t got = c.readSome(part, 64, 500);
    EXPECT_GT(got, 32u);
    EXPECT_LT(got, 64u);                                    // stopped half-way
    EXPECT_EQ(emu.execute("stall app off"), "ok");
    EXPECT_EQ(got + c.readSome(part + got, 64 - got, 2000), 64u);

    EXPECT_EQ(emu.execute("drop app 2"), "ok");
    ASSERT_TRUE(c.sendBody(messageHeader(1, 1, 0x0001)));
    ASSERT_TRUE(c.sendBody(messageHeader(1, 1, 0x0001)));
    RawFrame f;
    EXPECT_TRUE(c.readFrame(f));
    EXPECT_TRUE(c.readFrame(f));
    EXPECT_TRUE(c.peerClosed(2000));
}

TEST(SimEmuServer, ConsoleWordsAndScenarioScript) {
    auto o = optionsOn("127.0.4.8");
    o.serveSim = false;
    o.serveApp = false;
    SimulatorEmulator emu(o);
    ASSERT_TRUE(emu.start());
    EXPECT_EQ(emu.execute("set HRPM 90"), "ok");
    EXPECT_FLOAT_EQ(emu.value("HRPM"), 90.0f);
    EXPECT_EQ(emu.execute("set HRPM"), "error: usage: set NAME VALUE");
    EXPECT_EQ(emu.execute("set HRPM fast"), "error: usage: set NAME VALUE");
    EXPECT_EQ(emu.execute("calib 3"), "error: usage: calib ACTION ARG");
    EXPECT_EQ(emu.execute("drop app -1"), "error: usage: drop sim|app|all N");
    EXPECT_EQ(emu.execute("refuse everything on"), "error: usage: refuse sim|app|all on|off");
    EXPECT_EQ(emu.execute("dance"), "error: unknown word 'dance' (try help)");
    EXPECT_EQ(emu.execute(""), "ok");
    EXPECT_EQ(emu.execute("# comment"), "ok");
    EXPECT_NE(emu.execute("help").find("calib ACTION ARG"), std::string::npos);
    EXPECT_NE(emu.execute("status").find("HW_PATSPEED 0"), std::string::npos);
    EXPECT_FALSE(emu.quitRequested());

    std::string error;
    EXPECT_FALSE(emu.loadScenario("0 run\nlater pause\n", &error));
    EXPECT_EQ(error.rfind("line 2", 0), 0u);
    ASSERT_TRUE(emu.loadScenario("0.05 run\n0.1 enable\n0.15 set SAO2 91.5\n0.2 quit\n", &error));
    EXPECT_TRUE(testsupport::eventually([&] { return emu.quitRequested(); }, 5s));
    EXPECT_TRUE(emu.scenarioFinished());
    EXPECT_FLOAT_EQ(emu.value("HW_PATSPEED"), 1.0f);
    EXPECT_FLOAT_EQ(emu.value("HW_PATMON_ENABLED"), 1.0f);
    EXPECT_FLOAT_EQ(emu.value("SAO2"), 91.5f);
}

TEST(SimEmuServer, StartFailsCleanlyOnABusyPort) {
    SimulatorEmulator first(optionsOn("127.0.4.9"));
    ASSERT_TRUE(first.start());
    SimulatorEmulator second(optionsOn("127.0.4.9"));
    std::string why;
    EXPECT_FALSE(second.start(&why));
    EXPECT_NE(why.find("cannot listen on 127.0.4.9:"), std::string::npos) << why;
    EXPECT_FALSE(second.running());
    first.stop();
    first.stop();  // twice is fine
    EXPECT_TRUE(second.start(&why)) << why;
}

TEST(SimEmuServer, NameTableIsBounded) {
    snlog::Capture capture;
    auto o = optionsOn("127.0.4.13");
    o.log = true;
    o.sendUpdates = false;
    SimulatorEmulator emu(o);
    ASSERT_TRUE(emu.start());
    RawClient c;
    ASSERT_TRUE(c.connect("127.0.4.13", 55557));
    std::vector<std::string> names;
    for (int i = 0; i < 10005; ++i) names.push_back("N" + std::to_string(i));
    ASSERT_TRUE(c.sendBody(appInputSubscription(1, names)));
    RawFrame f;
    ASSERT_TRUE(c.readUntilCode(0x0106, f, 5000));
    EXPECT_EQ(get32(f.body, 16), 10000u);
    EXPECT_EQ(emu.execute("set ANOTHER 1"), "error: too many names");
    EXPECT_EQ(emu.execute("set N5 1"), "ok");  // known names still work
    emu.stop();
    EXPECT_NE(capture.out().find("SIMEMU> name table full (10000); new names are refused\n"), std::string::npos);
}
