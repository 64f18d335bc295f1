#include "AppProtocol.h"

#include "Log.h"
#include "ProtocolHelpers.h"

namespace com_vela {

using namespace protocol_helpers;

namespace {

#define APP_HEADER(sub, code) {1, sub, 0x7F, 0xFF, 0, 0, 0, 0, 0x00, 0x7F, 0x00, code}

const unsigned char sHeader[12] = APP_HEADER(2, 0x00);

RawMessage command(unsigned code) { return beginMessage(sHeader, code); }

// A command that carries the patient id and then the given words.
template <typename... Words>
RawMessage patientCommand(unsigned code, unsigned patientId, Words... words) {
    RawMessage m = command(code);
    m.write(patientId);
    (m.write(words), ...);
    return m;
}

CSClient::Result statusResult(unsigned status) {
    return status == AppProtocol::STATUS_SUCCESS ? CSClient::RESULT_OK : CSClient::RESULT_REFUSED;
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

// An APP value (always a float on the wire) as the input's registered type
// takes it: integers truncated toward zero; false for no parameter.
bool inputValue(const std::string& name, CSClient::ParameterType type, float v, bool override,
                CSClient::Parameter& out) {
    switch (type) {
    case CSClient::PARAMETER_TYPE_INVALID:
    case CSClient::PARAMETER_TYPE_FLOAT: out = CSClient::Parameter::makeFloat(name, v, override); return true;
    case CSClient::PARAMETER_TYPE_INT: out = CSClient::Parameter::makeInt(name, truncateToInt(v), override); return true;
    default: return false;
    }
}

}  // namespace

AppProtocol::AppProtocol(unsigned options, const Timing& timing)
    : CSClientProtocol(options, timing), keepAliveThread(timing) {}

AppProtocol::~AppProtocol() { stopKeepAlive(); }

std::vector<AppClient::Callback*> AppProtocol::appCallbacks() const {
    std::set<CSClient::CallbackIface*> set;
    getCallbackInterfaces(set);
    std::vector<AppClient::Callback*> out;
    for (auto* cb : set)
        if (auto* app = dynamic_cast<AppClient::Callback*>(cb)) out.push_back(app);
    return out;
}

ActiveSce AppProtocol::active() const {
    CSLockGuard guard(registryLock);
    return activeSce;
}

unsigned AppProtocol::commandPatient(bool needsStarted) const {
    const ActiveSce a = active();
    if (needsStarted && a.mode == AppClient::MODE_LOADED) return 0;
    return a.patientId;
}

// ---------------------------------------------------------------- handshake

void AppProtocol::handleConnectionStateChange(CSClient::State, CSClient::State newState) {
    switch (newState) {
    case CSClient::STATE_CLOSED:
        unregisterAllLocalParameters();
        break;
    case CSClient::STATE_ESTABLISHING:
        if (!isQuiet()) snlog::out() << "Sending flow control request...";
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
    const unsigned all = EventsSubscription::ALL;
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
    if (!isQuiet()) snlog::out() << "Refreshing Active Sces...";
    {
        ActiveSceChange change(*this);
        activeSce.clear();
    }
    static const unsigned char sListHeader[12] = APP_HEADER(1, 0x01);
    return sendMessage(beginMessage(sListHeader, CODE_PATIENT_LIST_REQUEST));
}

ActiveSce AppProtocol::getActiveSce() const {
    ActiveSce copy = active();
    if (copy.patientId == 0) copy.clear();
    return copy;
}

void AppProtocol::registerAllParameters() {
    if (active().patientId == 0) return;
    if (!isQuiet())
        snlog::out() << "Registering input parameters (" << getNumberOfInputParametersWaitingForConfirmation() << ")...";
    reregisterAllInputParameters();
    if (!isQuiet())
        snlog::out() << "Registering output parameters (" << getNumberOfOutputParametersWaitingForConfirmation()
                  << ")...";
    reregisterAllOutputParameters();
}

CSClient::Result AppProtocol::requestSimulatorVersion() {
    if (!isQuiet()) snlog::out() << "Sending server version request...";
    RawMessage m = command(CODE_VERSION_REQUEST);
    m.write(0u);
    return sendMessage(m);
}

CSClient::Result AppProtocol::sendKeepAlive() { return sendFlowControlMessage(FLOW_CONTROL_KEEP_ALIVE); }

void* AppProtocol::keepAliveMain(void* engine) {
    auto* self = static_cast<AppProtocol*>(engine);
    while (!CSThread::stopRequested()) {
        if (self->getState() == CSClient::STATE_CONNECTED) self->sendKeepAlive();
        if (CSThread::sleepUnlessStopped(self->getTiming().keepAliveInterval)) break;
    }
    return nullptr;
}

CSClient::Result AppProtocol::startKeepAlive() {
    if (keepAliveThread.isActive()) return CSClient::RESULT_FAILED;
    return keepAliveThread.create(&AppProtocol::keepAliveMain, this) ? CSClient::RESULT_OK : CSClient::RESULT_FAILED;
}

void AppProtocol::stopKeepAlive() { keepAliveThread.kill(); }

// ---------------------------------------------------------------- dispatch

// By subprotocol alone, whatever the frame's kind; what no subprotocol takes
// may be the flow-control grant.
void AppProtocol::handleReceivedMessage(const RawMessage& message) {
    if (message.getSize() >= MESSAGE_HEADER_SIZE) {
        const unsigned code = message.getWord(MESSAGE_CODE_OFFSET);
        switch (message.getSubprotocol()) {
        case SUBPROTOCOL_HANDSHAKE:
            if (code == CODE_PATIENT_LIST_RESPONSE) {
                handlePatientList(message);
                // A send that fails in the registration gives the connection
                // up: the handshake then ends without connecting, and the
                // next connection registers again.
                if (getState() == CSClient::STATE_ESTABLISHING) {
                    registerAllParameters();
                    changeState(CSClient::STATE_ESTABLISHING, CSClient::STATE_CONNECTED);
                }
            }
            return;
        case SUBPROTOCOL_PATIENT:
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
        case SUBPROTOCOL_EVENTS:
            handleEventMessage(message);
            return;
        default:
            break;
        }
    }
    if (message.getType() == RawMessage::TYPE_FLOW_CONTROL) handleFlowControl(message);
}

void AppProtocol::handleFlowControl(const RawMessage& message) {
    if (message.getDoubleWord(FlowControl::TYPE) != FLOW_CONTROL_GRANT) return;  // 0 when absent
    if (getState() != CSClient::STATE_ESTABLISHING) return;
    if (!isQuiet()) snlog::out() << "Sending subscribe to all events...";
    eventsSubscribe(EVENTS_ALL, 0);
    if (refreshActiveSces() != CSClient::RESULT_OK) {
        snlog::err(snlog::Priority::warning) << "Error refreshing active SCE's. Continuing...";
        changeState(CSClient::STATE_ESTABLISHING, CSClient::STATE_CONNECTED);
    }
}

void AppProtocol::handlePatientList(const RawMessage& message) {
    const unsigned n = message.getDoubleWord(PatientListResponse::COUNT);
    if (n > 1)
        snlog::err(snlog::Priority::warning) << "Warning, multiple patients in a patient list response: " << n << ". Handling only the first one!";
    ActiveSce now;
    if (n >= 1) {
        AppClient::SimulationMode mode = AppClient::MODE_STOPPED;
        if (message.getDoubleWord(PatientListResponse::STATE) == PatientListResponse::STATE_STARTED) {
            int speed = truncateToInt(message.getFloat(PatientListResponse::SPEED));
            switch (speed) {
            case 0: mode = AppClient::MODE_PAUSED; break;
            case 1: mode = AppClient::MODE_SPEED_1X; break;
            case 4: mode = AppClient::MODE_SPEED_4X; break;
            case 8: mode = AppClient::MODE_SPEED_8X; break;
            default:
                snlog::err(snlog::Priority::warning) << "Patient started but unknown speed " << speed << ". Reporting as 4x";
                mode = AppClient::MODE_SPEED_4X;
            }
        }
        ActiveSceChange change(*this);
        activeSce.mode = mode;
        activeSce.sceId = message.getDoubleWord(PatientListResponse::SCE_ID);
        activeSce.patientId = message.getDoubleWord(PatientListResponse::PATIENT_ID);
        now = activeSce;
    }
    auto callbacks = appCallbacks();
    if (getState() == CSClient::STATE_ESTABLISHING && n >= 1) {
        for (auto* cb : callbacks) cb->sceStarted(now.patientId, now.sceId, now.secondaryId, CSClient::RESULT_OK);
    } else {
        for (auto* cb : callbacks) cb->sceActiveRefresh();
    }
}

void AppProtocol::handleVersionResponse(const RawMessage& message) {
    if (message.getDoubleWord(VersionResponse::STATUS) != STATUS_SUCCESS) return;
    std::string version = readName(message, VersionResponse::TEXT, VersionResponse::TEXT_SIZE);
    setServerVersion(version);
    if (!isQuiet()) snlog::out() << "Found server version: " << version;
    setProtocolVersion(1);
}

// ---------------------------------------------------------------- parameter traffic

// A subscription of more than MAX_SUBSCRIPTION_ENTRIES goes out in halves
// through the same virtual request operation (`again`, which splits again as
// needed), the second only when the first went out.
template <typename Subscribe, typename Entry>
CSClient::Result AppProtocol::splitOrSend(const std::vector<Entry*>& entries, const char* what,
                                          CSClient::Result (AppProtocol::*again)(const std::vector<Entry*>&),
                                          Subscribe subscribe) {
    if (entries.empty()) return CSClient::RESULT_OK;
    if (entries.size() > MAX_SUBSCRIPTION_ENTRIES) {
        if (!isQuiet())
            snlog::out() << "Splitting large " << what << " subscription: " << entries.size() << " parameters requested";
        const auto half = entries.begin() + static_cast<long>(entries.size() / 2);
        CSClient::Result r = (this->*again)(std::vector<Entry*>(entries.begin(), half));
        if (r != CSClient::RESULT_OK) return r;
        return (this->*again)(std::vector<Entry*>(half, entries.end()));
    }
    // The registry holds its lock here: the record is read directly.
    const unsigned patientId = activeSce.patientId;
    if (patientId == 0) return CSClient::RESULT_OK;
    return keptForLater(sendMessage(subscribe(patientId, entries)));
}

CSClient::Result AppProtocol::sendInputSubscriptionRequest(const std::vector<InputParameterEntry*>& entries) {
    return splitOrSend(entries, "input", &AppProtocol::sendInputSubscriptionRequest,
                       [](unsigned patientId, const std::vector<InputParameterEntry*>& list) {
        static const unsigned char sSubHeader[12] = APP_HEADER(2, 0x06);
        RawMessage m = beginMessage(sSubHeader, CODE_INPUT_SUBSCRIPTION);
        m.write(patientId);
        m.write(static_cast<unsigned>(list.size()));
        for (const auto* e : list) {
            m.write(rateWord(e->updateRate));
            m.write(0u);
            writeName(m, e->id, NAME_FIELD_SIZE);
        }
        return m;
    });
}

CSClient::Result AppProtocol::sendOutputSubscriptionRequest(const std::vector<OutputParameterEntry*>& entries) {
    return splitOrSend(entries, "output", &AppProtocol::sendOutputSubscriptionRequest,
                       [](unsigned patientId, const std::vector<OutputParameterEntry*>& list) {
        RawMessage m = command(CODE_OUTPUT_SUBSCRIPTION);
        m.write(patientId);
        m.write(static_cast<unsigned>(list.size()));
        for (const auto* e : list) {
            m.write(OutputSubscription::CONSTANT);
            writeName(m, e->id, NAME_FIELD_SIZE);
        }
        return m;
    });
}

CSClient::Result AppProtocol::sendInputUnsubscriptionRequest(const std::vector<InputParameterEntry*>& entries) {
    if (entries.empty()) return CSClient::RESULT_OK;
    const unsigned patientId = active().patientId;
    if (patientId == 0) return CSClient::RESULT_NOT_RUNNING;
    if (!isQuiet())
        snlog::out() << "Unsubscribing from " << entries.size() << " inputs for SIM ID: " << patientId;
    return keptForLater(sendMessage(serverIdList(sHeader, CODE_INPUT_UNSUBSCRIPTION, patientId, entries)));
}

CSClient::Result AppProtocol::sendOutputUnsubscriptionRequest(const std::vector<OutputParameterEntry*>& entries) {
    if (entries.empty()) return CSClient::RESULT_OK;
    const unsigned patientId = active().patientId;
    if (patientId == 0) return CSClient::RESULT_OK;
    if (!isQuiet())
        snlog::out() << "Unsubscribing from " << entries.size() << " outputs for SCE ID: " << patientId;
    return keptForLater(sendMessage(serverIdList(sHeader, CODE_OUTPUT_UNSUBSCRIPTION, patientId, entries)));
}

CSClient::Result AppProtocol::sendParameterPublishRequest(const std::vector<OutputParameterEntry*>& entries,
                                                         PublishMode mode) {
    if (entries.empty()) return CSClient::RESULT_OK;
    // The registry holds its lock here: the record is read directly.
    const unsigned patientId = activeSce.patientId;
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
    unsigned patientId;
    {
        RegistryGuard guard(*this);
        if (!validParameter(parameter.id, parameter.type)) return CSClient::RESULT_INVALID;
        auto it = outputsByName.find(parameter.id);
        if (it == outputsByName.end()) {
            snlog::err() << "Unknown parameter: " << parameter.id;
            return CSClient::RESULT_INVALID;
        }
        if (it->second->serverId == UNCONFIRMED_SERVER_ID) {
            snlog::err() << "No subscription for: " << parameter.id;
            return CSClient::RESULT_REFUSED;
        }
        entry.serverId = it->second->serverId;
        entry.type = it->second->type;
        entry.value = parameter.value;
        patientId = activeSce.patientId;
    }
    if (patientId == 0) return CSClient::RESULT_NOT_RUNNING;
    return sendMessage(patientCommand(CODE_SIGNAL_PARAMETER, patientId, 0u, 1u, entry.serverId, wireValue(entry), signal));
}

void AppProtocol::handleSubscribeResponse(const RawMessage& message) {
    if (message.getDoubleWord(PATIENT_ID) != active().patientId) return;
    static const ResponseLayout sLayout = {SubscribeResponse::COUNT, SubscribeResponse::ENTRIES,
                                           SubscribeResponse::ENTRY_SIZE, SubscribeResponse::ENTRY_ID,
                                           SubscribeResponse::ENTRY_NAME};
    confirmInputs(message, sLayout, "APP",
                  [](const RawMessage& m, unsigned at, const InputParameterEntry& e, CSClient::Parameter& out) {
                      return inputValue(e.id, e.type, m.getFloat(at + SubscribeResponse::ENTRY_VALUE), false, out);
                  });
}

void AppProtocol::handlePublishResponse(const RawMessage& message) {
    if (message.getDoubleWord(PATIENT_ID) != active().patientId) return;
    static const ResponseLayout sLayout = {PublishResponse::COUNT, PublishResponse::ENTRIES,
                                           PublishResponse::ENTRY_SIZE, PublishResponse::ENTRY_ID,
                                           PublishResponse::ENTRY_NAME};
    confirmOutputs(message, sLayout, "APP", true);
}

void AppProtocol::handlePatientUpdate(const RawMessage& message) {
    const unsigned n =
        entriesInBody(message, Publish::ENTRIES, Publish::ENTRY_SIZE, message.getDoubleWord(Publish::COUNT));
    if (n == 0) return;
    const unsigned mode = message.getDoubleWord(Publish::MODE);
    if (mode == 1) return;
    const bool override = mode == PUBLISH_OVERRIDE;
    std::vector<CSClient::Parameter> values;
    values.reserve(n);
    {
        RegistryGuard guard(*this);
        for (unsigned i = 0; i < n; ++i) {
            const unsigned at = Publish::ENTRIES + i * Publish::ENTRY_SIZE;
            auto name = inputIdsToNames.find(message.getDoubleWord(at + Publish::ENTRY_ID));
            if (name == inputIdsToNames.end()) continue;
            auto input = inputsByName.find(name->second);
            if (input == inputsByName.end()) continue;
            CSClient::Parameter p;
            if (inputValue(name->second, input->second->type, message.getFloat(at + Publish::ENTRY_VALUE), override, p))
                values.push_back(p);
        }
    }
    deliverParameters(values);
}

// ---------------------------------------------------------------- scenario commands

CSClient::Result AppProtocol::loadSce(unsigned sceId, unsigned secondaryId) {
    {
        ActiveSceChange change(*this);
        if (activeSce.patientId != 0) return CSClient::RESULT_BUSY;
        activeSce.secondaryId = secondaryId;
    }
    RawMessage m = command(CODE_LOAD_SCENARIO);
    m.write(0u);
    m.write(sceId);
    return sendMessage(m);
}

CSClient::Result AppProtocol::startSce(unsigned sceId, unsigned secondaryId, bool flag) {
    bool loaded;
    unsigned loadedPatient = 0;
    {
        ActiveSceChange change(*this);
        loaded = activeSce.mode == AppClient::MODE_LOADED;
        if (loaded) {
            if (sceId != activeSce.sceId && secondaryId != activeSce.secondaryId) return CSClient::RESULT_BUSY;
            loadedPatient = activeSce.patientId;
        } else {
            if (activeSce.patientId != 0) return CSClient::RESULT_BUSY;
            activeSce.secondaryId = secondaryId;
        }
    }
    if (loaded) return sendStartSce(loadedPatient, flag);
    RawMessage m = command(CODE_RUN_TRAINING_CASE);
    m.write(sceId);
    m.write(secondaryId);
    return sendMessage(m);
}

CSClient::Result AppProtocol::sendStartSce(unsigned patientId, bool flag) {
    if (patientId == 0) return CSClient::RESULT_REFUSED;
    return sendMessage(patientCommand(CODE_START_LOADED, patientId, flag ? 1u : 0u));
}

CSClient::Result AppProtocol::stopSce() {
    const unsigned patientId = commandPatient(false);
    if (patientId == 0) return CSClient::RESULT_NOT_RUNNING;
    return sendMessage(patientCommand(CODE_STOP_SCENARIO, patientId));
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
    const unsigned patientId = commandPatient(true);
    if (patientId == 0) return CSClient::RESULT_NOT_RUNNING;
    return sendMessage(patientCommand(CODE_PAUSE, patientId, pause ? 1u : 0u));
}

CSClient::Result AppProtocol::changeSpeedSce(unsigned speed) {
    const unsigned patientId = commandPatient(true);
    if (patientId == 0) return CSClient::RESULT_NOT_RUNNING;
    return sendMessage(patientCommand(CODE_CHANGE_SPEED, patientId, static_cast<float>(speed)));
}

CSClient::Result AppProtocol::deliverBaby() {
    const unsigned patientId = commandPatient(true);
    if (patientId == 0) return CSClient::RESULT_NOT_RUNNING;
    return sendMessage(patientCommand(CODE_DELIVERY_ACTION, patientId, 0u, 0u));
}

CSClient::Result AppProtocol::pauseDelivery(bool pause) {
    const unsigned patientId = commandPatient(true);
    if (patientId == 0) return CSClient::RESULT_NOT_RUNNING;
    return sendMessage(patientCommand(CODE_DELIVERY_ACTION, patientId, 1u, pause ? 1u : 0u));
}

CSClient::Result AppProtocol::transferToPostpartum() {
    const unsigned patientId = commandPatient(true);
    if (patientId == 0) return CSClient::RESULT_NOT_RUNNING;
    return sendMessage(patientCommand(CODE_DELIVERY_ACTION, patientId, 3u, 0u));
}

CSClient::Result AppProtocol::administerDrug(const std::string& drugName, AppClient::DrugAdministrationMode mode,
                                             float amount) {
    const unsigned patientId = commandPatient(true);
    if (patientId == 0) return CSClient::RESULT_NOT_RUNNING;
    RawMessage m = patientCommand(CODE_ADMINISTER_DRUG, patientId, 0, static_cast<int>(mode), amount);
    m.write(drugName.data(), static_cast<unsigned>(drugName.size()));
    m.write(static_cast<unsigned char>(0));
    return sendMessage(m);
}

CSClient::Result AppProtocol::resetDrugConcentration(const std::string& drugName) {
    const unsigned patientId = commandPatient(true);
    if (patientId == 0) return CSClient::RESULT_NOT_RUNNING;
    RawMessage m = patientCommand(CODE_RESET_DRUG, patientId, 0);
    m.write(drugName.data(), static_cast<unsigned>(drugName.size()));
    m.write(static_cast<unsigned char>(0));
    return sendMessage(m);
}

CSClient::Result AppProtocol::bookmarkPatient(int argument) {
    const unsigned patientId = commandPatient(false);
    if (patientId == 0) return CSClient::RESULT_NOT_RUNNING;
    const std::string text = std::to_string(argument);
    RawMessage m = patientCommand(CODE_BOOKMARK, patientId, static_cast<int>(text.size()));
    m.write(text.data(), static_cast<unsigned>(text.size()));
    return sendMessage(m);
}

CSClient::Result AppProtocol::rewindPatient(int argument) {
    const unsigned patientId = commandPatient(false);
    if (patientId == 0) return CSClient::RESULT_NOT_RUNNING;
    return sendMessage(patientCommand(CODE_REWIND, patientId, argument));
}

CSClient::Result AppProtocol::savePatient(int argument) {
    const unsigned patientId = commandPatient(false);
    if (patientId == 0) return CSClient::RESULT_NOT_RUNNING;
    return sendMessage(patientCommand(CODE_SAVE_PATIENT, patientId, argument));
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
    if (message.getSize() < LoadResponse::MIN_SIZE) return;
    const unsigned sceId = message.getDoubleWord(LoadResponse::SCE_ID);
    const unsigned patientId = message.getDoubleWord(LoadResponse::PATIENT_ID);
    const bool success = message.getSize() != LoadResponse::SIZE_WITH_STATUS ||
                         message.getDoubleWord(LoadResponse::STATUS) == STATUS_SUCCESS;
    unsigned secondaryId;
    {
        ActiveSceChange change(*this);
        if (success) {
            activeSce.mode = AppClient::MODE_LOADED;
            activeSce.sceId = sceId;
            activeSce.patientId = patientId;
        }
        secondaryId = activeSce.secondaryId;
    }
    for (auto* cb : appCallbacks()) {
        if (success)
            cb->sceLoaded(patientId, sceId, secondaryId);
        else
            cb->sceStarted(patientId, sceId, secondaryId, CSClient::RESULT_REFUSED);
    }
}

void AppProtocol::handleSceStarted(const RawMessage& message) {
    if (message.getSize() < StartResponse::MIN_SIZE) return;
    if (message.getDoubleWord(StartResponse::STATUS) != 0) return;  // accepted: the started event announces it
    ActiveSce before;
    {
        ActiveSceChange change(*this);
        before = activeSce;
        activeSce.sceId = 0;
        activeSce.patientId = 0;
        activeSce.secondaryId = 0;
    }
    const unsigned patientId = message.getDoubleWord(StartResponse::PATIENT_ID);
    for (auto* cb : appCallbacks()) cb->sceStarted(patientId, before.sceId, before.secondaryId, CSClient::RESULT_REFUSED);
}

void AppProtocol::handleRunTrainingCaseResponse(const RawMessage& message) {
    ActiveSceChange change(*this);
    if (message.getDoubleWord(RunTrainingCaseResponse::PATIENT_ID) != activeSce.patientId) return;
    if (message.getDoubleWord(RunTrainingCaseResponse::STATUS) == STATUS_SUCCESS) {
        activeSce.sceId = message.getDoubleWord(RunTrainingCaseResponse::SCE_ID);
        activeSce.secondaryId = message.getDoubleWord(RunTrainingCaseResponse::SECONDARY_ID);
    } else {
        activeSce.patientId = 0;
    }
}

void AppProtocol::handleEventMessage(const RawMessage& message) {
    if (message.getSize() < MESSAGE_HEADER_SIZE) return;
    switch (message.getWord(MESSAGE_CODE_OFFSET)) {
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
    if (message.getSize() < Event::MIN_SIZE) return;
    const unsigned patientId = message.getDoubleWord(Event::PATIENT_ID);
    const unsigned sceId = message.getDoubleWord(Event::LOADED_SCE_ID);
    unsigned secondaryId;
    {
        ActiveSceChange change(*this);
        if (message.getDoubleWord(Event::LOADED_STATUS) == STATUS_SUCCESS) {
            activeSce.mode = AppClient::MODE_PAUSED;
            activeSce.sceId = sceId;
            activeSce.patientId = patientId;
            return;
        }
        secondaryId = activeSce.secondaryId;
    }
    for (auto* cb : appCallbacks()) cb->sceStarted(patientId, sceId, secondaryId, CSClient::RESULT_REFUSED);
}

void AppProtocol::handleEventSceStarted(const RawMessage& message) {
    if (message.getSize() < Event::MIN_SIZE) return;
    const unsigned patientId = message.getDoubleWord(Event::PATIENT_ID);
    const unsigned status = message.getDoubleWord(Event::STATUS);
    if (status == STATUS_SUCCESS) {
        {
            ActiveSceChange change(*this);
            activeSce.mode = AppClient::MODE_SPEED_1X;
            activeSce.patientId = patientId;
        }
        if (getNumberOfInputParametersWaitingForConfirmation() > 0 ||
            getNumberOfOutputParametersWaitingForConfirmation() > 0)
            registerAllParameters();
    }
    const ActiveSce now = active();
    for (auto* cb : appCallbacks()) cb->sceStarted(patientId, now.sceId, now.secondaryId, statusResult(status));
}

void AppProtocol::handleEventScePaused(const RawMessage& message) {
    if (message.getSize() < Event::MIN_SIZE) return;
    const unsigned patientId = message.getDoubleWord(Event::PATIENT_ID);
    const unsigned status = message.getDoubleWord(Event::STATUS);
    {
        ActiveSceChange change(*this);
        if (status == STATUS_SUCCESS && patientId == activeSce.patientId) activeSce.mode = AppClient::MODE_PAUSED;
    }
    for (auto* cb : appCallbacks()) cb->sceModeChanged(patientId, AppClient::MODE_PAUSED, statusResult(status));
}

void AppProtocol::handleEventSceStopped(const RawMessage& message) {
    if (message.getSize() < Event::MIN_SIZE) return;
    const unsigned patientId = message.getDoubleWord(Event::PATIENT_ID);
    const unsigned status = message.getDoubleWord(Event::STATUS);
    ActiveSce before;
    {
        ActiveSceChange change(*this);
        before = activeSce;
        if (status == STATUS_SUCCESS) {
            activeSce.clear();
            inputIdsToNames.clear();
            outputsById.clear();
        }
    }
    for (auto* cb : appCallbacks()) cb->sceStopped(patientId, before.sceId, before.secondaryId, statusResult(status));
}

void AppProtocol::handleEventSceReset(const RawMessage& message) {
    if (message.getSize() < Event::MIN_SIZE) return;
    const unsigned patientId = message.getDoubleWord(Event::PATIENT_ID);
    const CSClient::Result result = statusResult(message.getDoubleWord(Event::STATUS));
    const ActiveSce now = active();
    for (auto* cb : appCallbacks()) cb->sceReset(patientId, now.sceId, now.secondaryId, result);
}

void AppProtocol::handleEventSceSpeedModified(const RawMessage& message) {
    if (message.getSize() < Event::SPEED_MIN_SIZE) return;
    const unsigned patientId = message.getDoubleWord(Event::PATIENT_ID);
    const float speed = message.getFloat(Event::SPEED);
    const unsigned status = message.getDoubleWord(Event::SPEED_STATUS);
    AppClient::SimulationMode mode;
    if (!eventSpeedMode(speed, mode)) {
        if (!isQuiet()) snlog::err(snlog::Priority::warning) << "Sce " << patientId << " Event with unknown speed: " << speed;
        return;
    }
    {
        ActiveSceChange change(*this);
        if (status == STATUS_SUCCESS && patientId == activeSce.patientId) activeSce.mode = mode;
    }
    for (auto* cb : appCallbacks()) cb->sceModeChanged(patientId, mode, statusResult(status));
}

}  // namespace com_vela
