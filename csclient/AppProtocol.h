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
    // Most entries one subscription message carries.
    static const unsigned MAX_SUBSCRIPTION_ENTRIES = 120;
    static const unsigned KEEP_ALIVE_INTERVAL_MS = 3000;

    explicit AppProtocol(unsigned options);
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
    CSClient::Result refreshActiveSces();
    // Keep-alive period (3 seconds; shorter only in tests).
    void setKeepAliveInterval(unsigned milliseconds) { keepAliveIntervalMs = milliseconds; }

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
    void handlePatientList(const RawMessage& message);
    void handleVersionResponse(const RawMessage& message);
    void handleSubscribeResponse(const RawMessage& message);
    void handlePublishResponse(const RawMessage& message);
    void handlePatientUpdate(const RawMessage& message);
    void handleFlowControl(const RawMessage& message);

    // Sends a command whose refusal rule holds; `needsStarted` also refuses
    // while the scenario is only loaded.
    bool noActivePatient(bool needsStarted) const;
    std::vector<AppClient::Callback*> appCallbacks() const;
    static void* keepAliveMain(void* engine);
    static CSClient::Result keptForLater(CSClient::Result r) {
        return r == CSClient::RESULT_NOT_CONNECTED ? CSClient::RESULT_OK : r;
    }

    ActiveSce activeSce;
    CSThread keepAliveThread;
    std::atomic<unsigned> keepAliveIntervalMs{KEEP_ALIVE_INTERVAL_MS};
};

}  // namespace com_vela

#endif
