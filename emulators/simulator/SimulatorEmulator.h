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

#include "EmulatorWire.h"

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <ostream>
#include <string>
#include <vector>

enum class SimProtocol { SIM = 0, APP = 1 };

struct SimulatorEmulatorOptions {
    std::string address = "127.0.0.1";
    unsigned short simPort = 55580;
    unsigned short appPort = 55557;
    bool serveSim = true;
    bool serveApp = true;
    unsigned simulatorId = 1;            // in SIM version responses
    std::string serverVersion = "EMU-1.0";
    unsigned patientId = 1;              // the active APP patient (0: none)
    unsigned sceId = 1;
    bool running = false;                // HW_PATSPEED at start
    bool enabled = false;                // HW_PATMON_ENABLED at start
    // Automatic answers; tests switch them off to send their own frames.
    bool grantFlowControl = true;
    bool answerPatientList = true;
    bool answerSubscriptions = true;
    bool answerVersion = true;
    bool answerScenario = true;
    bool sendUpdates = true;             // periodic patient/hardware updates
    std::chrono::milliseconds tick{100}; // update period
    // The serving threads' own pauses and bounds.
    std::chrono::milliseconds listenRetry{100};  // a listener that could not bind tries again after this
    std::chrono::milliseconds acceptPoll{20};    // a listener looks at its switches this often
    std::chrono::milliseconds readPoll{50};      // a connection's reader looks at the stop flag this often
    std::chrono::milliseconds writeBound{2000};  // one send to a client that takes no bytes
    std::chrono::milliseconds maxTickLag{1000};  // ticks further behind are skipped, not burst
    std::ostream* log = nullptr;         // one line per event; null: silent
    std::size_t messageLogSize = 4096;   // received messages kept per protocol
};

class SimulatorEmulator {
public:
    using Options = SimulatorEmulatorOptions;

    struct Received {
        bool flowControl = false;        // frame kind 3
        unsigned frameKind = 0;          // as on the wire
        std::vector<std::uint8_t> body;  // frame body (message header included)
        unsigned subprotocol() const { return simemu::messageSubprotocol(body); }
        unsigned code() const { return simemu::messageCode(body); }
    };
    struct Published {
        std::string name;                // "" when the id is unknown
        unsigned serverId = 0;
        float value = 0;                 // integers converted
        unsigned mode = 0;               // publish mode (SIM and APP)
        bool signal = false;             // APP signal parameter
        unsigned signalWord = 0;
    };

    explicit SimulatorEmulator(Options options = Options());
    ~SimulatorEmulator();  // stops
    SimulatorEmulator(const SimulatorEmulator&) = delete;
    SimulatorEmulator& operator=(const SimulatorEmulator&) = delete;

    // Binds the enabled listeners and starts serving. False (with a reason)
    // when an address cannot be bound. stop() closes everything and joins
    // every thread; both may be called more than once.
    bool start(std::string* error = nullptr);
    void stop();
    bool running() const;

    // One console line; returns the reply ("ok", or "error: ..." ). Thread-safe.
    std::string execute(const std::string& line);
    static std::string helpText();
    bool quitRequested() const;

    // Runs a scenario (timed console lines) from now on; false with a reason
    // on a malformed text (nothing of it runs then).
    bool loadScenario(const std::string& text, std::string* error = nullptr);
    bool scenarioFinished() const;

    // --- Frames of the tests' own making, to every client of a protocol ---
    // body is the frame body; kind 0 data, 3 flow control, others as given.
    void sendFrame(SimProtocol p, const std::vector<std::uint8_t>& body, unsigned kind = 0);
    void sendRawBytes(SimProtocol p, const std::vector<std::uint8_t>& bytes);

    // What one client connection of protocol `p` does with the bytes
    // `stream`, without sockets (started or not): frame headers checked,
    // bodies read, requests recorded and handled. Returns the frames that
    // client gets back, in order; a bad frame header ends the stream as it
    // ends a connection. For the fuzz target of the emulator's parsing.
    std::vector<std::vector<std::uint8_t>> feedClientBytes(SimProtocol p, const std::vector<std::uint8_t>& stream);

    // --- Queries (thread-safe) ---
    unsigned clientCount(SimProtocol p) const;       // connected now
    unsigned connectionsAccepted(SimProtocol p) const;
    std::vector<std::string> subscribedNames(SimProtocol p) const;  // inputs, any client, sorted
    std::vector<std::string> outputNames(SimProtocol p) const;      // registered outputs
    std::vector<Published> published(SimProtocol p) const;          // oldest first
    bool lastPublished(SimProtocol p, const std::string& name, Published& out) const;
    std::vector<Received> received(SimProtocol p) const;            // oldest first
    unsigned receivedCount(SimProtocol p, unsigned subprotocol, unsigned code) const;
    unsigned keepAliveCount() const;
    unsigned serverId(const std::string& name) const;  // 0 when unknown
    float value(const std::string& name) const;        // current patient value
    unsigned activePatientId() const;
    unsigned malformedCount() const;                   // bad frames from clients
    std::string statusLine(SimProtocol p) const;

    // --- Waits: true when the condition held within the timeout ---
    bool waitForClients(SimProtocol p, unsigned n, std::chrono::milliseconds timeout) const;
    bool waitForSubscribed(SimProtocol p, const std::string& name, std::chrono::milliseconds timeout) const;
    bool waitForSubscribedCount(SimProtocol p, std::size_t n, std::chrono::milliseconds timeout) const;
    bool waitForPublished(SimProtocol p, const std::string& name, std::chrono::milliseconds timeout) const;
    bool waitForPublishedCount(SimProtocol p, std::size_t n, std::chrono::milliseconds timeout) const;
    bool waitForReceived(SimProtocol p, unsigned subprotocol, unsigned code, unsigned n,
                         std::chrono::milliseconds timeout) const;
    bool waitForKeepAlives(unsigned n, std::chrono::milliseconds timeout) const;
    bool waitForMalformed(unsigned n, std::chrono::milliseconds timeout) const;

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
};
