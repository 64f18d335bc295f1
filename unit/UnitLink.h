#pragma once

#include "Timing.h"
#include "UnitFrame.h"
#include "UnitIoFaults.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

class SessionRecorder;

// What the link tells about itself without touching the wire or its locks:
// read by the unattended status line while the link streams.
struct UnitLinkStatus {
    bool connected = false;
    std::string address;  // of the current or last connection; "" before the first
    // While not connected: when the link went down, or when the first
    // connection attempt began.
    std::chrono::system_clock::time_point downSince;
    unsigned long long messagesWritten = 0;  // frames written whole, over the link's life
};

// The TCP connection to the unit: connecting, framed writes bounded by
// Timing::writeTimeout, reading and checking replies, and the requests that
// wait for their matching reply within Timing::replyTimeout.
//
// Any thread may write (each frame goes out whole under the wire lock);
// reading has one user at a time (the requester). `connect` may replace the
// socket while another thread writes: each writer holds its own reference.
// Every connection is a link of its own, numbered by a generation: a failure
// on a socket marks the link down only while that socket is still the
// current one. Every message goes out through writeMessage, which hands it
// to the session recorder once written, if the link it went out on is the
// one recorded as up; a link is recorded as up before any writer can use it.
class UnitLink {
public:
    using Clock = std::chrono::steady_clock;
    static constexpr unsigned short kUnitPort = 14997;

    // `faults` (not owned; nullptr: none) is asked before every input and output operation.
    UnitLink(boost::asio::io_context& io, const Timing& timing, UnitIoFaults* faults = nullptr);
    ~UnitLink();
    UnitLink(const UnitLink&) = delete;
    UnitLink& operator=(const UnitLink&) = delete;

    // --- Connection ---
    // Up to `attempts` connects to `ip` (port 14997); remembers the address on
    // success. An `ip` that is no IP address raises.
    bool connectIP(const std::string& ip, unsigned attempts);
    // One attempt to the endpoint set by the last connectIP; raises on failure.
    void connect();
    void close();
    bool connected() const { return linkConnected; }
    // Takes the link as down until the next successful connect, and gives
    // its connection up: a write still under way on it fails.
    void markDown();
    // Bumped by every successful connect: a new number is a new link.
    std::uint64_t generation() const;
    UnitLinkStatus status() const;
    // Description of the last failed connect attempt.
    const std::string& lastConnectError() const { return connectError; }
    // Connect attempts begun so far (a watchdog's sign of a retry that moves).
    unsigned long connectAttempts() const { return attemptsBegun; }

    static void LoadLastConnectedIP();
    static void SaveLastConnectedIP();
    static std::string lastConnectedIP();

    // --- Messages and frames ---
    // A message that needs no reply; logged with a time stamp in debug mode.
    void sendMessage(const std::string& json);
    // Frames and writes one message; the recorder gets it once written.
    void writeMessage(const std::string& json);
    // Writes a frame built elsewhere as it is (not recorded: it is no message
    // of ours). A failure prints one line and marks the link down; never raises.
    void writeFrame(const std::string& frame);
    // Writes a message and returns the next reply (length field and JSON).
    std::string request(const std::string& json);
    // The next reply: the text between STX and ETX.
    std::string receiveReply();

    void enableDebugMode() { debugMode = true; }
    void setRecorder(SessionRecorder* recorder) { sessionRecorder = recorder; }

    // --- Status, Wi-Fi and stored calibrations ---
    std::string requestOtherStatus();
    std::string requestNetworkStatus();
    std::string requestCalListSpO2();
    std::string requestCalListCO2();
    void getBattery();
    bool setWifiCfg(const char* ssid, const char* password);

    // Local time of day, hh:mm:ss.mmm.
    static std::string timeOfDay();

    struct TestAccess;

private:
    using Socket = boost::asio::ip::tcp::socket;

    std::shared_ptr<Socket> currentSocket(std::uint64_t* generation = nullptr) const;
    UnitIoFault faultBefore(UnitIo operation);
    void publish(const std::shared_ptr<Socket>& socket, const std::string& address);
    bool writeBytes(const std::string& frame, std::uint64_t* generation = nullptr);
    void markDownAfterFailure(std::uint64_t generation);
    void recordMessage(const std::string& json, std::uint64_t generation);
    std::string receiveUntil(Clock::time_point deadline, const char* awaited);
    std::string awaitReply(const std::string& request, const char* awaited,
                           bool (*matches)(const std::string& json));
    void noteUp(const std::string& address, std::uint64_t generation);
    void noteDown();
    void setUp(const std::string& address);
    void setDown();

    boost::asio::io_context& io;
    const Timing timing;
    UnitIoFaults* const faults;
    std::atomic<bool> linkConnected{false};
    std::atomic<bool> debugMode{false};
    std::atomic<SessionRecorder*> sessionRecorder{nullptr};

    boost::asio::ip::tcp::endpoint unitEndpoint;  // set and read on the connecting thread
    std::string connectError;                      // likewise
    std::atomic<unsigned long> attemptsBegun{0};

    std::mutex wireMutex;                // held for the write of one frame
    // Guards unitSocket and socketGeneration; held while a link is marked up
    // or down, so that both follow the socket they are about. Taken inside
    // the wire lock, before the status and link event locks.
    mutable std::mutex socketMutex;
    std::shared_ptr<Socket> unitSocket;
    std::uint64_t socketGeneration = 0;  // bumped by every successful connect
    UnitFrameParser replyBuffer;         // used by the one reader at a time
    std::uint64_t replyBufferGeneration = 0;

    // Guards the three below; taken inside the wire lock, held only to set or copy them.
    mutable std::mutex statusMutex;
    std::string statusAddress;
    std::chrono::system_clock::time_point downSince;
    bool attempted = false;              // a first attempt began (the first markDown)
    std::atomic<unsigned long long> framesWritten{0};  // the one write path counts them

    std::mutex linkEventMutex;           // guards the three below; taken inside the wire and socket locks
    bool recordedUp = false;
    std::string recordedAddress;
    std::uint64_t recordedGeneration = 0;

    static std::string LastConnectedIP;
};

struct UnitLink::TestAccess {
    // Takes the link as up without a socket (writes then fail and mark it down).
    static void markUp(UnitLink& link) { link.linkConnected = true; }
};
