#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
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

// The bridge: owns the SIM and APP simulator clients and the unit adaptor,
// subscribes the simulator parameters, turns their updates into unit commands,
// runs the operator's calibration procedure and supervises the unit link.
//
// State is public so that the supervision loop, the translation and the
// calibration can be inspected from outside; the client threads, the
// calibration thread and the main thread share it under `bridgeMutex`
// (the flags are atomics and are read without it).
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

    static constexpr unsigned kRhmPort = 55580;
    static constexpr unsigned kSimulatorPort = 55557;

    explicit SimulatorSample(Configuration* configuration);
    virtual ~SimulatorSample();
    SimulatorSample(const SimulatorSample&) = delete;
    SimulatorSample& operator=(const SimulatorSample&) = delete;

    bool initialize(bool debug);
    void run();
    // Records what the adaptor sends to the unit (not owned; nullptr: none).
    void setRecorder(SessionRecorder* recorder) { adaptor.setRecorder(recorder); }
    void shouldPing(bool flag);

    // Subscribes the 4 SIM and the 26 APP inputs.
    bool initializeInputs();

    void parametersUpdated(const std::vector<CSClient::Parameter>& params);
    bool IsSpO2ProbeConnected() const;
    int calibrateSPO2Value(float x) const;
    float calibrateCO2Value(float x) const;

    void performCalibration(int action, int arg);
    void calibrationData();

    // The compact CalData text for one point table ("SpO2" or "CO2").
    static std::string buildCalDataText(const char* calType, const std::map<int32_t, int32_t>& points);
    static const char* const kCalRemoveSpO2;
    static const char* const kCalRemoveCO2;

    // The pause between the supervision cycles, and the save sequence's
    // pauses that give the unit time to take in each change.
    std::function<void()> supervisionSleep;
    std::chrono::milliseconds savePause{2000};
    // How long destruction waits for the calibration thread to see the end of
    // calibration mode before reporting it.
    std::chrono::milliseconds calibrationJoinBound{5000};

private:
    // Declared before the clients so that they outlive the clients' receive
    // threads, which the clients' destructors wait for.
    std::unique_ptr<SimClientCallback> simCallback;
    std::unique_ptr<AppClientCallback> appCallback;

public:
    com_vela::SimClient simClient;
    com_vela::AppClient appClient;
    std::atomic<bool> debug{false};
    std::atomic<bool> ping{true};
    Configuration* configuration;

    std::mutex bridgeMutex;
    SentrelAdaptor adaptor;

    std::atomic<bool> running{false};
    bool featureEnabled = false;

    std::vector<float> arterialBuffer;
    std::vector<float> paBuffer;
    std::vector<float> cvpBuffer;
    std::vector<float> plethBuffer;

    int32_t spo2 = 0;
    int32_t etco2 = 0;
    int32_t diastolic = 0;
    int32_t mean = 0;
    int32_t systolic = 0;
    int32_t heartRate = 0;
    int32_t respirationRate = 0;
    float bodyTemp = 0;
    float bloodTemp = 0;

    int32_t spo2Countdown = 0;
    int32_t etco2Countdown = 0;
    int32_t nibpCountdown = 0;
    int32_t hrCountdown = 0;
    int32_t rrCountdown = 0;
    int32_t tempCountdown = 0;
    int32_t co2OffCountdown = 0;

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

    int32_t calibrationAction = 0;
    int32_t calibrationArg = 0;
    std::atomic<bool> calibrating{false};
    int32_t co2Counter = 0;
    int32_t spo2Counter = 45;
    std::map<int32_t, int32_t> co2Points;
    std::map<int32_t, int32_t> spo2Points;

private:
    void handleParameter(const CSClient::Parameter& p, bool& calibrationArrived);
    void endOfBatch(bool calibrationArrived);
    void tick();
    void resetCountdowns();
    void reinitializeUnit();
    void saveCalibration();
    void saveTable(const char* calType, const std::map<int32_t, int32_t>& points,
                   const char* removeText, const char* firstLine, const char* lastLine);
    void startCalibrationThread();
    void waitForCalibrationThread();

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
};
