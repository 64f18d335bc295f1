#pragma once

#include "PeriodicThread.h"

#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>

// systemd's notification protocol for a Type=notify service: one text
// datagram per notification to the Unix socket named by NOTIFY_SOCKET (a path,
// or an abstract name written with a leading '@'). Outside systemd
// (NOTIFY_SOCKET unset) nothing is opened and nothing is sent.
//
// Sends never block: the socket is non-blocking and a datagram the manager
// cannot take at once is dropped and counted.
class NotifySocket {
public:
    // `address` empty: an inactive socket that sends nothing.
    explicit NotifySocket(const std::string& address);
    ~NotifySocket();
    NotifySocket(const NotifySocket&) = delete;
    NotifySocket& operator=(const NotifySocket&) = delete;

    bool active() const { return fd >= 0; }
    // One datagram; false when inactive or dropped.
    bool send(const std::string& message);
    unsigned long dropped() const { return droppedCount; }

private:
    int fd = -1;
    std::string address;
    std::atomic<unsigned long> droppedCount{0};
};

// How far the program's loops have come. The watchdog is fed only when each
// of them moved since the last feed, so a stalled loop gets the process
// restarted.
struct ServiceProgress {
    unsigned long long bridge = 0;   // which bridge this is (a new one counts as progress)
    unsigned long mainLoop = 0;      // supervision cycles and connection passes of that bridge
    bool streamingThread = false;    // whether its streaming thread was started
    unsigned long streaming = 0;     // turns of that thread, idle or sending
};

// Whether `now` moved on from `before`. Nothing now (between two bridges):
// no; nothing before (start): yes.
bool madeProgress(const std::optional<ServiceProgress>& before, const std::optional<ServiceProgress>& now);

// READY=1, STATUS=, WATCHDOG=1, EXTEND_TIMEOUT_USEC= and STOPPING=1 for the
// service manager.
//
// Its thread wakes every half watchdog period (WATCHDOG_USEC; 15 s when the
// unit sets no watchdog) and reads the progress. When everything moved: after
// READY=1 it sends WATCHDOG=1 (only with a watchdog); before READY=1, while
// the bridge still waits for the unit, it sends WATCHDOG=1 and
// EXTEND_TIMEOUT_USEC= of a whole period, so the start may take as long as it
// keeps moving but a stalled start still times out.
class ServiceNotifier {
public:
    using ProgressSource = std::function<std::optional<ServiceProgress>()>;

    struct Settings {
        std::string socketAddress;                // NOTIFY_SOCKET; empty: not under systemd
        std::chrono::microseconds watchdog{0};    // WATCHDOG_USEC for this process; 0: none
    };
    // NOTIFY_SOCKET, WATCHDOG_USEC and WATCHDOG_PID (a watchdog meant for
    // another process is none).
    static Settings fromEnvironment();

    static constexpr std::chrono::microseconds kStartCheckPeriod{15000000};

    ServiceNotifier(const Settings& settings, ProgressSource progress);
    ~ServiceNotifier();  // stops and joins the thread
    ServiceNotifier(const ServiceNotifier&) = delete;
    ServiceNotifier& operator=(const ServiceNotifier&) = delete;

    bool active() const { return socket.active(); }
    // READY=1, the first time only.
    void ready();
    // STATUS=<line>, shown by `systemctl status`.
    void status(const std::string& line);
    // STOPPING=1: the program has begun to stop.
    void stopping();

private:
    void check();

    NotifySocket socket;
    const std::chrono::microseconds watchdog;
    const std::chrono::microseconds period;
    const ProgressSource progress;
    std::atomic<bool> isReady{false};
    std::optional<ServiceProgress> last;

    std::unique_ptr<PeriodicThread> thread;  // last: stopped before the members it reads go
};
