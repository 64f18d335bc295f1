// The bridge's start-up and its supervision loop, against an in-process
// emulated unit and emulated simulator servers on loopback. The loop runs on
// its own thread; most cases step it one cycle at a time and break the link
// between cycles, then end it with stop(). Lines are counted without their
// line ends.
#include "BridgeTestSupport.h"

#include "EmulatedPeers.h"

#include <algorithm>
#include <atomic>
#include <memory>
#include <thread>

using namespace bridgetest;
using namespace std::chrono_literals;

namespace {

// Cycles come only when the test asks for them.
Timing steppedTiming() {
    Timing t = shortTiming();
    t.supervisionCycle = std::chrono::hours(1);
    return t;
}

class Supervision : public ::testing::Test {
protected:
    ~Supervision() override { endLoop(); }

    void startUnit(const std::string& address, const Timing& timing = steppedTiming()) {
        unit = startedUnit(address);
        config.reset(new Configuration(writeConfig(dir, address).c_str()));
        ASSERT_TRUE(config->readConfiguration());
        bridge.reset(new SimulatorSample(config.get(), timing));
        ASSERT_TRUE(adaptor().initialize("", address, "", "", true));
        // The emulator counts a connection once it has accepted it.
        ASSERT_TRUE(unit->waitForConnectionCount(1, kWait));
    }
    SentrelAdaptor& adaptor() { return Access::adaptor(*bridge); }

    void startLoop() {
        loop = std::thread([this] {
            bridge->run();
            returned = true;
        });
    }
    // Runs the next cycle and waits for its end.
    bool cycle() {
        const unsigned long before = Access::supervisionCycles(*bridge);
        Access::startNextCycle(*bridge);
        return testsupport::eventually([&] { return Access::supervisionCycles(*bridge) > before; }, kWait);
    }
    void endLoop() {
        if (!loop.joinable()) return;
        bridge->stop();
        loop.join();
    }
    // The link breaks: the adaptor's next write finds no socket, and from
    // then on the unit counts as silent until it is reconnected.
    void dropLink() {
        adaptor().close();
        adaptor().sendPing();
        ASSERT_FALSE(adaptor().checkConnection());
    }
    // `n` cycles that each find the link broken; false as soon as one does
    // not end or the loop returns.
    bool silentCycles(int n) {
        for (int i = 0; i < n; ++i) {
            dropLink();
            if (!cycle() || returned) return false;
        }
        return true;
    }
    // One more silent cycle, at which the loop is to give up.
    bool givesUpAtNextSilentCycle() {
        dropLink();
        Access::startNextCycle(*bridge);
        return testsupport::eventually([&] { return returned.load(); }, kWait);
    }

    testsupport::TempWorkingDirectory dir;
    std::unique_ptr<SentrelEmulator> unit;
    std::unique_ptr<Configuration> config;
    std::unique_ptr<SimulatorSample> bridge;
    std::thread loop;
    std::atomic<bool> returned{false};
};

TEST_F(Supervision, GivesUpAtTheEleventhSilentCycleWhileRunning) {
    startUnit("127.0.5.20");
    bridge->parametersUpdated({I("HW_PATSPEED", 1)});
    const unsigned before = unit->connectionCount();
    snlog::Capture capture;
    startLoop();
    const bool steady = silentCycles(10);
    const bool gaveUp = givesUpAtNextSilentCycle();
    const std::string out = capture.out();
    const std::string err = capture.err();
    ASSERT_TRUE(steady) << out << err;
    ASSERT_TRUE(gaveUp) << out << err;
    EXPECT_EQ(Access::supervisionCycles(*bridge), 11u);
    EXPECT_EQ(countOf(out, "Disconnected. Reconnecting."), 10);
    for (int k : {2, 4, 6, 8, 10}) {
        EXPECT_EQ(countOf(err, "SN>ERROR>Unable to reach the Sentrel unit... (" + std::to_string(k) +
                                   "). Reconnecting...\n"),
                  1)
            << k;
    }
    EXPECT_EQ(countOf(err, "SN>ERROR>Unable to reach the Sentrel unit..."), 5);
    EXPECT_EQ(countOf(err, "SN>ERROR>No answer from the Sentrel unit for too long. Disconnecting.\n"), 1);
    // Ten re-initialisations for the silent cycles, five more for the numbered messages.
    EXPECT_TRUE(unit->waitForConnectionCount(before + 15, kWait));
    EXPECT_EQ(unit->connectionCount(), before + 15);
}

TEST_F(Supervision, CalibrationModeCountsSilentCyclesToo) {
    startUnit("127.0.5.21");
    snlog::Capture capture;
    // Paused: the start action opens calibration mode.
    bridge->parametersUpdated({I("HW_PATMON_CALIB_ACTION", 1)});
    const bool calibrating = bridge->status().calibrating;
    startLoop();
    const bool steady = silentCycles(10);
    const bool gaveUp = givesUpAtNextSilentCycle();
    const std::string err = capture.err();
    ASSERT_TRUE(calibrating);
    EXPECT_TRUE(steady);
    EXPECT_TRUE(gaveUp);
    EXPECT_EQ(Access::supervisionCycles(*bridge), 11u);
    EXPECT_EQ(countOf(err, "SN>ERROR>No answer from the Sentrel unit for too long. Disconnecting.\n"), 1);
}

TEST_F(Supervision, WhilePausedASilentUnitIsReconnectedWithoutLimit) {
    startUnit("127.0.5.22");
    const unsigned before = unit->connectionCount();
    snlog::Capture capture;
    startLoop();
    const bool steady = silentCycles(15);
    endLoop();
    const std::string out = capture.out();
    const std::string err = capture.err();
    EXPECT_TRUE(steady);
    EXPECT_EQ(Access::supervisionCycles(*bridge), 15u);
    EXPECT_EQ(countOf(out, "Disconnected. Reconnecting."), 15);
    EXPECT_EQ(err.find("SN>ERROR>"), std::string::npos) << err;
    EXPECT_TRUE(unit->waitForConnectionCount(before + 15, kWait));
}

TEST_F(Supervision, ReestablishedLineOnlyAfterTwoOrMoreSilentCycles) {
    startUnit("127.0.5.23");
    bridge->parametersUpdated({I("HW_PATSPEED", 1)});
    snlog::Capture capture;
    startLoop();
    // Silent at cycle 1, answering at 2.
    dropLink();
    ASSERT_TRUE(cycle());
    ASSERT_TRUE(cycle());
    const std::string afterOne = capture.out();
    capture.clear();
    // Silent at cycles 3 and 4, answering at 5.
    dropLink();
    ASSERT_TRUE(cycle());
    dropLink();
    ASSERT_TRUE(cycle());
    ASSERT_TRUE(cycle());
    const std::string afterTwo = capture.out();
    EXPECT_EQ(countOf(afterOne, "Connection reestablished"), 0) << afterOne;
    EXPECT_EQ(countOf(afterOne, "Disconnected. Reconnecting."), 1);
    EXPECT_EQ(countOf(afterTwo, "SN>ERROR>Connection reestablished..."), 1) << afterTwo;
    EXPECT_EQ(countOf(afterTwo, "Disconnected. Reconnecting."), 2);
    EXPECT_FALSE(returned);
}

TEST_F(Supervision, PingsOnlyWhileThePingFlagIsSet) {
    startUnit("127.0.5.24");
    startLoop();
    for (int n = 0; n < 3; ++n) ASSERT_TRUE(cycle());
    ASSERT_TRUE(unit->waitForMessageCount("CalSelect", 3, kWait));
    bridge->shouldPing(false);
    EXPECT_TRUE(streamingVitals(adaptor()));
    for (int n = 0; n < 3; ++n) ASSERT_TRUE(cycle());
    bridge->shouldPing(true);
    EXPECT_FALSE(streamingVitals(adaptor()));
    ASSERT_TRUE(cycle());
    // The one ping after the flag came back arrives behind any the cleared
    // cycles would have sent on the same connection.
    ASSERT_TRUE(unit->waitForMessageCount("CalSelect", 4, kWait));
    EXPECT_EQ(unit->messageCount("CalSelect"), 4u);
}

TEST_F(Supervision, CyclesComeByThemselvesAndStopEndsTheLoop) {
    Timing timing = steppedTiming();
    timing.supervisionCycle = 20ms;
    startUnit("127.0.5.25", timing);
    startLoop();
    // Paused with the unit answering: a ping every cycle.
    EXPECT_TRUE(unit->waitForMessageCount("CalSelect", 3, kWait));
    bridge->stop();
    EXPECT_TRUE(testsupport::eventually([&] { return returned.load(); }, kWait));
}

TEST_F(Supervision, StopEndsTheWaitForTheNextCycle) {
    startUnit("127.0.5.26");
    startLoop();
    ASSERT_TRUE(cycle());
    // The next cycle is an hour away: stop does not wait for it.
    bridge->stop();
    EXPECT_TRUE(testsupport::eventually([&] { return returned.load(); }, kWait));
    EXPECT_EQ(Access::supervisionCycles(*bridge), 1u);
    endLoop();
    // A stopped bridge's loop returns at once.
    bridge->run();
    EXPECT_EQ(Access::supervisionCycles(*bridge), 1u);
}

// The simulation starts while calibration mode is active, with the real
// bridge between the emulated simulator servers and the emulated unit: once
// the calibration thread has seen the mode end, the unit gets vitals and no
// pings, without waiting for another "HW_PATSPEED" update.
TEST(CalibrationThenRun, VitalsStreamAndNoPings) {
    const std::string address = "127.0.5.27";
    testsupport::TempWorkingDirectory dir;
    const auto servers = testsupport::startedServers(address, false, true);
    const auto unit = startedUnit(address);
    Configuration config(writeConfig(dir, address).c_str());
    Timing timing = shortTiming();
    timing.supervisionCycle = 50ms;
    snlog::Capture capture;
    SimulatorSample bridge(&config, timing);
    ASSERT_TRUE(bridge.initialize(false));
    std::thread loop([&] { bridge.run(); });
    auto seen = [&](const std::string& line) {
        return testsupport::eventually([&] { return capture.out().find(line + "\n") != std::string::npos; }, kWait);
    };
    auto cyclesLater = [&](unsigned long n) {
        const unsigned long until = Access::supervisionCycles(bridge) + n;
        return testsupport::eventually([&] { return Access::supervisionCycles(bridge) >= until; }, kWait);
    };
    // Paused: pings and no vitals.
    EXPECT_TRUE(servers->waitForSubscribedCount(SimProtocol::SIM, 4, kWait));
    EXPECT_TRUE(unit->waitForMessageCount("CalSelect", 2, kWait));

    EXPECT_EQ(servers->execute("calib 1 0"), "ok");
    EXPECT_TRUE(seen("Entered calibration mode..."));
    EXPECT_EQ(servers->execute("run"), "ok");
    EXPECT_TRUE(seen("exiting calibration mode..."));
    EXPECT_FALSE(bridge.status().calibrating);
    EXPECT_TRUE(bridge.status().running);

    // A cycle that saw the ping flag just before the calibration thread
    // cleared it may still be writing its ping, and what was written may
    // still be on its way to the unit: count once the cycle under way has
    // ended and the unit has everything written by then.
    EXPECT_TRUE(cyclesLater(1));
    const unsigned long long written = bridge.status().unit.messagesWritten;
    EXPECT_TRUE(testsupport::eventually([&] { return unit->totalMessageCount() >= written; }, kWait));
    const std::uint64_t pings = unit->messageCount("CalSelect");
    const std::uint64_t waves = unit->messageCount("WaveformData");
    EXPECT_TRUE(cyclesLater(10));
    EXPECT_TRUE(unit->waitForMessageCount("WaveformData", waves + 10, 10000ms));
    EXPECT_TRUE(unit->waitForMessageCount("VitalsData", 1, kWait));
    EXPECT_TRUE(streamingVitals(Access::adaptor(bridge)));
    EXPECT_EQ(unit->messageCount("CalSelect"), pings);
    bridge.stop();
    loop.join();
}

// Start-up: configuration, unit, both servers, subscriptions.
class Startup : public ::testing::Test {
protected:
    testsupport::TempWorkingDirectory dir;
};

TEST_F(Startup, SubscribesFourSimAndTwentySixAppParameters) {
    const std::string address = "127.0.5.30";
    const auto unit = startedUnit(address);
    SimulatorEmulator::Options simOptions;
    simOptions.address = address;
    SimulatorEmulator servers(simOptions);
    ASSERT_TRUE(servers.start());

    const std::string path = writeConfig(dir, address);
    Configuration config(path.c_str());
    {
        SimulatorSample bridge(&config);
        snlog::Capture capture;
        ASSERT_TRUE(bridge.initialize(false));
        EXPECT_TRUE(servers.waitForSubscribedCount(SimProtocol::SIM, 4, 5000ms));
        EXPECT_TRUE(servers.waitForSubscribedCount(SimProtocol::APP, 26, 5000ms));
        EXPECT_TRUE(testsupport::eventually(
            [&] { return Access::appClient(bridge).getConnectionState() == CSClient::STATE_CONNECTED; }, kWait));
        // The callbacks hear of a state after it is taken.
        EXPECT_TRUE(testsupport::eventually(
            [&] {
                const std::string out = capture.out();
                return out.find("Orra> Connected (SIM Protocol)") != std::string::npos &&
                       out.find("Orra> Connected (APP Protocol)") != std::string::npos;
            },
            kWait))
            << capture.out();
        const std::vector<std::string> sim = servers.subscribedNames(SimProtocol::SIM);
        EXPECT_EQ(sim, (std::vector<std::string>{"HW_PATMON_CALIB_ACTION", "HW_PATMON_CALIB_ARG1",
                                                 "HW_PATMON_ENABLED", "HW_PATSPEED"}));
        const std::vector<std::string> app = servers.subscribedNames(SimProtocol::APP);
        for (const char* name : {"ARTLINE", "PLETH", "CAPNOGRAM", "SAO2", "SPA", "DPA", "bloodTemp", "BODY_TEMP",
                                 "SIMULATOR_XCONNECTED", "ARTERIAL_CATHETER_DEPTH"})
            EXPECT_NE(std::find(app.begin(), app.end(), name), app.end()) << name;
    }

    // A second bridge in the same process registers the same tables.
    SimulatorSample second(&config);
    ASSERT_TRUE(second.initialize(false));
    com_vela::SimClient& simClient = Access::simClient(second);
    com_vela::AppClient& appClient = Access::appClient(second);
    EXPECT_EQ(simClient.getNumberOfRegisteredInputParameters() + simClient.getNumberOfUnregisteredInputParameters(),
              4u);
    EXPECT_EQ(appClient.getNumberOfRegisteredInputParameters() + appClient.getNumberOfUnregisteredInputParameters(),
              26u);
}

TEST_F(Startup, AbsentUnitIsWaitedForAndAbsentServersDoNotFailIt) {
    const std::string address = "127.0.5.31";
    const std::string path = writeConfig(dir, address);
    Configuration config(path.c_str());
    Timing timing;
    timing.retryPause = 20ms;
    SimulatorSample bridge(&config, timing);
    const auto unit = std::make_unique<SentrelEmulator>(testsupport::unitOptions(address));
    std::thread later([&] {
        std::this_thread::sleep_for(400ms);
        unit->start();
    });
    const bool ok = bridge.initialize(false);
    later.join();
    ASSERT_TRUE(ok);
    EXPECT_TRUE(unit->waitForConnectionCount(1, 1000ms));
    // Nobody listens on the simulator ports: the subscriptions wait in the registries.
    EXPECT_EQ(Access::simClient(bridge).getNumberOfUnregisteredInputParameters(), 4u);
    EXPECT_EQ(Access::appClient(bridge).getNumberOfUnregisteredInputParameters(), 26u);
}

TEST_F(Startup, RefusedSubscriptionFailsInitializeAndStopsThere) {
    const std::string address = "127.0.5.32";
    const auto unit = startedUnit(address);
    const std::string path = writeConfig(dir, address);
    Configuration config(path.c_str());
    {
        // A name already registered is refused: the SIM table fails, the APP
        // table is not sent at all.
        SimulatorSample bridge(&config);
        ASSERT_EQ(Access::simClient(bridge).registerInputParameter({"HW_PATSPEED", CSClient::PARAMETER_TYPE_INT, 0}),
                  CSClient::RESULT_OK);
        snlog::Capture capture;
        EXPECT_FALSE(bridge.initialize(false));
        EXPECT_NE(capture.err().find(
                      "SN>ERROR>Orra> Input subscription failed (SIM protocol)!\n"),
                  std::string::npos);
        com_vela::AppClient& appClient = Access::appClient(bridge);
        EXPECT_EQ(appClient.getNumberOfRegisteredInputParameters() + appClient.getNumberOfUnregisteredInputParameters(),
                  0u);
    }
    {
        SimulatorSample bridge(&config);
        ASSERT_EQ(Access::appClient(bridge).registerInputParameter({"HRPM", CSClient::PARAMETER_TYPE_INT, 0}),
                  CSClient::RESULT_OK);
        snlog::Capture capture;
        EXPECT_FALSE(bridge.initialize(false));
        EXPECT_NE(capture.err().find(
                      "SN>ERROR>Orra> Input subscription failed (APP protocol)!\n"),
                  std::string::npos);
    }
}

TEST_F(Startup, UnreadableConfigurationFailsBeforeTouchingTheUnit) {
    Configuration config(dir.file("missing.xml").c_str());
    SimulatorSample bridge(&config);
    EXPECT_FALSE(bridge.initialize(true));
    EXPECT_FALSE(Access::adaptor(bridge).checkConnection());
}

}  // namespace
