#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "AppClient.h"
#include "Configuration.h"
#include "SentrelAdaptor.h"
#include "SimClient.h"
#include "Timing.h"

// The bridge: owns the SIM and APP simulator clients and the unit adaptor,
// subscribes the simulator parameters, turns their updates into unit commands,
// runs the operator's calibration procedure and supervises the unit link.
//
// The client threads, the calibration thread and the main thread share the
// state under `bridgeMutex`; the flags are atomics read without it. Tests see
// inside only through `TestAccess` below.
class SimulatorSample {
public:
    using CSClient = com_vela::CSClient;

    class SimClientCallback : public com_vela::SimClient::Callback {
    public:
        explicit SimClientCallback(SimulatorSample* bridge) : bridge(bridge) {}
        void connectionStateChanged(CSClient::State oldState, CSClient::State newState) override;
        void parametersUpdated(const std::vector<CSClient::Parameter>& params) override;
        // Cleared when the bridge starts to go; the client may still report
        // its last state changes to this object until it is destroyed.
        std::atomic<bool> forwarding{true};

    private:
        SimulatorSample* bridge;
    };

    class AppClientCallback : public com_vela::AppClient::Callback {
    public:
        explicit AppClientCallback(SimulatorSample* bridge) : bridge(bridge) {}
        void connectionStateChanged(CSClient::State oldState, CSClient::State newState) override;
        void parametersUpdated(const std::vector<CSClient::Parameter>& params) override;
        // Cleared when the bridge starts to go; the client may still report
        // its last state changes to this object until it is destroyed.
        std::atomic<bool> forwarding{true};

    private:
        SimulatorSample* bridge;
    };

    // What an unattended run reports of the bridge now. Read from atomics and
    // the parts' own small locks, never the bridge lock, so it can be taken
    // while initialize waits for the unit.
    struct Status {
        UnitLinkStatus unit;
        bool simConnected = false;
        bool appConnected = false;
        unsigned patientId = 0;  // the APP client's active patient; 0: none known
        bool running = false;
        bool featureEnabled = false;
        bool calibrating = false;
    };

    // How far the bridge's loops have come, for a watchdog: on the main
    // thread supervision cycles and unit connection passes and attempts; the
    // unit streaming thread's turns once it was started.
    struct Progress {
        unsigned long mainLoop = 0;
        bool streamingThread = false;
        unsigned long streaming = 0;
    };

    static constexpr unsigned kRhmPort = 55580;
    static constexpr unsigned kSimulatorPort = 55557;

    // `timing` gives the supervision cycle, the calibration poll, the save
    // sequence's pauses and how long destruction waits for the calibration
    // thread.
    explicit SimulatorSample(Configuration* configuration, const Timing& timing = Timing());
    virtual ~SimulatorSample();
    SimulatorSample(const SimulatorSample&) = delete;
    SimulatorSample& operator=(const SimulatorSample&) = delete;

    bool initialize(bool debug);
    // Supervises the unit link until it has been silent for too long, or
    // until stop() is called.
    void run();
    // Ends run() now if it is waiting for its next cycle, else at the end of
    // the cycle in progress; a later run() returns at once. An initialize
    // waiting for the unit returns false at the end of its retry pass. From
    // any thread.
    void stop();
    bool stopped();
    // Records what the adaptor sends to the unit (not owned; nullptr: none).
    void setRecorder(SessionRecorder* recorder) { adaptor.setRecorder(recorder); }
    void shouldPing(bool flag);
    Status status() const;
    Progress progress() const;

    // Subscribes the 4 SIM and the 26 APP inputs.
    bool initializeInputs();

    void parametersUpdated(const std::vector<CSClient::Parameter>& params);
    bool IsSpO2ProbeConnected() const;
    int calibrateSPO2Value(float x) const;
    float calibrateCO2Value(float x) const;

    // The compact CalData text for one point table ("SpO2" or "CO2").
    static std::string buildCalDataText(const char* calType, const std::map<int32_t, int32_t>& points);
    static const char* const kCalRemoveSpO2;
    static const char* const kCalRemoveCO2;

    struct TestAccess;

private:
    friend struct TestAccess;

    // Latest vital values of the patient.
    struct VitalValues {
        int32_t spo2 = 0;
        int32_t etco2 = 0;
        int32_t diastolic = 0;
        int32_t mean = 0;
        int32_t systolic = 0;
        int32_t heartRate = 0;
        int32_t respirationRate = 0;
        float bodyTemp = 0;
        float bloodTemp = 0;
    };

    // Ticks until each vital is sent again; 0 sends it at the next tick.
    struct Countdowns {
        int32_t spo2 = 0;
        int32_t etco2 = 0;
        int32_t nibp = 0;
        int32_t heartRate = 0;
        int32_t respirationRate = 0;
        int32_t temperature = 0;
        int32_t co2Off = 0;
    };

    // Samples gathered between streaming ticks; emptied, not freed.
    struct WaveformBuffers {
        std::vector<float> arterial;
        std::vector<float> pulmonaryArtery;
        std::vector<float> cvp;
        std::vector<float> pleth;
        void clear();
    };

    struct SensorStates {
        bool arterialCatheter = false;
        bool cvpCatheter = false;
        bool paCatheter = false;
        int32_t pulseSensor = 0;
        bool spo2Probe = true;
        bool simulatorXConnected = false;
        bool capnographSensor = false;
        bool bodyTempSensor = false;
        bool bloodTempSensor = false;
        bool nibpSensor = false;
    };

    // The operator's last calibration parameters and what they set.
    struct CalibrationState {
        int32_t action = 0;
        int32_t arg = 0;
        int32_t co2Counter = 0;
        int32_t spo2Counter = 45;
        std::map<int32_t, int32_t> co2Points;
        std::map<int32_t, int32_t> spo2Points;
    };

    // Called with bridgeMutex held, for a batch that carried a calibration parameter.
    void performCalibration(int action, int arg);
    // Body of the calibration thread.
    void calibrationData();

    void handleParameter(const CSClient::Parameter& p, bool& calibrationArrived);
    void endOfBatch(bool calibrationArrived);
    void tick();
    bool awaitNextCycle();
    bool superviseOnce(int& silentCycles);
    void reinitializeUnit();
    void saveCalibration();
    void saveTable(const char* calType, const std::map<int32_t, int32_t>& points,
                   const char* removeText, const char* firstLine, const char* lastLine);
    void startCalibrationThread();
    void waitForCalibrationThread();

    const Timing timing;

    // Declared before the clients so that they outlive the clients' receive
    // threads, which the clients' destructors wait for.
    std::unique_ptr<SimClientCallback> simCallback;
    std::unique_ptr<AppClientCallback> appCallback;

    com_vela::SimClient simClient;
    com_vela::AppClient appClient;
    std::atomic<bool> debug{false};
    std::atomic<bool> ping{true};
    Configuration* configuration;

    std::mutex bridgeMutex;
    SentrelAdaptor adaptor;

    std::atomic<bool> running{false};
    std::atomic<bool> featureEnabled{false};
    WaveformBuffers waveforms;
    VitalValues vitals;
    Countdowns countdowns;
    SensorStates sensors;
    CalibrationState calibration;
    std::atomic<bool> calibrating{false};

    // Set (under bridgeMutex) once destruction began: late batches are dropped.
    bool closing = false;

    // The calibration thread. `calibrationLoopActive` is cleared by the thread
    // itself, under bridgeMutex, when it has seen calibration mode end, so a
    // new start knows whether it must start a new thread.
    std::thread calibrationThread;
    bool calibrationLoopActive = false;
    std::mutex calibrationDoneMutex;
    std::condition_variable calibrationDoneCv;
    bool calibrationThreadDone = true;

    // The supervision loop's wait between cycles; stop() and a test's
    // request for the next cycle cut it short.
    std::mutex supervisionMutex;
    std::condition_variable supervisionWake;
    bool stopRequested = false;
    bool cycleRequested = false;
    std::atomic<unsigned long> supervisionCycles{0};
};

// What tests may see of the bridge. The references stay valid for the
// bridge's life; read them only while no batch is being handled on another
// thread.
struct SimulatorSample::TestAccess {
    static SentrelAdaptor& adaptor(SimulatorSample& b) { return b.adaptor; }
    static com_vela::SimClient& simClient(SimulatorSample& b) { return b.simClient; }
    static com_vela::AppClient& appClient(SimulatorSample& b) { return b.appClient; }

    static bool running(const SimulatorSample& b) { return b.running; }
    static bool pinging(const SimulatorSample& b) { return b.ping; }
    static bool calibrating(const SimulatorSample& b) { return b.calibrating; }

    static const VitalValues& vitals(const SimulatorSample& b) { return b.vitals; }
    static const Countdowns& countdowns(const SimulatorSample& b) { return b.countdowns; }
    static const WaveformBuffers& waveforms(const SimulatorSample& b) { return b.waveforms; }
    static const CalibrationState& calibration(const SimulatorSample& b) { return b.calibration; }

    // Supervision cycles run to their end so far.
    static unsigned long supervisionCycles(const SimulatorSample& b) { return b.supervisionCycles; }
    // Starts the next supervision cycle now instead of at the end of the
    // period, so a test can step the loop one cycle at a time.
    static void startNextCycle(SimulatorSample& b) {
        std::lock_guard<std::mutex> lock(b.supervisionMutex);
        b.cycleRequested = true;
        b.supervisionWake.notify_all();
    }
};
