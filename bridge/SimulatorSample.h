#pragma once

#include <atomic>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <vector>

#include "AdaptorPort.h"
#include "AppClient.h"
#include "BridgeFlags.h"
#include "CalibrationProcedure.h"
#include "Configuration.h"
#include "ParameterTranslator.h"
#include "SentrelAdaptor.h"
#include "SimClient.h"
#include "Timing.h"

// The bridge: owns the SIM and APP simulator clients and the unit adaptor,
// subscribes the simulator parameters, supervises the unit link, and hands
// parameter updates to its translator (ParameterTranslator) and, through it,
// to its calibration procedure (CalibrationProcedure), both of which write to
// the unit through the adaptor's port (AdaptorPort).
//
// The client threads, the calibration thread and the main thread share the
// translator's and the procedure's state under `bridgeMutex`; the flags
// (BridgeFlags) are atomics read without it. Tests see inside only through
// `TestAccess` below.
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

    struct TestAccess;

private:
    friend struct TestAccess;

    bool awaitNextCycle();
    bool superviseOnce(int& silentCycles);
    void reinitializeUnit();

    const Timing timing;

    // Declared before the clients so that they outlive the clients' receive
    // threads, which the clients' destructors wait for.
    std::unique_ptr<SimClientCallback> simCallback;
    std::unique_ptr<AppClientCallback> appCallback;

    com_vela::SimClient simClient;
    com_vela::AppClient appClient;
    BridgeFlags flags;
    Configuration* configuration;

    mutable std::mutex bridgeMutex;
    SentrelAdaptor adaptor;
    AdaptorPort unit{adaptor};
    // Both work under bridgeMutex; the procedure's thread ends before the
    // adaptor goes.
    CalibrationProcedure calibration;
    ParameterTranslator translator;

    // Set (under bridgeMutex) once destruction began: late batches are dropped.
    bool closing = false;

    // The supervision loop's wait between cycles; stop() and a test's
    // request for the next cycle cut it short.
    std::mutex supervisionMutex;
    std::condition_variable supervisionWake;
    bool stopRequested = false;
    bool cycleRequested = false;
    std::atomic<unsigned long> supervisionCycles{0};
};

// What tests may see of the bridge: its parts with their own interfaces, and
// the supervision loop's steps. The references stay valid for the bridge's
// life.
struct SimulatorSample::TestAccess {
    static SentrelAdaptor& adaptor(SimulatorSample& b) { return b.adaptor; }
    static com_vela::SimClient& simClient(SimulatorSample& b) { return b.simClient; }
    static com_vela::AppClient& appClient(SimulatorSample& b) { return b.appClient; }

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
