// An emulated Sentrel unit: listens for the bridge's TCP connection on port
// 14997 of one address, reads its unit frames, keeps what it was sent and
// answers the requests. Tests drive it in-process; `sentrel-emulator` wraps it
// as a program.
//
// Reply layouts (all compact JSON, in unit frames):
//   StatusRequest {"requestNetworkStatus":false} ->
//     {"MessageType":"StatusData","Message":{"battLvlPerc":87,"pluggedIn":true}}
//   StatusRequest {"requestNetworkStatus":true} ->
//     {"MessageType":"NetworkStatusData","Message":{"ssid":"<ssid>",
//      "ipAddress":"<ip>","wifiConnected":<bool>,"wifiStatus":"<status>"}}
//     wifiStatus: "NotConfigured" (no credentials received yet), "Joining"
//     (during the join delay), "Success" (joined: wifiConnected true and
//     ipAddress the configured wifiIpAddress), "Failed" (unknown network or
//     wrong password: wifiConnected false, ipAddress ""). ssid is the one last
//     received in WifiCredentials ("" before).
//   CalListRequest {"calType":"SpO2"} ->
//     {"MessageType":"CalList","Message":{"calType":"SpO2","calNames":["<name>",...]}}
//     names in the order first stored.
//   Unsolicited frame (fault switches):
//     {"MessageType":"UnitEvent","Message":{"event":"Heartbeat","serial":"<serial>"}}
// Messages that get no answer: VitalsData, WaveformData, CalSelect, CalData
// (stored by Message.calName + Message.calType, replacing one of the same
// name), CalRemove (removes that name and type), WifiCredentials (starts a
// join), and any other type (counted and logged only).
//
// Datagrams: on UDP port `udpPort` of the same address every datagram is
// answered with "SENTREL <serial>@" to its sender, except "[STOPME]@", which
// is ignored.
//
// Memory stays bounded whatever a client sends: besides the bridge's own
// names, at most kMaxKeptNames distinct names each for VitalsData members,
// WaveformData slots, MessageTypes and calibration types, and as many stored
// calibrations (the rest are counted in namesNotKept()); the message log is
// bounded in count and bytes; a client that leaves more than
// kMaxPendingReplyBytes of replies unread is disconnected; JSON nested deeper
// than 64 levels is a malformed frame.
//
// VitalsData values that mean "unset" ("-1", "None", "Unknown") do not
// replace the latest value of a member: the bridge sends every member in every
// message and only the changed ones carry a value.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class MonitorState;

// Fault switches, for tests and for checking a set-up against a misbehaving
// unit. All off by default.
struct SentrelEmulatorFaults {
    bool refuseConnections = false;      // no TCP listener: connects are refused
    unsigned closeAfterFrames = 0;       // close a connection after N received frames (0: never)
    bool neverAnswer = false;            // accept and read, but never send a byte
    bool unsolicitedBeforeReply = false; // a UnitEvent frame goes out before each reply
    bool splitReplies = false;           // each reply is written in several small writes
    bool twoFramesPerWrite = false;      // each reply and a UnitEvent frame go out in one write
};

struct SentrelEmulatorOptions {
    std::string address = "127.0.0.1";
    unsigned short port = 14997;          // TCP
    unsigned short udpPort = 14997;       // datagrams; 0 disables the UDP side
    std::string serial = "EMU0001";
    int batteryLevel = 87;                // battLvlPerc
    bool pluggedIn = true;
    std::string wifiSsid;                 // the network the unit can join ("" none)
    std::string wifiPassword;
    std::string wifiIpAddress = "192.168.50.23";  // reported once joined
    std::chrono::milliseconds wifiJoinDelay{3000}; // must stay below the 7 s the bridge waits
    std::chrono::milliseconds splitReplyGap{20};   // between the pieces of a split reply (fault)
    SentrelEmulatorFaults faults;
    bool consoleView = false;             // one summary line each consolePeriod on stdout
    std::chrono::milliseconds consolePeriod{1000};
    bool logMessages = false;             // one line per received message on stdout:
                                          // "SentrelEmulator> <UTC time, ms> <MessageType> <JSON>"
    std::size_t waveformHistory = 2048;   // samples kept per waveform slot
    std::size_t messageLogSize = 512;     // received messages kept
    std::size_t messageLogBytes = 4 << 20; // JSON text kept in the log (the newest message always)
};

class SentrelEmulator {
public:
    using Options = SentrelEmulatorOptions;
    using Faults = SentrelEmulatorFaults;
    using Clock = std::chrono::steady_clock;

    enum class WifiState { NotConfigured, Joining, Connected, Failed };

    struct VitalValue {
        std::string text;     // as received, e.g. "72" or "36.5"
        Clock::time_point arrived;
    };
    struct ReceivedMessage {
        std::string type;     // MessageType
        std::string json;     // the whole JSON text
        Clock::time_point arrived;
    };

    static constexpr std::size_t kMaxKeptNames = 64;
    static constexpr std::size_t kMaxPendingReplyBytes = 4 << 20;

    // The VitalsData members and WaveformData slots the unit keeps.
    static const std::vector<std::string>& vitalMembers();
    static const std::vector<std::string>& waveformSlots();

    explicit SentrelEmulator(Options options = Options());
    ~SentrelEmulator();  // stops
    SentrelEmulator(const SentrelEmulator&) = delete;
    SentrelEmulator& operator=(const SentrelEmulator&) = delete;

    // Binds and starts serving; throws boost::system::system_error when the
    // address cannot be bound. stop() closes everything and joins every thread
    // it started; both may be called more than once.
    void start();
    void stop();
    bool running() const;

    // Fault switches can change while serving; refuseConnections closes or
    // reopens the listener, and takes effect for the next connection.
    void setFaults(const Faults& faults);
    Faults faults() const;
    void setBattery(int level, bool pluggedIn);

    // --- Queries (thread-safe) ---
    // Latest value of a VitalsData member; false when none arrived.
    bool vital(const std::string& member, VitalValue& out) const;
    std::map<std::string, VitalValue> vitals() const;
    // Recent samples of a WaveformData slot, oldest first (at most waveformHistory).
    std::vector<int> recentSamples(const std::string& slot) const;
    std::uint64_t sampleCount(const std::string& slot) const;
    std::uint64_t messageCount(const std::string& type) const;
    std::uint64_t totalMessageCount() const;
    std::vector<ReceivedMessage> messageLog() const;  // oldest first
    std::uint64_t malformedFrameCount() const;
    // Names and calibrations not kept because kMaxKeptNames was reached.
    std::uint64_t namesNotKept() const;
    // Stored calibrations of one type ("SpO2", "CO2"): names in storing order,
    // and the CalData JSON text of one ("" when none is stored by that name).
    std::vector<std::string> calibrationNames(const std::string& calType) const;
    std::string calibrationData(const std::string& calType, const std::string& calName) const;
    unsigned connectionCount() const;   // connections accepted so far
    bool clientConnected() const;       // a connection is being served now
    WifiState wifiState() const;
    std::uint64_t datagramCount() const; // datagrams received (the stop text included)
    std::string lastDatagram() const;

    // --- Waits: true when the condition held within the timeout ---
    bool waitForMessageCount(const std::string& type, std::uint64_t n,
                             std::chrono::milliseconds timeout) const;
    bool waitForSampleCount(const std::string& slot, std::uint64_t n,
                            std::chrono::milliseconds timeout) const;
    bool waitForConnectionCount(unsigned n, std::chrono::milliseconds timeout) const;
    bool waitForMalformedCount(std::uint64_t n, std::chrono::milliseconds timeout) const;
    bool waitForWifiState(WifiState state, std::chrono::milliseconds timeout) const;
    bool waitForDatagramCount(std::uint64_t n, std::chrono::milliseconds timeout) const;

    // The console summary line (what the console view prints each second).
    std::string summaryLine() const;

    // What the live views show (the console line and the monitor page).
    MonitorState& monitorState();

    // --- Control while serving (the program's control words) ---
    // Closes the current connection with a reset (no shutdown first).
    void resetConnection();
    // On: stop listening (new connections are refused) and close the current
    // connection. Off: listen again.
    void setRefusing(bool refuse);

    // Handles `bytes` as the first bytes of a new client connection, without
    // a socket, and returns the bytes the unit would write back to it. Only
    // while not started (throws std::logic_error otherwise); the emulator's
    // state changes as for a real client.
    std::string serveBytes(const std::string& bytes);

    struct Impl;
private:
    std::unique_ptr<Impl> impl;
};

const char* toString(SentrelEmulator::WifiState state);
