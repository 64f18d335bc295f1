// The calibration procedure: every action, the calibration thread's start and
// end and the save sequence, on a recording unit port; then the save's bytes
// at an emulated unit, failures at the callback boundary and destruction
// while calibrating, through the real bridge.
#include "BridgeTestSupport.h"
#include "FakeUnit.h"

#include <memory>

using namespace bridgetest;
using namespace std::chrono_literals;

namespace {

using Calls = std::vector<std::string>;

const char* const kExampleSpO2CalData =
    "{\"MessageType\":\"CalData\",\"Message\":{\"calName\":\"SpaceLabs Xprezzon\",\"calType\":\"SpO2\","
    "\"calPts\":[{\"Item1\":\"60\",\"Item2\":\"88\"},{\"Item1\":\"45\",\"Item2\":\"97\"}]}}";

Params calib(int action, int arg) { return {I("HW_PATMON_CALIB_ARG1", arg), I("HW_PATMON_CALIB_ACTION", action)}; }

std::string calData(const char* type, const std::map<int32_t, int32_t>& points) {
    return "sendSnCommand " + CalibrationProcedure::buildCalDataText(type, points);
}

class Calibration : public ::testing::Test {
protected:
    void perform(int action, int arg) { rig.perform(action, arg); }
    void perform(std::initializer_list<std::pair<int, int>> steps) {
        for (const auto& s : steps) perform(s.first, s.second);
    }
    // The calls to the unit, without the calibration thread's streaming switch.
    Calls unitCalls() {
        Calls out;
        for (const std::string& c : rig.unit.take())
            if (c.rfind("enableStreamVitals", 0) != 0) out.push_back(c);
        return out;
    }
    // Only the CalData messages of a save.
    Calls savedData() {
        perform(100, 0);
        Calls out;
        for (const std::string& c : unitCalls())
            if (c.find("\"CalData\"") != std::string::npos) out.push_back(c);
        return out;
    }
    bool threadEntered() {
        return testsupport::eventually([&] { return !rig.flags.ping && rig.unit.streaming(); }, kWait);
    }
    bool threadLeft() {
        return testsupport::eventually([&] { return rig.flags.ping && !rig.unit.streaming(); }, kWait);
    }
    // The calibration thread has written its last line (`n` times so far).
    bool exitLines(int n) {
        return testsupport::eventually(
            [&] { return countOf(capture.out(), "exiting calibration mode...\n") >= n; }, kWait);
    }

    snlog::Capture capture;
    Rig rig{shortTiming()};
};

TEST_F(Calibration, ActionsBeforeStartAreIgnored) {
    perform({{30, 97}, {0, 0}});
    EXPECT_EQ(capture.out(),
              "Calling performCalibration with action: [30] and arg: [97]\n"
              "SN>CALIBRATION>Ignoring calibration until a 'Start' action is received.\n"
              "Calling performCalibration with action: [0] and arg: [0]\n");
    EXPECT_FALSE(rig.flags.calibrating);
    perform(1, 0);
    EXPECT_TRUE(savedData().empty());
}

TEST_F(Calibration, StartResetAndStopRunOneThread) {
    perform(1, 0);
    ASSERT_TRUE(threadEntered());
    EXPECT_TRUE(rig.flags.calibrating);
    perform({{3, 70}, {30, 2}, {4, 5}, {40, 4}});
    perform(1, 0);  // only resets
    perform(0, 0);
    EXPECT_FALSE(rig.flags.calibrating);
    ASSERT_TRUE(threadLeft());
    ASSERT_TRUE(exitLines(1));  // written after the settings are restored
    const std::string out = capture.out();
    EXPECT_EQ(countOf(out, "SN>CALIBRATION>Starting calibration\n"), 1);
    EXPECT_EQ(countOf(out, "SN>CALIBRATION>Start/reset calibration\n"), 2);
    EXPECT_EQ(countOf(out, "Entered calibration mode...\n"), 1);
    EXPECT_EQ(countOf(out, "SN>CALIBRATION>Stopping calibration\n"), 1);
    EXPECT_EQ(countOf(out, "exiting calibration mode...\n"), 1);

    // A new calibration mode starts a new thread. A start clears both tables
    // and the CO2 counter; the SpO2 counter stays.
    capture.clear();
    perform(1, 0);
    ASSERT_TRUE(threadEntered());
    EXPECT_EQ(countOf(capture.out(), "Entered calibration mode...\n"), 1);
    perform({{30, 9}, {40, 8}});
    EXPECT_EQ(savedData(), (Calls{calData("SpO2", {{70, 9}}), calData("CO2", {{0, 8}})}));
    perform(-3, 0);  // after a save: outside calibration mode, the entry line only
    EXPECT_TRUE(threadLeft());
}

TEST_F(Calibration, CountersAreStoredAndSentFromOne) {
    perform(1, 0);
    ASSERT_TRUE(threadEntered());
    unitCalls();
    capture.clear();
    perform(3, 0);
    EXPECT_TRUE(unitCalls().empty());
    perform(3, 60);
    EXPECT_EQ(unitCalls(), Calls{"sendSPO2_ratio 60"});
    perform(4, 0);
    EXPECT_TRUE(unitCalls().empty());
    perform(4, 250);
    EXPECT_EQ(unitCalls(), (Calls{"sendRR_brpm 10", "sendCO2_flowFactor 250"}));
    perform({{2, 9}, {77, 1}});  // a scale only logs; an unknown action only has the entry line
    EXPECT_TRUE(unitCalls().empty());
    EXPECT_EQ(capture.out(),
              "Calling performCalibration with action: [3] and arg: [0]\n"
              "SN>CALIBRATION>Set SPO2 Counter to 0\n"
              "Calling performCalibration with action: [3] and arg: [60]\n"
              "SN>CALIBRATION>Set SPO2 Counter to 60\n"
              "Calling performCalibration with action: [4] and arg: [0]\n"
              "SN>CALIBRATION>Set CO2 Counter to 0\n"
              "Calling performCalibration with action: [4] and arg: [250]\n"
              "SN>CALIBRATION>Set CO2 Counter to 250\nSending co2FlowFactor of 250\n"
              "Calling performCalibration with action: [2] and arg: [9]\n"
              "SN>CALIBRATION>Set SPO2 scale to 9\n"
              "Calling performCalibration with action: [77] and arg: [1]\n");
    EXPECT_TRUE(rig.flags.calibrating);
    perform(0, 0);
}

// Only the argument changes: the translator repeats the stored action with it.
TEST_F(Calibration, AnArgumentAloneRepeatsTheStoredAction) {
    rig.update(calib(1, 0));
    rig.update(calib(3, 60));
    unitCalls();
    rig.update({I("HW_PATMON_CALIB_ARG1", 65)});
    EXPECT_EQ(unitCalls(), Calls{"sendSPO2_ratio 65"});
    rig.update({I("HW_PATMON_CALIB_ACTION", 0)});
}

TEST_F(Calibration, PointsAreSavedReplacedAndSkipped) {
    perform({{1, 0}, {3, 45}, {30, 90}, {30, 97}, {3, 60}, {30, 88}, {4, 20}, {40, 5}});
    EXPECT_NE(capture.out().find("SN>CALIBRATION>Save SPO2 point 97 -> 45\n"), std::string::npos);
    EXPECT_NE(capture.out().find("SN>CALIBRATION>Save CO2 point 5 -> 20\n"), std::string::npos);
    // The same counter keeps the later value.
    EXPECT_EQ(savedData(), (Calls{calData("SpO2", {{45, 97}, {60, 88}}), calData("CO2", {{20, 5}})}));
    perform({{1, 0}, {3, 45}, {30, 90}, {4, 20}, {40, 5}, {39, 0}});
    EXPECT_EQ(savedData(), Calls{calData("CO2", {{20, 5}})});
    perform({{1, 0}, {30, 90}, {40, 5}, {49, 0}});
    EXPECT_EQ(savedData(), Calls{calData("SpO2", {{45, 90}})});
    EXPECT_NE(capture.out().find("SN>CALIBRATION>Skipping SPO2\n"), std::string::npos);
    EXPECT_NE(capture.out().find("SN>CALIBRATION>Skipping CO2\n"), std::string::npos);
}

TEST_F(Calibration, SaveReplacesBothTablesStepByStep) {
    perform({{1, 0}, {3, 45}, {30, 97}, {3, 60}, {30, 88}, {4, 300}, {40, 12}, {4, 100}, {40, 3}});
    ASSERT_TRUE(threadEntered());
    unitCalls();
    capture.clear();
    perform(100, 0);
    EXPECT_FALSE(rig.flags.calibrating);
    const std::string spo2List = "printJson " + rig.unit.answer("SpO2");
    const std::string co2List = "printJson " + rig.unit.answer("CO2");
    EXPECT_EQ(unitCalls(), (Calls{"request SpO2", spo2List, std::string("sendSnCommand ") + CalibrationProcedure::kCalRemoveSpO2,
                                  "request SpO2", spo2List, std::string("sendSnCommand ") + kExampleSpO2CalData,
                                  "request SpO2", spo2List,
                                  "request CO2", co2List, std::string("sendSnCommand ") + CalibrationProcedure::kCalRemoveCO2,
                                  "request CO2", co2List, calData("CO2", {{100, 3}, {300, 12}}),
                                  "request CO2", co2List}));
    ASSERT_TRUE(exitLines(1));
    EXPECT_EQ(capture.out(),
              "Calling performCalibration with action: [100] and arg: [0]\n"
              "SN>CALIBRATION>Saving calibration file!\n"
              "Removing previous calibration:\nNew calibration list:\nAfter SpO2:\n"
              "Removing previous calibration\nNew calibration list:\nAfter CO2:\n"
              "exiting calibration mode...\n");
    EXPECT_TRUE(threadLeft());
}

TEST_F(Calibration, EmptyTablesOnlyPauseAndOnlyCo2SendsNoSpO2) {
    Timing timing = shortTiming();
    timing.savePause = 150ms;
    Rig slow(timing);
    slow.perform(1, 0);
    const auto start = std::chrono::steady_clock::now();
    slow.perform(100, 0);
    // The save pauses even with nothing to save (a lower bound only).
    EXPECT_GE(std::chrono::steady_clock::now() - start, 150ms);
    EXPECT_FALSE(slow.flags.calibrating);
    for (const std::string& c : slow.unit.take()) EXPECT_EQ(c.rfind("enableStreamVitals", 0), 0u) << c;

    perform({{1, 0}, {4, 50}, {40, 2}});
    unitCalls();
    perform(100, 0);
    const Calls calls = unitCalls();
    EXPECT_EQ(calls.size(), 8u);
    for (const std::string& c : calls) EXPECT_EQ(c.find("SpO2"), std::string::npos) << c;
}

TEST(CalDataText, CompactTextInDescendingKeyOrder) {
    EXPECT_EQ(CalibrationProcedure::buildCalDataText("SpO2", {{45, 97}, {60, 88}}), kExampleSpO2CalData);
    EXPECT_EQ(CalibrationProcedure::buildCalDataText("CO2", {{-5, 1000000}, {7, 0}}),
              "{\"MessageType\":\"CalData\",\"Message\":{\"calName\":\"SpaceLabs Xprezzon\",\"calType\":\"CO2\","
              "\"calPts\":[{\"Item1\":\"7\",\"Item2\":\"0\"},{\"Item1\":\"-5\",\"Item2\":\"1000000\"}]}}");
    // 9 significant digits: a counter beyond float precision is written as its float.
    EXPECT_NE(CalibrationProcedure::buildCalDataText("CO2", {{123456789, 1}}).find("\"Item1\":\"123456792\""),
              std::string::npos);
}

// The real bridge, its adaptor connected to an emulated unit on loopback.
class BridgeCalibration : public ::testing::Test {
protected:
    void connect(const std::string& address, const Timing& timing = shortTiming()) {
        bridge = std::make_unique<SimulatorSample>(&config, timing);
        unit = startedUnit(address);
        ASSERT_TRUE(adaptor().initialize("", address, "", "", false));
    }
    SentrelAdaptor& adaptor() { return Access::adaptor(*bridge); }
    void update(const Params& batch) { bridge->parametersUpdated(batch); }
    bool linesSeen(const std::string& line, int n) {
        return testsupport::eventually([&] { return countOf(capture.out(), line) >= n; }, kWait);
    }
    std::vector<std::string> calibrationTraffic() {
        std::vector<std::string> out;
        for (const auto& m : unit->messageLog())
            if (m.type != "VitalsData" && m.type != "WaveformData" && m.type != "CalSelect") out.push_back(m.json);
        return out;
    }

    snlog::Capture capture;
    testsupport::TempWorkingDirectory dir;
    Configuration config{"unused.xml"};
    std::unique_ptr<SentrelEmulator> unit;
    std::unique_ptr<SimulatorSample> bridge;
};

TEST_F(BridgeCalibration, SaveReplacesTheUnitsCalibrationsByteForByte) {
    connect("127.0.5.10");
    for (const Params& p : {calib(1, 0), calib(3, 45), calib(30, 97), calib(3, 60), calib(30, 88), calib(4, 300),
                            calib(40, 12), calib(4, 100), calib(40, 3), calib(100, 0)})
        update(p);
    EXPECT_FALSE(bridge->status().calibrating);
    const std::string spo2List = "{\"MessageType\":\"CalListRequest\",\"Message\":{\"calType\":\"SpO2\"}}";
    const std::string co2List = "{\"MessageType\":\"CalListRequest\",\"Message\":{\"calType\":\"CO2\"}}";
    const std::string co2Data =
        "{\"MessageType\":\"CalData\",\"Message\":{\"calName\":\"SpaceLabs Xprezzon\",\"calType\":\"CO2\","
        "\"calPts\":[{\"Item1\":\"300\",\"Item2\":\"12\"},{\"Item1\":\"100\",\"Item2\":\"3\"}]}}";
    ASSERT_TRUE(unit->waitForMessageCount("CalListRequest", 6, 3000ms));
    EXPECT_EQ(calibrationTraffic(),
              (std::vector<std::string>{spo2List, CalibrationProcedure::kCalRemoveSpO2, spo2List, kExampleSpO2CalData,
                                        spo2List, co2List, CalibrationProcedure::kCalRemoveCO2, co2List, co2Data,
                                        co2List}));
    EXPECT_EQ(unit->calibrationData("SpO2", "SpaceLabs Xprezzon"), kExampleSpO2CalData);
    EXPECT_EQ(unit->calibrationData("CO2", "SpaceLabs Xprezzon"), co2Data);
    EXPECT_TRUE(linesSeen("exiting calibration mode...\n", 1));
}

TEST_F(BridgeCalibration, FailedUnitRequestIsCaughtAtTheCallbackAndEndsCalibration) {
    Timing timing = shortTiming();
    timing.replyTimeout = 200ms;  // the unit never answers
    connect("127.0.5.12", timing);
    SentrelEmulator::Faults faults;
    faults.neverAnswer = true;
    unit->setFaults(faults);
    SimulatorSample::SimClientCallback callback(bridge.get());
    callback.parametersUpdated(calib(1, 0));
    ASSERT_TRUE(linesSeen("Entered calibration mode...\n", 1));
    callback.parametersUpdated(calib(3, 45));
    callback.parametersUpdated(calib(30, 97));
    callback.parametersUpdated(calib(100, 0));  // must not throw
    EXPECT_NE(capture.err().find("SN>ERROR>"), std::string::npos);
    EXPECT_FALSE(bridge->status().calibrating);
    // The calibration thread takes the bridge lock to see the end of
    // calibration mode: it could not leave if the failed batch kept the lock.
    EXPECT_TRUE(linesSeen("exiting calibration mode...\n", 1));
    // Later batches go through.
    SimulatorSample::AppClientCallback appCallback(bridge.get());
    appCallback.parametersUpdated({I("HW_PATSPEED", 1)});
    EXPECT_TRUE(bridge->status().running);
}

TEST_F(BridgeCalibration, DestructionEndsCalibrationAndWaitsForTheThread) {
    connect("127.0.5.13");
    update(calib(1, 0));
    ASSERT_TRUE(linesSeen("Entered calibration mode...\n", 1));
    bridge.reset();
    // The thread saw calibration mode end and finished before the bridge went.
    EXPECT_EQ(countOf(capture.out(), "exiting calibration mode...\n"), 1);
    // A second bridge on the same configuration calibrates afresh.
    bridge = std::make_unique<SimulatorSample>(&config, shortTiming());
    update(calib(1, 0));
    EXPECT_TRUE(linesSeen("Entered calibration mode...\n", 2));
}

TEST(CallbackConnectionLines, ConnectedAndDisconnectedOnly) {
    Configuration config("unused.xml");
    SimulatorSample bridge(&config);
    SimulatorSample::SimClientCallback sim(&bridge);
    SimulatorSample::AppClientCallback app(&bridge);
    snlog::Capture capture;
    sim.connectionStateChanged(CSClient::STATE_CONNECTING, CSClient::STATE_ESTABLISHING);
    sim.connectionStateChanged(CSClient::STATE_ESTABLISHING, CSClient::STATE_CONNECTED);
    sim.connectionStateChanged(CSClient::STATE_CONNECTED, CSClient::STATE_CONNECTED);
    app.connectionStateChanged(CSClient::STATE_ESTABLISHING, CSClient::STATE_CONNECTED);
    app.connectionStateChanged(CSClient::STATE_CONNECTED, CSClient::STATE_CONNECTION_LOST);
    app.connectionStateChanged(CSClient::STATE_CONNECTION_LOST, CSClient::STATE_CONNECTING);
    sim.connectionStateChanged(CSClient::STATE_CONNECTED, CSClient::STATE_CLOSING);
    EXPECT_EQ(capture.out(),
              "Orra> Connected (SIM Protocol)\n"
              "Orra> Connected (APP Protocol)\n"
              "Orra> Disconnected (APP Protocol)\n"
              "Orra> Disconnected (SIM Protocol)\n");
    EXPECT_TRUE(capture.err().empty());
}

}  // namespace
