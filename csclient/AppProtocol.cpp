#include "AppProtocol.h"

#include "ProtocolHelpers.h"

#include <iostream>

namespace com_vela {

using namespace protocol_helpers;

namespace {

#define APP_HEADER(sub, code) {1, sub, 0x7F, 0xFF, 0, 0, 0, 0, 0x00, 0x7F, 0x00, code}

const unsigned char sHeader[12] = APP_HEADER(2, 0x00);

RawMessage command(unsigned code) { return beginMessage(sHeader, code); }

CSClient::Result statusResult(unsigned status) {
    return status == 1 ? CSClient::RESULT_OK : CSClient::RESULT_REFUSED;
}

// Speed of a speed-modified event; false for a speed without a mode.
bool eventSpeedMode(float speed, AppClient::SimulationMode& mode) {
    switch (truncateToInt(speed)) {
    case 1: mode = AppClient::MODE_SPEED_1X; return true;
    case 4: mode = AppClient::MODE_SPEED_4X; return true;
    case 8: mode = AppClient::MODE_SPEED_8X; return true;
    default: return false;
    }
}

float wireValue(const CSClientProtocol::OutputParameterEntry& e) {
    switch (e.type) {
    case CSClient::PARAMETER_TYPE_INT: return static_cast<float>(e.value.intValue);
    case CSClient::PARAMETER_TYPE_FLOAT: return e.value.floatValue;
    default: return 0.0f;
    }
}

}  // namespace

AppProtocol::AppProtocol(unsigned options) : CSClientProtocol(options) {}

AppProtocol::~AppProtocol() { stopKeepAlive(); }

std::vector<AppClient::Callback*> AppProtocol::appCallbacks() const {
    std::set<CSClient::CallbackIface*> set;
    getCallbackInterfaces(set);
    std::vector<AppClient::Callback*> out;
    for (auto* cb : set)
        if (auto* app = dynamic_cast<AppClient::Callback*>(cb)) out.push_back(app);
    return out;
}

bool AppProtocol::noActivePatient(bool needsStarted) const {
    return activeSce.patientId == 0 || (needsStarted && activeSce.mode == AppClient::MODE_LOADED);
}

// ---------------------------------------------------------------- handshake

void AppProtocol::handleConnectionStateChange(CSClient::State, CSClient::State newState) {
    switch (newState) {
    case CSClient::STATE_CLOSED:
        unregisterAllLocalParameters();
        break;
    case CSClient::STATE_ESTABLISHING:
        if (!isQuiet()) std::cout << "Sending flow control request..." << std::endl;
        sendFlowControlMessage(FLOW_CONTROL_REQUEST);
        break;
    case CSClient::STATE_CONNECTED:
        requestSimulatorVersion();
        break;
    default:
        break;
    }
}

CSClient::Result AppProtocol::sendFlowControlMessage(FlowControlType type) {
    if (type == FLOW_CONTROL_GRANT) return CSClient::RESULT_INVALID;
    RawMessage m(RawMessage::TYPE_FLOW_CONTROL);
    m.write(static_cast<unsigned>(type));
    m.write(0xFFFFFFFFu);
    m.write(0xFFFFFFFFu);
    m.write(0xFFFFFFFFu);
    m.write(type == FLOW_CONTROL_REQUEST ? 3u : 0xFFFFFFFFu);
    return sendMessage(m);
}

CSClient::Result AppProtocol::eventsSubscribe(EventMode mode, int value) {
    static const unsigned char sEventHeader[12] = APP_HEADER(1, 0x20);
    RawMessage m = beginMessage(sEventHeader, CODE_EVENTS_SUBSCRIPTION);
    m.write(static_cast<int>(mode));
    const unsigned all = 0x7FFFFFFF;
    switch (mode) {
    case EVENTS_ALL:
    case EVENTS_MODE_1:
    case EVENTS_MODE_2:
    case EVENTS_MODE_4:
        m.write(all); m.write(all); m.write(all);
        break;
    case EVENTS_FILTER_FIRST:
        m.write(value); m.write(all); m.write(all);
        break;
    case EVENTS_FILTER_SECOND:
        m.write(all); m.write(value); m.write(all);
        break;
    case EVENTS_FILTER_THIRD:
        m.write(all); m.write(all); m.write(value);
        break;
    default:
        break;
    }
    return sendMessage(m);
}

CSClient::Result AppProtocol::refreshActiveSces() {
    if (!isQuiet()) std::cout << "Refreshing Active Sces..." << std::endl;
    {
        CSLockGuard guard(registryLock);
        activeSce.clear();
    }
    static const unsigned char sListHeader[12] = APP_HEADER(1, 0x01);
    return sendMessage(beginMessage(sListHeader, CODE_PATIENT_LIST_REQUEST));
}

ActiveSce AppProtocol::getActiveSce() const {
    CSLockGuard guard(registryLock);
    ActiveSce copy(activeSce);
    if (copy.patientId == 0) copy.clear();
    return copy;
}

void AppProtocol::registerAllParameters() {
    if (activeSce.patientId == 0) return;
    if (!isQuiet())
        std::cout << "Registering input parameters (" << getNumberOfInputParametersWaitingForConfirmation() << ")..."
                  << std::endl;
    reregisterAllInputParameters();
    if (!isQuiet())
        std::cout << "Registering output parameters (" << getNumberOfOutputParametersWaitingForConfirmation()
                  << ")..." << std::endl;
    reregisterAllOutputParameters();
}

CSClient::Result AppProtocol::requestSimulatorVersion() {
    if (!isQuiet()) std::cout << "Sending server version request..." << std::endl;
    RawMessage m = command(CODE_VERSION_REQUEST);
    m.write(0u);
    return sendMessage(m);
}

CSClient::Result AppProtocol::sendKeepAlive() { return sendFlowControlMessage(FLOW_CONTROL_KEEP_ALIVE); }

void* AppProtocol::keepAliveMain(void* engine) {
    auto* self = static_cast<AppProtocol*>(engine);
    while (!CSThread::stopRequested()) {
        if (self->getState() == CSClient::STATE_CONNECTED) self->sendKeepAlive();
        if (CSThread::sleepUnlessStopped(self->keepAliveIntervalMs)) break;
    }
    return nullptr;
}

CSClient::Result AppProtocol::startKeepAlive() {
    if (keepAliveThread.isActive()) return CSClient::RESULT_FAILED;
    return keepAliveThread.create(&AppProtocol::keepAliveMain, this) ? CSClient::RESULT_OK : CSClient::RESULT_FAILED;
}

void AppProtocol::stopKeepAlive() { keepAliveThread.kill(); }

// ---------------------------------------------------------------- dispatch

void AppProtocol::handleReceivedMessage(const RawMessage& message) {
    if (message.getType() == RawMessage::TYPE_DATA && message.getSize() >= 12) {
        int sub = message.getSubprotocol();
        unsigned code = message.getWord(10);
        if (sub == 1) {
            if (code == CODE_PATIENT_LIST_RESPONSE) {
                handlePatientList(message);
                if (getState() == CSClient::STATE_ESTABLISHING) {
                    registerAllParameters();
                    setState(CSClient::STATE_CONNECTED);
                }
            }
            return;
        }
        if (sub == 2) {
            switch (code) {
            case CODE_PUBLISH: handlePatientUpdate(message); break;
            case CODE_SUBSCRIBE_RESPONSE: handleSubscribeResponse(message); break;
            case CODE_PUBLISH_RESPONSE: handlePublishResponse(message); break;
            case CODE_LOAD_RESPONSE: handleSceLoaded(message); break;
            case CODE_START_RESPONSE: handleSceStarted(message); break;
            case CODE_RUN_TRAINING_CASE_RESPONSE: handleRunTrainingCaseResponse(message); break;
            case CODE_VERSION_RESPONSE: handleVersionResponse(message); break;
            default: break;
            }
            return;
        }
        if (sub == 3) {
            handleEventMessage(message);
            return;
        }
    }
    if (message.getType() == RawMessage::TYPE_FLOW_CONTROL) handleFlowControl(message);
}

void AppProtocol::handleFlowControl(const RawMessage& message) {
    if (message.getSize() < 4 || message.getDoubleWord(0) != FLOW_CONTROL_GRANT) return;
    if (getState() != CSClient::STATE_ESTABLISHING) return;
    if (!isQuiet()) std::cout << "Sending subscribe to all events..." << std::endl;
    eventsSubscribe(EVENTS_ALL, 0);
    if (refreshActiveSces() != CSClient::RESULT_OK) {
        std::cerr << "Error refreshing active SCE's. Continuing..." << std::endl;
        setState(CSClient::STATE_CONNECTED);
    }
}

void AppProtocol::handlePatientList(const RawMessage& message) {
    unsigned n = message.getDoubleWord(12);
    if (n > 1)
        std::cerr << "Warning, multiple patients in a patient list response: " << n << ". Handling only the first one!"
                  << std::endl;
    if (n >= 1) {
        unsigned patientId = message.getDoubleWord(16);
        unsigned sceId = message.getDoubleWord(20);
        unsigned state = message.getDoubleWord(24);
        AppClient::SimulationMode mode = AppClient::MODE_STOPPED;
        if (state == 5) {
            int speed = truncateToInt(message.getFloat(28));
            switch (speed) {
            case 0: mode = AppClient::MODE_PAUSED; break;
            case 1: mode = AppClient::MODE_SPEED_1X; break;
            case 4: mode = AppClient::MODE_SPEED_4X; break;
            case 8: mode = AppClient::MODE_SPEED_8X; break;
            default:
                std::cerr << "Patient started but unknown speed " << speed << ". Reporting as 4x" << std::endl;
                mode = AppClient::MODE_SPEED_4X;
            }
        }
        CSLockGuard guard(registryLock);
        activeSce.mode = mode;
        activeSce.sceId = sceId;
        activeSce.patientId = patientId;
    }
    auto callbacks = appCallbacks();
    if (getState() == CSClient::STATE_ESTABLISHING && n >= 1) {
        for (auto* cb : callbacks)
            cb->sceStarted(activeSce.patientId, activeSce.sceId, activeSce.secondaryId, CSClient::RESULT_OK);
    } else {
        for (auto* cb : callbacks) cb->sceActiveRefresh();
    }
}

void AppProtocol::handleVersionResponse(const RawMessage& message) {
    if (message.getDoubleWord(144) != 1) return;
    std::string version = readName(message, 12, 128);
    setServerVersion(version);
    if (!isQuiet()) std::cout << "Found server version: " << version << std::endl;
    setProtocolVersion(1);
}

// ---------------------------------------------------------------- parameter traffic

CSClient::Result AppProtocol::sendInputSubscriptionRequest(const std::vector<InputParameterEntry*>& entries) {
    if (entries.empty()) return CSClient::RESULT_OK;
    if (entries.size() > MAX_SUBSCRIPTION_ENTRIES) {
        if (!isQuiet())
            std::cout << "Splitting large input subscription: " << entries.size() << " parameters requested"
                      << std::endl;
        std::size_t half = entries.size() / 2;
        std::vector<InputParameterEntry*> first(entries.begin(), entries.begin() + long(half));
        std::vector<InputParameterEntry*> second(entries.begin() + long(half), entries.end());
        CSClient::Result r = sendInputSubscriptionRequest(first);
        if (r != CSClient::RESULT_OK) return r;
        return sendInputSubscriptionRequest(second);
    }
    unsigned patientId = activeSce.patientId;
    if (patientId == 0) return CSClient::RESULT_OK;
    static const unsigned char sSubHeader[12] = APP_HEADER(2, 0x06);
    RawMessage m = beginMessage(sSubHeader, CODE_INPUT_SUBSCRIPTION);
    m.write(patientId);
    m.write(static_cast<unsigned>(entries.size()));
    for (const auto* e : entries) {
        m.write(rateWord(e->updateRate));
        m.write(0u);
        writeName(m, e->id);
    }
    return keptForLater(sendMessage(m));
}

CSClient::Result AppProtocol::sendOutputSubscriptionRequest(const std::vector<OutputParameterEntry*>& entries) {
    if (entries.empty()) return CSClient::RESULT_OK;
    if (entries.size() > MAX_SUBSCRIPTION_ENTRIES) {
        if (!isQuiet())
            std::cout << "Splitting large output subscription: " << entries.size() << " parameters requested"
                      << std::endl;
        std::size_t half = entries.size() / 2;
        std::vector<OutputParameterEntry*> first(entries.begin(), entries.begin() + long(half));
        std::vector<OutputParameterEntry*> second(entries.begin() + long(half), entries.end());
        CSClient::Result r = sendOutputSubscriptionRequest(first);
        if (r != CSClient::RESULT_OK) return r;
        return sendOutputSubscriptionRequest(second);
    }
    unsigned patientId = activeSce.patientId;
    if (patientId == 0) return CSClient::RESULT_OK;
    RawMessage m = command(CODE_OUTPUT_SUBSCRIPTION);
    m.write(patientId);
    m.write(static_cast<unsigned>(entries.size()));
    for (const auto* e : entries) {
        m.write(1200u);
        writeName(m, e->id);
    }
    return keptForLater(sendMessage(m));
}

CSClient::Result AppProtocol::sendInputUnsubscriptionRequest(const std::vector<InputParameterEntry*>& entries) {
    if (entries.empty()) return CSClient::RESULT_OK;
    unsigned patientId = activeSce.patientId;
    if (patientId == 0) return CSClient::RESULT_NOT_RUNNING;
    if (!isQuiet())
        std::cout << "Unsubscribing from " << entries.size() << " inputs for SIM ID: " << patientId << std::endl;
    RawMessage m = command(CODE_INPUT_UNSUBSCRIPTION);
    m.write(patientId);
    m.write(static_cast<unsigned>(entries.size()));
    for (const auto* e : entries) m.write(e->serverId);
    return keptForLater(sendMessage(m));
}

CSClient::Result AppProtocol::sendOutputUnsubscriptionRequest(const std::vector<OutputParameterEntry*>& entries) {
    if (entries.empty()) return CSClient::RESULT_OK;
    unsigned patientId = activeSce.patientId;
    if (patientId == 0) return CSClient::RESULT_OK;
    if (!isQuiet())
        std::cout << "Unsubscribing from " << entries.size() << " outputs for SCE ID: " << patientId << std::endl;
    RawMessage m = command(CODE_OUTPUT_UNSUBSCRIPTION);
    m.write(patientId);
    m.write(static_cast<unsigned>(entries.size()));
    for (const auto* e : entries) m.write(e->serverId);
    return keptForLater(sendMessage(m));
}

CSClient::Result AppProtocol::sendParameterPublishRequest(const std::vector<OutputParameterEntry*>& entries,
                                                         PublishMode mode) {
    if (entries.empty()) return CSClient::RESULT_OK;
    unsigned patientId = activeSce.patientId;
    if (patientId == 0) return CSClient::RESULT_NOT_RUNNING;
    // An output without a server id yet is not sent: the server could not
    // place it, and its value goes out once the publish response confirms it.
    std::vector<const OutputParameterEntry*> confirmed;
    for (const auto* e : entries)
        if (e->serverId != UNCONFIRMED_SERVER_ID) confirmed.push_back(e);
    if (confirmed.empty()) return CSClient::RESULT_OK;
    static const unsigned char sHeaderNoLog[12] = APP_HEADER(2, 0x38);
    RawMessage m = hasOptions(OPTION_NO_LOG) ? beginMessage(sHeaderNoLog, CODE_PUBLISH_NO_LOG) : command(CODE_PUBLISH);
    m.write(patientId);
    m.write(static_cast<unsigned>(mode));
    m.write(static_cast<unsigned>(confirmed.size()));
    for (const auto* e : confirmed) {
        m.write(e->serverId);
        m.write(wireValue(*e));
    }
    return keptForLater(sendMessage(m));
}

CSClient::Result AppProtocol::publishSignalParameter(const CSClient::Parameter& parameter, unsigned signal) {
    OutputParameterEntry entry;
    {
        CSLockGuard guard(registryLock);
        if (parameter.type == CSClient::PARAMETER_TYPE_INVALID) {
            std::cerr << "Subscription type of parameter id string '" << parameter.id << "' is invalid!" << std::endl;
            return CSClient::RESULT_INVALID;
        }
        if (parameter.id.size() > MAX_PARAMETER_ID_LENGTH) {
            std::cerr << "Length of parameter id string '" << parameter.id << "' exceeds maximum "
                      << MAX_PARAMETER_ID_LENGTH + 1 << std::endl;
            return CSClient::RESULT_INVALID;
        }
        auto it = outputsByName.find(parameter.id);
        if (it == outputsByName.end()) {
            std::cerr << "Unknown parameter: " << parameter.id << std::endl;
            return CSClient::RESULT_INVALID;
        }
        if (it->second->serverId == UNCONFIRMED_SERVER_ID) {
            std::cerr << "No subscription for: " << parameter.id << std::endl;
            return CSClient::RESULT_REFUSED;
        }
        entry.serverId = it->second->serverId;
        entry.type = it->second->type;
        entry.value = parameter.value;
    }
    unsigned patientId = activeSce.patientId;
    if (patientId == 0) return CSClient::RESULT_NOT_RUNNING;
    RawMessage m = command(CODE_SIGNAL_PARAMETER);
    m.write(patientId);
    m.write(0u);
    m.write(1u);
    m.write(entry.serverId);
    m.write(wireValue(entry));
    m.write(signal);
    return sendMessage(m);
}

void AppProtocol::handleSubscribeResponse(const RawMessage& message) {
    unsigned patientId = activeSce.patientId;
    if (message.getDoubleWord(12) != patientId) return;
    const unsigned kEntry = 48;
    std::vector<CSClient::InputDef> defs;
    std::vector<CSClient::Parameter> values;
    {
        CSLockGuard guard(registryLock);
        unsigned n = entriesInBody(message, 20, kEntry, message.getDoubleWord(16));
        for (unsigned i = 0; i < n; ++i) {
            unsigned off = 20 + i * kEntry;
            std::string name = readName(message, off + 16);
            auto it = inputsByName.find(name);
            if (it == inputsByName.end()) continue;
            unsigned id = message.getDoubleWord(off);
            if (!isQuiet()) std::cout << "Successful registration of APP input " << name << " as ID " << id << std::endl;
            InputParameterEntry* e = it->second;
            adoptInputServerId(e, id);
            defs.push_back(CSClient::InputDef{e->id, e->type, e->updateRate});
            float v = message.getFloat(off + 12);
            if (e->type == CSClient::PARAMETER_TYPE_INVALID || e->type == CSClient::PARAMETER_TYPE_FLOAT)
                values.push_back(CSClient::Parameter::makeFloat(name, v));
            else if (e->type == CSClient::PARAMETER_TYPE_INT)
                values.push_back(CSClient::Parameter::makeInt(name, truncateToInt(v)));
        }
    }
    std::set<CSClient::CallbackIface*> set;
    getCallbackInterfaces(set);
    for (auto* cb : set) {
        cb->registrationComplete(defs);
        cb->parametersUpdated(values);
    }
}

void AppProtocol::handlePublishResponse(const RawMessage& message) {
    unsigned patientId = activeSce.patientId;
    if (message.getDoubleWord(12) != patientId) return;
    const unsigned kEntry = 44;
    std::vector<CSClient::OutputDef> defs;
    std::vector<std::string> plain, overridden;
    {
        CSLockGuard guard(registryLock);
        unsigned n = entriesInBody(message, 20, kEntry, message.getDoubleWord(16));
        for (unsigned i = 0; i < n; ++i) {
            unsigned off = 20 + i * kEntry;
            unsigned id = message.getDoubleWord(off);
            std::string name = readName(message, off + 12);
            auto it = outputsByName.find(name);
            if (it == outputsByName.end()) {
                std::cerr << "Parameter not found: " << name << "(" << id << ")" << std::endl;
                continue;
            }
            if (!isQuiet()) std::cout << "Successful registration of APP output " << name << " as ID " << id << std::endl;
            OutputParameterEntry* e = it->second;
            adoptOutputServerId(e, id);
            defs.push_back(CSClient::OutputDef{e->id, e->type});
            if (e->hasValue) (e->override ? overridden : plain).push_back(name);
        }
    }
    std::set<CSClient::CallbackIface*> set;
    getCallbackInterfaces(set);
    for (auto* cb : set) cb->registrationComplete(defs);
    // Entries are looked up again under the lock: one may have been
    // unregistered while the callbacks ran.
    auto resend = [this](const std::vector<std::string>& names, PublishMode mode) {
        if (names.empty()) return;
        CSLockGuard guard(registryLock);
        std::vector<OutputParameterEntry*> list;
        for (const auto& name : names) {
            auto it = outputsByName.find(name);
            if (it != outputsByName.end() && it->second->hasValue) list.push_back(it->second);
        }
        sendParameterPublishRequest(list, mode);
    };
    resend(plain, PUBLISH_PLAIN);
    resend(overridden, PUBLISH_OVERRIDE);
}

void AppProtocol::handlePatientUpdate(const RawMessage& message) {
    const unsigned kEntry = 8;
    unsigned n = entriesInBody(message, 24, kEntry, message.getDoubleWord(20));
    if (n == 0) return;
    unsigned mode = message.getDoubleWord(16);
    if (mode == 1) return;
    bool override = mode == PUBLISH_OVERRIDE;
    std::vector<CSClient::Parameter> values;
    values.reserve(n);
    {
        CSLockGuard guard(registryLock);
        for (unsigned i = 0; i < n; ++i) {
            unsigned off = 24 + i * kEntry;
            auto name = inputIdsToNames.find(message.getDoubleWord(off));
            if (name == inputIdsToNames.end()) continue;
            auto input = inputsByName.find(name->second);
            if (input == inputsByName.end()) continue;
            float v = message.getFloat(off + 4);
            switch (input->second->type) {
            case CSClient::PARAMETER_TYPE_INVALID:
            case CSClient::PARAMETER_TYPE_FLOAT:
                values.push_back(CSClient::Parameter::makeFloat(name->second, v, override));
                break;
            case CSClient::PARAMETER_TYPE_INT:
                values.push_back(CSClient::Parameter::makeInt(name->second, truncateToInt(v), override));
                break;
            default:
                break;
            }
        }
    }
    if (values.empty()) return;
    std::set<CSClient::CallbackIface*> set;
    getCallbackInterfaces(set);
    for (auto* cb : set) cb->parametersUpdated(values);
}

// ---------------------------------------------------------------- scenario commands

CSClient::Result AppProtocol::loadSce(unsigned sceId, unsigned secondaryId) {
    if (activeSce.patientId != 0) return CSClient::RESULT_BUSY;
    activeSce.secondaryId = secondaryId;
    RawMessage m = command(CODE_LOAD_SCENARIO);
    m.write(0u);
    m.write(sceId);
    return sendMessage(m);
}

CSClient::Result AppProtocol::startSce(unsigned sceId, unsigned secondaryId, bool flag) {
    if (activeSce.mode == AppClient::MODE_LOADED) {
        if (sceId == activeSce.sceId || secondaryId == activeSce.secondaryId)
            return sendStartSce(activeSce.patientId, flag);
        return CSClient::RESULT_BUSY;
    }
    if (activeSce.patientId != 0) return CSClient::RESULT_BUSY;
    activeSce.secondaryId = secondaryId;
    RawMessage m = command(CODE_RUN_TRAINING_CASE);
    m.write(sceId);
    m.write(secondaryId);
    return sendMessage(m);
}

CSClient::Result AppProtocol::sendStartSce(unsigned patientId, bool flag) {
    if (patientId == 0) return CSClient::RESULT_REFUSED;
    RawMessage m = command(CODE_START_LOADED);
    m.write(patientId);
    m.write(flag ? 1u : 0u);
    return sendMessage(m);
}

CSClient::Result AppProtocol::stopSce() {
    unsigned patientId = activeSce.patientId;
    if (patientId == 0) return CSClient::RESULT_NOT_RUNNING;
    RawMessage m = command(CODE_STOP_SCENARIO);
    m.write(patientId);
    return sendMessage(m);
}

CSClient::Result AppProtocol::setSimulationMode(AppClient::SimulationMode mode) {
    unsigned speed = 0;
    switch (mode) {
    case AppClient::MODE_STOPPED: return stopSce();
    case AppClient::MODE_PAUSED: return pauseSce(true);
    case AppClient::MODE_SPEED_1X: speed = 1; break;
    case AppClient::MODE_SPEED_4X: speed = 4; break;
    case AppClient::MODE_SPEED_8X: speed = 8; break;
    default: return CSClient::RESULT_REFUSED;
    }
    CSClient::Result r = pauseSce(false);
    if (r != CSClient::RESULT_OK) return r;
    return changeSpeedSce(speed);
}

CSClient::Result AppProtocol::pauseSce(bool pause) {
    if (noActivePatient(true)) return CSClient::RESULT_NOT_RUNNING;
    RawMessage m = command(CODE_PAUSE);
    m.write(static_cast<unsigned>(activeSce.patientId));
    m.write(pause ? 1u : 0u);
    return sendMessage(m);
}

CSClient::Result AppProtocol::changeSpeedSce(unsigned speed) {
    if (noActivePatient(true)) return CSClient::RESULT_NOT_RUNNING;
    RawMessage m = command(CODE_CHANGE_SPEED);
    m.write(static_cast<unsigned>(activeSce.patientId));
    m.write(static_cast<float>(speed));
    return sendMessage(m);
}

namespace {
RawMessage deliveryAction(unsigned patientId, unsigned action, unsigned argument) {
    RawMessage m = command(AppProtocol::CODE_DELIVERY_ACTION);
    m.write(patientId);
    m.write(action);
    m.write(argument);
    return m;
}
}  // namespace

CSClient::Result AppProtocol::deliverBaby() {
    if (noActivePatient(true)) return CSClient::RESULT_NOT_RUNNING;
    return sendMessage(deliveryAction(activeSce.patientId, 0, 0));
}

CSClient::Result AppProtocol::pauseDelivery(bool pause) {
    if (noActivePatient(true)) return CSClient::RESULT_NOT_RUNNING;
    return sendMessage(deliveryAction(activeSce.patientId, 1, pause ? 1 : 0));
}

CSClient::Result AppProtocol::transferToPostpartum() {
    if (noActivePatient(true)) return CSClient::RESULT_NOT_RUNNING;
    return sendMessage(deliveryAction(activeSce.patientId, 3, 0));
}

CSClient::Result AppProtocol::administerDrug(const std::string& drugName, AppClient::DrugAdministrationMode mode,
                                             float amount) {
    if (noActivePatient(true)) return CSClient::RESULT_NOT_RUNNING;
    RawMessage m = command(CODE_ADMINISTER_DRUG);
    m.write(static_cast<unsigned>(activeSce.patientId));
    m.write(0);
    m.write(static_cast<int>(mode));
    m.write(amount);
    m.write(drugName.data(), static_cast<unsigned>(drugName.size()));
    m.write(static_cast<unsigned char>(0));
    return sendMessage(m);
}

CSClient::Result AppProtocol::resetDrugConcentration(const std::string& drugName) {
    if (noActivePatient(true)) return CSClient::RESULT_NOT_RUNNING;
    RawMessage m = command(CODE_RESET_DRUG);
    m.write(static_cast<unsigned>(activeSce.patientId));
    m.write(0);
    m.write(drugName.data(), static_cast<unsigned>(drugName.size()));
    m.write(static_cast<unsigned char>(0));
    return sendMessage(m);
}

CSClient::Result AppProtocol::bookmarkPatient(int argument) {
    if (noActivePatient(false)) return CSClient::RESULT_NOT_RUNNING;
    std::string text = std::to_string(argument);
    RawMessage m = command(CODE_BOOKMARK);
    m.write(static_cast<unsigned>(activeSce.patientId));
    m.write(static_cast<int>(text.size()));
    m.write(text.data(), static_cast<unsigned>(text.size()));
    return sendMessage(m);
}

CSClient::Result AppProtocol::rewindPatient(int argument) {
    if (noActivePatient(false)) return CSClient::RESULT_NOT_RUNNING;
    RawMessage m = command(CODE_REWIND);
    m.write(static_cast<unsigned>(activeSce.patientId));
    m.write(argument);
    return sendMessage(m);
}

CSClient::Result AppProtocol::savePatient(int argument) {
    if (noActivePatient(false)) return CSClient::RESULT_NOT_RUNNING;
    RawMessage m = command(CODE_SAVE_PATIENT);
    m.write(static_cast<unsigned>(activeSce.patientId));
    m.write(argument);
    return sendMessage(m);
}

CSClient::Result AppProtocol::sendSentrelCalibrationCommand(unsigned first, unsigned second) {
    static const unsigned char sCalHeader[12] = {4, 4, 0x7F, 0xFF, 0, 0, 0, 0, 0x00, 0x7F, 0x00, 0x08};
    RawMessage m = beginMessage(sCalHeader, CODE_SENTREL_CALIBRATION);
    m.write(1);
    m.write(first);
    m.write(second);
    return sendMessage(m);
}

// ---------------------------------------------------------------- responses and events

void AppProtocol::handleSceLoaded(const RawMessage& message) {
    if (message.getSize() < 24) return;
    unsigned sceId = message.getDoubleWord(16);
    unsigned patientId = message.getDoubleWord(20);
    bool success = message.getSize() != 28 || message.getDoubleWord(24) == 1;
    if (success) {
        activeSce.mode = AppClient::MODE_LOADED;
        activeSce.sceId = sceId;
        activeSce.patientId = patientId;
        for (auto* cb : appCallbacks()) cb->sceLoaded(patientId, sceId, activeSce.secondaryId);
    } else {
        for (auto* cb : appCallbacks()) cb->sceStarted(patientId, sceId, activeSce.secondaryId, CSClient::RESULT_REFUSED);
    }
}

void AppProtocol::handleSceStarted(const RawMessage& message) {
    if (message.getSize() < 20) return;
    if (message.getDoubleWord(16) != 0) return;  // accepted: the started event announces it
    unsigned sceId = activeSce.sceId, secondaryId = activeSce.secondaryId;
    activeSce.sceId = 0;
    activeSce.patientId = 0;
    activeSce.secondaryId = 0;
    unsigned patientId = message.getDoubleWord(12);
    for (auto* cb : appCallbacks()) cb->sceStarted(patientId, sceId, secondaryId, CSClient::RESULT_REFUSED);
}

void AppProtocol::handleRunTrainingCaseResponse(const RawMessage& message) {
    if (message.getDoubleWord(20) != activeSce.patientId) return;
    if (message.getDoubleWord(24) == 1) {
        activeSce.sceId = message.getDoubleWord(12);
        activeSce.secondaryId = message.getDoubleWord(16);
    } else {
        activeSce.patientId = 0;
    }
}

void AppProtocol::handleEventMessage(const RawMessage& message) {
    if (message.getSize() < 12) return;
    switch (message.getWord(10)) {
    case CODE_EVENT_LOADED: handleEventSceLoaded(message); break;
    case CODE_EVENT_STARTED: handleEventSceStarted(message); break;
    case CODE_EVENT_PAUSED: handleEventScePaused(message); break;
    case CODE_EVENT_STOPPED: handleEventSceStopped(message); break;
    case CODE_EVENT_RESET: handleEventSceReset(message); break;
    case CODE_EVENT_SPEED_MODIFIED: handleEventSceSpeedModified(message); break;
    default: break;
    }
}

void AppProtocol::handleEventSceLoaded(const RawMessage& message) {
    if (message.getSize() < 20) return;
    unsigned patientId = message.getDoubleWord(12), sceId = message.getDoubleWord(16);
    if (message.getDoubleWord(20) == 1) {
        activeSce.mode = AppClient::MODE_PAUSED;
        activeSce.sceId = sceId;
        activeSce.patientId = patientId;
        return;
    }
    for (auto* cb : appCallbacks()) cb->sceStarted(patientId, sceId, activeSce.secondaryId, CSClient::RESULT_REFUSED);
}

void AppProtocol::handleEventSceStarted(const RawMessage& message) {
    if (message.getSize() < 20) return;
    unsigned patientId = message.getDoubleWord(12);
    unsigned status = message.getDoubleWord(16);
    if (status == 1) {
        activeSce.mode = AppClient::MODE_SPEED_1X;
        activeSce.patientId = patientId;
        if (getNumberOfInputParametersWaitingForConfirmation() > 0 ||
            getNumberOfOutputParametersWaitingForConfirmation() > 0)
            registerAllParameters();
    }
    for (auto* cb : appCallbacks())
        cb->sceStarted(patientId, activeSce.sceId, activeSce.secondaryId, statusResult(status));
}

void AppProtocol::handleEventScePaused(const RawMessage& message) {
    if (message.getSize() < 20) return;
    unsigned patientId = message.getDoubleWord(12);
    unsigned status = message.getDoubleWord(16);
    if (status == 1 && patientId == activeSce.patientId) activeSce.mode = AppClient::MODE_PAUSED;
    for (auto* cb : appCallbacks()) cb->sceModeChanged(patientId, AppClient::MODE_PAUSED, statusResult(status));
}

void AppProtocol::handleEventSceStopped(const RawMessage& message) {
    if (message.getSize() < 20) return;
    unsigned patientId = message.getDoubleWord(12);
    unsigned status = message.getDoubleWord(16);
    unsigned sceId = activeSce.sceId, secondaryId = activeSce.secondaryId;
    if (status == 1) {
        CSLockGuard guard(registryLock);
        activeSce.clear();
        inputIdsToNames.clear();
        outputsById.clear();
    }
    for (auto* cb : appCallbacks()) cb->sceStopped(patientId, sceId, secondaryId, statusResult(status));
}

void AppProtocol::handleEventSceReset(const RawMessage& message) {
    if (message.getSize() < 20) return;
    unsigned patientId = message.getDoubleWord(12);
    CSClient::Result result = statusResult(message.getDoubleWord(16));
    for (auto* cb : appCallbacks()) cb->sceReset(patientId, activeSce.sceId, activeSce.secondaryId, result);
}

void AppProtocol::handleEventSceSpeedModified(const RawMessage& message) {
    if (message.getSize() < 24) return;
    unsigned patientId = message.getDoubleWord(12);
    float speed = message.getFloat(16);
    unsigned status = message.getDoubleWord(20);
    AppClient::SimulationMode mode;
    if (!eventSpeedMode(speed, mode)) {
        if (!isQuiet()) std::cerr << "Sce " << patientId << " Event with unknown speed: " << speed << std::endl;
        return;
    }
    if (status == 1 && patientId == activeSce.patientId) activeSce.mode = mode;
    for (auto* cb : appCallbacks()) cb->sceModeChanged(patientId, mode, statusResult(status));
}

}  // namespace com_vela
