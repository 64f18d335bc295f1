// An emulated pair of simulator servers: the RHM server (SIM protocol, TCP
// 55580) and the simulator server (APP protocol, TCP 55557) on one address.
// It plays one patient whose vital signs, sensor states and waveforms go to
// every client that subscribed to them, and the four hardware-control
// parameters of the RHM server. Tests drive it in-process; the program
// `simulator-emulator` wraps it with a console and a scenario file.
//
// What it answers:
//   SIM: input subscription -> subscribe response (server id and current
//        value of each name), output subscription -> publish response,
//        version request -> version response (status 1), publish -> recorded.
//   APP: flow-control request -> grant, active patient list request -> patient
//        list (one patient while one is active), input/output subscription for
//        the active patient -> subscribe/publish response, version request ->
//        version response, publish/signal -> recorded, scenario commands ->
//        their responses and events. Keep-alives are counted.
// Updates carry the server ids given in the responses. Unknown names get a
// new parameter with value 0, so every subscription is answered.
//
// The parts: ServerState with the SIM and APP handlers, the periodic updates
// and the console words that work on it (frames in, frames out, no sockets);
// ServerSockets with the fault switches; this class holds them together with
// the ticker thread, one lock around the state.
//
// Console words (execute()):
//   set NAME VALUE        set a patient or hardware parameter
//   run | pause           HW_PATSPEED 1 / 0; the patient's clock runs / stops
//   enable | disable      HW_PATMON_ENABLED 1 / 0
//   calib ACTION ARG      HW_PATMON_CALIB_ARG1 and HW_PATMON_CALIB_ACTION in one update
//   start | stop          the APP scenario starts (patient active) / stops (events sent)
//   refuse WHICH on|off   WHICH is sim, app or all: close / reopen the listener
//   drop WHICH N          close each connection after N more frames sent (0 off)
//   stall WHICH on|off    the next frame stops half-way; off sends the rest
//   badheader WHICH       one frame whose header announces 8 bytes
//   kick WHICH            close the current connections
//   down | up             close listeners and connections / listen again
//   status                one line per protocol
//   quit                  ask the program to end
//   help                  the list of words
// Scenario file: one "SECONDS WORDS..." line per command, SECONDS counted from
// the start of the script (decimal, e.g. "0.5 run"); blank lines and lines
// starting with '#' are skipped.
#pragma once

#include "ScenarioScript.h"
#include "ServerSockets.h"
#include "ServerState.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

class SimulatorEmulator {
public:
    using Options = SimulatorEmulatorOptions;
    using Received = simemu::Received;
    using Published = simemu::Published;
    using State = simemu::ServerState;

    explicit SimulatorEmulator(Options options = Options());
    ~SimulatorEmulator();  // stops
    SimulatorEmulator(const SimulatorEmulator&) = delete;
    SimulatorEmulator& operator=(const SimulatorEmulator&) = delete;

    // Binds the enabled listeners and starts serving. False (with a reason)
    // when an address cannot be bound. stop() closes everything and joins
    // every thread; both may be called more than once.
    bool start(std::string* error = nullptr);
    void stop();
    bool running() const { return started; }

    // One console line; returns the reply ("ok", or "error: ..." ). Thread-safe.
    std::string execute(const std::string& line);
    static std::string helpText();
    bool quitRequested() const;

    // Runs a scenario (timed console lines) from now on; false with a reason
    // on a malformed text (nothing of it runs then).
    bool loadScenario(const std::string& text, std::string* error = nullptr);
    bool scenarioFinished() const;

    // A frame of the tests' own making to every client of a protocol: body
    // is the frame body; kind 0 data, 3 flow control, others as given.
    void sendFrame(SimProtocol p, const std::vector<std::uint8_t>& body, unsigned kind = 0);

    // What one new client of protocol `p` gets back for the bytes `stream`,
    // in memory (started or not): the frames of the stream are handled as
    // the frames of a connection are, up to a bad frame header or the end of
    // the whole frames; the client is gone again afterwards. For tests of the
    // client library over an in-memory link.
    std::vector<simemu::Bytes> feedClientBytes(SimProtocol p, const simemu::Bytes& stream);

    // --- What the servers know (thread-safe) ---
    // `read(state)`'s result, under the lock.
    template <class Read>
    auto read(Read reader) const {
        std::lock_guard<std::mutex> g(mu);
        return reader(static_cast<const State&>(state));
    }
    // True when `holds(state)` became true within the timeout.
    template <class Holds>
    bool waitUntil(std::chrono::milliseconds timeout, Holds holds) const {
        std::unique_lock<std::mutex> lk(mu);
        return cv.wait_for(lk, timeout, [&] { return holds(static_cast<const State&>(state)); });
    }

    // The queries and waits most tests use.
    unsigned connectionsAccepted(SimProtocol p) const;
    std::vector<std::string> subscribedNames(SimProtocol p) const;  // inputs, any client, sorted
    bool lastPublished(SimProtocol p, const std::string& name, Published& out) const;
    std::vector<Received> received(SimProtocol p) const;  // oldest first
    unsigned receivedCount(SimProtocol p, unsigned subprotocol, unsigned code) const;
    unsigned keepAliveCount() const;
    unsigned serverId(const std::string& name) const;  // 0 when unknown
    float value(const std::string& name) const;        // current patient value
    unsigned activePatientId() const;

    bool waitForClients(SimProtocol p, unsigned n, std::chrono::milliseconds timeout) const;
    bool waitForSubscribedCount(SimProtocol p, std::size_t n, std::chrono::milliseconds timeout) const;
    bool waitForPublished(SimProtocol p, const std::string& name, std::chrono::milliseconds timeout) const;
    bool waitForPublishedCount(SimProtocol p, std::size_t n, std::chrono::milliseconds timeout) const;
    bool waitForReceived(SimProtocol p, unsigned subprotocol, unsigned code, unsigned n,
                         std::chrono::milliseconds timeout) const;
    bool waitForKeepAlives(unsigned n, std::chrono::milliseconds timeout) const;

private:
    // A client's frame, handled under the lock, its answers sent after it.
    void onFrame(unsigned client, unsigned kind, const simemu::Bytes& body);
    // Changes the state under the lock, then sends what the change produced.
    template <class Change>
    auto change(Change changer);
    std::string socketWord(const std::vector<std::string>& w);
    void tickLoop();

    const Options opt;
    mutable std::mutex mu;  // guards state and the script
    mutable std::condition_variable cv;
    State state;
    std::vector<simemu::ScenarioLine> script;
    std::size_t scriptNext = 0;
    std::chrono::steady_clock::time_point scriptStart;

    simemu::ServerSockets sockets;
    std::atomic<bool> stopping{false};
    std::atomic<bool> started{false};
    std::thread ticker;
};
