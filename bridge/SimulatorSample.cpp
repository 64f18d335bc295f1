#include "SimulatorSample.h"

#include "Log.h"
#include "UnitMessages.h"

namespace {

using CSClient = com_vela::CSClient;

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

}  // namespace

// ---------------------------------------------------------------- callbacks

namespace {

void reportConnectionChange(CSClient::State oldState, CSClient::State newState, const char* protocol) {
    if (oldState == newState) return;
    if (newState == CSClient::STATE_CONNECTED) {
        snlog::out() << "Orra> Connected (" << protocol << " Protocol)";
    } else if (oldState == CSClient::STATE_CONNECTED) {
        snlog::out() << "Orra> Disconnected (" << protocol << " Protocol)";
    }
}

// Callbacks run on the client library's receive threads: an exception must
// not leave them, or it would end the whole process from a library thread.
void forwardUpdates(SimulatorSample* bridge, const std::vector<CSClient::Parameter>& params) {
    try {
        bridge->parametersUpdated(params);
    } catch (const std::exception& e) {
        snlog::err() << "SN>ERROR>" << e.what();
    } catch (...) {
        snlog::err() << "SN>ERROR>Unknown exception while handling a parameter update";
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

SimulatorSample::SimulatorSample(Configuration* configuration, const Timing& timing)
    : timing(timing),
      simClient(1, 5, timing),
      appClient(5, timing),
      configuration(configuration),
      adaptor(timing),
      calibration(unit, flags, bridgeMutex, timing),
      translator(unit, flags, calibration) {}

SimulatorSample::~SimulatorSample() {
    // No batch may reach the bridge once it starts to go: its streaming may
    // already have ended (a stop), and a batch would only overwrite pending
    // waveforms nobody sends. The callback objects themselves outlive the
    // clients (declared before them), so a receive thread reporting its
    // final state change still finds them.
    if (simCallback) simCallback->forwarding = false;
    if (appCallback) appCallback->forwarding = false;
    appClient.stopKeepAlive();
    simClient.close();
    appClient.close();
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
    }
    // A bridge rebuilt while calibrating ends calibration mode here, so its
    // thread stops before the members it uses go.
    calibration.finish();
    if (flags.debug) snlog::out() << "Destroying SimulatorSample object!";
}

bool SimulatorSample::initialize(bool debugFlag) {
    std::lock_guard<std::mutex> lock(bridgeMutex);
    flags.debug = debugFlag;
    if (!configuration->readConfiguration()) {
        // No line end: main's failure line follows on the same line.
        snlog::err().withoutNewline() << "SN>ERROR>Unable to read the configuration!";
        return false;
    }
    if (flags.debug) adaptor.enableDebugMode();
    if (!adaptor.initialize(configuration->serialID, configuration->ipAddress, configuration->ipRangeStart,
                            configuration->ipRangeEnd, true)) {
        if (stopped()) return false;  // the retry ended on a stop(): no failure
        // No line end, as above.
        snlog::err().withoutNewline() << "SN>ERROR>Unable to initialize the connection with the Sentrel unit!";
        return false;
    }
    if (!simCallback) simCallback.reset(new SimClientCallback(this));
    if (!simClient.addCallbackInterface(simCallback.get())) {
        snlog::err() << "SN>ERROR>Unable to register Sim client interface for callbacks.";
        return false;
    }
    if (!appCallback) appCallback.reset(new AppClientCallback(this));
    if (!appClient.addCallbackInterface(appCallback.get())) {
        snlog::err() << "SN>ERROR>Unable to register App client interface for callbacks.";
        return false;
    }
    if (simClient.open(configuration->rhmIP.c_str(), kRhmPort) != 0) {
        snlog::err() << "SN>ERROR>Failed to open connection to server (SIM protocol).";
        return false;
    }
    if (appClient.open(configuration->simulatorIP.c_str(), kSimulatorPort) != 0) {
        snlog::err() << "SN>ERROR>Failed to open connection to server (APP protocol).";
        return false;
    }
    appClient.startKeepAlive();
    return initializeInputs();
}

bool SimulatorSample::initializeInputs() {
    using Protocol = ParameterTranslator::Protocol;
    if (simClient.registerInputParameters(ParameterTranslator::inputs(Protocol::sim)) != 0) {
        snlog::err() << "SN>ERROR>Orra> Input subscription failed (SIM protocol)!";
        return false;
    }
    if (appClient.registerInputParameters(ParameterTranslator::inputs(Protocol::app)) != 0) {
        snlog::err() << "SN>ERROR>Orra> Input subscription failed (APP protocol)!";
        return false;
    }
    return true;
}

// ---------------------------------------------------------------- supervision

void SimulatorSample::shouldPing(bool flag) { setPinging(flags, unit, flag); }

SimulatorSample::Status SimulatorSample::status() const {
    Status s;
    s.unit = adaptor.linkStatus();
    s.simConnected = simClient.getConnectionState() == CSClient::STATE_CONNECTED;
    s.appConnected = appClient.getConnectionState() == CSClient::STATE_CONNECTED;
    s.patientId = appClient.getActivePatientId();
    s.running = flags.running;
    s.featureEnabled = flags.featureEnabled;
    s.calibrating = flags.calibrating;
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

// The supervision loop: one cycle per period until the unit has been silent
// for too long or stop() is called.
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
// expected to stream. Runs without the bridge lock.
bool SimulatorSample::superviseOnce(int& silentCycles) {
    const bool answers = adaptor.checkConnection();
    if (flags.running || flags.calibrating) {
        if (answers) {
            if (silentCycles >= 2) snlog::out() << "SN>ERROR>Connection reestablished...";
            silentCycles = 0;
        } else {
            const int k = silentCycles + 1;
            if (k % 2 == 0) {
                snlog::err() << "SN>ERROR>Unable to reach the Sentrel unit... (" << k << "). Reconnecting...";
                reinitializeUnit();
            }
            if (silentCycles >= 10) {
                snlog::err() << "SN>ERROR>No answer from the Sentrel unit for too long. Disconnecting.";
                return false;
            }
            silentCycles = k;
        }
    }
    if (answers) {
        if (flags.ping) adaptor.sendPing();
        return true;
    }
    snlog::out() << "Disconnected. Reconnecting.";
    reinitializeUnit();
    return true;
}

// ---------------------------------------------------------------- translation

void SimulatorSample::parametersUpdated(const std::vector<CSClient::Parameter>& params) {
    std::lock_guard<std::mutex> lock(bridgeMutex);
    if (closing) return;
    translator.apply(params);
}

bool SimulatorSample::IsSpO2ProbeConnected() const {
    std::lock_guard<std::mutex> lock(bridgeMutex);
    return translator.IsSpO2ProbeConnected();
}

int SimulatorSample::calibrateSPO2Value(float x) const {
    return unitmsg::roundToInt(interpolate(configuration->spo2Calibration, x, 400.0f));
}

float SimulatorSample::calibrateCO2Value(float x) const {
    return interpolate(configuration->co2Calibration, x, 1.0f) / 1000.0f;
}
