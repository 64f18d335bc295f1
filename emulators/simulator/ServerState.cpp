#include "ServerState.h"

#include "AppProtocol.h"
#include "Log.h"
#include "SimulatorProtocol.h"

#include <algorithm>
#include <sstream>

namespace simemu {

namespace {
using Sim = com_vela::SimulatorProtocol;
using App = com_vela::AppProtocol;
// Patient state of a loaded, not yet started scenario in the patient list.
constexpr unsigned kStateLoaded = 2;
}  // namespace

int index(SimProtocol p) { return p == SimProtocol::SIM ? 0 : 1; }
const char* label(int protocolIndex) { return protocolIndex == 0 ? "SIM" : "APP"; }

Bytes appHeader(unsigned subprotocol, unsigned code) { return messageHeader(App::PROTOCOL, subprotocol, code); }

ServerState::ServerState(const SimulatorEmulatorOptions& options) : opt(options) {
    patientId = opt.patientId;
    sceId = opt.sceId;
    nextPatientId = opt.patientId ? opt.patientId + 1 : 1;
    model.set("HW_PATSPEED", opt.running ? 1.0f : 0.0f);
    model.set("HW_PATMON_ENABLED", opt.enabled ? 1.0f : 0.0f);
}

void logLine(const SimulatorEmulatorOptions& options, const std::string& line) {
    if (options.log) snlog::out() << "SIMEMU> " << line;
}

void ServerState::log(const std::string& line) const { logLine(opt, line); }

unsigned ServerState::idFor(const std::string& name) {
    auto it = ids.find(name);
    if (it != ids.end()) return it->second;
    if (ids.size() >= kMaxNames) {
        if (!namesFullLogged) log("name table full (" + std::to_string(kMaxNames) + "); new names are refused");
        namesFullLogged = true;
        return 0;
    }
    const unsigned id = nextId++;
    ids[name] = id;
    namesById[id] = name;
    if (!model.has(name)) model.set(name, 0);
    return id;
}

void ServerState::markDirty(const std::string& name) {
    if (std::find(dirty.begin(), dirty.end(), name) == dirty.end()) dirty.push_back(name);
}

void ServerState::setValue(const std::string& name, float value) {
    model.set(name, value);
    markDirty(name);
}

void ServerState::setRunning(bool run) { setValue("HW_PATSPEED", run ? 1.0f : 0.0f); }

void ServerState::record(int proto, unsigned kind, const Bytes& body) {
    Received r;
    r.flowControl = kind == com_vela::FRAME_KIND_FLOW_CONTROL;
    r.body = body;
    received[proto].push_back(std::move(r));
    while (received[proto].size() > opt.messageLogSize) received[proto].pop_front();
}

void ServerState::addPublished(int proto, const Published& p) {
    published[proto].push_back(p);
    if (published[proto].size() > kMaxPublished) published[proto].pop_front();
}

void ServerState::unsubscribe(Client& c, const Bytes& body, bool inputs) {
    using L = Sim::Unsubscription;
    static_assert(L::COUNT == App::Unsubscription::COUNT && L::ENTRIES == App::Unsubscription::ENTRIES &&
                      L::ENTRY_SIZE == App::Unsubscription::ENTRY_SIZE,
                  "one layout serves both protocols");
    forEachEntry<L>(body, [&](std::size_t off) {
        if (inputs)
            c.inputs.erase(get32(body, off));
        else
            c.outputs.erase(get32(body, off));
    });
}

void ServerState::broadcast(int proto, const Bytes& frame, Outgoing& out) const {
    for (const auto& c : clients)
        if (c.second.proto == proto) out.emplace_back(c.first, frame);
}

Bytes ServerState::simHeader(unsigned code) const {
    Bytes b = messageHeader(Sim::PROTOCOL, Sim::SUBPROTOCOL, code);
    put32(b, opt.simulatorId << Sim::SIMULATOR_ID_SHIFT);
    return b;
}

Bytes ServerState::event(unsigned code, unsigned pid, unsigned status, const float* speed) const {
    Bytes b = appHeader(App::SUBPROTOCOL_EVENTS, code);
    put32(b, pid);
    if (speed) putFloat(b, *speed);
    put32(b, status);
    return frame(b);
}

Bytes ServerState::runEvent(bool run, unsigned pid) const {
    const float one = 1;
    return run ? event(App::CODE_EVENT_SPEED_MODIFIED, pid, App::STATUS_SUCCESS, &one)
               : event(App::CODE_EVENT_PAUSED, pid, App::STATUS_SUCCESS);
}

Bytes ServerState::patientList() const {
    Bytes b = appHeader(App::SUBPROTOCOL_HANDSHAKE, App::CODE_PATIENT_LIST_RESPONSE);
    put32(b, patientId ? 1 : 0);
    if (patientId) {
        put32(b, patientId);
        put32(b, sceId);
        put32(b, loaded ? kStateLoaded : App::PatientListResponse::STATE_STARTED);
        putFloat(b, isRunning() ? 1.0f : 0.0f);
    }
    return frame(b);
}

void ServerState::startPatient(unsigned pid, Outgoing& out) {
    patientId = pid;
    loaded = false;
    broadcast(kApp, event(App::CODE_EVENT_STARTED, pid, App::STATUS_SUCCESS), out);
}

void ServerState::stopPatient(Outgoing& out) {
    if (!patientId) return;
    broadcast(kApp, event(App::CODE_EVENT_STOPPED, patientId, App::STATUS_SUCCESS), out);
    patientId = 0;
    loaded = false;
    for (auto& c : clients)
        if (c.second.proto == kApp) {
            c.second.inputs.clear();
            c.second.outputs.clear();
        }
}

// ---- queries ----

unsigned ServerState::clientCount(int proto) const {
    unsigned n = 0;
    for (const auto& c : clients) n += c.second.proto == proto;
    return n;
}

std::set<unsigned> ServerState::subscribedIds(int proto) const {
    std::set<unsigned> subs;
    for (const auto& c : clients)
        if (c.second.proto == proto)
            for (const auto& kv : c.second.inputs) subs.insert(kv.first);
    return subs;
}

std::vector<std::string> ServerState::subscribedNames(int proto) const {
    std::set<std::string> names;
    for (unsigned id : subscribedIds(proto)) {
        auto it = namesById.find(id);
        names.insert(it == namesById.end() ? std::string() : it->second);
    }
    return std::vector<std::string>(names.begin(), names.end());
}

unsigned ServerState::receivedCount(int proto, unsigned subprotocol, unsigned code) const {
    unsigned n = 0;
    for (const auto& r : received[proto])
        if (!r.flowControl && r.subprotocol() == subprotocol && r.code() == code) ++n;
    return n;
}

bool ServerState::lastPublished(int proto, const std::string& name, Published& out) const {
    const auto& v = published[proto];
    for (auto it = v.rbegin(); it != v.rend(); ++it)
        if (it->name == name) {
            out = *it;
            return true;
        }
    return false;
}

unsigned ServerState::serverId(const std::string& name) const {
    auto it = ids.find(name);
    return it == ids.end() ? 0 : it->second;
}

std::string ServerState::statusLine(int proto, bool refusing) const {
    std::ostringstream s;
    s << label(proto) << ": " << clientCount(proto) << " client(s), " << subscribedIds(proto).size()
      << " input(s) subscribed, " << published[proto].size() << " value(s) published";
    if (proto == 0)
        s << ", HW_PATSPEED " << model.value("HW_PATSPEED") << ", HW_PATMON_ENABLED "
          << model.value("HW_PATMON_ENABLED");
    else
        s << ", patient " << patientId << (loaded ? " (loaded)" : "") << ", HRPM " << model.value("HRPM")
          << ", keep-alives " << keepAlives;
    if (refusing) s << ", refusing connections";
    return s.str();
}

}  // namespace simemu
