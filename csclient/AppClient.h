#ifndef COM_VELA_APPCLIENT_H
#define COM_VELA_APPCLIENT_H

#include "CSClient.h"

#include <atomic>
#include <string>
#include <vector>

namespace com_vela {

class AppProtocol;
struct ActiveSce;

// Client of the simulator server over the APP protocol: parameter traffic
// scoped to the active patient, scenario and patient commands, and the
// server's scenario events.
class AppClient : public CSClient {
public:
    enum SimulationMode : uint32_t {
        MODE_STOPPED = 0,
        MODE_LOADED = 1,
        MODE_PAUSED = 2,
        MODE_SPEED_1X = 3,
        MODE_SPEED_4X = 4,
        MODE_SPEED_8X = 5
    };

    // Sent as a signed 32-bit value; its meaning is the server's.
    enum DrugAdministrationMode : int32_t {
        DRUG_ADMINISTRATION_BOLUS = 0,
        DRUG_ADMINISTRATION_INFUSION = 1
    };

    // Listener with the scenario notifications; the engine calls these only
    // on registered interfaces that are AppClient::Callback objects.
    class Callback : public CSClient::CallbackIface {
    public:
        virtual void sceStarted(unsigned /*patientId*/, unsigned /*sceId*/, unsigned /*secondaryId*/, Result) {}
        virtual void sceLoaded(unsigned /*patientId*/, unsigned /*sceId*/, unsigned /*secondaryId*/) {}
        virtual void sceStopped(unsigned /*patientId*/, unsigned /*sceId*/, unsigned /*secondaryId*/, Result) {}
        virtual void sceReset(unsigned /*patientId*/, unsigned /*sceId*/, unsigned /*secondaryId*/, Result) {}
        virtual void sceModeChanged(unsigned /*patientId*/, SimulationMode, Result) {}
        virtual void sceActiveRefresh() {}
    };

    explicit AppClient(unsigned options, const Timing& timing = Timing());

    // Keep-alive thread: a flow-control keep-alive every 3 seconds while connected.
    Result startKeepAlive();
    void stopKeepAlive();
    Result sendKeepAlive();

    ActiveSce getActiveSce() const;
    // The active patient's id (0: none), read without waiting for the
    // registry lock, which registration holds across socket writes.
    unsigned getActivePatientId() const;
    Result refreshActiveSces();

    // Scenario and patient commands.
    Result loadSce(unsigned sceId, unsigned secondaryId);
    Result startSce(unsigned sceId, unsigned secondaryId);
    Result startSce(unsigned sceId, unsigned secondaryId, bool flag);
    Result stopSce();
    Result setSimulationMode(SimulationMode mode);
    Result deliverBaby();
    Result pauseDelivery(bool pause);
    Result transferToPostpartum();
    Result administerDrug(const std::string& drugName, DrugAdministrationMode mode, float amount);
    Result resetDrugConcentration(const std::string& drugName);
    Result bookmarkPatient(int argument);
    Result rewindPatient(int argument);
    Result savePatient(int argument);
    Result sendSentrelCalibrationCommand(unsigned first, unsigned second);

    // Publishing with the APP publish modes.
    Result publishOverrideParameter(const Parameter& parameter);
    Result publishOverrideParameters(const Parameter* parameters, unsigned count);
    Result publishOverrideParameters(const std::vector<Parameter>& parameters);
    Result resetOverrideParameter(const Parameter& parameter);
    Result resetOverrideParameters(const Parameter* parameters, unsigned count);
    Result resetOverrideParameters(const std::vector<Parameter>& parameters);
    Result publishDeltaParameter(const Parameter& parameter);
    Result publishDeltaParameters(const Parameter* parameters, unsigned count);
    Result publishDeltaParameters(const std::vector<Parameter>& parameters);
    Result sendSignalParameter(const Parameter& parameter, unsigned signal);

    // The engine, for tests and diagnostics.
    AppProtocol* engine();
};

// The active patient: four 32-bit fields, each read and written atomically
// (the receive thread writes them while application threads read them).
struct ActiveSce {
    std::atomic<unsigned> sceId{0};
    std::atomic<unsigned> patientId{0};
    std::atomic<unsigned> secondaryId{0};
    std::atomic<AppClient::SimulationMode> mode{AppClient::MODE_STOPPED};

    ActiveSce() = default;
    ActiveSce(const ActiveSce& other) { *this = other; }
    ActiveSce& operator=(const ActiveSce& other) {
        sceId = other.sceId.load();
        patientId = other.patientId.load();
        secondaryId = other.secondaryId.load();
        mode = other.mode.load();
        return *this;
    }
    void clear() {
        sceId = 0;
        patientId = 0;
        secondaryId = 0;
        mode = AppClient::MODE_STOPPED;
    }
};

}  // namespace com_vela

#endif
