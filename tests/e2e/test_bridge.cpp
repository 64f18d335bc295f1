// The bridge program end to end: PatientSimulatorSentrel runs as a child
// process against the emulated unit and the emulated simulator servers, both
// in-process, over loopback. One loopback address per test (fixed ports).
#include "ChildProcess.h"
#include "EmulatedPeers.h"
#include "TestSupport.h"

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <thread>

using namespace std::chrono_literals;
using Stream = ChildProcess::Stream;

namespace {

using testsupport::startedServers;
using testsupport::startedUnit;

std::string vitalText(const SentrelEmulator& unit, const std::string& member)
{
    SentrelEmulator::VitalValue v;
    return unit.vital(member, v) ? v.text : "";
}

bool waitForVital(const SentrelEmulator& unit, const std::string& member, const std::string& text,
                  std::chrono::milliseconds timeout = 10s)
{
    return testsupport::eventually([&] { return vitalText(unit, member) == text; }, timeout);
}

class BridgeProgram : public ::testing::Test {
protected:
    void startBridge(const std::string& unitAddress, const std::string& serverAddress)
    {
        dir.write("bridge.xml", testsupport::bridgeConfigXml(unitAddress, serverAddress));
        bridge = std::make_unique<ChildProcess>(SN_BRIDGE_BINARY,
                                                std::vector<std::string>{"-f", dir.file("bridge.xml")},
                                                dir.path());
    }
    std::string output() const { return bridge->out() + "\n--- stderr ---\n" + bridge->err(); }

    TempDir dir{"sn-e2e-bridge"};
    std::unique_ptr<ChildProcess> bridge;
};

// Start-up waits for an absent unit, then subscribes 4 SIM and 26 APP
// parameters; while the simulation is paused the unit gets pings and no vitals.
TEST_F(BridgeProgram, WaitsForTheUnitSubscribesAndPingsWhilePaused)
{
    const std::string address = "127.0.5.40";
    auto servers = startedServers(address, false, true);
    startBridge(address, address);
    ASSERT_TRUE(bridge->waitForLine(Stream::Out, "SN>Failed to find or could not connect to Sentrel on IP " + address,
                                    10s))
        << output();
    EXPECT_EQ(bridge->out().find("SN>Running..."), std::string::npos);
    auto unit = startedUnit(address);
    ASSERT_TRUE(bridge->waitForLine(Stream::Out, "SN>Running...", 10s)) << output();
    EXPECT_TRUE(servers->waitForSubscribedCount(SimProtocol::SIM, 4, 10s));
    EXPECT_TRUE(servers->waitForSubscribedCount(SimProtocol::APP, 26, 10s));
    EXPECT_EQ(servers->subscribedNames(SimProtocol::SIM).size(), 4u);
    EXPECT_EQ(servers->subscribedNames(SimProtocol::APP).size(), 26u);
    EXPECT_TRUE(bridge->waitForLine(Stream::Out, "Orra> Connected (APP Protocol)", 10s)) << output();
    EXPECT_TRUE(unit->waitForMessageCount("CalSelect", 2, 8s)) << output();
    EXPECT_EQ(unit->messageCount("VitalsData"), 0u);
    EXPECT_EQ(unit->messageCount("WaveformData"), 0u);
    EXPECT_EQ(dir.read("_lastconnectedIPAddress.txt"), address);
    EXPECT_FALSE(bridge->exited());
}

// While running: the patient's values reach the unit as the bridge computes
// them, waveforms flow, no pings; the unit going away and coming back is
// followed.
TEST_F(BridgeProgram, StreamsWhileRunningAndFollowsTheUnitAwayAndBack)
{
    const std::string address = "127.0.5.41";
    auto servers = startedServers(address, true, true);
    // The unit starts after the child: a listener open at fork time would
    // stay open in the child and keep its address from being bound again.
    startBridge(address, address);
    auto unit = startedUnit(address);
    ASSERT_TRUE(bridge->waitForLine(Stream::Out, "SN>Running...", 10s)) << output();
    for (const char* slot : {"abp", "pap", "cvp", "pleth"})
        EXPECT_TRUE(unit->waitForSampleCount(slot, 30, 10s)) << slot << "\n" << output();
    EXPECT_TRUE(waitForVital(*unit, "hr", "75")) << unit->summaryLine();
    EXPECT_EQ(vitalText(*unit, "spO2"), "97");
    EXPECT_EQ(vitalText(*unit, "sbp"), "120");
    EXPECT_EQ(vitalText(*unit, "dbp"), "80");
    EXPECT_EQ(vitalText(*unit, "mbp"), "93");
    EXPECT_EQ(vitalText(*unit, "rr"), "14");
    EXPECT_EQ(vitalText(*unit, "etCO2"), "38");
    EXPECT_EQ(vitalText(*unit, "t1"), "37.0");
    EXPECT_EQ(vitalText(*unit, "t2"), "37.2");
    EXPECT_EQ(vitalText(*unit, "abpZeroState"), "NotZeroing");
    // The arterial pressure keeps within the patient's diastolic..systolic
    // range (the first samples may still be the subscription's initial 0).
    const std::vector<int> abp = unit->recentSamples("abp");
    ASSERT_GE(abp.size(), 30u);
    for (std::size_t i = abp.size() - 30; i < abp.size(); ++i) {
        EXPECT_GE(abp[i], 70);
        EXPECT_LE(abp[i], 130);
    }
    EXPECT_EQ(servers->execute("set HRPM 88"), "ok");
    EXPECT_TRUE(waitForVital(*unit, "hr", "88", 5s));
    EXPECT_EQ(unit->messageCount("CalSelect"), 0u);

    unit->stop();
    ASSERT_TRUE(bridge->waitForLine(Stream::Out, "Disconnected. Reconnecting.", 10s)) << output();
    auto back = startedUnit(address);
    EXPECT_TRUE(back->waitForSampleCount("abp", 30, 10s)) << output();
    EXPECT_TRUE(waitForVital(*back, "hr", "88"));
    EXPECT_FALSE(bridge->exited());
}

// A unit that drops every connection right away: the bridge gives up after 11
// silent cycles, builds a new bridge and re-reads the configuration, which
// now names another unit.
TEST_F(BridgeProgram, GivesUpAfterElevenSilentCyclesAndRebuildsFromTheRereadConfiguration)
{
    const std::string address = "127.0.5.42";
    const std::string otherUnit = "127.0.5.43";
    auto servers = startedServers(address, true, true);
    SentrelEmulator::Faults flaky;
    flaky.closeAfterFrames = 1;
    auto unit = startedUnit(address, flaky);
    startBridge(address, address);
    ASSERT_TRUE(bridge->waitForLine(Stream::Out, "SN>Running...", 10s)) << output();
    dir.write("bridge.xml", testsupport::bridgeConfigXml(otherUnit, address));
    auto good = startedUnit(otherUnit);

    ASSERT_TRUE(bridge->waitForLine(Stream::Err, "SN>ERROR>No answer from the Sentrel unit for too long. Disconnecting.",
                                    60s))
        << output();
    const std::string err = bridge->err();
    for (int k : {2, 4, 6, 8, 10})
        EXPECT_EQ(ChildProcess::count(err, "SN>ERROR>Unable to reach the Sentrel unit... (" + std::to_string(k) +
                                               "). Reconnecting..."),
                  1u)
            << err;
    EXPECT_EQ(ChildProcess::count(err, "SN>ERROR>Unable to reach the Sentrel unit... ("), 5u) << err;
    ASSERT_TRUE(bridge->waitForLine(Stream::Out, "SN>Disconnected!!", 10s)) << output();
    EXPECT_TRUE(bridge->waitForCount(Stream::Out, "SN>Reading configuration file: ", 2, 10s)) << output();
    EXPECT_TRUE(bridge->waitForCount(Stream::Out, "SN>Running...", 2, 15s)) << output();
    EXPECT_TRUE(good->waitForSampleCount("abp", 30, 10s)) << output();
    EXPECT_EQ(dir.read("_lastconnectedIPAddress.txt"), otherUnit);
    EXPECT_FALSE(bridge->exited());
}

// Simulator servers that are not there at start-up: the bridge starts anyway
// and the clients join them once they appear.
TEST_F(BridgeProgram, JoinsSimulatorServersThatAppearLater)
{
    const std::string address = "127.0.5.44";
    auto unit = startedUnit(address);
    startBridge(address, address);
    ASSERT_TRUE(bridge->waitForLine(Stream::Out, "SN>Running...", 10s)) << output();
    std::this_thread::sleep_for(500ms);
    auto servers = startedServers(address, true, true);
    EXPECT_TRUE(servers->waitForSubscribedCount(SimProtocol::SIM, 4, 10s)) << output();
    EXPECT_TRUE(servers->waitForSubscribedCount(SimProtocol::APP, 26, 10s)) << output();
    EXPECT_TRUE(bridge->waitForLine(Stream::Out, "Orra> Connected (SIM Protocol)", 5s)) << output();
    EXPECT_TRUE(bridge->waitForLine(Stream::Out, "Orra> Connected (APP Protocol)", 5s)) << output();
    EXPECT_TRUE(unit->waitForSampleCount("abp", 30, 10s)) << output();
}

// A whole calibration driven from the simulator: the counters reach the
// unit, and the save replaces the unit's stored calibrations for the monitor.
TEST_F(BridgeProgram, WholeCalibration)
{
    const std::string address = "127.0.5.45";
    auto servers = startedServers(address, false, true);
    auto unit = startedUnit(address);
    startBridge(address, address);
    ASSERT_TRUE(bridge->waitForLine(Stream::Out, "SN>Running...", 10s)) << output();
    ASSERT_TRUE(servers->waitForSubscribedCount(SimProtocol::SIM, 4, 10s));
    ASSERT_TRUE(bridge->waitForLine(Stream::Out, "Orra> Connected (SIM Protocol)", 10s)) << output();

    auto step = [&](const std::string& words, const std::string& line) {
        EXPECT_EQ(servers->execute("calib " + words), "ok");
        return bridge->waitForLine(Stream::Out, line, 5s);
    };
    ASSERT_TRUE(step("1 0", "Entered calibration mode...")) << output();
    ASSERT_TRUE(step("3 45", "SN>CALIBRATION>Set SPO2 Counter to 45")) << output();
    EXPECT_TRUE(waitForVital(*unit, "spO2Ratio", "45", 5s)) << unit->summaryLine();
    ASSERT_TRUE(step("30 97", "SN>CALIBRATION>Save SPO2 point 97 -> 45")) << output();
    ASSERT_TRUE(step("3 60", "SN>CALIBRATION>Set SPO2 Counter to 60")) << output();
    ASSERT_TRUE(step("30 88", "SN>CALIBRATION>Save SPO2 point 88 -> 60")) << output();
    ASSERT_TRUE(step("4 200", "Sending co2FlowFactor of 200")) << output();
    EXPECT_TRUE(waitForVital(*unit, "co2FlowFactor", "200", 5s)) << unit->summaryLine();
    ASSERT_TRUE(step("40 5", "SN>CALIBRATION>Save CO2 point 5 -> 200")) << output();
    const auto pingsBefore = unit->messageCount("CalSelect");
    ASSERT_TRUE(step("100 0", "SN>CALIBRATION>Saving calibration file!")) << output();
    ASSERT_TRUE(bridge->waitForLine(Stream::Out, "exiting calibration mode...", 15s)) << output();

    EXPECT_EQ(unit->calibrationData("SpO2", "SpaceLabs Xprezzon"),
              "{\"MessageType\":\"CalData\",\"Message\":{\"calName\":\"SpaceLabs Xprezzon\",\"calType\":\"SpO2\","
              "\"calPts\":[{\"Item1\":\"60\",\"Item2\":\"88\"},{\"Item1\":\"45\",\"Item2\":\"97\"}]}}");
    EXPECT_EQ(unit->calibrationData("CO2", "SpaceLabs Xprezzon"),
              "{\"MessageType\":\"CalData\",\"Message\":{\"calName\":\"SpaceLabs Xprezzon\",\"calType\":\"CO2\","
              "\"calPts\":[{\"Item1\":\"200\",\"Item2\":\"5\"}]}}");
    EXPECT_EQ(unit->messageCount("CalRemove"), 2u);
    EXPECT_EQ(unit->messageCount("CalListRequest"), 6u);
    // Calibration mode over: the supervision pings come back.
    EXPECT_TRUE(unit->waitForMessageCount("CalSelect", pingsBefore + 1, 6s)) << output();
    EXPECT_EQ(bridge->err().find("SN>ERROR>"), std::string::npos) << output();
}

}  // namespace
