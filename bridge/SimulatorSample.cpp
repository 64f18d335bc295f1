#include "SimulatorSample.h"

#include "ProtocolHelpers.h"
#include "UnitMessages.h"

#include <boost/algorithm/string/replace.hpp>
#include <boost/algorithm/string/trim.hpp>
#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>

#include <cmath>
#include <cstring>
#include <iostream>
#include <sstream>

namespace {

using CSClient = com_vela::CSClient;

int32_t intValue(const CSClient::Parameter& p) { return p.value.intValue; }
float floatValue(const CSClient::Parameter& p) { return p.value.floatValue; }

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

// Piecewise-linear walk over an ascending table from an implicit first point
// at key 0.
float interpolate(const std::map<float, float>& table, float x, float firstValue) {
    float prevKey = 0;
    float prevValue = firstValue;
    for (const auto& entry : table) {
        if (entry.first > x) {
            return prevValue + (entry.second - prevValue) * (x - prevKey) / (entry.first - prevKey);
        }
        prevKey = entry.first;
        prevValue = entry.second;
    }
    return prevValue;
}

// 9 significant digits, shortest general form: 45 -> "45".
std::string floatText(float f) {
    std::ostringstream os;
    os.precision(9);
    os << f;
    return os.str();
}

const char* zeroState(int32_t depth) { return depth != 0 ? "NotZeroing" : "Zeroing"; }

void printLine(const std::string& text) { std::cout << text << std::endl; }

}  // namespace

const char* const SimulatorSample::kCalRemoveSpO2 =
    "{\"MessageType\":\"CalRemove\",\"Message\":{\"calName\":\"SpaceLabs Xprezzon\",\"calType\":\"SpO2\"}}";
const char* const SimulatorSample::kCalRemoveCO2 =
    "{\"MessageType\":\"CalRemove\",\"Message\":{\"calName\":\"SpaceLabs Xprezzon\",\"calType\":\"CO2\"}}";

// ---------------------------------------------------------------- callbacks

namespace {

void reportConnectionChange(CSClient::State oldState, CSClient::State newState, const char* protocol) {
    if (oldState == newState) return;
    if (newState == CSClient::STATE_CONNECTED) {
        std::cout << "Orra> Connected (" << protocol << " Protocol)" << std::endl;
    } else if (oldState == CSClient::STATE_CONNECTED) {
        std::cout << "Orra> Disconnected (" << protocol << " Protocol)" << std::endl;
    }
}

// Callbacks run on the client library's receive threads: an exception must
// not leave them, or it would end the whole process from a library thread.
void forwardUpdates(SimulatorSample* bridge, const std::vector<CSClient::Parameter>& params) {
    try {
        bridge->parametersUpdated(params);
    } catch (const std::exception& e) {
        std::cerr << "SN>ERROR>" << e.what() << std::endl;
    } catch (...) {
        std::cerr << "SN>ERROR>Unknown exception while handling a parameter update" << std::endl;
    }
}

}  // namespace

void SimulatorSample::SimClientCallback::connectionStateChanged(CSClient::State oldState,
                                                                CSClient::State newState) {
    reportConnectionChange(oldState, newState, "SIM");
}

void SimulatorSample::SimClientCallback::parametersUpdated(const std::vector<CSClient::Parameter>& params) {
    if (forwarding) forwardUpdates(bridge, params);
}

void SimulatorSample::AppClientCallback::connectionStateChanged(CSClient::State oldState,
                                                                CSClient::State newState) {
    reportConnectionChange(oldState, newState, "APP");
}

void SimulatorSample::AppClientCallback::parametersUpdated(const std::vector<CSClient::Parameter>& params) {
    if (forwarding) forwardUpdates(bridge, params);
}

// ---------------------------------------------------------------- lifecycle

void SimulatorSample::WaveformBuffers::clear() {
    arterial.clear();
    pulmonaryArtery.clear();
    cvp.clear();
    pleth.clear();
}

SimulatorSample::SimulatorSample(Configuration* configuration, const Timing& timing)
    : timing(timing), simClient(1, 5, timing), appClient(5, timing), configuration(configuration), adaptor(timing) {}

SimulatorSample::~SimulatorSample() {
    appClient.stopKeepAlive();
    simClient.close();
    appClient.close();
    // No batch may reach the bridge once it starts to go. The callback
    // objects themselves outlive the clients (declared before them), so a
    // receive thread reporting its final state change still finds them.
    if (simCallback) simCallback->forwarding = false;
    if (appCallback) appCallback->forwarding = false;
    // The clients' wait counts whole seconds.
    const auto closeBound =
        static_cast<unsigned>(std::chrono::ceil<std::chrono::seconds>(timing.clientCloseBound).count());
    simClient.waitForConnectionState(CSClient::STATE_CLOSED, closeBound);
    appClient.waitForConnectionState(CSClient::STATE_CLOSED, closeBound);
    if (simCallback) simClient.removeCallbackInterface(simCallback.get());
    if (appCallback) appClient.removeCallbackInterface(appCallback.get());
    {
        std::lock_guard<std::mutex> lock(bridgeMutex);
        closing = true;
        // A bridge rebuilt while calibrating ends calibration mode here, so its
        // thread stops before the members it uses go.
        calibrating = false;
    }
    waitForCalibrationThread();
    if (debug) printLine("Destroying SimulatorSample object!");
}

bool SimulatorSample::initialize(bool debugFlag) {
    std::lock_guard<std::mutex> lock(bridgeMutex);
    debug = debugFlag;
    if (!configuration->readConfiguration()) {
        std::cerr << "SN>ERROR>Unable to read the configuration!" << std::flush;
        return false;
    }
    if (debug) adaptor.enableDebugMode();
    if (!adaptor.initialize(configuration->serialID, configuration->ipAddress, configuration->ipRangeStart,
                            configuration->ipRangeEnd, true)) {
        if (stopped()) return false;  // the retry ended on a stop(): no failure
        std::cerr << "SN>ERROR>Unable to initialize the connection with the Sentrel unit!" << std::flush;
        return false;
    }
    if (!simCallback) simCallback.reset(new SimClientCallback(this));
    if (!simClient.addCallbackInterface(simCallback.get())) {
        std::cerr << "SN>ERROR>Unable to register Sim client interface for callbacks." << std::endl;
        return false;
    }
    if (!appCallback) appCallback.reset(new AppClientCallback(this));
    if (!appClient.addCallbackInterface(appCallback.get())) {
        std::cerr << "SN>ERROR>Unable to register App client interface for callbacks." << std::endl;
        return false;
    }
    if (simClient.open(configuration->rhmIP.c_str(), kRhmPort) != 0) {
        std::cerr << "SN>ERROR>Failed to open connection to server (SIM protocol)." << std::endl;
        return false;
    }
    if (appClient.open(configuration->simulatorIP.c_str(), kSimulatorPort) != 0) {
        std::cerr << "SN>ERROR>Failed to open connection to server (APP protocol)." << std::endl;
        return false;
    }
    appClient.startKeepAlive();
    return initializeInputs();
}

bool SimulatorSample::initializeInputs() {
    // Built on the first call and kept for the life of the process.
    static const CSClient::InputDef sSimInputs[] = {
        {"HW_PATSPEED", CSClient::PARAMETER_TYPE_INT, 0},
        {"HW_PATMON_ENABLED", CSClient::PARAMETER_TYPE_INT, 0},
        {"HW_PATMON_CALIB_ACTION", CSClient::PARAMETER_TYPE_INT, 0},
        {"HW_PATMON_CALIB_ARG1", CSClient::PARAMETER_TYPE_INT, 0},
    };
    static const CSClient::InputDef sAppInputs[] = {
        {"ARTERIAL_CATHETER_DEPTH", CSClient::PARAMETER_TYPE_INT, 0},
        {"CVP_CATHETER_DEPTH", CSClient::PARAMETER_TYPE_INT, 0},
        {"PA_CATHETER_DEPTH", CSClient::PARAMETER_TYPE_INT, 0},
        {"PULSE_SENSOR", CSClient::PARAMETER_TYPE_INT, 0},
        {"SPO2_PROBE", CSClient::PARAMETER_TYPE_INT, 0},
        {"CAPNOGRAPH_SENSOR", CSClient::PARAMETER_TYPE_INT, 0},
        {"TEMP_BODY_SENSOR", CSClient::PARAMETER_TYPE_INT, 0},
        {"TEMP_BLOOD_SENSOR", CSClient::PARAMETER_TYPE_INT, 0},
        {"NIBP_SENSOR", CSClient::PARAMETER_TYPE_INT, 0},
        {"SIMULATOR_XCONNECTED", CSClient::PARAMETER_TYPE_INT, 0},
        {"ARTLINE", CSClient::PARAMETER_TYPE_FLOAT, 1},
        {"PLINE", CSClient::PARAMETER_TYPE_FLOAT, 1},
        {"CVPLINE", CSClient::PARAMETER_TYPE_FLOAT, 1},
        {"CAPNOGRAM", CSClient::PARAMETER_TYPE_FLOAT, 1},
        {"PLETH", CSClient::PARAMETER_TYPE_FLOAT, 1},
        {"SAO2", CSClient::PARAMETER_TYPE_FLOAT, 0},
        {"EXT_DABP", CSClient::PARAMETER_TYPE_INT, 0},
        {"EXT_MAP", CSClient::PARAMETER_TYPE_INT, 0},
        {"EXT_SABP", CSClient::PARAMETER_TYPE_INT, 0},
        {"SPA", CSClient::PARAMETER_TYPE_INT, 0},
        {"DPA", CSClient::PARAMETER_TYPE_INT, 0},
        {"ETCO2", CSClient::PARAMETER_TYPE_INT, 0},
        {"HRPM", CSClient::PARAMETER_TYPE_INT, 0},
        {"RRPM", CSClient::PARAMETER_TYPE_INT, 0},
        {"BODY_TEMP", CSClient::PARAMETER_TYPE_FLOAT, 0},
        {"bloodTemp", CSClient::PARAMETER_TYPE_FLOAT, 0},
    };
    if (simClient.registerInputParameters(sSimInputs, sizeof(sSimInputs) / sizeof(sSimInputs[0])) != 0) {
        std::cerr << "SN>ERROR>Orra> Input subscription failed (SIM protocol)!" << std::endl;
        return false;
    }
    if (appClient.registerInputParameters(sAppInputs, sizeof(sAppInputs) / sizeof(sAppInputs[0])) != 0) {
        std::cerr << "SN>ERROR>Orra> Input subscription failed (APP protocol)!" << std::endl;
        return false;
    }
    return true;
}

// ---------------------------------------------------------------- supervision

void SimulatorSample::shouldPing(bool flag) {
    ping = flag;
    adaptor.enableStreamVitals(!flag);
}

SimulatorSample::Status SimulatorSample::status() const {
    Status s;
    s.unit = adaptor.linkStatus();
    s.simConnected = simClient.getConnectionState() == CSClient::STATE_CONNECTED;
    s.appConnected = appClient.getConnectionState() == CSClient::STATE_CONNECTED;
    s.patientId = appClient.getActiveSce().patientId;
    s.running = running;
    s.featureEnabled = featureEnabled;
    s.calibrating = calibrating;
    return s;
}

SimulatorSample::Progress SimulatorSample::progress() const {
    const SentrelAdaptor::LoopProgress unit = adaptor.loopProgress();
    return {supervisionCycles + unit.connecting, unit.streamingThread, unit.streaming};
}

void SimulatorSample::reinitializeUnit() {
    adaptor.initialize(configuration->serialID, configuration->ipAddress, configuration->ipRangeStart,
                       configuration->ipRangeEnd, true);
}

void SimulatorSample::run() {
    int silentCycles = 0;
    while (awaitNextCycle()) {
        const bool goOn = superviseOnce(silentCycles);
        ++supervisionCycles;
        if (!goOn) return;
    }
}

void SimulatorSample::stop() {
    {
        std::lock_guard<std::mutex> lock(supervisionMutex);
        stopRequested = true;
        supervisionWake.notify_all();
    }
    adaptor.stop();  // also ends a unit retry in initialize
}

bool SimulatorSample::stopped() {
    std::lock_guard<std::mutex> lock(supervisionMutex);
    return stopRequested;
}

// Waits one supervision cycle, or less when the next cycle is asked for;
// false once stop() was called.
bool SimulatorSample::awaitNextCycle() {
    std::unique_lock<std::mutex> lock(supervisionMutex);
    supervisionWake.wait_for(lock, timing.supervisionCycle, [this] { return stopRequested || cycleRequested; });
    cycleRequested = false;
    return !stopRequested;
}

// One supervision cycle; false when the unit has been silent for too long.
// `silentCycles` counts the consecutive silent cycles while the unit is
// expected to stream.
bool SimulatorSample::superviseOnce(int& silentCycles) {
    const bool answers = adaptor.checkConnection();
    if (running || calibrating) {
        if (answers) {
            if (silentCycles >= 2) std::cout << "SN>ERROR>Connection reestablished..." << std::endl;
            silentCycles = 0;
        } else {
            const int k = silentCycles + 1;
            if (k % 2 == 0) {
                std::cerr << "SN>ERROR>Unable to reach the Sentrel unit... (" << k << "). Reconnecting..."
                          << std::endl;
                reinitializeUnit();
            }
            if (silentCycles >= 10) {
                std::cerr << "SN>ERROR>No answer from the Sentrel unit for too long. Disconnecting." << std::endl;
                return false;
            }
            silentCycles = k;
        }
    }
    if (answers) {
        if (ping) adaptor.sendPing();
        return true;
    }
    std::cout << "Disconnected. Reconnecting." << std::endl;
    reinitializeUnit();
    return true;
}

// ---------------------------------------------------------------- translation

void SimulatorSample::parametersUpdated(const std::vector<CSClient::Parameter>& params) {
    std::lock_guard<std::mutex> lock(bridgeMutex);
    if (closing) return;
    try {
        bool calibrationArrived = false;
        for (const auto& p : params) handleParameter(p, calibrationArrived);
        endOfBatch(calibrationArrived);
    } catch (...) {
        // A failed batch (typically a calibration step whose unit request
        // failed) must not leave calibration mode half open.
        calibrating = false;
        throw;
    }
}

void SimulatorSample::handleParameter(const CSClient::Parameter& p, bool& calibrationArrived) {
    const std::string& name = p.id;
    auto debugValue = [&](const char* label) {
        if (debug) std::cout << label << intValue(p) << std::endl;
    };
    auto catheterDepth = [&](const char* label, const char* zeroStateCommand, bool& active) {
        const int32_t v = intValue(p);
        debugValue(label);
        adaptor.sendCommand(zeroStateCommand, zeroState(v));
        active = (v >= 0);
    };
    if (name == "HW_PATSPEED") {
        debugValue("SN>HW_PATSPEED_PARAM: ");
        const bool nowRunning = (intValue(p) == 1);
        if (nowRunning != running) countdowns = Countdowns();
        running = nowRunning;
        if (nowRunning) {
            calibrating = false;
            if (debug) printLine("Got here1 (parametersUpdated)");
            ping = false;
            adaptor.enableStreamVitals(true);
        } else if (!calibrating) {
            if (debug) printLine("Got here2 (parametersUpdated)");
            ping = true;
            adaptor.enableStreamVitals(false);
        }
    } else if (name == "HRPM") {
        storeIfChanged(vitals.heartRate, intValue(p), countdowns.heartRate);
    } else if (name == "SAO2") {
        storeIfChanged(vitals.spo2, com_vela::protocol_helpers::truncateToInt(floatValue(p)), countdowns.spo2);
    } else if (name == "ETCO2") {
        storeIfChanged(vitals.etco2, intValue(p), countdowns.etco2);
    } else if (name == "EXT_DABP") {
        storeIfChanged(vitals.diastolic, intValue(p), countdowns.nibp);
    } else if (name == "EXT_MAP") {
        storeIfChanged(vitals.mean, intValue(p), countdowns.nibp);
    } else if (name == "EXT_SABP") {
        storeIfChanged(vitals.systolic, intValue(p), countdowns.nibp);
    } else if (name == "RRPM") {
        storeIfChanged(vitals.respirationRate, intValue(p), countdowns.respirationRate);
    } else if (name == "BODY_TEMP") {
        vitals.bodyTemp = floatValue(p);
    } else if (name == "bloodTemp") {
        vitals.bloodTemp = floatValue(p);
    } else if (name == "ARTLINE") {
        waveforms.arterial.push_back(floatValue(p));
    } else if (name == "PLINE") {
        waveforms.pulmonaryArtery.push_back(floatValue(p));
    } else if (name == "CVPLINE") {
        waveforms.cvp.push_back(floatValue(p));
    } else if (name == "PLETH") {
        waveforms.pleth.push_back(floatValue(p));
    } else if (name == "CAPNOGRAM") {
        // The capnogram is not streamed to the unit.
    } else if (name == "ARTERIAL_CATHETER_DEPTH") {
        catheterDepth("SN>ARTERIAL_CATHETER_DEPTH: ", "abpZeroState", sensors.arterialCatheter);
    } else if (name == "CVP_CATHETER_DEPTH") {
        catheterDepth("SN>CVP_CATHETER_DEPTH: ", "cvpZeroState", sensors.cvpCatheter);
    } else if (name == "PA_CATHETER_DEPTH") {
        catheterDepth("SN>PA_CATHETER_DEPTH: ", "papZeroState", sensors.paCatheter);
    } else if (name == "PULSE_SENSOR") {
        debugValue("SN>PULSE_SENSOR: ");
        storeIfChanged(sensors.pulseSensor, intValue(p), countdowns.spo2);
    } else if (name == "SPO2_PROBE") {
        const bool v = intValue(p) != 0;
        std::cout << "Got update for SpO2 probe param: " << "SPO2_PROBE" << ": " << (v ? 1 : 0) << std::endl;
        storeIfChanged(sensors.spo2Probe, v, countdowns.spo2);
    } else if (name == "SIMULATOR_XCONNECTED") {
        debugValue("SN>SIMULATOR_XCONNECTED: ");
        storeIfChanged(sensors.simulatorXConnected, intValue(p) != 0, countdowns.spo2);
    } else if (name == "CAPNOGRAPH_SENSOR") {
        debugValue("SN>CAPNOGRAPH_SENSOR: ");
        storeIfChanged(sensors.capnographSensor, intValue(p) != 0, countdowns.co2Off);
    } else if (name == "TEMP_BODY_SENSOR") {
        debugValue("SN>TEMP_BODY_SENSOR: ");
        sensors.bodyTempSensor = (intValue(p) != 0);
    } else if (name == "TEMP_BLOOD_SENSOR") {
        debugValue("SN>TEMP_BLOOD_SENSOR: ");
        sensors.bloodTempSensor = (intValue(p) != 0);
    } else if (name == "NIBP_SENSOR") {
        debugValue("SN>NIBP_SENSOR: ");
        storeIfChanged(sensors.nibpSensor, intValue(p) != 0, countdowns.nibp);
    } else if (name == "HW_PATMON_CALIB_ACTION") {
        debugValue("SN>CALIBRATION_ACTION: ");
        calibration.action = intValue(p);
        calibrationArrived = true;
    } else if (name == "HW_PATMON_CALIB_ARG1") {
        debugValue("SN>CALIBRATION_ARG1: ");
        calibration.arg = intValue(p);
        calibrationArrived = true;
    } else if (name == "HW_PATMON_ENABLED") {
        debugValue("SN>FeatureIsEnabled: ");
        featureEnabled = (intValue(p) > 0);
        std::cout << "SN>" << (featureEnabled ? "Feature enabled!" : ">>>>>>>>>>>>>>>>>Feature is not enabled!")
                  << std::endl;
    }
    // Any other name ("SPA", "DPA", ...) is ignored.
}

void SimulatorSample::endOfBatch(bool calibrationArrived) {
    if (running) {
        calibrating = false;
    } else if (calibrationArrived) {
        performCalibration(calibration.action, calibration.arg);
    }
    if (!(running && featureEnabled)) {
        waveforms.clear();
        return;
    }
    if (waveforms.arterial.size() < 10) return;
    tick();
}

void SimulatorSample::tick() {
    WaveformBuffers& w = waveforms;
    dropOldest(w.cvp, w.arterial.size());
    dropOldest(w.pulmonaryArtery, w.arterial.size());

    if (IsSpO2ProbeConnected()) {
        if (countdownStep(countdowns.spo2)) adaptor.sendSPO2(vitals.spo2);
        adaptor.sendPLETH_50Hz(w.pleth);
    } else {
        countdownStep(countdowns.spo2);
    }
    w.pleth.clear();

    if (countdownStep(countdowns.nibp)) {
        if (sensors.nibpSensor) adaptor.sendNIBP_mmHg(vitals.systolic, vitals.diastolic, vitals.mean);
        else adaptor.sendDisableNIBP();
    }
    if (countdownStep(countdowns.heartRate)) adaptor.sendHR_bpm(vitals.heartRate);
    if (countdownStep(countdowns.respirationRate)) adaptor.sendRR_brpm(vitals.respirationRate);
    if (countdownStep(countdowns.temperature)) {
        if (sensors.bodyTempSensor) adaptor.sendT1_degC(vitals.bodyTemp);
        else adaptor.sendDisableT1();
        if (sensors.bloodTempSensor) adaptor.sendT2_degC(vitals.bloodTemp);
        else adaptor.sendDisableT2();
    }
    if (countdownStep(countdowns.etco2)) adaptor.sendCommand("etCO2", static_cast<int>(vitals.etco2));
    if (!sensors.capnographSensor && countdownStep(countdowns.co2Off)) adaptor.sendDisableCO2();

    if (sensors.arterialCatheter) adaptor.sendABP_50Hz(w.arterial);
    w.arterial.clear();
    if (sensors.cvpCatheter) adaptor.sendCVP_25Hz(w.cvp);
    w.cvp.clear();
    if (sensors.paCatheter) adaptor.sendPAP_50Hz(w.pulmonaryArtery);
    w.pulmonaryArtery.clear();
}

bool SimulatorSample::IsSpO2ProbeConnected() const {
    return sensors.pulseSensor == 1 ||
           (sensors.pulseSensor == 2 && (sensors.spo2Probe || !sensors.simulatorXConnected));
}

int SimulatorSample::calibrateSPO2Value(float x) const {
    return unitmsg::roundToInt(interpolate(configuration->spo2Calibration, x, 400.0f));
}

float SimulatorSample::calibrateCO2Value(float x) const {
    return interpolate(configuration->co2Calibration, x, 1.0f) / 1000.0f;
}

// ---------------------------------------------------------------- calibration

void SimulatorSample::performCalibration(int action, int arg) {
    std::cout << "Calling performCalibration with action: [" << action << "] and arg: [" << arg << "]"
              << std::endl;
    if (action <= 0) {
        if (calibrating) {
            printLine("SN>CALIBRATION>Stopping calibration");
            calibrating = false;
        }
        return;
    }
    if (!calibrating) {
        if (action != 1) {
            printLine("SN>CALIBRATION>Ignoring calibration until a 'Start' action is received.");
            return;
        }
        printLine("SN>CALIBRATION>Starting calibration");
        calibrating = true;
        startCalibrationThread();
    }
    switch (action) {
    case 1:
        printLine("SN>CALIBRATION>Start/reset calibration");
        calibration.spo2Points.clear();
        calibration.co2Points.clear();
        calibration.co2Counter = 0;
        break;
    case 2:
        std::cout << "SN>CALIBRATION>Set SPO2 scale to " << arg << std::endl;
        break;
    case 3:
        std::cout << "SN>CALIBRATION>Set SPO2 Counter to " << arg << std::endl;
        calibration.spo2Counter = arg;
        if (arg >= 1) adaptor.sendSPO2_ratio(arg);
        break;
    case 4:
        std::cout << "SN>CALIBRATION>Set CO2 Counter to " << arg << std::endl;
        calibration.co2Counter = arg;
        if (arg >= 1) {
            std::cout << "Sending co2FlowFactor of " << calibration.co2Counter << std::endl;
            adaptor.sendRR_brpm(10);
            adaptor.sendCO2_flowFactor(calibration.co2Counter);
        }
        break;
    case 30:
        std::cout << "SN>CALIBRATION>Save SPO2 point " << arg << " -> " << calibration.spo2Counter << std::endl;
        calibration.spo2Points[calibration.spo2Counter] = arg;
        break;
    case 39:
        printLine("SN>CALIBRATION>Skipping SPO2");
        calibration.spo2Points.clear();
        break;
    case 40:
        std::cout << "SN>CALIBRATION>Save CO2 point " << arg << " -> " << calibration.co2Counter << std::endl;
        calibration.co2Points[calibration.co2Counter] = arg;
        break;
    case 49:
        printLine("SN>CALIBRATION>Skipping CO2");
        calibration.co2Points.clear();
        break;
    case 100:
        saveCalibration();
        break;
    default:
        break;
    }
}

std::string SimulatorSample::buildCalDataText(const char* calType, const std::map<int32_t, int32_t>& points) {
    namespace pt = boost::property_tree;
    pt::ptree tree;
    tree.put("MessageType", "CalData");
    tree.put("Message.calName", "SpaceLabs Xprezzon");
    tree.put("Message.calType", calType);
    pt::ptree list;
    for (auto it = points.rbegin(); it != points.rend(); ++it) {
        pt::ptree item;
        item.put("Item1", floatText(static_cast<float>(it->first)));
        item.put("Item2", floatText(static_cast<float>(it->second)));
        list.push_back(std::make_pair("", item));
    }
    tree.add_child("Message.calPts", list);
    std::ostringstream os;
    pt::write_json(os, tree, false);
    std::string text = os.str();
    boost::algorithm::trim_right(text);
    boost::algorithm::replace_all(text, "        ", "");
    return text;
}

void SimulatorSample::saveTable(const char* calType, const std::map<int32_t, int32_t>& points,
                                const char* removeText, const char* firstLine, const char* lastLine) {
    const bool spo2Type = std::strcmp(calType, "SpO2") == 0;
    auto request = [&] {
        return spo2Type ? adaptor.sendRequestStoredCalibrationNamesSpO2()
                        : adaptor.sendRequestStoredCalibrationNamesCO2();
    };
    const std::string calData = buildCalDataText(calType, points);
    printLine(firstLine);
    adaptor.printJson(request());
    adaptor.sendSnCommand(removeText);
    std::this_thread::sleep_for(timing.savePause);
    printLine("New calibration list:");
    adaptor.printJson(request());
    adaptor.sendSnCommand(calData);
    printLine(lastLine);
    adaptor.printJson(request());
}

void SimulatorSample::saveCalibration() {
    printLine("SN>CALIBRATION>Saving calibration file!");
    std::this_thread::sleep_for(timing.savePause);
    if (!calibration.spo2Points.empty())
        saveTable("SpO2", calibration.spo2Points, kCalRemoveSpO2, "Removing previous calibration:", "After SpO2:");
    if (!calibration.co2Points.empty())
        saveTable("CO2", calibration.co2Points, kCalRemoveCO2, "Removing previous calibration", "After CO2:");
    calibrating = false;
}

// Called with bridgeMutex held.
void SimulatorSample::startCalibrationThread() {
    // A previous thread that has not yet noticed the end of the last
    // calibration mode simply carries on; no second thread is started.
    if (calibrationLoopActive) return;
    // A previous thread that has left its loop takes the bridge lock no more;
    // joining it here keeps its final settings from overriding the new ones.
    if (calibrationThread.joinable()) calibrationThread.join();
    {
        std::lock_guard<std::mutex> doneLock(calibrationDoneMutex);
        calibrationThreadDone = false;
    }
    calibrationLoopActive = true;
    try {
        calibrationThread = std::thread(&SimulatorSample::calibrationData, this);
    } catch (...) {
        calibrationLoopActive = false;
        std::lock_guard<std::mutex> doneLock(calibrationDoneMutex);
        calibrationThreadDone = true;
        throw;
    }
}

void SimulatorSample::calibrationData() {
    bool loopLeft = false;
    try {
        const auto start = std::chrono::steady_clock::now();
        printLine("Entered calibration mode...");
        ping = false;
        adaptor.enableStreamVitals(true);
        auto deadline = start;
        for (;;) {
            deadline += timing.calibrationPoll;
            const auto remaining =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (remaining.count() > 0) std::this_thread::sleep_for(remaining);
            std::lock_guard<std::mutex> lock(bridgeMutex);
            if (!calibrating) {
                calibrationLoopActive = false;
                loopLeft = true;
                break;
            }
        }
        printLine("exiting calibration mode...");
        ping = true;
        adaptor.enableStreamVitals(false);
    } catch (const std::exception& e) {
        std::cout << e.what() << std::endl;
        // Once out of the loop a new start may be joining this thread with the
        // bridge lock held: the lock is only needed while still in the loop.
        if (!loopLeft) {
            std::lock_guard<std::mutex> lock(bridgeMutex);
            calibrationLoopActive = false;
        }
    }
    std::lock_guard<std::mutex> doneLock(calibrationDoneMutex);
    calibrationThreadDone = true;
    calibrationDoneCv.notify_all();
}

void SimulatorSample::waitForCalibrationThread() {
    if (!calibrationThread.joinable()) return;
    {
        std::unique_lock<std::mutex> doneLock(calibrationDoneMutex);
        if (!calibrationDoneCv.wait_for(doneLock, timing.calibrationJoinBound, [this] { return calibrationThreadDone; })) {
            // Leaving it running would let it reach a destroyed bridge; the
            // thread only sleeps and polls, so the join below still ends.
            std::cerr << "SN>ERROR>The calibration thread is slow to end; waiting for it." << std::endl;
        }
    }
    calibrationThread.join();
}
