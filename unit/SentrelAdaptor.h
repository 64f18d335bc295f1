#pragma once

#include "PendingMessages.h"
#include "Timing.h"
#include "UnitFrame.h"
#include "UnitLink.h"
#include "UnitMessages.h"

#include <boost/asio/io_context.hpp>
#include <boost/property_tree/ptree.hpp>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class SessionRecorder;
class UdpAdaptor;

// The link to the Sentrel unit as the bridge uses it: the pending VitalsData
// and WaveformData messages (PendingMessages), the TCP connection with its
// requests (UnitLink), the streaming thread that sends what changed every
// period, and the search for the unit with its datagram side channel.
//
// Lock order: the data lock (pending messages) before the link's wire lock;
// a streaming pass holds the data lock while it writes.
class SentrelAdaptor {
public:
    using Clock = std::chrono::steady_clock;

    // Fixed messages, byte for byte.
    static constexpr const char* kStatusRequestOther = unitmsg::kStatusRequestOther;
    static constexpr const char* kStatusRequestNetwork = unitmsg::kStatusRequestNetwork;
    static constexpr const char* kCalListRequestSpO2 = unitmsg::kCalListRequestSpO2;
    static constexpr const char* kCalListRequestCO2 = unitmsg::kCalListRequestCO2;
    static constexpr const char* kCalSelectPing = unitmsg::kCalSelectPing;

    // `faults` (not owned; nullptr: none) is asked before every input and
    // output operation of the link to the unit: a seam for tests.
    explicit SentrelAdaptor(const Timing& timing = Timing(), UnitIoFaults* faults = nullptr);
    virtual ~SentrelAdaptor();
    SentrelAdaptor(const SentrelAdaptor&) = delete;
    SentrelAdaptor& operator=(const SentrelAdaptor&) = delete;

    // --- Messages and frames ---
    void sendSnCommand(std::string json);
    std::string sendSnRequest(std::string json);
    void writeToWire(const std::string& frame);
    std::string receiveSNResponse();
    std::string verifyMessage(std::string response);
    std::string getJsonKeyValue(std::string json, std::string key);
    boost::property_tree::ptree jsonStringToPtree(std::string json);
    void printJson(std::string json);
    std::string now_str();
    void enableDebugMode();
    // Every message written to the unit, and every link change, also goes to
    // `recorder` (not owned; nullptr: none). May be set before initialize.
    void setRecorder(SessionRecorder* recorder);

    // --- Vitals and waveforms ---
    void sendCommand(const char* name, int value);
    void sendCommand(const char* name, const char* value);
    void sendCommand(const char* name, float value);

    void sendHR_bpm(int bpm);
    void sendDisableHR();
    void sendRR_brpm(int brpm);
    void sendDisableRR();
    void sendSPO2(int percent);
    void sendSPO2_ratio(int ratio);
    void enableSPO2Probe(bool on);
    void sendNIBP_mmHg(int systolic, int diastolic, int mean);
    void sendDisableNIBP();
    void sendT1_degC(float degC);
    void sendT2_degC(float degC);
    void sendDisableT1();
    void sendDisableT2();
    void sendCO2_flowFactor(int factor);
    void sendDisableCO2();
    void sendABP_50Hz(std::vector<float>& samples);
    void sendPAP_50Hz(std::vector<float>& samples);
    void sendPLETH_50Hz(std::vector<float>& samples);
    void sendCVP_25Hz(std::vector<float>& samples);
    void sendCO2_25Hz(std::vector<int>& samples);
    void sendECG_100Hz(std::vector<float>& samples);

    // Body of the streaming thread.
    void sendVitalWaveDataThread();

    // --- Connection ---
    bool initialize(const std::string& serialId, const std::string& fixedIp,
                    const std::string& rangeStart, const std::string& rangeEnd, bool retryForever);
    // Ends the adaptor's loops for good: the streaming thread, and the retry
    // of an initialize in progress or to come (which then returns false
    // unless connected). From any thread.
    void stop();
    bool connectIP(const std::string&, const std::string& ip, unsigned attempts);
    void connect();
    void close();
    void LoadLastConnectedIP();
    void SaveLastConnectedIP();
    void sendPing();
    bool checkConnection();
    void enableStreamVitals(bool on);
    // Connected?, the address, down since when, messages written so far. Takes
    // neither the data lock nor the wire lock: never delays the streaming.
    UnitLinkStatus linkStatus() const { return link.status(); }
    // How far its loops have come, for a watchdog: connection passes and
    // attempts, and the streaming thread's turns (idle or sending) once started.
    struct LoopProgress {
        unsigned long connecting = 0;
        bool streamingThread = false;
        unsigned long streaming = 0;
    };
    LoopProgress loopProgress() const
    {
        return {connectionPasses + link.connectAttempts(), streamThreadStarted, streamingTurns};
    }

    // --- Search by address range and broadcast ---
    bool connectRange(const std::string&, const std::string& start, const std::string& end);
    bool connectUDP(const std::string&);
    // Probes the /16 broadcast addresses of the given local IPv4 addresses;
    // the side channel binds to `bindAddress`.
    bool connectUDP(const std::string&, const std::vector<std::string>& localAddresses,
                    const std::string& bindAddress = "0.0.0.0");

    // --- Status, Wi-Fi and stored calibrations ---
    std::string sendRequestOtherStatus();
    void getBattery();
    std::string sendRequestNetworkStatus();
    bool setWifiCfg(const char* ssid, const char* password);
    std::string sendRequestStoredCalibrationNamesSpO2();
    std::string sendRequestStoredCalibrationNamesCO2();

    struct TestAccess;

private:
    // Runs `change` on the pending messages under the data lock.
    template <typename Change>
    void withPending(Change change)
    {
        std::lock_guard<std::mutex> lock(dataMutex);
        change(pending);
    }
    // One streaming pass: sends each pending message that changed, and the
    // whole VitalsData first on a new link.
    void streamingPass();
    // Streaming switched on and a link up: a pass may go.
    bool streamingWanted() const;
    bool waitForStop(Clock::time_point until);
    void stopStreaming();

    const Timing timing;
    std::string udpHost;  // host text of the side channel; nothing sets it
    boost::asio::io_context ioService;  // never run: all input and output is synchronous
    UnitLink link;
    std::mutex dataMutex;  // guards pending
    PendingMessages pending;
    std::uint64_t streamedGeneration = 0;  // the link the last pass wrote to; guarded by dataMutex
    std::unique_ptr<UdpAdaptor> udpLink;

    std::atomic<bool> streamThreadStarted{false};
    std::atomic<bool> streamVitals{false};
    std::atomic<unsigned long> streamingPasses{0};
    std::atomic<unsigned long> streamingTurns{0};
    std::atomic<unsigned long> connectionPasses{0};
    std::thread streamThread;
    std::mutex stopMutex;
    std::condition_variable stopSignal;
    bool stopRequested = false;
};

// What tests may see of an adaptor.
struct SentrelAdaptor::TestAccess {
    // The JSON texts the next streaming pass would send, VitalsData first,
    // marked sent: the same operation the pass uses, under the data lock.
    static std::vector<std::string> takePending(SentrelAdaptor& a)
    {
        std::lock_guard<std::mutex> lock(a.dataMutex);
        return a.pending.takeChanged();
    }
    // Whether a VitalsData message is waiting for the next pass.
    static bool vitalsPending(SentrelAdaptor& a)
    {
        std::lock_guard<std::mutex> lock(a.dataMutex);
        return PendingMessages::TestAccess::vitalsPending(a.pending);
    }
    static unsigned long streamingPasses(const SentrelAdaptor& a) { return a.streamingPasses; }
    static bool streamThreadStarted(const SentrelAdaptor& a) { return a.streamThreadStarted; }
    static bool streamVitals(const SentrelAdaptor& a) { return a.streamVitals; }
    static std::string lastConnectedIP() { return UnitLink::lastConnectedIP(); }
    static UdpAdaptor* udpLink(SentrelAdaptor& a) { return a.udpLink.get(); }
};
