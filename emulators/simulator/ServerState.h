// What the emulated simulator servers know, apart from any socket: the
// patient, the parameter names and their server ids, each client's
// subscriptions and what the clients sent. The SIM and APP handlers, the
// periodic updates and the console words work on it; each returns the frames
// to send as Outgoing, to clients named by their ids. One thread at a time
// (the emulator holds its lock around every use).
#pragma once

#include "EmulatorWire.h"
#include "PatientModel.h"

#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <set>
#include <string>
#include <utility>
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
    bool answerSubscriptions = true;
    bool answerScenario = true;
    bool sendUpdates = true;             // periodic patient/hardware updates
    std::chrono::milliseconds tick{100}; // update period
    // The serving threads' own pauses and bounds.
    std::chrono::milliseconds listenRetry{100};  // a listener that could not bind tries again after this
    std::chrono::milliseconds acceptPoll{20};    // a listener looks at its switches this often
    std::chrono::milliseconds readPoll{50};      // a connection's reader looks at the stop flag this often
    std::chrono::milliseconds writeBound{2000};  // one send to a client that takes no bytes
    std::chrono::milliseconds maxTickLag{1000};  // ticks further behind are skipped, not burst
    bool log = false;                    // one "SIMEMU> " line per event on standard output
    std::size_t messageLogSize = 4096;   // received messages kept per protocol
};

namespace simemu {

// Protocol indexes, for the per-protocol arrays.
constexpr int kSim = 0, kApp = 1;
int index(SimProtocol p);
const char* label(int protocolIndex);  // "SIM" or "APP"
// One "SIMEMU> " line on standard output when the options ask for them.
void logLine(const SimulatorEmulatorOptions& options, const std::string& line);

struct Received {
    bool flowControl = false;        // frame kind 3
    Bytes body;                      // frame body (message header included)
    unsigned subprotocol() const { return messageSubprotocol(body); }
    unsigned code() const { return messageCode(body); }
};

struct Published {
    std::string name;                // "" when the id is unknown
    unsigned serverId = 0;
    float value = 0;                 // integers converted
};

// Frames to send, each to one client by id, in order.
using Outgoing = std::vector<std::pair<unsigned, Bytes>>;

struct ServerState {
    // One client connection's subscriptions.
    struct Client {
        int proto = 0;                     // index(SimProtocol)
        std::map<unsigned, bool> inputs;   // server id -> sent as integer (SIM)
        std::set<unsigned> outputs;
    };

    // Bounds against a client that sends names or values without end.
    static constexpr std::size_t kMaxNames = 10000;
    static constexpr std::size_t kMaxPublished = 100000;

    explicit ServerState(const SimulatorEmulatorOptions& options);

    const SimulatorEmulatorOptions& opt;
    PatientModel model;
    std::map<std::string, unsigned> ids;
    std::map<unsigned, std::string> namesById;
    unsigned nextId = 101;
    bool namesFullLogged = false;
    std::vector<std::string> dirty;  // changed since the last tick, in order
    std::set<std::string> outputs[2];

    std::map<unsigned, Client> clients;  // by connection id
    std::deque<Received> received[2];
    std::deque<Published> published[2];
    unsigned accepted[2] = {0, 0};
    unsigned keepAlives = 0;
    unsigned malformed = 0;
    bool quit = false;

    unsigned patientId = 0;
    unsigned sceId = 0;
    bool loaded = false;  // loaded, not yet started
    unsigned nextPatientId = 1;

    // --- Used by the handlers ---
    void log(const std::string& line) const;
    bool isRunning() const { return model.value("HW_PATSPEED") == 1.0f; }
    // The server id of a name, made on first use; 0 when the name table is full.
    unsigned idFor(const std::string& name);
    void markDirty(const std::string& name);
    // model.set, then markDirty.
    void setValue(const std::string& name, float value);
    void setRunning(bool run);
    void record(int proto, unsigned kind, const Bytes& body);
    void addPublished(int proto, const Published& p);
    // Both protocols' publish requests: the count, then entries of a server id
    // and a value (`value` reads it from the entry's offset).
    template <typename L, typename Value>
    void recordPublished(int proto, const Bytes& body, Value value);
    // Both protocols' unsubscription requests: server ids after the count.
    void unsubscribe(Client& c, const Bytes& body, bool inputs);
    // The frame to every client of a protocol.
    void broadcast(int proto, const Bytes& frame, Outgoing& out) const;
    Bytes simHeader(unsigned code) const;  // with the simulator id word
    // An APP scenario event (speed only for the speed events).
    Bytes event(unsigned code, unsigned pid, unsigned status, const float* speed = nullptr) const;
    // The event of a run flag: speed modified to 1 when running, paused when not.
    Bytes runEvent(bool run, unsigned pid) const;
    Bytes patientList() const;
    void startPatient(unsigned pid, Outgoing& out);
    void stopPatient(Outgoing& out);

    // --- Queries ---
    unsigned clientCount(int proto) const;
    std::set<unsigned> subscribedIds(int proto) const;
    std::vector<std::string> subscribedNames(int proto) const;  // sorted
    unsigned receivedCount(int proto, unsigned subprotocol, unsigned code) const;
    bool lastPublished(int proto, const std::string& name, Published& out) const;
    unsigned serverId(const std::string& name) const;  // 0 when unknown
    std::string statusLine(int proto, bool refusing) const;
};

template <typename L, typename Value>
void ServerState::recordPublished(int proto, const Bytes& body, Value value) {
    forEachEntry<L>(body, [&](std::size_t off) {
        Published p;
        p.serverId = get32(body, off + L::ENTRY_ID);
        auto it = namesById.find(p.serverId);
        if (it != namesById.end()) p.name = it->second;
        p.value = value(off);
        addPublished(proto, p);
        log(std::string(label(proto)) + " published " +
            (p.name.empty() ? "#" + std::to_string(p.serverId) : p.name) + " = " + std::to_string(p.value));
    });
}

Bytes appHeader(unsigned subprotocol, unsigned code);

// One frame of a client: recorded, then answered by the handler of the
// client's protocol. Frames of unknown clients are ignored; frames of another
// kind or shorter than a message header are counted as malformed.
void handleFrame(ServerState& s, unsigned client, unsigned kind, const Bytes& body, Outgoing& out);
// Every whole frame of `stream` through handleFrame, in order; a bad frame
// header ends the stream and is counted as malformed.
void handleStream(ServerState& s, unsigned client, const Bytes& stream, Outgoing& out);
// The handlers behind it: a data frame (SIM), a data or flow-control frame (APP).
void handleSimFrame(ServerState& s, ServerState::Client& c, unsigned client, const Bytes& body, Outgoing& out);
void handleAppFrame(ServerState& s, ServerState::Client& c, unsigned client, unsigned kind, const Bytes& body,
                    Outgoing& out);

// The console words that work on the patient and the hardware parameters
// (set, run, pause, enable, disable, calib, start, stop) and quit; the
// reply, "ok" or "error: ...".
std::string stateWord(ServerState& s, const std::vector<std::string>& words, Outgoing& out);

// One period of `seconds`: the patient's clock moves on (while it runs) and
// every subscribed client gets the changed values and the new waveform samples.
void tickUpdates(ServerState& s, double seconds, Outgoing& out);

}  // namespace simemu
