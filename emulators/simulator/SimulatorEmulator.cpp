#include "SimulatorEmulator.h"

#include <sstream>

using namespace simemu;

namespace {

std::vector<std::string> words(const std::string& line) {
    std::istringstream in(line);
    std::vector<std::string> out;
    std::string w;
    while (in >> w) out.push_back(w);
    return out;
}

bool parseUnsigned(const std::string& s, unsigned& out) {
    if (s.empty() || s.size() > 9 || s.find_first_not_of("0123456789") != std::string::npos) return false;
    out = unsigned(std::stoul(s));
    return true;
}

}  // namespace

template <class Change>
auto SimulatorEmulator::change(Change changer) {
    Outgoing out;
    auto result = [&] {
        std::lock_guard<std::mutex> g(mu);
        return changer(state, out);
    }();
    cv.notify_all();
    sockets.send(out);
    return result;
}

SimulatorEmulator::SimulatorEmulator(Options options)
    : opt(std::move(options)),
      state(opt),
      sockets(opt, ServerSockets::Events{
                       [this](unsigned client, int proto) {
                           change([&](State& s, Outgoing&) {
                               s.clients[client].proto = proto;
                               return ++s.accepted[proto];
                           });
                       },
                       [this](unsigned client, unsigned kind, const Bytes& body) { onFrame(client, kind, body); },
                       [this](unsigned) { change([](State& s, Outgoing&) { return ++s.malformed; }); },
                       [this](unsigned client) { change([&](State& s, Outgoing&) { return s.clients.erase(client); }); },
                   }) {}

SimulatorEmulator::~SimulatorEmulator() { stop(); }

void SimulatorEmulator::onFrame(unsigned client, unsigned kind, const Bytes& body) {
    change([&](State& s, Outgoing& out) {
        handleFrame(s, client, kind, body, out);
        return true;
    });
}

bool SimulatorEmulator::start(std::string* error) {
    if (started) return true;
    if (!sockets.start(error)) return false;
    stopping = false;
    started = true;
    {
        std::lock_guard<std::mutex> g(mu);
        scriptStart = std::chrono::steady_clock::now();
    }
    ticker = std::thread([this] { tickLoop(); });
    logLine(opt, "serving on " + opt.address + " (SIM " + std::to_string(opt.simPort) + ", APP " +
                     std::to_string(opt.appPort) + ")");
    return true;
}

void SimulatorEmulator::stop() {
    if (!started) return;
    {
        std::lock_guard<std::mutex> g(mu);
        stopping = true;
    }
    cv.notify_all();
    if (ticker.joinable()) ticker.join();
    sockets.stop();
    started = false;
    cv.notify_all();
}

void SimulatorEmulator::tickLoop() {
    auto next = std::chrono::steady_clock::now();
    const double seconds = std::chrono::duration<double>(opt.tick).count();
    while (!stopping) {
        next += opt.tick;
        std::vector<std::string> due;
        {
            std::unique_lock<std::mutex> lk(mu);
            cv.wait_until(lk, next, [this] { return stopping.load(); });
            if (stopping) break;
            const double elapsed =
                std::chrono::duration<double>(std::chrono::steady_clock::now() - scriptStart).count();
            while (scriptNext < script.size() && script[scriptNext].at <= elapsed)
                due.push_back(script[scriptNext++].command);
        }
        for (const auto& command : due) logLine(opt, "script: " + command + " -> " + execute(command));
        change([&](State& s, Outgoing& out) {
            tickUpdates(s, seconds, out);
            return true;
        });
        const auto now = std::chrono::steady_clock::now();
        if (now - next > opt.maxTickLag) next = now;  // fell behind: do not burst
    }
}

// ---- console words ----

std::string SimulatorEmulator::execute(const std::string& line) {
    const auto w = words(line);
    if (w.empty() || w[0][0] == '#') return "ok";
    if (w[0] == "help") return helpText();
    if (w[0] == "status") {
        const bool refusing[2] = {sockets.refusing(kSim), sockets.refusing(kApp)};
        return read([&](const State& s) { return s.statusLine(kSim, refusing[kSim]) + "\n" +
                                                  s.statusLine(kApp, refusing[kApp]); });
    }
    const std::string reply = socketWord(w);
    if (!reply.empty()) return reply;
    return change([&](State& s, Outgoing& out) { return stateWord(s, w, out); });
}

// The words that work the sockets' fault switches; "" for any other word.
std::string SimulatorEmulator::socketWord(const std::vector<std::string>& w) {
    const std::string& cmd = w[0];
    bool sel[2] = {false, false};
    auto which = [&](const std::string& name) {
        sel[kSim] = name == "sim" || name == "all";
        sel[kApp] = name == "app" || name == "all";
        return sel[kSim] || sel[kApp];
    };
    if (cmd == "refuse" || cmd == "stall") {
        if (w.size() != 3 || !which(w[1]) || (w[2] != "on" && w[2] != "off"))
            return "error: usage: " + cmd + " sim|app|all on|off";
        for (int i = 0; i < 2; ++i)
            if (sel[i]) cmd == "refuse" ? sockets.setRefusing(i, w[2] == "on") : sockets.setStall(i, w[2] == "on");
        return "ok";
    }
    if (cmd == "drop") {
        unsigned n;
        if (w.size() != 3 || !which(w[1]) || !parseUnsigned(w[2], n)) return "error: usage: drop sim|app|all N";
        for (int i = 0; i < 2; ++i)
            if (sel[i]) sockets.setDrop(i, n);
        return "ok";
    }
    if (cmd == "badheader" || cmd == "kick") {
        if (w.size() != 2 || !which(w[1])) return "error: usage: " + cmd + " sim|app|all";
        for (int i = 0; i < 2; ++i)
            if (sel[i]) cmd == "kick" ? sockets.kick(i) : sockets.sendBadHeader(i);
        return "ok";
    }
    if (cmd == "down" || cmd == "up") {
        sockets.setDown(cmd == "down");
        return "ok";
    }
    return "";
}

std::string SimulatorEmulator::helpText() {
    return "Console words (one per line; also the commands of a scenario file):\n"
           "  set NAME VALUE       set a patient or hardware parameter (e.g. set HRPM 90)\n"
           "  run | pause          HW_PATSPEED 1 / 0; the patient's clock runs / stops\n"
           "  enable | disable     HW_PATMON_ENABLED 1 / 0\n"
           "  calib ACTION ARG     HW_PATMON_CALIB_ACTION and HW_PATMON_CALIB_ARG1 in one update\n"
           "  start | stop         the APP scenario starts / stops (scenario events are sent)\n"
           "  refuse WHICH on|off  WHICH is sim, app or all: close / reopen the listener\n"
           "  drop WHICH N         close each connection after N more frames sent (0: off)\n"
           "  stall WHICH on|off   the next frame stops half-way; off sends the rest\n"
           "  badheader WHICH      send one frame whose header announces 8 bytes\n"
           "  kick WHICH           close the current connections\n"
           "  down | up            close listeners and connections / listen again\n"
           "  status               one line per protocol\n"
           "  quit                 end the program\n"
           "  help                 this text\n"
           "Scenario file: one command per line, preceded by the time in seconds from the\n"
           "start of the script, e.g. \"0.5 run\" or \"12 set HRPM 110\". Lines run in time\n"
           "order; blank lines and lines starting with '#' are skipped.\n"
           "Parameters: HRPM SAO2 EXT_SABP EXT_DABP EXT_MAP SPA DPA CVP RRPM ETCO2 BODY_TEMP\n"
           "  bloodTemp PULSE_SENSOR SPO2_PROBE CAPNOGRAPH_SENSOR TEMP_BODY_SENSOR\n"
           "  TEMP_BLOOD_SENSOR NIBP_SENSOR SIMULATOR_XCONNECTED ARTERIAL_CATHETER_DEPTH\n"
           "  CVP_CATHETER_DEPTH PA_CATHETER_DEPTH; waveforms ARTLINE PLINE CVPLINE PLETH\n"
           "  (50 samples/s) and CAPNOGRAM (25 samples/s); hardware HW_PATSPEED\n"
           "  HW_PATMON_ENABLED HW_PATMON_CALIB_ACTION HW_PATMON_CALIB_ARG1.\n";
}

bool SimulatorEmulator::quitRequested() const {
    return read([](const State& s) { return s.quit; });
}

bool SimulatorEmulator::loadScenario(const std::string& text, std::string* error) {
    std::vector<ScenarioLine> lines;
    std::string why;
    if (!parseScenario(text, lines, why)) {
        if (error) *error = why;
        return false;
    }
    std::lock_guard<std::mutex> g(mu);
    script = std::move(lines);
    scriptNext = 0;
    scriptStart = std::chrono::steady_clock::now();
    return true;
}

bool SimulatorEmulator::scenarioFinished() const {
    std::lock_guard<std::mutex> g(mu);
    return scriptNext >= script.size();
}

void SimulatorEmulator::sendFrame(SimProtocol p, const std::vector<std::uint8_t>& body, unsigned kind) {
    change([&](State& s, Outgoing& out) {
        s.broadcast(index(p), frame(body, kind), out);
        return true;
    });
}

std::vector<Bytes> SimulatorEmulator::feedClientBytes(SimProtocol p, const Bytes& stream) {
    const unsigned client = 0;  // the sockets number their clients from 1
    return change([&](State& s, Outgoing& out) {
        s.clients[client].proto = index(p);
        handleStream(s, client, stream, out);
        s.clients.erase(client);
        std::vector<Bytes> replies;
        for (auto it = out.begin(); it != out.end();) {
            if (it->first == client) {
                replies.push_back(std::move(it->second));
                it = out.erase(it);
            } else {
                ++it;
            }
        }
        return replies;
    });
}

// ---- the queries and waits most tests use ----

unsigned SimulatorEmulator::connectionsAccepted(SimProtocol p) const {
    return read([&](const State& s) { return s.accepted[index(p)]; });
}

std::vector<std::string> SimulatorEmulator::subscribedNames(SimProtocol p) const {
    return read([&](const State& s) { return s.subscribedNames(index(p)); });
}

bool SimulatorEmulator::lastPublished(SimProtocol p, const std::string& name, Published& out) const {
    return read([&](const State& s) { return s.lastPublished(index(p), name, out); });
}

std::vector<SimulatorEmulator::Received> SimulatorEmulator::received(SimProtocol p) const {
    return read([&](const State& s) { return std::vector<Received>(s.received[index(p)].begin(),
                                                                   s.received[index(p)].end()); });
}

unsigned SimulatorEmulator::receivedCount(SimProtocol p, unsigned subprotocol, unsigned code) const {
    return read([&](const State& s) { return s.receivedCount(index(p), subprotocol, code); });
}

unsigned SimulatorEmulator::keepAliveCount() const {
    return read([](const State& s) { return s.keepAlives; });
}

unsigned SimulatorEmulator::serverId(const std::string& name) const {
    return read([&](const State& s) { return s.serverId(name); });
}

float SimulatorEmulator::value(const std::string& name) const {
    return read([&](const State& s) { return s.model.value(name); });
}

unsigned SimulatorEmulator::activePatientId() const {
    return read([](const State& s) { return s.patientId; });
}

bool SimulatorEmulator::waitForClients(SimProtocol p, unsigned n, std::chrono::milliseconds timeout) const {
    return waitUntil(timeout, [&](const State& s) { return s.clientCount(index(p)) >= n; });
}

bool SimulatorEmulator::waitForSubscribedCount(SimProtocol p, std::size_t n, std::chrono::milliseconds timeout) const {
    return waitUntil(timeout, [&](const State& s) { return s.subscribedIds(index(p)).size() >= n; });
}

bool SimulatorEmulator::waitForPublished(SimProtocol p, const std::string& name,
                                         std::chrono::milliseconds timeout) const {
    Published ignored;
    return waitUntil(timeout, [&](const State& s) { return s.lastPublished(index(p), name, ignored); });
}

bool SimulatorEmulator::waitForPublishedCount(SimProtocol p, std::size_t n, std::chrono::milliseconds timeout) const {
    return waitUntil(timeout, [&](const State& s) { return s.published[index(p)].size() >= n; });
}

bool SimulatorEmulator::waitForReceived(SimProtocol p, unsigned subprotocol, unsigned code, unsigned n,
                                        std::chrono::milliseconds timeout) const {
    return waitUntil(timeout, [&](const State& s) { return s.receivedCount(index(p), subprotocol, code) >= n; });
}

bool SimulatorEmulator::waitForKeepAlives(unsigned n, std::chrono::milliseconds timeout) const {
    return waitUntil(timeout, [&](const State& s) { return s.keepAlives >= n; });
}
