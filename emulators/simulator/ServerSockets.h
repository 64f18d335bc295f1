// The emulated servers' sockets: a listener thread per protocol, a reader
// thread per client connection, and the fault switches that act on the
// connections and their bytes. It only moves bytes: what a frame means is the
// handlers' (ServerState.h), reached through the Events.
#pragma once

#include "EmulatorWire.h"
#include "ServerState.h"

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace simemu {

class ServerSockets {
public:
    // Called on the listener and reader threads, never under a lock of this
    // object.
    struct Events {
        std::function<void(unsigned client, int proto)> opened;
        std::function<void(unsigned client, unsigned kind, const Bytes& body)> frame;
        std::function<void(unsigned client)> badFrame;  // the connection is closed after it
        std::function<void(unsigned client)> gone;
    };

    ServerSockets(const SimulatorEmulatorOptions& options, Events events);
    ~ServerSockets();  // stops
    ServerSockets(const ServerSockets&) = delete;
    ServerSockets& operator=(const ServerSockets&) = delete;

    // Binds the listeners of the protocols to serve; false (with a reason)
    // when one cannot be bound. stop() closes everything and joins every
    // thread.
    bool start(std::string* error);
    void stop();

    // Writes each frame to its client, through the fault switches.
    void send(const Outgoing& out);

    // --- Fault switches, per protocol index ---
    void setRefusing(int proto, bool on);  // close / reopen the listener
    void setDown(bool down);               // every listener closed and every connection closed
    bool refusing(int proto) const;        // by either switch
    void setStall(int proto, bool on);     // the next frame stops half-way; off sends the rest
    void setDrop(int proto, unsigned n);   // close each connection after n more frames (0 off)
    void kick(int proto);                  // close the current connections
    void sendBadHeader(int proto);         // one frame whose header announces 8 bytes

    struct Conn;

private:
    using ConnPtr = std::shared_ptr<Conn>;

    int openListener(int proto, std::string* error);
    void listenLoop(int proto);
    void reap();
    void readLoop(const ConnPtr& c);
    void writeAll(Conn& c, const std::uint8_t* data, std::size_t n);
    void sendFrameTo(Conn& c, const Bytes& frame);
    std::vector<ConnPtr> live(int proto) const;

    const SimulatorEmulatorOptions& opt;
    const Events events;
    std::atomic<bool> stopping{false};
    bool started = false;
    int listenFd[2] = {-1, -1};
    std::thread listeners[2];

    mutable std::mutex mu;  // guards what follows
    std::vector<ConnPtr> conns;
    unsigned nextClient = 1;
    bool refuse[2] = {false, false};
    bool down = false;
    unsigned dropSetting[2] = {0, 0};
};

}  // namespace simemu
