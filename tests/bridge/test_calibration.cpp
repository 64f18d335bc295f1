// The calibration procedure: every action, the calibration thread's start and
// end, the save sequence's bytes at an in-process emulated unit, failures at
// the callback boundary and destruction while calibrating.
#include "BridgeTestSupport.h"

#include <memory>

using namespace bridgetest;
using namespace std::chrono_literals;

namespace {

const char* const kExampleSpO2CalData =
    "{\"MessageType\":\"CalData\",\"Message\":{\"calName\":\"SpaceLabs Xprezzon\",\"calType\":\"SpO2\","
    "\"calPts\":[{\"Item1\":\"60\",\"Item2\":\"88\"},{\"Item1\":\"45\",\"Item2\":\"97\"}]}}";

Params calib(int action, int arg) { return {I("HW_PATMON_CALIB_ARG1", arg), I("HW_PATMON_CALIB_ACTION", action)}; }

class Calibration : public ::testing::Test {
protected:
    Calibration() : config("unused.xml") { rebuild(shortTiming()); }
    // A fresh bridge on the same configuration, its link marked up.
    void rebuild(const Timing& timing) {
        bridge.reset();
        bridge.reset(new SimulatorSample(&config, timing));
        markUnitConnected(adaptor());
    }
    SentrelAdaptor& adaptor() { return Access::adaptor(*bridge); }
    const auto& state() const { return Access::calibration(*bridge); }
    void update(const Params& batch) { bridge->parametersUpdated(batch); }
    bool threadEntered() {
        return testsupport::eventually(
            [&] { return !Access::pinging(*bridge) && streamingVitals(adaptor()); }, kWait);
    }
    bool threadLeft() {
        return testsupport::eventually(
            [&] { return Access::pinging(*bridge) && !streamingVitals(adaptor()); }, kWait);
    }

    Configuration config;
    std::unique_ptr<SimulatorSample> bridge;
};

TEST_F(Calibration, ActionsBeforeStartAreIgnored) {
    testing::internal::CaptureStdout();
    update(calib(30, 97));
    update(calib(0, 0));
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Calling performCalibration with action: [30] and arg: [97]\n"
              "SN>CALIBRATION>Ignoring calibration until a 'Start' action is received.\n"
              "Calling performCalibration with action: [0] and arg: [0]\n");
    EXPECT_TRUE(state().spo2Points.empty());
    EXPECT_FALSE(Access::calibrating(*bridge));
}

TEST_F(Calibration, StartResetAndStopRunOneThread) {
    testing::internal::CaptureStdout();
    update(calib(1, 0));
    ASSERT_TRUE(threadEntered());
    EXPECT_TRUE(Access::calibrating(*bridge));
    for (const Params& p : {calib(3, 70), calib(30, 2), calib(4, 5), calib(40, 4)}) update(p);
    ASSERT_EQ(state().spo2Points.size(), 1u);
    ASSERT_EQ(state().co2Points.size(), 1u);

    update(calib(1, 0));  // only resets
    EXPECT_TRUE(state().spo2Points.empty());
    EXPECT_TRUE(state().co2Points.empty());
    EXPECT_EQ(state().co2Counter, 0);
    EXPECT_EQ(state().spo2Counter, 70);  // kept across a reset
    update(calib(0, 0));
    EXPECT_FALSE(Access::calibrating(*bridge));
    ASSERT_TRUE(threadLeft());
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(countOf(out, "SN>CALIBRATION>Starting calibration\n"), 1);
    EXPECT_EQ(countOf(out, "SN>CALIBRATION>Start/reset calibration\n"), 2);
    EXPECT_EQ(countOf(out, "Entered calibration mode...\n"), 1);
    EXPECT_EQ(countOf(out, "SN>CALIBRATION>Stopping calibration\n"), 1);
    EXPECT_EQ(countOf(out, "exiting calibration mode...\n"), 1);

    // A new calibration mode starts a new thread.
    testing::internal::CaptureStdout();
    update(calib(1, 0));
    ASSERT_TRUE(threadEntered());
    update(calib(-3, 0));
    ASSERT_TRUE(threadLeft());
    EXPECT_EQ(countOf(testing::internal::GetCapturedStdout(), "Entered calibration mode...\n"), 1);
}

TEST_F(Calibration, StartingTheSimulationEndsCalibrationMode) {
    update(calib(1, 0));
    ASSERT_TRUE(threadEntered());
    update({I("HW_PATSPEED", 1)});
    EXPECT_FALSE(Access::calibrating(*bridge));
    // The thread notices within its period and restores its own settings.
    EXPECT_TRUE(threadLeft());
}

TEST_F(Calibration, CountersAreStoredAndSentFromOne) {
    update(calib(1, 0));
    takePending(*bridge);
    testing::internal::CaptureStdout();
    update(calib(3, 0));
    EXPECT_EQ(state().spo2Counter, 0);
    EXPECT_TRUE(takePending(*bridge).empty());
    update(calib(3, 60));
    EXPECT_EQ(takePending(*bridge).vitals, (std::map<std::string, std::string>{{"spO2Ratio", "60"}}));
    // Only the argument changes: the stored action runs again with it.
    update({I("HW_PATMON_CALIB_ARG1", 65)});
    EXPECT_EQ(state().spo2Counter, 65);
    EXPECT_EQ(takePending(*bridge).vitals.at("spO2Ratio"), "65");

    update(calib(4, 0));
    EXPECT_EQ(state().co2Counter, 0);
    EXPECT_TRUE(takePending(*bridge).empty());
    update(calib(4, 250));
    EXPECT_EQ(takePending(*bridge).vitals,
              (std::map<std::string, std::string>{{"rr", "10"}, {"co2FlowFactor", "250"}}));
    update(calib(2, 9));
    update(calib(77, 1));  // unknown: the entry line only
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("SN>CALIBRATION>Set SPO2 Counter to 0\n"), std::string::npos);
    EXPECT_NE(out.find("SN>CALIBRATION>Set CO2 Counter to 250\nSending co2FlowFactor of 250\n"), std::string::npos);
    EXPECT_NE(out.find("SN>CALIBRATION>Set SPO2 scale to 9\n"), std::string::npos);
    EXPECT_NE(out.find("Calling performCalibration with action: [77] and arg: [1]\n"), std::string::npos);
    EXPECT_TRUE(Access::calibrating(*bridge));
}

TEST_F(Calibration, PointsAreSavedReplacedAndSkipped) {
    update(calib(1, 0));
    testing::internal::CaptureStdout();
    update(calib(3, 45));
    update(calib(30, 90));
    update(calib(30, 97));  // same counter: the later value stays
    update(calib(3, 60));
    update(calib(30, 88));
    update(calib(4, 20));
    update(calib(40, 5));
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("SN>CALIBRATION>Save SPO2 point 97 -> 45\n"), std::string::npos);
    EXPECT_NE(out.find("SN>CALIBRATION>Save CO2 point 5 -> 20\n"), std::string::npos);
    EXPECT_EQ(state().spo2Points, (std::map<int32_t, int32_t>{{45, 97}, {60, 88}}));
    EXPECT_EQ(state().co2Points, (std::map<int32_t, int32_t>{{20, 5}}));
    update(calib(39, 0));
    EXPECT_TRUE(state().spo2Points.empty());
    EXPECT_FALSE(state().co2Points.empty());
    update(calib(49, 0));
    EXPECT_TRUE(state().co2Points.empty());
}

TEST(CalDataText, CompactTextInDescendingKeyOrder) {
    EXPECT_EQ(SimulatorSample::buildCalDataText("SpO2", {{45, 97}, {60, 88}}), kExampleSpO2CalData);
    EXPECT_EQ(SimulatorSample::buildCalDataText("CO2", {{-5, 1000000}, {7, 0}}),
              "{\"MessageType\":\"CalData\",\"Message\":{\"calName\":\"SpaceLabs Xprezzon\",\"calType\":\"CO2\","
              "\"calPts\":[{\"Item1\":\"7\",\"Item2\":\"0\"},{\"Item1\":\"-5\",\"Item2\":\"1000000\"}]}}");
    // 9 significant digits: a counter beyond float precision is written as its float.
    EXPECT_NE(SimulatorSample::buildCalDataText("CO2", {{123456789, 1}}).find("\"Item1\":\"123456792\""),
              std::string::npos);
}

// The save sequence against an emulated unit on loopback.
class CalibrationSave : public Calibration {
protected:
    void connect(const std::string& address) {
        unit = startedUnit(address);
        ASSERT_TRUE(adaptor().initialize("", address, "", "", false));
    }
    std::vector<SentrelEmulator::ReceivedMessage> calibrationTraffic() {
        std::vector<SentrelEmulator::ReceivedMessage> out;
        for (const auto& m : unit->messageLog())
            if (m.type != "VitalsData" && m.type != "WaveformData" && m.type != "CalSelect") out.push_back(m);
        return out;
    }

    testsupport::TempWorkingDirectory dir;
    std::unique_ptr<SentrelEmulator> unit;
};

TEST_F(CalibrationSave, BothTablesReplaceTheUnitsCalibrations) {
    connect("127.0.5.10");
    update(calib(1, 0));
    for (const Params& p : {calib(3, 45), calib(30, 97), calib(3, 60), calib(30, 88), calib(4, 300), calib(40, 12),
                            calib(4, 100), calib(40, 3)})
        update(p);
    testing::internal::CaptureStdout();
    update(calib(100, 0));
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_FALSE(Access::calibrating(*bridge));
    EXPECT_TRUE(threadLeft());

    const std::string spo2List = "{\"MessageType\":\"CalListRequest\",\"Message\":{\"calType\":\"SpO2\"}}";
    const std::string co2List = "{\"MessageType\":\"CalListRequest\",\"Message\":{\"calType\":\"CO2\"}}";
    const std::string co2Data =
        "{\"MessageType\":\"CalData\",\"Message\":{\"calName\":\"SpaceLabs Xprezzon\",\"calType\":\"CO2\","
        "\"calPts\":[{\"Item1\":\"300\",\"Item2\":\"12\"},{\"Item1\":\"100\",\"Item2\":\"3\"}]}}";
    const std::vector<std::string> expected = {
        spo2List, SimulatorSample::kCalRemoveSpO2, spo2List, kExampleSpO2CalData, spo2List,
        co2List,  SimulatorSample::kCalRemoveCO2,  co2List,  co2Data,             co2List,
    };
    ASSERT_TRUE(unit->waitForMessageCount("CalListRequest", 6, 3000ms));
    std::vector<std::string> got;
    for (const auto& m : calibrationTraffic()) got.push_back(m.json);
    EXPECT_EQ(got, expected);
    EXPECT_EQ(unit->calibrationData("SpO2", "SpaceLabs Xprezzon"), kExampleSpO2CalData);
    EXPECT_EQ(unit->calibrationData("CO2", "SpaceLabs Xprezzon"), co2Data);

    const std::vector<std::string> lines = {"SN>CALIBRATION>Saving calibration file!\n",
                                            "Removing previous calibration:\n", "New calibration list:\n",
                                            "After SpO2:\n", "Removing previous calibration\n", "After CO2:\n"};
    std::size_t at = 0;
    for (const std::string& line : lines) {
        const std::size_t found = out.find(line, at);
        ASSERT_NE(found, std::string::npos) << line;
        at = found + line.size();
    }
    // The unit's answers are printed: the stored name appears in the later lists.
    EXPECT_NE(out.find("SpaceLabs Xprezzon"), std::string::npos);
    // The point tables survive the save.
    EXPECT_EQ(state().spo2Points.size(), 2u);
}

TEST_F(CalibrationSave, EmptyTablesOnlyPauseAndOnlyCo2SendsNoSpO2) {
    Timing timing = shortTiming();
    timing.savePause = 150ms;
    rebuild(timing);
    connect("127.0.5.11");
    update(calib(1, 0));
    const auto start = std::chrono::steady_clock::now();
    update(calib(100, 0));
    // The save pauses even with nothing to save (a lower bound only).
    EXPECT_GE(std::chrono::steady_clock::now() - start, 150ms);
    EXPECT_FALSE(Access::calibrating(*bridge));
    EXPECT_TRUE(calibrationTraffic().empty());

    update(calib(1, 0));
    update(calib(4, 50));
    update(calib(40, 2));
    update(calib(100, 0));
    ASSERT_TRUE(unit->waitForMessageCount("CalData", 1, 3000ms));
    for (const auto& m : calibrationTraffic()) EXPECT_EQ(m.json.find("SpO2"), std::string::npos) << m.json;
    EXPECT_EQ(unit->messageCount("CalRemove"), 1u);
}

TEST_F(CalibrationSave, FailedUnitRequestIsCaughtAtTheCallbackAndEndsCalibration) {
    Timing timing = shortTiming();
    timing.replyTimeout = 200ms;  // the unit never answers
    rebuild(timing);
    connect("127.0.5.12");
    SentrelEmulator::Faults faults;
    faults.neverAnswer = true;
    unit->setFaults(faults);
    SimulatorSample::SimClientCallback callback(bridge.get());
    callback.parametersUpdated(calib(1, 0));
    ASSERT_TRUE(threadEntered());
    callback.parametersUpdated(calib(3, 45));
    callback.parametersUpdated(calib(30, 97));
    testing::internal::CaptureStderr();
    callback.parametersUpdated(calib(100, 0));  // must not throw
    const std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("SN>ERROR>"), std::string::npos);
    EXPECT_FALSE(Access::calibrating(*bridge));
    // The calibration thread takes the bridge lock to see the end of
    // calibration mode: it could not leave if the failed batch kept the lock.
    EXPECT_TRUE(threadLeft());
    // Later batches go through.
    SimulatorSample::AppClientCallback appCallback(bridge.get());
    appCallback.parametersUpdated({I("HRPM", 61)});
    EXPECT_EQ(Access::vitals(*bridge).heartRate, 61);
}

TEST_F(Calibration, DestructionEndsCalibrationAndWaitsForTheThread) {
    update(calib(1, 0));
    ASSERT_TRUE(threadEntered());
    testing::internal::CaptureStdout();
    bridge.reset();
    // The thread saw calibration mode end and finished before the bridge went.
    EXPECT_EQ(countOf(testing::internal::GetCapturedStdout(), "exiting calibration mode...\n"), 1);
    // A second bridge on the same configuration calibrates afresh.
    rebuild(shortTiming());
    update(calib(1, 0));
    EXPECT_TRUE(threadEntered());
}

TEST(CallbackConnectionLines, ConnectedAndDisconnectedOnly) {
    Configuration config("unused.xml");
    SimulatorSample bridge(&config);
    SimulatorSample::SimClientCallback sim(&bridge);
    SimulatorSample::AppClientCallback app(&bridge);
    testing::internal::CaptureStdout();
    sim.connectionStateChanged(CSClient::STATE_CONNECTING, CSClient::STATE_ESTABLISHING);
    sim.connectionStateChanged(CSClient::STATE_ESTABLISHING, CSClient::STATE_CONNECTED);
    sim.connectionStateChanged(CSClient::STATE_CONNECTED, CSClient::STATE_CONNECTED);
    app.connectionStateChanged(CSClient::STATE_ESTABLISHING, CSClient::STATE_CONNECTED);
    app.connectionStateChanged(CSClient::STATE_CONNECTED, CSClient::STATE_CONNECTION_LOST);
    app.connectionStateChanged(CSClient::STATE_CONNECTION_LOST, CSClient::STATE_CONNECTING);
    sim.connectionStateChanged(CSClient::STATE_CONNECTED, CSClient::STATE_CLOSING);
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "Orra> Connected (SIM Protocol)\n"
              "Orra> Connected (APP Protocol)\n"
              "Orra> Disconnected (APP Protocol)\n"
              "Orra> Disconnected (SIM Protocol)\n");
}

}  // namespace
