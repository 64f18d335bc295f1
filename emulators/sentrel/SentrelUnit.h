// The emulated Sentrel unit's behaviour, apart from any socket: the bytes a
// client connection sends go in, the bytes to write back (and whether to end
// the connection or begin a Wi-Fi join) come out, and what the unit was sent
// is kept for the queries. SentrelEmulator puts it on TCP and UDP sockets;
// tests and the fuzz target drive it directly.
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
// Datagrams: every datagram is answered with "SENTREL <serial>@", except
// "[STOPME]@", which is not answered.
//
// Memory stays bounded whatever a client sends: besides the bridge's own
// names, at most kMaxKeptNames distinct names each for VitalsData members,
// WaveformData slots, MessageTypes and calibration types, and as many stored
// calibrations (the rest are counted in namesNotKept()); the message log is
// bounded in count and bytes; a connection that leaves more than
// kMaxPendingReplyBytes of replies unwritten is ended; JSON nested deeper
// than 64 levels is a malformed frame.
//
// VitalsData values that mean "unset" ("-1", "None", "Unknown") do not
// replace the latest value of a member: the bridge sends every member in every
// message and only the changed ones carry a value.
#pragma once

#include "MonitorState.h"
#include "UnitFrame.h"

#include <boost/property_tree/ptree_fwd.hpp>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <vector>

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

// One client connection as the unit sees it: the bytes of a frame not yet
// complete, the frames received and the reply bytes handed out but not yet
// written.
class UnitSession {
public:
    explicit UnitSession(unsigned id = 0) : id_(id) {}
    unsigned id() const { return id_; }
    // The transport wrote `n` of the reply bytes handed out for this session.
    void wrote(std::size_t n) { pending_ -= std::min(n, pending_); }

private:
    friend class SentrelUnit;
    UnitFrameParser parser_;
    unsigned frames_ = 0;
    std::size_t pending_ = 0;
    unsigned id_;
    bool ended_ = false;
};

class SentrelUnit {
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
    // A join begun by WifiCredentials: finishWifiJoin() it after the join delay.
    struct WifiJoin {
        std::string ssid;
        bool joins = false;   // the credentials match the network the unit can join
    };
    // What to do about the bytes of one read.
    struct Response {
        struct Write {
            std::string bytes;
            bool pauseAfter = false;  // let this piece leave on its own (splitReplies)
        };
        std::vector<Write> writes;     // in order
        bool end = false;              // end the connection now; the writes are dropped
        std::optional<WifiJoin> join;  // the latest join begun
        std::string bytes() const;     // the writes put together
    };

    static constexpr std::size_t kMaxKeptNames = 64;
    static constexpr std::size_t kMaxPendingReplyBytes = 4 << 20;

    // The VitalsData members and WaveformData slots the unit keeps.
    static const std::vector<std::string>& vitalMembers();
    static const std::vector<std::string>& waveformSlots();

    explicit SentrelUnit(Options options = Options());
    SentrelUnit(const SentrelUnit&) = delete;
    SentrelUnit& operator=(const SentrelUnit&) = delete;

    // --- What the transport hands in (one thread at a time) ---
    // Bytes a client sent on `session`. Once a response says end, the
    // session takes no more bytes.
    Response receive(UnitSession& session, const char* data, std::size_t n);
    Response receive(UnitSession& session, const std::string& bytes)
    {
        return receive(session, bytes.data(), bytes.size());
    }
    void finishWifiJoin(const WifiJoin& join);
    // A client connection opened (counted) or the served one ended.
    void connectionOpened();
    void connectionEnded();
    // The answer to one datagram, nullopt for none.
    std::optional<std::string> datagram(const std::string& text);

    const Options& options() const { return opts; }
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
    bool waitForMessageCount(const std::string& type, std::uint64_t n, std::chrono::milliseconds timeout) const;
    bool waitForSampleCount(const std::string& slot, std::uint64_t n, std::chrono::milliseconds timeout) const;
    bool waitForConnectionCount(unsigned n, std::chrono::milliseconds timeout) const;
    bool waitForMalformedCount(std::uint64_t n, std::chrono::milliseconds timeout) const;
    bool waitForWifiState(WifiState state, std::chrono::milliseconds timeout) const;
    bool waitForDatagramCount(std::uint64_t n, std::chrono::milliseconds timeout) const;

    // The console summary line (what the console view prints each second).
    std::string summaryLine() const;
    // What the live views show (the console line and the monitor page).
    MonitorState& monitorState() { return view; }

protected:
    void storeFaults(const Faults& faults);

private:
    using Calibrations = std::vector<std::pair<std::string, std::string>>;  // name, CalData text

    void handleFrame(UnitSession& session, const std::string& json, Response& response);
    void noteMalformed(const std::string& why);
    void record(const std::string& type, const std::string& json);
    void storeVitals(const boost::property_tree::ptree& msg);
    void storeWaveforms(const boost::property_tree::ptree& msg);
    void storeCalibration(const boost::property_tree::ptree& msg, const std::string& json);
    void removeCalibration(const boost::property_tree::ptree& msg);
    WifiJoin beginWifiJoin(const std::string& ssid, const std::string& password);
    void reply(UnitSession& session, const std::string& json, const Faults& f, Response& response);
    std::string statusText() const;
    std::string networkStatusText() const;
    std::string calListText(const std::string& type) const;
    std::string unsolicitedText() const;
    template <class Map>
    typename Map::mapped_type* keptEntry(Map& map, const std::string& name, const std::vector<std::string>& known = {});
    // Reads under the lock / waits on it.
    template <class Read>
    auto locked(Read read) const
    {
        std::lock_guard<std::mutex> lk(m);
        return read();
    }
    template <class Pred>
    bool waitFor(std::chrono::milliseconds timeout, Pred pred) const
    {
        std::unique_lock<std::mutex> lk(m);
        return cv.wait_for(lk, timeout, pred);
    }

    const Options opts;

    // Guarded by m.
    mutable std::mutex m;
    mutable std::condition_variable cv;
    Faults faults_;
    int battery;
    bool plugged;
    std::map<std::string, VitalValue> vitalValues;
    std::map<std::string, std::deque<int>> samples;
    std::map<std::string, std::uint64_t> sampleTotals;
    std::map<std::string, std::uint64_t> typeCounts;
    std::uint64_t totalMessages = 0;
    std::deque<ReceivedMessage> log;
    std::size_t logBytes = 0;            // JSON text held in `log`
    std::uint64_t notKept = 0;           // see keptEntry
    std::uint64_t malformed = 0;
    std::map<std::string, Calibrations> calibrations;
    unsigned connections = 0;
    bool clientUp = false;
    WifiState wifi = WifiState::NotConfigured;
    std::string lastSsid;
    std::uint64_t datagrams = 0;
    std::string lastDatagramText;

    MonitorState view;  // locks itself
};

const char* toString(SentrelUnit::WifiState state);
