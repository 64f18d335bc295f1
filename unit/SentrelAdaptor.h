#pragma once

#include "UnitFrame.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
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

class UdpAdaptor;

// Deletes the datagram side channel; defined where UdpAdaptor is complete.
struct UdpLinkDeleter {
    void operator()(UdpAdaptor* link) const;
};

// The link to the Sentrel unit: one TCP connection carrying framed JSON
// messages, the pending VitalsData and WaveformData messages with their
// streaming thread, and the status, Wi-Fi and calibration-list requests.
class SentrelAdaptor {
public:
    using Clock = std::chrono::steady_clock;

    static constexpr unsigned short kUnitPort = 14997;

    // Fixed messages, byte for byte.
    static constexpr const char* kStatusRequestOther =
        "{\"MessageType\":\"StatusRequest\",\"Message\":{\"requestNetworkStatus\":false}}";
    static constexpr const char* kStatusRequestNetwork =
        "{\"MessageType\":\"StatusRequest\",\"Message\":{\"requestNetworkStatus\":true}}";
    static constexpr const char* kCalListRequestSpO2 =
        "{\"MessageType\":\"CalListRequest\",\"Message\":{\"calType\":\"SpO2\"}}";
    static constexpr const char* kCalListRequestCO2 =
        "{\"MessageType\":\"CalListRequest\",\"Message\":{\"calType\":\"CO2\"}}";
    static constexpr const char* kCalSelectPing =
        "{\"MessageType\":\"CalSelect\",\"Message\":{\"calName\":\"Default Temperature\",\"calType\":\"Temp\"}}";
    static constexpr const char* kWifiCredentialsStart =
        "{\"MessageType\":\"WifiCredentials\",\"Message\":{\"ssid\":\"";
    static constexpr const char* kWifiCredentialsMiddle = "\",\"password\":\"";
    static constexpr const char* kWifiCredentialsEnd = "\"}}";
    static constexpr const char* kVitalsDataTemplate =
        "{\"MessageType\":\"VitalsData\",\"Message\":{\"hr\":-1,\"sbp\":-1,\"dbp\":-1,\"mbp\":-1,"
        "\"sPAP\":-1,\"dPAP\":-1,\"mPAP\":-1,\"CVP\":-1,\"t1\":-1,\"t2\":-1,\"rr\":-1,\"etCO2\":-1,"
        "\"co2FlowFactor\":-1,\"spO2\":-1,\"spO2Ratio\":-1,\"spo2Override\":\"None\","
        "\"abpZeroState\":\"Unknown\",\"papZeroState\":\"Unknown\",\"cvpZeroState\":\"Unknown\"}}";
    static constexpr const char* kWaveformDataTemplate =
        "{\"MessageType\":\"WaveformData\",\"Message\":{\"pleth\":\"REPLACE\",\"ecg\":\"REPLACE\","
        "\"abp\":\"REPLACE\",\"pap\":\"REPLACE\",\"cvp\":\"REPLACE\",\"aux\":\"REPLACE\","
        "\"co2\":\"REPLACE\"}}";

    SentrelAdaptor();
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
    // One streaming pass: sends each pending message that changed.
    void streamingPass();
    // Serialises the pending messages (VitalsData first), marks them sent and
    // returns their JSON texts; what one pass sends, without the socket.
    std::vector<std::string> takePendingMessages();

    // --- Connection ---
    bool initialize(const std::string& serialId, const std::string& fixedIp,
                    const std::string& rangeStart, const std::string& rangeEnd, bool retryForever);
    bool connectIP(const std::string&, const std::string& ip, unsigned attempts);
    void connect();
    void close();
    void LoadLastConnectedIP();
    void SaveLastConnectedIP();
    void sendPing();
    bool checkConnection();
    void enableStreamVitals(bool on);

    // --- Search by address range and broadcast ---
    bool connectRange(const std::string&, const std::string& start, const std::string& end);
    bool connectUDP(const std::string&);
    // Probes the broadcast addresses of the given local IPv4 addresses.
    bool connectUDP(const std::string&, const std::vector<std::string>& localAddresses);

    // --- Status, Wi-Fi and stored calibrations ---
    std::string sendRequestOtherStatus();
    void getBattery();
    std::string sendRequestNetworkStatus();
    bool setWifiCfg(const char* ssid, const char* password);
    std::string sendRequestStoredCalibrationNamesSpO2();
    std::string sendRequestStoredCalibrationNamesCO2();

    // The WifiCredentials message with SSID and password escaped as JSON strings.
    static std::string wifiCredentialsMessage(const std::string& ssid, const std::string& password);
    // Text of a JSON string's contents (no quotes) for `text`.
    static std::string escapeJsonString(const std::string& text);

    // --- Data ---
    std::string udpHost;
    std::atomic<bool> connected{false};
    std::atomic<bool> streamThreadStarted{false};
    std::atomic<bool> streamVitals{false};
    boost::asio::io_context ioService;
    std::unique_ptr<UdpAdaptor, UdpLinkDeleter> udpLink;
    boost::property_tree::ptree vitalsData;
    boost::property_tree::ptree waveformData;
    bool vitalsDataSent = true;
    bool waveformDataSent = true;
    std::mutex wireMutex;
    std::mutex dataMutex;
    boost::asio::ip::tcp::endpoint unitEndpoint;
    std::shared_ptr<boost::asio::ip::tcp::socket> unitSocket;
    std::string frameStart = "\x02";
    std::string frameEnd = "\x03";
    std::atomic<bool> debugMode{false};

    static std::string LastConnectedIP;

    // Passes the streaming thread has made (for watching its schedule).
    std::atomic<unsigned long> streamingPasses{0};

    // Local address the datagram side channel binds to.
    std::string udpBindAddress = "0.0.0.0";

    // Timing; tests shorten these.
    std::chrono::milliseconds streamPeriod{60};
    std::chrono::milliseconds streamIdlePoll{50};
    std::chrono::milliseconds passPause{100};          // between initialize passes
    std::chrono::milliseconds wifiJoinWait{7000};      // after WifiCredentials
    std::chrono::milliseconds replyTimeout{10000};     // request to matching reply
    std::chrono::milliseconds writeTimeout{10000};     // one frame onto the wire

private:
    using Socket = boost::asio::ip::tcp::socket;

    void storeCommand(const char* name, const std::string& text);
    std::shared_ptr<Socket> currentSocket(std::uint64_t* generation = nullptr);
    std::string receiveUntil(Clock::time_point deadline, const char* awaited);
    std::string awaitReply(const std::string& request, const char* awaited,
                           bool (SentrelAdaptor::*matches)(const std::string& json));
    bool isStatusData(const std::string& json);
    bool isNetworkStatusData(const std::string& json);
    bool isCalListSpO2(const std::string& json);
    bool isCalListCO2(const std::string& json);
    bool isCalList(const std::string& json, const char* type, const char* other,
                   const char* requester);
    bool waitForStop(Clock::time_point until);
    void stopStreaming();

    std::mutex socketMutex;              // guards unitSocket and socketGeneration
    std::uint64_t socketGeneration = 0;  // bumped by every connect
    UnitFrameParser replyBuffer;         // used by the one reader at a time
    std::uint64_t replyBufferGeneration = 0;

    std::thread streamThread;
    std::mutex stopMutex;
    std::condition_variable stopSignal;
    bool stopRequested = false;
};
