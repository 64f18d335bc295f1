#include "ParameterTranslator.h"

#include "Log.h"
#include "ProtocolHelpers.h"

#include <algorithm>

namespace {

// Stores a changed value and makes its vital due at the next tick.
template <typename T>
void storeIfChanged(T& stored, T value, int32_t& countdown) {
    if (value != stored) {
        stored = value;
        countdown = 0;
    }
}

// One step of an update countdown: true when the value is due to be sent.
bool countdownStep(int32_t& countdown) {
    int32_t v = countdown;
    countdown = v - 1;
    if (v <= 0) {
        countdown = 20;
        return true;
    }
    return false;
}

void dropOldest(std::vector<float>& buffer, std::size_t keep) {
    if (buffer.size() > keep) buffer.erase(buffer.begin(), buffer.end() - keep);
}

const char* zeroState(int32_t depth) { return depth != 0 ? "NotZeroing" : "Zeroing"; }

}  // namespace

// One subscribed parameter. Its value is read as `type` says and handed to
// the matching action; a row without an action is subscribed and ignored.
struct ParameterTranslator::Row {
    using IntAction = void (*)(ParameterTranslator&, int32_t);
    using FloatAction = void (*)(ParameterTranslator&, float);

    const char* name;  // exact, case-sensitive
    Protocol protocol;
    CSClient::ParameterType type;
    unsigned updateRate;  // 1 for the waveform channels, else 0
    IntAction onInt;
    FloatAction onFloat;
};

const std::vector<ParameterTranslator::Row>& ParameterTranslator::table() {
    using T = ParameterTranslator;
    constexpr Protocol sim = Protocol::sim;
    constexpr Protocol app = Protocol::app;
    auto integer = [](const char* name, Protocol protocol, Row::IntAction action) {
        return Row{name, protocol, CSClient::PARAMETER_TYPE_INT, 0, action, nullptr};
    };
    auto real = [](const char* name, Row::FloatAction action) {
        return Row{name, app, CSClient::PARAMETER_TYPE_FLOAT, 0, nullptr, action};
    };
    auto waveform = [](const char* name, Row::FloatAction action) {
        return Row{name, app, CSClient::PARAMETER_TYPE_FLOAT, 1, nullptr, action};
    };
    // Each client's rows in the order of its subscription.
    static const std::vector<Row> rows = {
        integer("HW_PATSPEED", sim, [](T& t, int32_t v) { t.runningState(v); }),
        integer("HW_PATMON_ENABLED", sim,
                [](T& t, int32_t v) {
                    t.debugValue("SN>FeatureIsEnabled: ", v);
                    t.flags.featureEnabled = (v > 0);
                    snlog::out() << "SN>"
                                 << (t.flags.featureEnabled ? "Feature enabled!"
                                                            : ">>>>>>>>>>>>>>>>>Feature is not enabled!");
                }),
        integer("HW_PATMON_CALIB_ACTION", sim,
                [](T& t, int32_t v) {
                    t.debugValue("SN>CALIBRATION_ACTION: ", v);
                    t.calibrationAction = v;
                    t.calibrationArrived = true;
                }),
        integer("HW_PATMON_CALIB_ARG1", sim,
                [](T& t, int32_t v) {
                    t.debugValue("SN>CALIBRATION_ARG1: ", v);
                    t.calibrationArg = v;
                    t.calibrationArrived = true;
                }),

        integer("ARTERIAL_CATHETER_DEPTH", app,
                [](T& t, int32_t v) {
                    t.catheterDepth(v, "SN>ARTERIAL_CATHETER_DEPTH: ", "abpZeroState", t.sensors.arterialCatheter);
                }),
        integer("CVP_CATHETER_DEPTH", app,
                [](T& t, int32_t v) {
                    t.catheterDepth(v, "SN>CVP_CATHETER_DEPTH: ", "cvpZeroState", t.sensors.cvpCatheter);
                }),
        integer("PA_CATHETER_DEPTH", app,
                [](T& t, int32_t v) {
                    t.catheterDepth(v, "SN>PA_CATHETER_DEPTH: ", "papZeroState", t.sensors.paCatheter);
                }),
        integer("PULSE_SENSOR", app,
                [](T& t, int32_t v) {
                    t.debugValue("SN>PULSE_SENSOR: ", v);
                    storeIfChanged(t.sensors.pulseSensor, v, t.countdowns.spo2);
                }),
        integer("SPO2_PROBE", app,
                [](T& t, int32_t v) {
                    const bool on = v != 0;
                    snlog::out() << "Got update for SpO2 probe param: " << "SPO2_PROBE" << ": " << (on ? 1 : 0);
                    storeIfChanged(t.sensors.spo2Probe, on, t.countdowns.spo2);
                }),
        integer("CAPNOGRAPH_SENSOR", app,
                [](T& t, int32_t v) {
                    t.debugValue("SN>CAPNOGRAPH_SENSOR: ", v);
                    storeIfChanged(t.sensors.capnographSensor, v != 0, t.countdowns.co2Off);
                }),
        integer("TEMP_BODY_SENSOR", app,
                [](T& t, int32_t v) {
                    t.debugValue("SN>TEMP_BODY_SENSOR: ", v);
                    t.sensors.bodyTempSensor = (v != 0);
                }),
        integer("TEMP_BLOOD_SENSOR", app,
                [](T& t, int32_t v) {
                    t.debugValue("SN>TEMP_BLOOD_SENSOR: ", v);
                    t.sensors.bloodTempSensor = (v != 0);
                }),
        integer("NIBP_SENSOR", app,
                [](T& t, int32_t v) {
                    t.debugValue("SN>NIBP_SENSOR: ", v);
                    storeIfChanged(t.sensors.nibpSensor, v != 0, t.countdowns.nibp);
                }),
        integer("SIMULATOR_XCONNECTED", app,
                [](T& t, int32_t v) {
                    t.debugValue("SN>SIMULATOR_XCONNECTED: ", v);
                    storeIfChanged(t.sensors.simulatorXConnected, v != 0, t.countdowns.spo2);
                }),
        waveform("ARTLINE", [](T& t, float v) { t.waveforms.arterial.push_back(v); }),
        waveform("PLINE", [](T& t, float v) { t.waveforms.pulmonaryArtery.push_back(v); }),
        waveform("CVPLINE", [](T& t, float v) { t.waveforms.cvp.push_back(v); }),
        waveform("CAPNOGRAM", nullptr),  // not streamed to the unit
        waveform("PLETH", [](T& t, float v) { t.waveforms.pleth.push_back(v); }),
        real("SAO2",
             [](T& t, float v) {
                 storeIfChanged(t.vitals.spo2, com_vela::protocol_helpers::truncateToInt(v), t.countdowns.spo2);
             }),
        integer("EXT_DABP", app, [](T& t, int32_t v) { storeIfChanged(t.vitals.diastolic, v, t.countdowns.nibp); }),
        integer("EXT_MAP", app, [](T& t, int32_t v) { storeIfChanged(t.vitals.mean, v, t.countdowns.nibp); }),
        integer("EXT_SABP", app, [](T& t, int32_t v) { storeIfChanged(t.vitals.systolic, v, t.countdowns.nibp); }),
        integer("SPA", app, nullptr),
        integer("DPA", app, nullptr),
        integer("ETCO2", app, [](T& t, int32_t v) { storeIfChanged(t.vitals.etco2, v, t.countdowns.etco2); }),
        integer("HRPM", app, [](T& t, int32_t v) { storeIfChanged(t.vitals.heartRate, v, t.countdowns.heartRate); }),
        integer("RRPM", app,
                [](T& t, int32_t v) { storeIfChanged(t.vitals.respirationRate, v, t.countdowns.respirationRate); }),
        real("BODY_TEMP", [](T& t, float v) { t.vitals.bodyTemp = v; }),
        real("bloodTemp", [](T& t, float v) { t.vitals.bloodTemp = v; }),
    };
    return rows;
}

const std::vector<com_vela::CSClient::InputDef>& ParameterTranslator::inputs(Protocol protocol) {
    auto build = [](Protocol of) {
        std::vector<CSClient::InputDef> defs;
        for (const Row& row : table())
            if (row.protocol == of) defs.push_back({row.name, row.type, row.updateRate});
        return defs;
    };
    static const std::vector<CSClient::InputDef> simInputs = build(Protocol::sim);
    static const std::vector<CSClient::InputDef> appInputs = build(Protocol::app);
    return protocol == Protocol::sim ? simInputs : appInputs;
}

void ParameterTranslator::WaveformBuffers::clear() {
    arterial.clear();
    pulmonaryArtery.clear();
    cvp.clear();
    pleth.clear();
}

ParameterTranslator::ParameterTranslator(UnitPort& unit, BridgeFlags& flags, CalibrationProcedure& calibration)
    : unit(unit), flags(flags), calibration(calibration) {}

void ParameterTranslator::apply(const std::vector<CSClient::Parameter>& batch) {
    try {
        calibrationArrived = false;
        for (const CSClient::Parameter& p : batch) {
            const std::vector<Row>& rows = table();
            const auto row = std::find_if(rows.begin(), rows.end(), [&](const Row& r) { return p.id == r.name; });
            // Any other name is ignored.
            if (row == rows.end()) continue;
            if (row->type == CSClient::PARAMETER_TYPE_INT) {
                if (row->onInt) row->onInt(*this, p.value.intValue);
            } else if (row->onFloat) {
                row->onFloat(*this, p.value.floatValue);
            }
        }
        endOfBatch();
    } catch (...) {
        // A failed batch (typically a calibration step whose unit request
        // failed) must not leave calibration mode half open.
        flags.calibrating = false;
        throw;
    }
}

void ParameterTranslator::debugValue(const char* label, int32_t value) const {
    if (flags.debug) snlog::out() << label << value;
}

void ParameterTranslator::runningState(int32_t value) {
    debugValue("SN>HW_PATSPEED_PARAM: ", value);
    const bool nowRunning = (value == 1);
    if (nowRunning != flags.running) countdowns = Countdowns();
    flags.running = nowRunning;
    if (nowRunning) {
        flags.calibrating = false;
        if (flags.debug) snlog::out() << "Got here1 (parametersUpdated)";
        setPinging(flags, unit, false);
    } else if (!flags.calibrating) {
        if (flags.debug) snlog::out() << "Got here2 (parametersUpdated)";
        setPinging(flags, unit, true);
    }
    // Paused while calibrating: the calibration thread owns the ping and
    // streaming settings until calibration mode ends.
}

void ParameterTranslator::catheterDepth(int32_t depth, const char* label, const char* zeroStateCommand,
                                        bool& active) {
    debugValue(label, depth);
    unit.sendCommand(zeroStateCommand, zeroState(depth));
    active = (depth >= 0);
}

void ParameterTranslator::endOfBatch() {
    if (flags.running) {
        flags.calibrating = false;
    } else if (calibrationArrived) {
        calibration.performCalibration(calibrationAction, calibrationArg);
    }
    if (!(flags.running && flags.featureEnabled)) {
        waveforms.clear();
        return;
    }
    if (waveforms.arterial.size() < 10) return;
    tick();
}

void ParameterTranslator::tick() {
    WaveformBuffers& w = waveforms;
    dropOldest(w.cvp, w.arterial.size());
    dropOldest(w.pulmonaryArtery, w.arterial.size());

    if (IsSpO2ProbeConnected()) {
        if (countdownStep(countdowns.spo2)) unit.sendSPO2(vitals.spo2);
        unit.sendPLETH_50Hz(w.pleth);
    } else {
        countdownStep(countdowns.spo2);
    }
    w.pleth.clear();

    if (countdownStep(countdowns.nibp)) {
        if (sensors.nibpSensor) unit.sendNIBP_mmHg(vitals.systolic, vitals.diastolic, vitals.mean);
        else unit.sendDisableNIBP();
    }
    if (countdownStep(countdowns.heartRate)) unit.sendHR_bpm(vitals.heartRate);
    if (countdownStep(countdowns.respirationRate)) unit.sendRR_brpm(vitals.respirationRate);
    if (countdownStep(countdowns.temperature)) {
        if (sensors.bodyTempSensor) unit.sendT1_degC(vitals.bodyTemp);
        else unit.sendDisableT1();
        if (sensors.bloodTempSensor) unit.sendT2_degC(vitals.bloodTemp);
        else unit.sendDisableT2();
    }
    if (countdownStep(countdowns.etco2)) unit.sendCommand("etCO2", static_cast<int>(vitals.etco2));
    if (!sensors.capnographSensor && countdownStep(countdowns.co2Off)) unit.sendDisableCO2();

    if (sensors.arterialCatheter) unit.sendABP_50Hz(w.arterial);
    w.arterial.clear();
    if (sensors.cvpCatheter) unit.sendCVP_25Hz(w.cvp);
    w.cvp.clear();
    if (sensors.paCatheter) unit.sendPAP_50Hz(w.pulmonaryArtery);
    w.pulmonaryArtery.clear();
}

bool ParameterTranslator::IsSpO2ProbeConnected() const {
    return sensors.pulseSensor == 1 ||
           (sensors.pulseSensor == 2 && (sensors.spo2Probe || !sensors.simulatorXConnected));
}
