#ifndef COM_VELA_APPPROTOCOL_H
#define COM_VELA_APPPROTOCOL_H

#include "AppClient.h"
#include "CSClientProtocol.h"

#include <atomic>

namespace com_vela {

// Engine of the APP protocol (protocol 1) to the simulator server: the
// flow-control, events and active-patient handshake, the keep-alive thread,
// parameter traffic for the active patient and the scenario commands and
// events.
class AppProtocol : public CSClientProtocol {
public:
    enum FlowControlType : uint32_t {
        FLOW_CONTROL_REQUEST = 0,
        FLOW_CONTROL_GRANT = 1,       // the server's; never sent
        FLOW_CONTROL_TYPE_2 = 2,      // the server's meaning; sent as given
        FLOW_CONTROL_KEEP_ALIVE = 3
    };

    enum EventMode : int32_t {
        EVENTS_ALL = 0,
        EVENTS_MODE_1 = 1,
        EVENTS_MODE_2 = 2,
        EVENTS_MODE_4 = 4,
        EVENTS_FILTER_FIRST = 0x100,
        EVENTS_FILTER_SECOND = 0x200,
        EVENTS_FILTER_THIRD = 0x800
    };

    // Message codes, subprotocol 2 unless noted.
    enum : unsigned {
        CODE_PATIENT_LIST_REQUEST = 0x0001,   // subprotocol 1
        CODE_PATIENT_LIST_RESPONSE = 0x0002,  // subprotocol 1
        CODE_EVENTS_SUBSCRIPTION = 0x0020,    // subprotocol 1
        CODE_LOAD_SCENARIO = 0x0002,
        CODE_START_LOADED = 0x0003,
        CODE_CHANGE_SPEED = 0x0004,
        CODE_PAUSE = 0x0005,
        CODE_INPUT_SUBSCRIPTION = 0x0006,
        CODE_OUTPUT_SUBSCRIPTION = 0x0007,
        CODE_PUBLISH = 0x0008,                // also the server's patient update
        CODE_SAVE_PATIENT = 0x000A,
        CODE_STOP_SCENARIO = 0x000E,
        CODE_BOOKMARK = 0x000F,
        CODE_REWIND = 0x0010,
        CODE_SIGNAL_PARAMETER = 0x0012,
        CODE_ADMINISTER_DRUG = 0x0013,
        CODE_INPUT_UNSUBSCRIPTION = 0x0014,
        CODE_OUTPUT_UNSUBSCRIPTION = 0x0015,
        CODE_RESET_DRUG = 0x0019,
        CODE_DELIVERY_ACTION = 0x0030,
        CODE_PUBLISH_NO_LOG = 0x0038,
        CODE_RUN_TRAINING_CASE = 0x0050,
        CODE_VERSION_REQUEST = 0x0051,
        CODE_LOAD_RESPONSE = 0x0102,
        CODE_START_RESPONSE = 0x0103,
        CODE_SUBSCRIBE_RESPONSE = 0x0106,
        CODE_PUBLISH_RESPONSE = 0x0107,
        CODE_RUN_TRAINING_CASE_RESPONSE = 0x0150,
        CODE_VERSION_RESPONSE = 0x0151,
        CODE_EVENT_LOADED = 0x0111,           // subprotocol 3
        CODE_EVENT_STARTED = 0x0112,
        CODE_EVENT_PAUSED = 0x0113,
        CODE_EVENT_STOPPED = 0x0114,
        CODE_EVENT_RESET = 0x0115,
        CODE_EVENT_SPEED_MODIFIED = 0x0117,
        CODE_SENTREL_CALIBRATION = 0x0008     // protocol 4, subprotocol 4
    };
    static const unsigned PROTOCOL = 1;
    // Subprotocols: the handshake, the patient's messages, the events.
    static const unsigned SUBPROTOCOL_HANDSHAKE = 1;
    static const unsigned SUBPROTOCOL_PATIENT = 2;
    static const unsigned SUBPROTOCOL_EVENTS = 3;
    // The Sentrel calibration command's protocol and subprotocol.
    static const unsigned CALIBRATION_PROTOCOL = 4;
    static const unsigned CALIBRATION_SUBPROTOCOL = 4;
    // Most entries one subscription message carries.
    static const unsigned MAX_SUBSCRIPTION_ENTRIES = 120;

    // ---- Wire layouts: offsets from the start of the body (message header
    // included); ENTRY_* offsets count from the start of an entry. Names take
    // NAME_FIELD_SIZE bytes; every value is a float.
    // Flow-control frames: five words, no message header.
    struct FlowControl {
        static constexpr unsigned TYPE = 0, SIZE = 20;
    };
    // 0x0002 (subprotocol 1): the first patient only.
    struct PatientListResponse {
        static constexpr unsigned COUNT = 12, PATIENT_ID = 16, SCE_ID = 20, STATE = 24, SPEED = 28;
        static constexpr unsigned STATE_STARTED = 5;
    };
    // 0x0020 (subprotocol 1): the mode, then up to three filter words.
    struct EventsSubscription {
        static constexpr unsigned MODE = 12, FILTERS = 16;
        static constexpr unsigned ALL = 0x7FFFFFFF;
    };
    // Every patient message and command carries the patient id here.
    static const unsigned PATIENT_ID = 12;
    // 0x0006: entries of rate, a zero word, name.
    struct InputSubscription {
        static constexpr unsigned COUNT = 16, ENTRIES = 20, ENTRY_SIZE = 40;
        static constexpr unsigned ENTRY_RATE = 0, ENTRY_NAME = 8;
    };
    // 0x0007: entries of the constant word, name.
    struct OutputSubscription {
        static constexpr unsigned COUNT = 16, ENTRIES = 20, ENTRY_SIZE = 36;
        static constexpr unsigned ENTRY_CONSTANT = 0, ENTRY_NAME = 4;
        static constexpr unsigned CONSTANT = 1200;
    };
    // 0x0014 and 0x0015: server ids.
    struct Unsubscription {
        static constexpr unsigned COUNT = 16, ENTRIES = 20, ENTRY_SIZE = 4;
    };
    // 0x0008 both ways (0x0038 too): publish request and patient update.
    struct Publish {
        static constexpr unsigned MODE = 16, COUNT = 20, ENTRIES = 24, ENTRY_SIZE = 8;
        static constexpr unsigned ENTRY_ID = 0, ENTRY_VALUE = 4;
    };
    // 0x0012: one value of one output with the caller's signal word.
    struct SignalParameter {
        static constexpr unsigned COUNT = 20, SERVER_ID = 24, VALUE = 28, SIGNAL = 32, SIZE = 36;
    };
    // 0x0106: server id, 8 bytes not read, value, name.
    struct SubscribeResponse {
        static constexpr unsigned COUNT = 16, ENTRIES = 20, ENTRY_SIZE = 48;
        static constexpr unsigned ENTRY_ID = 0, ENTRY_VALUE = 12, ENTRY_NAME = 16;
    };
    // 0x0107: server id, 8 bytes not read, name.
    struct PublishResponse {
        static constexpr unsigned COUNT = 16, ENTRIES = 20, ENTRY_SIZE = 44;
        static constexpr unsigned ENTRY_ID = 0, ENTRY_NAME = 12;
    };
    // 0x0051: a zero word.
    struct VersionRequest {
        static constexpr unsigned SIZE = 16;
    };
    // 0x0151
    struct VersionResponse {
        static constexpr unsigned TEXT = 12, TEXT_SIZE = 128, STATUS = 144, SIZE = 148;
    };
    // Scenario commands: the patient id at PATIENT_ID, then their argument.
    struct Command {
        static constexpr unsigned ARGUMENT = 16, SECOND_ARGUMENT = 20;
    };
    // 0x0002 load scenario: a zero word, the scenario id.
    struct LoadScenario {
        static constexpr unsigned SCE_ID = 16;
    };
    // 0x0050 run training case.
    struct RunTrainingCase {
        static constexpr unsigned SCE_ID = 12, SECONDARY_ID = 16;
    };
    // 0x0102: the status is there only in a message of exactly SIZE_WITH_STATUS bytes.
    struct LoadResponse {
        static constexpr unsigned SCE_ID = 16, PATIENT_ID = 20, STATUS = 24;
        static constexpr unsigned MIN_SIZE = 24, SIZE_WITH_STATUS = 28;
    };
    // 0x0103: status 0 is a failure.
    struct StartResponse {
        static constexpr unsigned PATIENT_ID = 12, STATUS = 16, MIN_SIZE = 20;
    };
    // 0x0150
    struct RunTrainingCaseResponse {
        static constexpr unsigned SCE_ID = 12, SECONDARY_ID = 16, PATIENT_ID = 20, STATUS = 24;
    };
    // Events (subprotocol 3): the patient id, then the status, except that
    // scenario loaded and speed modified have a word before their status.
    struct Event {
        static constexpr unsigned PATIENT_ID = 12, STATUS = 16, MIN_SIZE = 20;
        static constexpr unsigned LOADED_SCE_ID = 16, LOADED_STATUS = 20;
        static constexpr unsigned SPEED = 16, SPEED_STATUS = 20, SPEED_MIN_SIZE = 24;
    };
    // Status word of responses and events meaning success.
    static const unsigned STATUS_SUCCESS = 1;

    explicit AppProtocol(unsigned options, const Timing& timing = Timing());
    ~AppProtocol() override;   // stops the keep-alive thread

    void handleReceivedMessage(const RawMessage& message) override;
    void handleConnectionStateChange(CSClient::State oldState, CSClient::State newState) override;
    CSClient::Result requestSimulatorVersion() override;
    CSClient::Result sendInputSubscriptionRequest(const std::vector<InputParameterEntry*>& entries) override;
    CSClient::Result sendInputUnsubscriptionRequest(const std::vector<InputParameterEntry*>& entries) override;
    CSClient::Result sendOutputSubscriptionRequest(const std::vector<OutputParameterEntry*>& entries) override;
    CSClient::Result sendOutputUnsubscriptionRequest(const std::vector<OutputParameterEntry*>& entries) override;
    CSClient::Result sendParameterPublishRequest(const std::vector<OutputParameterEntry*>& entries,
                                                 PublishMode mode) override;

    // Handshake, keep-alive, active patient.
    CSClient::Result sendFlowControlMessage(FlowControlType type);
    CSClient::Result eventsSubscribe(EventMode mode, int value);
    void registerAllParameters();
    CSClient::Result startKeepAlive();
    void stopKeepAlive();
    CSClient::Result sendKeepAlive();
    ActiveSce getActiveSce() const;
    // The active patient's id without the registry lock (which registration
    // holds across socket writes): for readers that must not wait.
    unsigned getActivePatientId() const { return activePatientId.load(); }
    CSClient::Result refreshActiveSces();

    // Scenario and patient commands.
    CSClient::Result loadSce(unsigned sceId, unsigned secondaryId);
    CSClient::Result startSce(unsigned sceId, unsigned secondaryId, bool flag = true);
    CSClient::Result sendStartSce(unsigned patientId, bool flag);
    CSClient::Result stopSce();
    CSClient::Result setSimulationMode(AppClient::SimulationMode mode);
    CSClient::Result pauseSce(bool pause);
    CSClient::Result changeSpeedSce(unsigned speed);
    CSClient::Result deliverBaby();
    CSClient::Result pauseDelivery(bool pause);
    CSClient::Result transferToPostpartum();
    CSClient::Result administerDrug(const std::string& drugName, AppClient::DrugAdministrationMode mode, float amount);
    CSClient::Result resetDrugConcentration(const std::string& drugName);
    CSClient::Result bookmarkPatient(int argument);
    CSClient::Result rewindPatient(int argument);
    CSClient::Result savePatient(int argument);
    CSClient::Result sendSentrelCalibrationCommand(unsigned first, unsigned second);

    CSClient::Result publishSignalParameter(const CSClient::Parameter& parameter, unsigned signal);

    // Response and event handlers (receive thread).
    void handleSceLoaded(const RawMessage& message);
    void handleSceStarted(const RawMessage& message);
    void handleRunTrainingCaseResponse(const RawMessage& message);
    void handleEventMessage(const RawMessage& message);
    void handleEventSceLoaded(const RawMessage& message);
    void handleEventSceStarted(const RawMessage& message);
    void handleEventScePaused(const RawMessage& message);
    void handleEventSceStopped(const RawMessage& message);
    void handleEventSceReset(const RawMessage& message);
    void handleEventSceSpeedModified(const RawMessage& message);

private:
    // Holds the registry lock for a change of the active patient record and
    // copies its patient id for the lock-free readers before releasing it.
    class ActiveSceChange {
    public:
        explicit ActiveSceChange(AppProtocol& engine) : guard(engine), engine(engine) {}
        ~ActiveSceChange() { engine.activePatientId.store(engine.activeSce.patientId.load()); }
        ActiveSceChange(const ActiveSceChange&) = delete;
        ActiveSceChange& operator=(const ActiveSceChange&) = delete;

    private:
        RegistryGuard guard;
        AppProtocol& engine;
    };

    void handlePatientList(const RawMessage& message);
    void handleVersionResponse(const RawMessage& message);
    void handleSubscribeResponse(const RawMessage& message);
    void handlePublishResponse(const RawMessage& message);
    void handlePatientUpdate(const RawMessage& message);
    void handleFlowControl(const RawMessage& message);

    // The patient a command goes to: 0 when the command must be refused
    // (no active patient; with `needsStarted` also a scenario only loaded).
    unsigned commandPatient(bool needsStarted) const;
    // A copy of the record, taken under the registry lock.
    ActiveSce active() const;
    template <typename Subscribe, typename Entry>
    CSClient::Result splitOrSend(const std::vector<Entry*>& entries, const char* what,
                                 CSClient::Result (AppProtocol::*again)(const std::vector<Entry*>&),
                                 Subscribe subscribe);
    std::vector<AppClient::Callback*> appCallbacks() const;
    static void* keepAliveMain(void* engine);

    // The active patient. One rule: every read and write of it holds the
    // registry lock (the request builders run with it held already, the
    // others take it; a change takes it through ActiveSceChange), so its four
    // fields always change together and every decision reads one consistent
    // record.
    ActiveSce activeSce;
    // activeSce.patientId as of its last change (ActiveSceChange).
    std::atomic<unsigned> activePatientId{0};
    CSThread keepAliveThread;
};

}  // namespace com_vela

#endif
