// An emulated Sentrel unit on the network: listens for the bridge's TCP
// connection on port 14997 of one address and answers datagrams on UDP port
// `udpPort` of the same address. What it answers and keeps is SentrelUnit's;
// this part only moves bytes and owns the connections. It serves the newest
// connection and closes the one before. Tests drive it in-process;
// `sentrel-emulator` wraps it as a program.
#pragma once

#include "SentrelUnit.h"

#include <atomic>
#include <memory>
#include <mutex>

class SentrelEmulator : public SentrelUnit {
public:
    explicit SentrelEmulator(Options options = Options());
    ~SentrelEmulator();  // stops
    SentrelEmulator(const SentrelEmulator&) = delete;
    SentrelEmulator& operator=(const SentrelEmulator&) = delete;

    // Binds and starts serving; throws boost::system::system_error when the
    // address cannot be bound. stop() closes everything and joins every thread
    // it started; both may be called more than once.
    void start();
    void stop();
    bool running() const { return serving; }

    // Fault switches can change while serving; refuseConnections closes or
    // reopens the listener, and takes effect for the next connection.
    void setFaults(const Faults& faults);

    // --- Control while serving (the program's control words) ---
    // Closes the current connection with a reset (no shutdown first).
    void resetConnection();
    // On: stop listening (new connections are refused) and close the current
    // connection. Off: listen again.
    void setRefusing(bool refuse);

    struct Transport;

private:
    std::unique_ptr<Transport> transport;
    std::mutex lifeMutex;  // serialises start, stop and the posts to the transport
    std::atomic<bool> serving{false};
};
