// Parameter translation: the subscription table, every row of the update
// table, the end-of-batch step and the streaming tick, observed as the calls
// the translator makes on a recording unit port.
#include "BridgeTestSupport.h"
#include "FakeUnit.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <tuple>

using namespace bridgetest;

namespace {

using Calls = std::vector<std::string>;

// The calls that send vital values: not the waveforms, not the streaming switch.
Calls vitalsOnly(const Calls& calls) {
    Calls out;
    for (const std::string& c : calls)
        if (c.find("Hz ") == std::string::npos && c.rfind("enableStreamVitals", 0) != 0) out.push_back(c);
    return out;
}

class Translation : public ::testing::Test {
protected:
    void update(const Params& batch) { rig.update(batch); }
    // Starts the simulation with the feature on and forgets what that sent.
    void startStreaming(const Params& extra = {}) {
        update(Params{I("HW_PATSPEED", 1), I("HW_PATMON_ENABLED", 1)} + extra);
        rig.unit.take();
    }
    // One batch that brings 10 arterial samples: one tick. Its calls.
    Calls tick(const Params& extra = {}) {
        update(extra + samples("ARTLINE", 10, 50));
        return rig.unit.take();
    }

    snlog::Capture capture;
    Rig rig{shortTiming()};
};

TEST(SubscriptionTable, FourSimAndTwentySixAppInputsInOrder) {
    using Def = std::tuple<std::string, int, unsigned>;
    auto defs = [](ParameterTranslator::Protocol protocol) {
        std::vector<Def> out;
        for (const auto& d : ParameterTranslator::inputs(protocol)) out.emplace_back(d.id, d.type, d.updateRate);
        return out;
    };
    const std::vector<Def> sim = {
        {"HW_PATSPEED", 2, 0}, {"HW_PATMON_ENABLED", 2, 0}, {"HW_PATMON_CALIB_ACTION", 2, 0},
        {"HW_PATMON_CALIB_ARG1", 2, 0}};
    const std::vector<Def> app = {
        {"ARTERIAL_CATHETER_DEPTH", 2, 0}, {"CVP_CATHETER_DEPTH", 2, 0}, {"PA_CATHETER_DEPTH", 2, 0},
        {"PULSE_SENSOR", 2, 0},            {"SPO2_PROBE", 2, 0},         {"CAPNOGRAPH_SENSOR", 2, 0},
        {"TEMP_BODY_SENSOR", 2, 0},        {"TEMP_BLOOD_SENSOR", 2, 0},  {"NIBP_SENSOR", 2, 0},
        {"SIMULATOR_XCONNECTED", 2, 0},    {"ARTLINE", 1, 1},            {"PLINE", 1, 1},
        {"CVPLINE", 1, 1},                 {"CAPNOGRAM", 1, 1},          {"PLETH", 1, 1},
        {"SAO2", 1, 0},                    {"EXT_DABP", 2, 0},           {"EXT_MAP", 2, 0},
        {"EXT_SABP", 2, 0},                {"SPA", 2, 0},                {"DPA", 2, 0},
        {"ETCO2", 2, 0},                   {"HRPM", 2, 0},               {"RRPM", 2, 0},
        {"BODY_TEMP", 1, 0},               {"bloodTemp", 1, 0}};
    EXPECT_EQ(defs(ParameterTranslator::Protocol::sim), sim);
    EXPECT_EQ(defs(ParameterTranslator::Protocol::app), app);
    // Built once: later calls hand out the same lists.
    EXPECT_EQ(&ParameterTranslator::inputs(ParameterTranslator::Protocol::app),
              &ParameterTranslator::inputs(ParameterTranslator::Protocol::app));
}

// Each update row against a patient whose vitals all went out at the last
// tick: what the next tick sends.
TEST(UpdateRows, WhatTheNextTickSends) {
    struct Row {
        const char* what;
        Params batch;
        Calls sent;
    };
    const Row rows[] = {
        {"new heart rate", {I("HRPM", 90)}, {"sendHR_bpm 90"}},
        {"same heart rate", {I("HRPM", 72)}, {}},
        {"SAO2 truncated", {F("SAO2", 95.9f)}, {"sendSPO2 95"}},
        {"SAO2 same integer", {F("SAO2", 97.2f)}, {}},
        {"end-tidal CO2", {I("ETCO2", 40)}, {"sendCommand etCO2 40"}},
        {"diastolic", {I("EXT_DABP", 70)}, {"sendNIBP_mmHg 120 70 93"}},
        {"mean", {I("EXT_MAP", 90)}, {"sendNIBP_mmHg 120 80 90"}},
        {"systolic", {I("EXT_SABP", 130)}, {"sendNIBP_mmHg 130 80 93"}},
        {"NIBP sensor off", {I("NIBP_SENSOR", 0)}, {"sendDisableNIBP"}},
        {"respiration", {I("RRPM", 20)}, {"sendRR_brpm 20"}},
        {"temperatures alone", {F("BODY_TEMP", 38.0f), F("bloodTemp", 39.0f)}, {}},
        {"temperature sensor alone", {I("TEMP_BODY_SENSOR", 0)}, {}},
        {"capnograph off", {I("CAPNOGRAPH_SENSOR", 0)}, {"sendDisableCO2"}},
        {"pulse sensor", {I("PULSE_SENSOR", 2)}, {"sendSPO2 97"}},
        {"SpO2 probe", {I("SPO2_PROBE", 0)}, {"sendSPO2 97"}},
        {"cross-connection", {I("SIMULATOR_XCONNECTED", 1)}, {"sendSPO2 97"}},
        {"ignored names", {I("SPA", 20), I("DPA", 10), F("CAPNOGRAM", 3.0f), I("NOT_SUBSCRIBED", 1)}, {}},
        {"names compared exactly", {I("hrpm", 99), I(std::string("HRPM\0x", 6), 99), I("HRPM ", 99)}, {}},
    };
    const Params patient = {I("PULSE_SENSOR", 1), I("NIBP_SENSOR", 1), I("TEMP_BODY_SENSOR", 1),
                            I("TEMP_BLOOD_SENSOR", 1), I("CAPNOGRAPH_SENSOR", 1), I("HRPM", 72),
                            F("SAO2", 97.0f), I("ETCO2", 38), I("EXT_SABP", 120), I("EXT_DABP", 80),
                            I("EXT_MAP", 93), I("RRPM", 14), F("BODY_TEMP", 36.5f), F("bloodTemp", 37.25f)};
    snlog::Capture capture;
    for (const Row& row : rows) {
        Rig rig(shortTiming());
        rig.update(Params{I("HW_PATSPEED", 1), I("HW_PATMON_ENABLED", 1)} + patient);
        rig.unit.take();
        rig.update(samples("ARTLINE", 10));
        EXPECT_EQ(vitalsOnly(rig.unit.take()),
                  (Calls{"sendSPO2 97", "sendNIBP_mmHg 120 80 93", "sendHR_bpm 72", "sendRR_brpm 14",
                         "sendT1_degC 36.5", "sendT2_degC 37.25", "sendCommand etCO2 38"}))
            << row.what;
        rig.update(row.batch);
        rig.update(samples("ARTLINE", 10));
        EXPECT_EQ(vitalsOnly(rig.unit.take()), row.sent) << row.what;
    }
}

TEST_F(Translation, OneTickSendsInOrderAndTrimsCvpAndPaToTheArterialCount) {
    startStreaming({I("ARTERIAL_CATHETER_DEPTH", 1), I("CVP_CATHETER_DEPTH", 1), I("PA_CATHETER_DEPTH", 1),
                    I("PULSE_SENSOR", 1)});
    // 15 CVP and 14 PA samples against 12 arterial: their oldest go; pleth keeps all 15.
    update(samples("CVPLINE", 15) + samples("PLINE", 14, 0, 10) + samples("PLETH", 15, 50) +
           samples("ARTLINE", 12, 60));
    EXPECT_EQ(rig.unit.take(), (Calls{"sendSPO2 0", "sendPLETH_50Hz 50,51,52,53,54,55,56,57,58,59,60,61,62,63,64",
                                      "sendDisableNIBP", "sendHR_bpm 0", "sendRR_brpm 0", "sendDisableT1",
                                      "sendDisableT2", "sendCommand etCO2 0", "sendDisableCO2",
                                      "sendABP_50Hz 60,61,62,63,64,65,66,67,68,69,70,71",
                                      "sendCVP_25Hz 3,4,5,6,7,8,9,10,11,12,13,14",
                                      "sendPAP_50Hz 20,30,40,50,60,70,80,90,100,110,120,130"}));
    // Every buffer was emptied: the next tick carries only its own samples.
    update(samples("ARTLINE", 10, 0) + samples("CVPLINE", 1, 7));
    const Calls next = rig.unit.take();
    EXPECT_NE(std::find(next.begin(), next.end(), "sendABP_50Hz 0,1,2,3,4,5,6,7,8,9"), next.end());
    EXPECT_NE(std::find(next.begin(), next.end(), "sendCVP_25Hz 7"), next.end());
    EXPECT_NE(std::find(next.begin(), next.end(), "sendPAP_50Hz "), next.end());
    EXPECT_NE(std::find(next.begin(), next.end(), "sendPLETH_50Hz "), next.end());
}

TEST_F(Translation, FewerThanTenArterialSamplesSendNothingThenOneTickSendsThemAll) {
    startStreaming({I("ARTERIAL_CATHETER_DEPTH", 5)});
    update(samples("ARTLINE", 6, 10, 10));
    update(samples("ARTLINE", 3, 70, 10));
    EXPECT_TRUE(rig.unit.take().empty());
    update(samples("ARTLINE", 1, 100));
    const Calls calls = rig.unit.take();
    ASSERT_FALSE(calls.empty());
    EXPECT_EQ(calls.back(), "sendABP_50Hz 10,20,30,40,50,60,70,80,90,100");
}

TEST_F(Translation, ConstantHeartRateIsResentEveryTwentyFirstTickAndAChangeAtOnce) {
    startStreaming({I("HRPM", 72)});
    auto sendsHeartRate = [](const Calls& calls) {
        for (const std::string& c : calls)
            if (c.rfind("sendHR_bpm ", 0) == 0) return true;
        return false;
    };
    std::vector<int> sentAt;
    for (int t = 1; t <= 43; ++t)
        if (sendsHeartRate(tick())) sentAt.push_back(t);
    EXPECT_EQ(sentAt, (std::vector<int>{1, 22, 43}));
    tick();
    const Calls changed = tick({I("HRPM", 90)});
    EXPECT_NE(std::find(changed.begin(), changed.end(), "sendHR_bpm 90"), changed.end());
}

TEST(CatheterRows, ZeroStateAtEveryUpdateAndTheWaveformWhileTheDepthIsZeroOrMore) {
    struct Row {
        const char* parameter;
        int depth;
        const char* zeroState;  // the command sent at once
        const char* waveform;   // its call at the next tick, when streamed
        bool streamed;
    };
    const Row rows[] = {
        {"ARTERIAL_CATHETER_DEPTH", -1, "sendCommand abpZeroState NotZeroing", "sendABP_50Hz", false},
        {"ARTERIAL_CATHETER_DEPTH", 0, "sendCommand abpZeroState Zeroing", "sendABP_50Hz", true},
        {"ARTERIAL_CATHETER_DEPTH", 5, "sendCommand abpZeroState NotZeroing", "sendABP_50Hz", true},
        {"CVP_CATHETER_DEPTH", 3, "sendCommand cvpZeroState NotZeroing", "sendCVP_25Hz", true},
        {"CVP_CATHETER_DEPTH", -2, "sendCommand cvpZeroState NotZeroing", "sendCVP_25Hz", false},
        {"PA_CATHETER_DEPTH", 0, "sendCommand papZeroState Zeroing", "sendPAP_50Hz", true},
        {"PA_CATHETER_DEPTH", -1, "sendCommand papZeroState NotZeroing", "sendPAP_50Hz", false},
    };
    for (const Row& row : rows) {
        Rig rig(shortTiming());
        rig.update({I("HW_PATSPEED", 1), I("HW_PATMON_ENABLED", 1)});
        rig.unit.take();
        for (int twice = 0; twice < 2; ++twice) {
            rig.update({I(row.parameter, row.depth)});
            EXPECT_EQ(rig.unit.take(), Calls{row.zeroState}) << row.parameter << " " << row.depth;
        }
        rig.update(samples("CVPLINE", 10) + samples("PLINE", 10) + samples("ARTLINE", 10));
        bool streamed = false;
        for (const std::string& c : rig.unit.take()) streamed = streamed || c.rfind(row.waveform, 0) == 0;
        EXPECT_EQ(streamed, row.streamed) << row.parameter << " " << row.depth;
    }
}

TEST_F(Translation, SpO2AvailabilityRule) {
    struct Case { int pulse; int probe; int xconnected; bool available; };
    const Case cases[] = {
        {0, 1, 0, false}, {1, 0, 1, true}, {2, 1, 1, true}, {2, 0, 0, true}, {2, 0, 1, false}, {3, 1, 0, false},
    };
    for (const Case& c : cases) {
        update({I("PULSE_SENSOR", c.pulse), I("SPO2_PROBE", c.probe), I("SIMULATOR_XCONNECTED", c.xconnected)});
        EXPECT_EQ(rig.translator.IsSpO2ProbeConnected(), c.available)
            << "pulse " << c.pulse << " probe " << c.probe << " xconnected " << c.xconnected;
    }
    // Pulse sensor 2, probe off, cross-connected: neither SpO2 nor pleth go out.
    startStreaming({F("SAO2", 95.0f), I("PULSE_SENSOR", 2), I("SPO2_PROBE", 0), I("SIMULATOR_XCONNECTED", 1)});
    for (const std::string& c : tick(samples("PLETH", 10, 60))) {
        EXPECT_EQ(c.find("SPO2"), std::string::npos) << c;
        EXPECT_EQ(c.find("PLETH"), std::string::npos) << c;
    }
    // Plugging the probe in resets the SpO2 countdown: sent at the next tick,
    // with only the pleth samples of that tick.
    const Calls calls = tick(Params{I("SPO2_PROBE", 1)} + samples("PLETH", 2, 60));
    EXPECT_EQ(Calls(calls.begin(), calls.begin() + 2), (Calls{"sendSPO2 95", "sendPLETH_50Hz 60,61"}));
}

TEST_F(Translation, Sao2BeyondTheIntegerRangeIsBounded) {
    startStreaming({I("PULSE_SENSOR", 1)});
    auto spo2After = [&](float value) {
        const Calls calls = tick({F("SAO2", value)});
        return calls.empty() ? std::string() : calls.front();
    };
    // Not-a-number is taken as 0; values beyond the range stop at its ends;
    // the largest float below 2^31 is kept as it is.
    EXPECT_EQ(spo2After(50.0f), "sendSPO2 50");
    EXPECT_EQ(spo2After(std::nanf("")), "sendSPO2 0");
    EXPECT_EQ(spo2After(3e9f), "sendSPO2 " + std::to_string(std::numeric_limits<int32_t>::max()));
    EXPECT_EQ(spo2After(2147483520.0f), "sendSPO2 2147483520");
    EXPECT_EQ(spo2After(-3e9f), "sendSPO2 " + std::to_string(std::numeric_limits<int32_t>::min()));
}

TEST_F(Translation, RunningStateSwitchesPingAndStreamingAndAChangeResendsEveryVital) {
    struct Step { int speed; bool running; };
    for (const Step& s : {Step{1, true}, Step{0, false}, Step{1, true}, Step{4, false}, Step{1, true}}) {
        update({I("HW_PATSPEED", s.speed)});
        EXPECT_EQ(rig.flags.running.load(), s.running) << s.speed;
        EXPECT_EQ(rig.flags.ping.load(), !s.running) << s.speed;
        EXPECT_EQ(rig.unit.streaming(), s.running) << s.speed;
    }
    update({I("HW_PATMON_ENABLED", 1), I("HRPM", 70)});
    tick();
    const Calls quiet = vitalsOnly(tick());
    EXPECT_TRUE(quiet.empty());
    // Running again is no change of state: nothing is due.
    update({I("HW_PATSPEED", 1)});
    EXPECT_TRUE(vitalsOnly(tick()).empty());
    // A pause and a new start: every vital is due at the next tick.
    update({I("HW_PATSPEED", 0)});
    update({I("HW_PATSPEED", 1)});
    rig.unit.take();
    EXPECT_EQ(vitalsOnly(tick()), (Calls{"sendDisableNIBP", "sendHR_bpm 70", "sendRR_brpm 0", "sendDisableT1",
                                         "sendDisableT2", "sendCommand etCO2 0", "sendDisableCO2"}));
}

TEST_F(Translation, FeatureDisabledOrPausedEveryBatchIsDropped) {
    update({I("HW_PATSPEED", 1), I("HW_PATMON_ENABLED", 0), I("HRPM", 80), I("ARTERIAL_CATHETER_DEPTH", 0)});
    EXPECT_NE(capture.out().find(std::string("SN>") + ">>>>>>>>>>>>>>>>>Feature is not enabled!\n"),
              std::string::npos);
    rig.unit.take();
    for (int i = 0; i < 3; ++i) {
        update(samples("ARTLINE", 12) + samples("CVPLINE", 12) + samples("PLINE", 12) + samples("PLETH", 12));
        EXPECT_TRUE(rig.unit.take().empty());
    }
    update({I("HW_PATSPEED", 0), I("HW_PATMON_ENABLED", 1)});
    update(samples("ARTLINE", 20));
    rig.unit.take();
    capture.clear();
    update({I("HW_PATSPEED", 1), I("HW_PATMON_ENABLED", 2)});
    EXPECT_EQ(capture.out(), "SN>Feature enabled!\n");
    // Nothing of the dropped batches is left: the first tick has its own 10 samples.
    const Calls calls = tick();
    EXPECT_EQ(calls.back(), "sendABP_50Hz 50,51,52,53,54,55,56,57,58,59");
    EXPECT_NE(std::find(calls.begin(), calls.end(), "sendHR_bpm 80"), calls.end());
}

TEST_F(Translation, ConsoleLinesOfTheTable) {
    update({I("SPO2_PROBE", 5), I("SPA", 20), I("DPA", 10), F("CAPNOGRAM", 3.0f), I("PULSE_SENSOR", 1)});
    EXPECT_EQ(capture.out(), "Got update for SpO2 probe param: SPO2_PROBE: 1\n");

    capture.clear();
    rig.flags.debug = true;
    update({I("HW_PATSPEED", 1), I("ARTERIAL_CATHETER_DEPTH", -1), I("HW_PATMON_CALIB_ACTION", 3),
            I("HW_PATMON_CALIB_ARG1", 7), I("HW_PATMON_ENABLED", 1), I("HW_PATSPEED", 0), I("PULSE_SENSOR", 2),
            I("SIMULATOR_XCONNECTED", 0), I("CAPNOGRAPH_SENSOR", 1), I("TEMP_BODY_SENSOR", 1),
            I("TEMP_BLOOD_SENSOR", 0), I("NIBP_SENSOR", 1), I("CVP_CATHETER_DEPTH", 2), I("PA_CATHETER_DEPTH", 0)});
    EXPECT_EQ(capture.out(),
              "SN>HW_PATSPEED_PARAM: 1\nGot here1 (parametersUpdated)\n"
              "SN>ARTERIAL_CATHETER_DEPTH: -1\n"
              "SN>CALIBRATION_ACTION: 3\nSN>CALIBRATION_ARG1: 7\n"
              "SN>FeatureIsEnabled: 1\nSN>Feature enabled!\n"
              "SN>HW_PATSPEED_PARAM: 0\nGot here2 (parametersUpdated)\n"
              "SN>PULSE_SENSOR: 2\nSN>SIMULATOR_XCONNECTED: 0\nSN>CAPNOGRAPH_SENSOR: 1\n"
              "SN>TEMP_BODY_SENSOR: 1\nSN>TEMP_BLOOD_SENSOR: 0\nSN>NIBP_SENSOR: 1\n"
              "SN>CVP_CATHETER_DEPTH: 2\nSN>PA_CATHETER_DEPTH: 0\n"
              "Calling performCalibration with action: [3] and arg: [7]\n"
              "SN>CALIBRATION>Ignoring calibration until a 'Start' action is received.\n");
    EXPECT_TRUE(capture.err().empty());
}

TEST_F(Translation, CalibrationParametersReachTheProcedureOnlyWhilePausedAndOncePerBatch) {
    startStreaming();
    capture.clear();
    update({I("HW_PATMON_CALIB_ACTION", 1)});
    EXPECT_EQ(capture.out(), "");
    EXPECT_FALSE(rig.flags.calibrating);
    // Batches without a calibration parameter do not call it either.
    update({I("HW_PATSPEED", 0)});
    update({I("HRPM", 60)});
    EXPECT_EQ(capture.out(), "");
    // Paused: once per batch, with the stored action and the latest argument.
    update({I("HW_PATMON_CALIB_ARG1", 4), I("HW_PATMON_CALIB_ARG1", 5)});
    EXPECT_EQ(countOf(capture.out(), "Calling performCalibration"), 1);
    EXPECT_NE(capture.out().find("Calling performCalibration with action: [1] and arg: [5]\n"), std::string::npos);
    EXPECT_TRUE(rig.flags.calibrating);
}

// The simulation starting while calibration mode is active: once the
// calibration thread has seen the mode end, the running state's settings
// stand (streaming on, no pings). Ending the mode while paused gives the pings
// back; a pause during the mode leaves them to the thread.
TEST(CalibrationModeEnd, SettingsFollowTheSimulationsState) {
    struct Case {
        const char* what;
        Params end;
        bool ping;
    };
    const Case cases[] = {
        {"simulation started", {I("HW_PATSPEED", 1)}, false},
        {"stopped while paused", {I("HW_PATMON_CALIB_ACTION", 0)}, true},
        {"started and paused again", {I("HW_PATSPEED", 1), I("HW_PATSPEED", 0)}, true},
    };
    for (const Case& c : cases) {
        snlog::Capture lines;
        Rig rig(shortTiming());
        rig.update({I("HW_PATSPEED", 0), I("HW_PATMON_CALIB_ACTION", 1)});
        ASSERT_TRUE(testsupport::eventually([&] { return !rig.flags.ping && rig.unit.streaming(); }, kWait));
        rig.update({I("HW_PATSPEED", 0)});
        EXPECT_FALSE(rig.flags.ping) << c.what;
        EXPECT_TRUE(rig.unit.streaming()) << c.what;
        rig.update(c.end);
        EXPECT_FALSE(rig.flags.calibrating) << c.what;
        ASSERT_TRUE(testsupport::eventually(
            [&] { return lines.out().find("exiting calibration mode...\n") != std::string::npos; }, kWait))
            << c.what;
        EXPECT_EQ(rig.flags.ping.load(), c.ping) << c.what;
        EXPECT_EQ(rig.unit.streaming(), !c.ping) << c.what;
    }
}

TEST(CalibrationLookup, SpO2TableInterpolatesFrom400AndRounds) {
    Configuration config("unused.xml");
    SimulatorSample bridge(&config);
    EXPECT_EQ(bridge.calibrateSPO2Value(10), 400);  // empty table
    config.spo2Calibration = {{50, 300}, {100, 100}};
    EXPECT_EQ(bridge.calibrateSPO2Value(0), 400);
    EXPECT_EQ(bridge.calibrateSPO2Value(25), 350);
    EXPECT_EQ(bridge.calibrateSPO2Value(75), 200);
    EXPECT_EQ(bridge.calibrateSPO2Value(100), 100);
    EXPECT_EQ(bridge.calibrateSPO2Value(150), 100);
    // Halves round away from zero: 399.5 -> 400, 398.5 -> 399.
    config.spo2Calibration = {{1, 399}};
    EXPECT_EQ(bridge.calibrateSPO2Value(0.5f), 400);
    config.spo2Calibration = {{1, 398}};
    EXPECT_EQ(bridge.calibrateSPO2Value(0.25f), 400);
    EXPECT_EQ(bridge.calibrateSPO2Value(0.75f), 399);
    // Values from the file beyond the int range or not a number give a
    // bounded level, never an undefined conversion.
    config.spo2Calibration = {{1, 3e10f}};
    EXPECT_EQ(bridge.calibrateSPO2Value(2), std::numeric_limits<int>::max());
    config.spo2Calibration = {{1, -3e10f}};
    EXPECT_EQ(bridge.calibrateSPO2Value(2), std::numeric_limits<int>::min());
    config.spo2Calibration = {{1, std::numeric_limits<float>::quiet_NaN()}};
    EXPECT_EQ(bridge.calibrateSPO2Value(2), 0);
}

TEST(CalibrationLookup, Co2TableStartsAtOneAndIsDividedBy1000) {
    Configuration config("unused.xml");
    SimulatorSample bridge(&config);
    EXPECT_FLOAT_EQ(bridge.calibrateCO2Value(0), 0.001f);
    EXPECT_FLOAT_EQ(bridge.calibrateCO2Value(55), 0.001f);
    config.co2Calibration = {{10, 201}, {20, 401}};
    EXPECT_FLOAT_EQ(bridge.calibrateCO2Value(5), 0.101f);
    EXPECT_FLOAT_EQ(bridge.calibrateCO2Value(15), 0.301f);
    EXPECT_FLOAT_EQ(bridge.calibrateCO2Value(30), 0.401f);
}

}  // namespace
