// The bridge's start-up and its supervision loop, against an in-process
// emulated unit and emulated simulator servers on loopback. The supervision
// pause is replaced by a hook that plays the link's behaviour each cycle.
#include "BridgeTestSupport.h"

#include "SentrelEmulator.h"
#include "SimulatorEmulator.h"

#include <algorithm>
#include <memory>

using namespace bridgetest;
using namespace std::chrono_literals;

namespace {

// Thrown by a cycle hook to end a supervision loop that would not end itself.
struct StopLoop {};

class Supervision : public ::testing::Test {
protected:
    void startUnit(const std::string& address) {
        this->address = address;
        SentrelEmulator::Options options;
        options.address = address;
        options.udpPort = 0;
        unit.reset(new SentrelEmulator(options));
        unit->start();
        configPath = writeConfig(dir, address);
        config.reset(new Configuration(configPath.c_str()));
        ASSERT_TRUE(config->readConfiguration());
        bridge.reset(new SimulatorSample(config.get()));
        bridge->adaptor.passPause = 10ms;
        ASSERT_TRUE(bridge->adaptor.initialize("", address, "", "", true));
        // The emulator counts a connection once it has accepted it.
        ASSERT_TRUE(unit->waitForConnectionCount(1, 3000ms));
    }
    // Runs the loop; each cycle first runs `each(cycle)` (cycle counts from 1).
    // Returns true when run() returned by itself.
    bool runCycles(const std::function<void(int)>& each) {
        int cycle = 0;
        bridge->supervisionSleep = [&] { each(++cycle); };
        try {
            bridge->run();
            cycles = cycle;
            return true;
        } catch (const StopLoop&) {
            cycles = cycle;
            return false;
        }
    }
    // The link breaks as the streaming thread would notice it.
    void dropLink() { bridge->adaptor.connected = false; }

    TempDir dir;
    std::string address;
    std::string configPath;
    std::unique_ptr<SentrelEmulator> unit;
    std::unique_ptr<Configuration> config;
    std::unique_ptr<SimulatorSample> bridge;
    int cycles = 0;
};

TEST_F(Supervision, GivesUpAtTheEleventhSilentCycleWhileRunning) {
    startUnit("127.0.5.20");
    bridge->running = true;
    const unsigned before = unit->connectionCount();
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    const bool returned = runCycles([&](int cycle) {
        if (cycle > 20) throw StopLoop();
        dropLink();
    });
    const std::string out = testing::internal::GetCapturedStdout();
    const std::string err = testing::internal::GetCapturedStderr();
    ASSERT_TRUE(returned);
    EXPECT_EQ(cycles, 11);
    EXPECT_EQ(countOf(out, "Disconnected. Reconnecting.\n"), 10);
    for (int k : {2, 4, 6, 8, 10}) {
        EXPECT_EQ(countOf(err, "SN>ERROR>Unable to reach the Sentrel unit... (" + std::to_string(k) +
                                   "). Reconnecting...\n"),
                  1)
            << k;
    }
    EXPECT_EQ(countOf(err, "SN>ERROR>Unable to reach the Sentrel unit..."), 5);
    EXPECT_EQ(countOf(err, "SN>ERROR>No answer from the Sentrel unit for too long. Disconnecting.\n"), 1);
    // Ten re-initialisations for the silent cycles, five more for the numbered messages.
    EXPECT_TRUE(unit->waitForConnectionCount(before + 15, 3000ms));
    EXPECT_EQ(unit->connectionCount(), before + 15);
}

TEST_F(Supervision, CalibrationModeCountsSilentCyclesToo) {
    startUnit("127.0.5.21");
    bridge->calibrating = true;
    testing::internal::CaptureStdout();
    const bool returned = runCycles([&](int cycle) {
        if (cycle > 20) throw StopLoop();
        dropLink();
    });
    testing::internal::GetCapturedStdout();
    EXPECT_TRUE(returned);
    EXPECT_EQ(cycles, 11);
}

TEST_F(Supervision, WhilePausedASilentUnitIsReconnectedWithoutLimit) {
    startUnit("127.0.5.22");
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    const bool returned = runCycles([&](int cycle) {
        if (cycle > 15) throw StopLoop();
        dropLink();
    });
    const std::string out = testing::internal::GetCapturedStdout();
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_FALSE(returned);
    EXPECT_EQ(countOf(out, "Disconnected. Reconnecting.\n"), 15);
    EXPECT_EQ(err.find("SN>ERROR>"), std::string::npos);
}

TEST_F(Supervision, ReestablishedLineOnlyAfterTwoOrMoreSilentCycles) {
    startUnit("127.0.5.23");
    bridge->running = true;
    // Silent at cycle 1; answering at 2. Silent at 3, 4; answering at 5.
    testing::internal::CaptureStdout();
    testing::internal::CaptureStderr();
    runCycles([&](int cycle) {
        if (cycle == 3) {
            // Nothing printed for coming back after one silent cycle.
            EXPECT_EQ(countOf(testing::internal::GetCapturedStdout(), "Connection reestablished"), 0);
            testing::internal::CaptureStdout();
        }
        if (cycle == 1 || cycle == 3 || cycle == 4) dropLink();
        if (cycle == 6) throw StopLoop();
    });
    const std::string out = testing::internal::GetCapturedStdout();
    testing::internal::GetCapturedStderr();
    EXPECT_EQ(countOf(out, "SN>ERROR>Connection reestablished...\n"), 1);
    EXPECT_EQ(countOf(out, "Disconnected. Reconnecting.\n"), 2);
}

TEST_F(Supervision, PingsOnlyWhileThePingFlagIsSet) {
    startUnit("127.0.5.24");
    runCycles([&](int cycle) {
        if (cycle == 4) throw StopLoop();
    });
    EXPECT_TRUE(unit->waitForMessageCount("CalSelect", 3, 3000ms));
    bridge->shouldPing(false);
    EXPECT_TRUE(bridge->adaptor.streamVitals);
    const auto pings = unit->messageCount("CalSelect");
    runCycles([&](int cycle) {
        if (cycle == 4) throw StopLoop();
    });
    std::this_thread::sleep_for(100ms);
    EXPECT_EQ(unit->messageCount("CalSelect"), pings);
    bridge->shouldPing(true);
    EXPECT_FALSE(bridge->adaptor.streamVitals);
}

// Start-up: configuration, unit, both servers, subscriptions.
class Startup : public ::testing::Test {
protected:
    TempDir dir;
};

TEST_F(Startup, SubscribesFourSimAndTwentySixAppParameters) {
    const std::string address = "127.0.5.30";
    SentrelEmulator::Options unitOptions;
    unitOptions.address = address;
    unitOptions.udpPort = 0;
    SentrelEmulator unit(unitOptions);
    unit.start();
    SimulatorEmulator::Options simOptions;
    simOptions.address = address;
    SimulatorEmulator servers(simOptions);
    ASSERT_TRUE(servers.start());

    const std::string path = writeConfig(dir, address);
    Configuration config(path.c_str());
    {
        SimulatorSample bridge(&config);
        testing::internal::CaptureStdout();
        ASSERT_TRUE(bridge.initialize(false));
        EXPECT_TRUE(servers.waitForSubscribedCount(SimProtocol::SIM, 4, 5000ms));
        EXPECT_TRUE(servers.waitForSubscribedCount(SimProtocol::APP, 26, 5000ms));
        EXPECT_TRUE(waitUntil([&] { return bridge.appClient.getConnectionState() == CSClient::STATE_CONNECTED; }));
        const std::string out = testing::internal::GetCapturedStdout();
        EXPECT_NE(out.find("SN>Reading configuration file: " + path), std::string::npos);
        EXPECT_NE(out.find("Orra> Connected (SIM Protocol)"), std::string::npos);
        EXPECT_NE(out.find("Orra> Connected (APP Protocol)"), std::string::npos);
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
    EXPECT_EQ(second.simClient.getNumberOfRegisteredInputParameters() +
                  second.simClient.getNumberOfUnregisteredInputParameters(),
              4u);
    EXPECT_EQ(second.appClient.getNumberOfRegisteredInputParameters() +
                  second.appClient.getNumberOfUnregisteredInputParameters(),
              26u);
}

TEST_F(Startup, AbsentUnitIsWaitedForAndAbsentServersDoNotFailIt) {
    const std::string address = "127.0.5.31";
    const std::string path = writeConfig(dir, address);
    Configuration config(path.c_str());
    SimulatorSample bridge(&config);
    bridge.adaptor.passPause = 20ms;
    SentrelEmulator::Options unitOptions;
    unitOptions.address = address;
    unitOptions.udpPort = 0;
    SentrelEmulator unit(unitOptions);
    std::thread later([&] {
        std::this_thread::sleep_for(400ms);
        unit.start();
    });
    testing::internal::CaptureStdout();
    const auto start = std::chrono::steady_clock::now();
    const bool ok = bridge.initialize(false);
    const auto took = std::chrono::steady_clock::now() - start;
    later.join();
    const std::string out = testing::internal::GetCapturedStdout();
    ASSERT_TRUE(ok);
    EXPECT_GE(took, 350ms);
    EXPECT_NE(out.find("SN>Failed to find or could not connect to Sentrel on IP " + address), std::string::npos);
    EXPECT_TRUE(unit.waitForConnectionCount(1, 1000ms));
    // Nobody listens on the simulator ports: the subscriptions wait in the registries.
    EXPECT_EQ(bridge.simClient.getNumberOfUnregisteredInputParameters(), 4u);
    EXPECT_EQ(bridge.appClient.getNumberOfUnregisteredInputParameters(), 26u);
}

TEST_F(Startup, RefusedSubscriptionFailsInitializeAndStopsThere) {
    const std::string address = "127.0.5.32";
    SentrelEmulator::Options unitOptions;
    unitOptions.address = address;
    unitOptions.udpPort = 0;
    SentrelEmulator unit(unitOptions);
    unit.start();
    const std::string path = writeConfig(dir, address);
    Configuration config(path.c_str());
    {
        // A name already registered is refused: the SIM table fails, the APP
        // table is not sent at all.
        SimulatorSample bridge(&config);
        ASSERT_EQ(bridge.simClient.registerInputParameter({"HW_PATSPEED", CSClient::PARAMETER_TYPE_INT, 0}),
                  CSClient::RESULT_OK);
        testing::internal::CaptureStderr();
        EXPECT_FALSE(bridge.initialize(false));
        EXPECT_NE(testing::internal::GetCapturedStderr().find(
                      "SN>ERROR>Orra> Input subscription failed (SIM protocol)!\n"),
                  std::string::npos);
        EXPECT_EQ(bridge.appClient.getNumberOfRegisteredInputParameters() +
                      bridge.appClient.getNumberOfUnregisteredInputParameters(),
                  0u);
    }
    {
        SimulatorSample bridge(&config);
        ASSERT_EQ(bridge.appClient.registerInputParameter({"HRPM", CSClient::PARAMETER_TYPE_INT, 0}),
                  CSClient::RESULT_OK);
        testing::internal::CaptureStderr();
        EXPECT_FALSE(bridge.initialize(false));
        EXPECT_NE(testing::internal::GetCapturedStderr().find(
                      "SN>ERROR>Orra> Input subscription failed (APP protocol)!\n"),
                  std::string::npos);
    }
}

TEST_F(Startup, UnreadableConfigurationFailsBeforeTouchingTheUnit) {
    Configuration config(dir.file("missing.xml").c_str());
    SimulatorSample bridge(&config);
    testing::internal::CaptureStderr();
    testing::internal::CaptureStdout();
    EXPECT_FALSE(bridge.initialize(true));
    testing::internal::GetCapturedStdout();
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("SN>ERROR>Unable to read the configuration!"), std::string::npos);
    EXPECT_FALSE(bridge.adaptor.connected);
}

}  // namespace
