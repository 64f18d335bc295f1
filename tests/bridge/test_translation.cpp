// Parameter translation: every row of the update table, the end-of-batch
// step and the streaming tick, observed through what the adaptor would send
// at its next pass. The adaptor is marked connected without a socket and its
// streaming thread is never started, so the pending messages stay put until
// the test takes them.
#include "BridgeTestSupport.h"

#include <cmath>
#include <limits>

using namespace bridgetest;

namespace {

class Translation : public ::testing::Test {
protected:
    Translation() : config(dir.file("absent.xml").c_str()), bridge(&config, shortTiming()) {
        markUnitConnected(Access::adaptor(bridge));
    }

    void update(const Params& batch) { bridge.parametersUpdated(batch); }
    // Starts the simulation with the feature on and takes what that sent.
    void startStreaming() {
        update({I("HW_PATSPEED", 1), I("HW_PATMON_ENABLED", 1)});
        takePending(bridge);
    }
    // One batch that brings 10 arterial samples: one tick.
    Pending tick(const Params& extra = {}) {
        update(extra + samples("ARTLINE", 10, 50));
        return takePending(bridge);
    }
    // initialize stores the debug flag before anything else; this bridge's
    // configuration file does not exist, so it goes no further.
    void enableDebug() {
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        const bool initialized = bridge.initialize(true);
        testing::internal::GetCapturedStdout();
        const std::string err = testing::internal::GetCapturedStderr();
        ASSERT_FALSE(initialized);
        ASSERT_NE(err.find("SN>ERROR>Unable to read the configuration!"), std::string::npos) << err;
    }
    bool streaming() { return streamingVitals(Access::adaptor(bridge)); }
    const std::vector<float>& arterial() const { return Access::waveforms(bridge).arterial; }

    testsupport::TempDir dir;
    Configuration config;
    SimulatorSample bridge;
};

TEST_F(Translation, RunningStateSwitchesPingAndStreamingAndResetsCountdowns) {
    auto countdowns = [&] {
        const auto& c = Access::countdowns(bridge);
        return std::vector<int32_t>{c.spo2, c.etco2, c.nibp, c.heartRate, c.respirationRate, c.temperature, c.co2Off};
    };
    update({I("HRPM", 70)});
    startStreaming();
    EXPECT_TRUE(Access::running(bridge));
    EXPECT_FALSE(Access::pinging(bridge));
    EXPECT_TRUE(streaming());
    // Every tick steps every countdown (none of the sensors holds one back here).
    for (int i = 0; i < 3; ++i) tick();
    EXPECT_EQ(countdowns(), std::vector<int32_t>(7, 18));
    // Running again is no change of state: the countdowns stay.
    update({I("HW_PATSPEED", 1)});
    EXPECT_EQ(countdowns(), std::vector<int32_t>(7, 18));
    // A change of running state sets them all to 0.
    update({I("HW_PATSPEED", 0)});
    EXPECT_FALSE(Access::running(bridge));
    EXPECT_TRUE(Access::pinging(bridge));
    EXPECT_FALSE(streaming());
    EXPECT_EQ(countdowns(), std::vector<int32_t>(7, 0));
    // A speed other than 1 counts as paused.
    update({I("HW_PATSPEED", 1)});
    EXPECT_TRUE(Access::running(bridge));
    update({I("HW_PATSPEED", 4)});
    EXPECT_FALSE(Access::running(bridge));
}

TEST_F(Translation, PauseDuringCalibrationLeavesPingAndStreamingToTheCalibrationThread) {
    testing::internal::CaptureStdout();
    // Paused: the start action opens calibration mode, whose thread takes
    // over the ping flag and the vitals streaming.
    update({I("HW_PATMON_CALIB_ACTION", 1)});
    ASSERT_TRUE(Access::calibrating(bridge));
    ASSERT_TRUE(testsupport::eventually([&] { return !Access::pinging(bridge) && streaming(); }, kWait));
    update({I("HW_PATSPEED", 0)});
    EXPECT_FALSE(Access::pinging(bridge));
    EXPECT_TRUE(streaming());
    // Running ends calibration mode.
    update({I("HW_PATSPEED", 1)});
    EXPECT_FALSE(Access::calibrating(bridge));
    testing::internal::GetCapturedStdout();
}

TEST_F(Translation, FewerThanTenArterialSamplesSendNothingThenOneTickSendsThemAll) {
    startStreaming();
    update({I("ARTERIAL_CATHETER_DEPTH", 5)});
    takePending(bridge);
    update(samples("ARTLINE", 6, 10, 10));
    update(samples("ARTLINE", 3, 70, 10));
    EXPECT_TRUE(takePending(bridge).empty());
    EXPECT_EQ(arterial().size(), 9u);
    update(samples("ARTLINE", 1, 100));
    const Pending p = takePending(bridge);
    // 10 samples 10..100 in two groups of 5 -> 3 values each.
    EXPECT_EQ(p.waves.at("abp"), "10,27,43,60,77,93");
    EXPECT_TRUE(arterial().empty());
}

TEST_F(Translation, CvpAndPaTrimmedToTheArterialCountPlethNot) {
    startStreaming();
    update({I("ARTERIAL_CATHETER_DEPTH", 1), I("CVP_CATHETER_DEPTH", 1), I("PA_CATHETER_DEPTH", 1),
            I("PULSE_SENSOR", 1)});
    takePending(bridge);
    // 15 CVP and 14 PA samples against 12 arterial: the oldest go.
    update(samples("CVPLINE", 15) + samples("PLINE", 14, 0, 10) + samples("PLETH", 15, 50) +
           samples("ARTLINE", 12, 60));
    const Pending p = takePending(bridge);
    EXPECT_EQ(p.waves.at("cvp"), "3,6,10");                     // from samples 3..12
    EXPECT_EQ(p.waves.at("pap"), "20,37,53,70,87,103");          // from samples 20..110
    EXPECT_EQ(p.waves.at("pleth"), "50,52,53,55,57,58,60,62,63"); // all 15
    EXPECT_TRUE(Access::waveforms(bridge).cvp.empty());
    EXPECT_TRUE(Access::waveforms(bridge).pulmonaryArtery.empty());
    EXPECT_TRUE(Access::waveforms(bridge).pleth.empty());
}

TEST_F(Translation, Sao2IsTruncatedAndSentWithTheSpO2Countdown) {
    startStreaming();
    update({I("PULSE_SENSOR", 1), F("SAO2", 97.9f)});
    EXPECT_EQ(Access::vitals(bridge).spo2, 97);
    EXPECT_EQ(tick().vitals.at("spO2"), "97");
    // 97.2 truncates to the same value: no countdown reset, nothing sent.
    update({F("SAO2", 97.2f)});
    EXPECT_FALSE(tick().has("spO2"));
    // Not-a-number from the wire is taken as 0 rather than converted blindly.
    update({F("SAO2", std::nanf(""))});
    EXPECT_EQ(Access::vitals(bridge).spo2, 0);
    // Values beyond the integer range stop at its ends; the largest float
    // below 2^31 is still in range and kept as it is.
    update({F("SAO2", 3e9f)});
    EXPECT_EQ(Access::vitals(bridge).spo2, std::numeric_limits<int32_t>::max());
    update({F("SAO2", 2147483520.0f)});
    EXPECT_EQ(Access::vitals(bridge).spo2, 2147483520);
    update({F("SAO2", -3e9f)});
    EXPECT_EQ(Access::vitals(bridge).spo2, std::numeric_limits<int32_t>::min());
}

TEST_F(Translation, ConstantHeartRateIsResentEveryTwentyFirstTickAndAChangeAtOnce) {
    startStreaming();
    update({I("HRPM", 72)});
    std::vector<int> sentAt;
    for (int t = 1; t <= 43; ++t) {
        if (tick().has("hr")) sentAt.push_back(t);
    }
    EXPECT_EQ(sentAt, (std::vector<int>{1, 22, 43}));
    tick();
    update({I("HRPM", 90)});
    EXPECT_EQ(tick().vitals.at("hr"), "90");
    // The same value again is no change.
    update({I("HRPM", 90)});
    EXPECT_FALSE(tick().has("hr"));
}

TEST_F(Translation, CatheterDepthsSendZeroStatesAndGateTheirWaveforms) {
    startStreaming();
    update({I("ARTERIAL_CATHETER_DEPTH", -1)});
    EXPECT_EQ(takePending(bridge).vitals.at("abpZeroState"), "NotZeroing");
    EXPECT_FALSE(tick().hasWave("abp"));
    EXPECT_TRUE(arterial().empty());

    update({I("ARTERIAL_CATHETER_DEPTH", 0)});
    EXPECT_EQ(takePending(bridge).vitals.at("abpZeroState"), "Zeroing");
    EXPECT_TRUE(tick().hasWave("abp"));

    // Positive depth: streaming, not zeroing; sent at every update.
    update({I("CVP_CATHETER_DEPTH", 3), I("PA_CATHETER_DEPTH", 0)});
    Pending p = takePending(bridge);
    EXPECT_EQ(p.vitals.at("cvpZeroState"), "NotZeroing");
    EXPECT_EQ(p.vitals.at("papZeroState"), "Zeroing");
    update({I("CVP_CATHETER_DEPTH", 3)});
    EXPECT_EQ(takePending(bridge).vitals.at("cvpZeroState"), "NotZeroing");
    p = tick(samples("CVPLINE", 10) + samples("PLINE", 5));
    EXPECT_TRUE(p.hasWave("cvp"));
    EXPECT_TRUE(p.hasWave("pap"));
    update({I("PA_CATHETER_DEPTH", -2)});
    takePending(bridge);
    EXPECT_FALSE(tick(samples("PLINE", 5)).hasWave("pap"));
}

TEST_F(Translation, SpO2AvailabilityRule) {
    struct Case { int pulse; int probe; int xconnected; bool available; };
    const Case cases[] = {
        {0, 1, 0, false}, {1, 0, 1, true}, {2, 1, 1, true}, {2, 0, 0, true}, {2, 0, 1, false}, {3, 1, 0, false},
    };
    for (const Case& c : cases) {
        update({I("PULSE_SENSOR", c.pulse), I("SPO2_PROBE", c.probe), I("SIMULATOR_XCONNECTED", c.xconnected)});
        EXPECT_EQ(bridge.IsSpO2ProbeConnected(), c.available)
            << "pulse " << c.pulse << " probe " << c.probe << " xconnected " << c.xconnected;
    }
    // Pulse sensor 2, probe off, cross-connected: neither SpO2 nor pleth go out.
    startStreaming();
    update({F("SAO2", 95.0f), I("PULSE_SENSOR", 2), I("SPO2_PROBE", 0), I("SIMULATOR_XCONNECTED", 1)});
    Pending p = tick(samples("PLETH", 10, 60));
    EXPECT_FALSE(p.has("spO2"));
    EXPECT_FALSE(p.hasWave("pleth"));
    EXPECT_TRUE(Access::waveforms(bridge).pleth.empty());
    // Plugging the probe in resets the SpO2 countdown: sent at the next tick.
    update({I("SPO2_PROBE", 1)});
    p = tick(samples("PLETH", 10, 60));
    EXPECT_EQ(p.vitals.at("spO2"), "95");
    EXPECT_TRUE(p.hasWave("pleth"));
}

TEST_F(Translation, FeatureDisabledWhileRunningEmptiesEveryBatchAndStreamsNothing) {
    testing::internal::CaptureStdout();
    update({I("HW_PATSPEED", 1), I("HW_PATMON_ENABLED", 0), I("HRPM", 80), I("ARTERIAL_CATHETER_DEPTH", 0)});
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find(std::string("SN>") + ">>>>>>>>>>>>>>>>>Feature is not enabled!\n"), std::string::npos);
    takePending(bridge);
    for (int i = 0; i < 3; ++i) {
        update(samples("ARTLINE", 12) + samples("CVPLINE", 12) + samples("PLINE", 12) + samples("PLETH", 12));
        const auto& w = Access::waveforms(bridge);
        EXPECT_TRUE(w.arterial.empty());
        EXPECT_TRUE(w.cvp.empty());
        EXPECT_TRUE(w.pulmonaryArtery.empty());
        EXPECT_TRUE(w.pleth.empty());
        EXPECT_TRUE(takePending(bridge).empty());
    }
    testing::internal::CaptureStdout();
    update({I("HW_PATMON_ENABLED", 2)});
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "SN>Feature enabled!\n");
    EXPECT_TRUE(tick().has("hr"));
}

TEST_F(Translation, WhilePausedWaveformsAreDiscarded) {
    update({I("HW_PATMON_ENABLED", 1), I("HW_PATSPEED", 0)});
    update(samples("ARTLINE", 20));
    EXPECT_TRUE(arterial().empty());
    EXPECT_TRUE(takePending(bridge).empty());
}

TEST_F(Translation, NibpTemperaturesEtco2AndCo2OffFollowTheirSensors) {
    startStreaming();
    update({I("EXT_SABP", 120), I("EXT_DABP", 80), I("EXT_MAP", 93), I("NIBP_SENSOR", 1), F("BODY_TEMP", 36.6f),
            F("bloodTemp", 37.2f), I("TEMP_BODY_SENSOR", 1), I("TEMP_BLOOD_SENSOR", 0), I("ETCO2", 38),
            I("RRPM", 14), I("CAPNOGRAPH_SENSOR", 0)});
    Pending p = tick();
    EXPECT_EQ(p.vitals.at("sbp"), "120");
    EXPECT_EQ(p.vitals.at("dbp"), "80");
    EXPECT_EQ(p.vitals.at("mbp"), "93");
    EXPECT_EQ(p.vitals.at("t1"), "36.6");
    EXPECT_EQ(p.vitals.at("t2"), "0");
    EXPECT_EQ(p.vitals.at("etCO2"), "38");
    EXPECT_EQ(p.vitals.at("rr"), "14");
    EXPECT_EQ(p.waves.at("co2"), "0");

    // Sensor changes reset their countdowns; temperatures alone do not.
    update({I("NIBP_SENSOR", 0), F("BODY_TEMP", 38.0f), I("CAPNOGRAPH_SENSOR", 1)});
    p = tick();
    EXPECT_EQ(p.vitals.at("sbp"), "0");
    EXPECT_EQ(p.vitals.at("dbp"), "0");
    EXPECT_EQ(p.vitals.at("mbp"), "0");
    EXPECT_FALSE(p.has("t1"));
    EXPECT_FALSE(p.hasWave("co2"));
    // While the capnograph is connected, the CO2-off countdown stands still.
    const int co2Off = Access::countdowns(bridge).co2Off;
    tick();
    EXPECT_EQ(Access::countdowns(bridge).co2Off, co2Off);
}

TEST_F(Translation, ConsoleLinesOfTheTable) {
    testing::internal::CaptureStdout();
    update({I("SPO2_PROBE", 5), I("SPA", 20), I("DPA", 10), F("CAPNOGRAM", 3.0f), I("PULSE_SENSOR", 1)});
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "Got update for SpO2 probe param: SPO2_PROBE: 1\n");

    enableDebug();
    testing::internal::CaptureStdout();
    update({I("HW_PATSPEED", 1), I("ARTERIAL_CATHETER_DEPTH", -1), I("HW_PATMON_CALIB_ACTION", 3),
            I("HW_PATMON_CALIB_ARG1", 7), I("HW_PATMON_ENABLED", 1), I("HW_PATSPEED", 0)});
    EXPECT_EQ(testing::internal::GetCapturedStdout(),
              "SN>HW_PATSPEED_PARAM: 1\nGot here1 (parametersUpdated)\n"
              "SN>ARTERIAL_CATHETER_DEPTH: -1\n"
              "SN>CALIBRATION_ACTION: 3\nSN>CALIBRATION_ARG1: 7\n"
              "SN>FeatureIsEnabled: 1\nSN>Feature enabled!\n"
              "SN>HW_PATSPEED_PARAM: 0\nGot here2 (parametersUpdated)\n"
              "Calling performCalibration with action: [3] and arg: [7]\n"
              "SN>CALIBRATION>Ignoring calibration until a 'Start' action is received.\n");
}

TEST_F(Translation, CalibrationParametersReachTheProcedureOnlyWhilePaused) {
    startStreaming();
    testing::internal::CaptureStdout();
    update({I("HW_PATMON_CALIB_ACTION", 1)});
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    EXPECT_FALSE(Access::calibrating(bridge));
    EXPECT_EQ(Access::calibration(bridge).action, 1);
    // Batches without a calibration parameter do not call it either.
    update({I("HW_PATSPEED", 0)});
    testing::internal::CaptureStdout();
    update({I("HRPM", 60)});
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
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
