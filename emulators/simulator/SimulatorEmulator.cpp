#include "SimulatorEmulator.h"

#include "AppProtocol.h"
#include "EmulatorWire.h"
#include "PatientModel.h"
#include "ScenarioScript.h"
#include "SimulatorProtocol.h"
#include "SocketFlags.h"

#include <algorithm>
#include <arpa/inet.h>
#include <atomic>
#include <cerrno>
#include <cmath>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <netinet/in.h>
#include <poll.h>
#include <set>
#include <sstream>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

using namespace simemu;

namespace {

// The client library's message codes and layouts, so that both ends share
// one copy of them.
using Sim = com_vela::SimulatorProtocol;
using App = com_vela::AppProtocol;
// Patient state of a loaded, not yet started scenario in the patient list.
constexpr unsigned kStateLoaded = 2;

constexpr std::size_t kMaxEntriesPerUpdate = 400;
// Bounds against a client that sends names or values without end.
constexpr std::size_t kMaxNames = 10000;
constexpr std::size_t kMaxPublished = 100000;

int index(SimProtocol p) { return p == SimProtocol::SIM ? 0 : 1; }
const char* label(int i) { return i == 0 ? "SIM" : "APP"; }

std::vector<std::string> words(const std::string& line) {
    std::istringstream in(line);
    std::vector<std::string> out;
    std::string w;
    while (in >> w) out.push_back(w);
    return out;
}

bool parseFloat(const std::string& s, float& out) {
    char* end = nullptr;
    double v = std::strtod(s.c_str(), &end);
    if (end == s.c_str() || *end != 0 || !std::isfinite(v)) return false;
    out = float(v);
    return true;
}

bool parseUnsigned(const std::string& s, unsigned& out) {
    if (s.empty() || s.size() > 9 || s.find_first_not_of("0123456789") != std::string::npos) return false;
    out = unsigned(std::stoul(s));
    return true;
}

}  // namespace

struct Conn {
    int fd = -1;
    int proto = 0;
    std::thread reader;
    std::atomic<bool> closing{false};
    std::atomic<bool> finished{false};
    // Guarded by writeMutex.
    std::mutex writeMutex;
    long dropLeft = 0;          // frames still to send before closing (0: off)
    bool stallArmed = false;
    bool stalled = false;
    Bytes stallRest;
    // Guarded by Impl::mu.
    std::map<unsigned, bool> inputs;   // server id -> sent as integer (SIM)
    std::set<unsigned> outputs;

    ~Conn() {
        if (fd >= 0) ::close(fd);
    }
    void shut() {
        closing = true;
        ::shutdown(fd, SHUT_RDWR);
    }
};
using ConnPtr = std::shared_ptr<Conn>;
using Outgoing = std::vector<std::pair<ConnPtr, Bytes>>;

struct SimulatorEmulator::Impl {
    Options opt;
    mutable std::mutex mu;
    mutable std::condition_variable cv;
    std::mutex logMutex;

    PatientModel model;
    std::map<std::string, unsigned> ids;
    std::map<unsigned, std::string> namesById;
    unsigned nextId = 101;
    std::vector<std::string> dirty;   // changed since the last tick, in order
    std::set<std::string> outputs[2];

    std::vector<ConnPtr> conns;
    std::deque<Received> received[2];
    std::deque<Published> published[2];
    bool namesFullLogged = false;
    unsigned accepted[2] = {0, 0};
    unsigned keepAlives = 0;
    unsigned malformed = 0;
    bool refuse[2] = {false, false};
    bool down = false;
    long dropSetting[2] = {0, 0};
    bool quit = false;

    unsigned patientId = 0;
    unsigned sceId = 0;
    bool loaded = false;      // loaded, not yet started
    unsigned nextPatientId = 1;

    std::vector<ScenarioLine> script;
    std::size_t scriptNext = 0;
    std::chrono::steady_clock::time_point scriptStart;

    std::atomic<bool> stopping{false};
    bool started = false;
    int listenFd[2] = {-1, -1};
    std::thread listeners[2];
    std::thread ticker;

    explicit Impl(Options o) : opt(std::move(o)) {
        patientId = opt.patientId;
        sceId = opt.sceId;
        nextPatientId = opt.patientId ? opt.patientId + 1 : 1;
        model.set("HW_PATSPEED", opt.running ? 1.0f : 0.0f);
        model.set("HW_PATMON_ENABLED", opt.enabled ? 1.0f : 0.0f);
    }

    void log(const std::string& line) {
        if (!opt.log) return;
        std::lock_guard<std::mutex> g(logMutex);
        *opt.log << "SIMEMU> " << line << std::endl;
    }

    bool isRunning() const { return model.value("HW_PATSPEED") == 1.0f; }

    // 0 when the name table is full.
    unsigned idFor(const std::string& name) {
        auto it = ids.find(name);
        if (it != ids.end()) return it->second;
        if (ids.size() >= kMaxNames) {
            if (!namesFullLogged) log("name table full (" + std::to_string(kMaxNames) + "); new names are refused");
            namesFullLogged = true;
            return 0;
        }
        unsigned id = nextId++;
        ids[name] = id;
        namesById[id] = name;
        if (!model.has(name)) model.set(name, 0);
        return id;
    }

    void addPublished(int i, const Published& p) {
        published[i].push_back(p);
        if (published[i].size() > kMaxPublished) published[i].pop_front();
    }

    // Both protocols' publish requests: the mode, the count, then entries of
    // a server id and a value (`value` reads it from the entry's offset).
    template <typename L, typename Value>
    void recordPublished(int i, const Bytes& body, Value value) {
        const std::uint32_t mode = get32(body, L::MODE);
        forEachEntry<L>(body, [&](std::size_t off) {
            Published p;
            p.serverId = get32(body, off + L::ENTRY_ID);
            auto it = namesById.find(p.serverId);
            if (it != namesById.end()) p.name = it->second;
            p.value = value(off);
            p.mode = mode;
            addPublished(i, p);
            log(std::string(label(i)) + " published " +
                (p.name.empty() ? "#" + std::to_string(p.serverId) : p.name) + " = " + std::to_string(p.value));
        });
    }

    void markDirty(const std::string& name) {
        if (std::find(dirty.begin(), dirty.end(), name) == dirty.end()) dirty.push_back(name);
    }

    // ---- sockets ----

    int openListener(int i, std::string* error) {
        int fd = ::socket(AF_INET, SOCK_STREAM, 0);
        if (fd < 0) {
            if (error) *error = std::string("socket: ") + std::strerror(errno);
            return -1;
        }
        int one = 1;
        ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(i == 0 ? opt.simPort : opt.appPort);
        if (::inet_pton(AF_INET, opt.address.c_str(), &a.sin_addr) != 1) {
            if (error) *error = "bad address " + opt.address;
            ::close(fd);
            return -1;
        }
        if (::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd, 16) != 0) {
            if (error)
                *error = std::string("cannot listen on ") + opt.address + ":" +
                         std::to_string(ntohs(a.sin_port)) + ": " + std::strerror(errno);
            ::close(fd);
            return -1;
        }
        return fd;
    }

    void listenLoop(int i) {
        bool warned = false;
        while (!stopping) {
            bool want;
            {
                std::lock_guard<std::mutex> g(mu);
                want = !refuse[i] && !down;
            }
            if (want && listenFd[i] < 0) {
                std::string why;
                listenFd[i] = openListener(i, &why);
                if (listenFd[i] < 0) {
                    if (!warned) log(std::string(label(i)) + " " + why + " (retrying)");
                    warned = true;
                    std::this_thread::sleep_for(opt.listenRetry);
                    continue;
                }
                warned = false;
                log(std::string(label(i)) + " listening again");
            }
            if (!want && listenFd[i] >= 0) {
                ::close(listenFd[i]);
                listenFd[i] = -1;
                log(std::string(label(i)) + " listener closed");
            }
            reap();
            if (listenFd[i] < 0) {
                std::this_thread::sleep_for(opt.acceptPoll);
                continue;
            }
            pollfd pf{listenFd[i], POLLIN, 0};
            if (::poll(&pf, 1, static_cast<int>(opt.acceptPoll.count())) <= 0 || !(pf.revents & POLLIN)) continue;
            int fd = ::accept(listenFd[i], nullptr, nullptr);
            if (fd < 0) continue;
            suppressSigPipe(fd);
            timeval tv{static_cast<time_t>(opt.writeBound.count() / 1000),
                       static_cast<suseconds_t>(opt.writeBound.count() % 1000 * 1000)};
            ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
            auto c = std::make_shared<Conn>();
            c->fd = fd;
            c->proto = i;
            {
                std::lock_guard<std::mutex> g(mu);
                c->dropLeft = dropSetting[i];
                conns.push_back(c);
                ++accepted[i];
            }
            log(std::string(label(i)) + " client connected");
            c->reader = std::thread([this, c] { readLoop(c); });
            cv.notify_all();
        }
        if (listenFd[i] >= 0) ::close(listenFd[i]);
        listenFd[i] = -1;
    }

    void reap() {
        std::vector<ConnPtr> done;
        {
            std::lock_guard<std::mutex> g(mu);
            for (auto it = conns.begin(); it != conns.end();) {
                if ((*it)->finished) {
                    done.push_back(*it);
                    it = conns.erase(it);
                } else {
                    ++it;
                }
            }
        }
        for (auto& c : done)
            if (c->reader.joinable()) c->reader.join();
        if (!done.empty()) cv.notify_all();
    }

    // Reads exactly n bytes; false on end, error or stop.
    bool readExact(const ConnPtr& c, std::uint8_t* dst, std::size_t n) {
        std::size_t got = 0;
        while (got < n) {
            if (stopping || c->closing) return false;
            pollfd pf{c->fd, POLLIN, 0};
            int r = ::poll(&pf, 1, static_cast<int>(opt.readPoll.count()));
            if (r < 0 && errno != EINTR) return false;
            if (r <= 0) continue;
            ssize_t k = ::recv(c->fd, dst + got, n - got, 0);
            if (k <= 0) return false;
            got += std::size_t(k);
        }
        return true;
    }

    void readLoop(ConnPtr c) {
        std::uint8_t header[kFrameHeaderSize];
        while (readExact(c, header, sizeof header)) {
            FrameHeader h;
            std::string why;
            if (!parseFrameHeader(header, sizeof header, h, why)) {
                log(std::string(label(c->proto)) + " bad frame from client (" + why + "); closing it");
                std::lock_guard<std::mutex> g(mu);
                ++malformed;
                break;
            }
            Bytes body(h.frameLength - kFrameHeaderSize);
            if (!readExact(c, body.data(), body.size())) break;
            Outgoing out;
            {
                std::lock_guard<std::mutex> g(mu);
                handleFrameLocked(c, h.kind, body, out);
            }
            cv.notify_all();
            deliver(out);
        }
        c->shut();
        c->finished = true;
        log(std::string(label(c->proto)) + " client gone");
        cv.notify_all();
    }

    // One frame of a client: recorded and answered. The caller holds mu.
    void handleFrameLocked(const ConnPtr& c, unsigned kind, const Bytes& body, Outgoing& out) {
        record(c->proto, kind, body);
        if (c->proto == 0)
            handleSim(c, kind, body, out);
        else
            handleApp(c, kind, body, out);
    }

    void record(int i, unsigned kind, const Bytes& body) {
        Received r;
        r.flowControl = kind == com_vela::FRAME_KIND_FLOW_CONTROL;
        r.frameKind = kind;
        r.body = body;
        received[i].push_back(std::move(r));
        while (received[i].size() > opt.messageLogSize) received[i].pop_front();
    }

    void writeAll(const ConnPtr& c, const std::uint8_t* data, std::size_t n) {
        std::size_t done = 0;
        while (done < n) {
            ssize_t k = ::send(c->fd, data + done, n - done, kSendNoSignal);
            if (k <= 0) {
                if (k < 0 && errno == EINTR) continue;
                c->shut();
                return;
            }
            done += std::size_t(k);
        }
    }

    void sendFrameTo(const ConnPtr& c, const Bytes& f) {
        std::lock_guard<std::mutex> g(c->writeMutex);
        if (c->closing || c->stalled) return;
        if (c->stallArmed && f.size() > kFrameHeaderSize) {
            std::size_t part = kFrameHeaderSize + (f.size() - kFrameHeaderSize) / 2;
            writeAll(c, f.data(), part);
            c->stallRest.assign(f.begin() + long(part), f.end());
            c->stallArmed = false;
            c->stalled = true;
            return;
        }
        writeAll(c, f.data(), f.size());
        if (c->dropLeft > 0 && --c->dropLeft == 0) {
            log(std::string(label(c->proto)) + " dropping a connection as asked");
            c->shut();
        }
    }

    void deliver(const Outgoing& out) {
        for (const auto& o : out) sendFrameTo(o.first, o.second);
    }

    std::vector<ConnPtr> live(int i) const {
        std::vector<ConnPtr> v;
        for (const auto& c : conns)
            if (c->proto == i && !c->closing) v.push_back(c);
        return v;
    }

    void broadcast(int i, const Bytes& f, Outgoing& out) const {
        for (auto& c : live(i)) out.emplace_back(c, f);
    }

    // ---- SIM protocol ----

    Bytes simHeader(unsigned code) const {
        Bytes b = messageHeader(Sim::PROTOCOL, Sim::SUBPROTOCOL, code);
        put32(b, opt.simulatorId << Sim::SIMULATOR_ID_SHIFT);
        return b;
    }

    void handleSim(const ConnPtr& c, unsigned kind, const Bytes& body, Outgoing& out) {
        if (kind != com_vela::FRAME_KIND_DATA || body.size() < kMessageHeaderSize) {
            ++malformed;
            log("SIM frame of kind " + std::to_string(kind) + " and " + std::to_string(body.size()) +
                " bytes ignored");
            return;
        }
        unsigned code = messageCode(body);
        if (messageProtocol(body) != Sim::PROTOCOL || messageSubprotocol(body) != Sim::SUBPROTOCOL) {
            log("SIM message of protocol " + std::to_string(messageProtocol(body)) + "/" +
                std::to_string(messageSubprotocol(body)) + " ignored");
            return;
        }
        switch (code) {
        case Sim::CODE_INPUT_SUBSCRIPTION: {
            using L = Sim::InputSubscription;
            Bytes r = simHeader(Sim::CODE_SUBSCRIBE_RESPONSE);
            put32(r, 0);
            std::uint32_t count = 0;
            forEachEntry<L>(body, [&](std::size_t off) {
                bool isInt = get32(body, off + L::ENTRY_IS_INT) != 0;
                std::string name = getName(body, off + L::ENTRY_NAME);
                unsigned id = idFor(name);
                if (!id) return;
                c->inputs[id] = isInt;
                put32(r, id);
                put32(r, 0);
                put32(r, 0);
                put32(r, isInt ? 1 : 0);
                float v = model.value(name);
                if (isInt) put32(r, std::uint32_t(std::int32_t(v))); else putFloat(r, v);
                putName(r, name);
                ++count;
            });
            set32(r, Sim::SubscribeResponse::COUNT, count);
            log("SIM subscription of " + std::to_string(count) + " inputs");
            if (opt.answerSubscriptions) out.emplace_back(c, frame(r));
            break;
        }
        case Sim::CODE_OUTPUT_SUBSCRIPTION: {
            using L = Sim::OutputSubscription;
            Bytes r = simHeader(Sim::CODE_PUBLISH_RESPONSE);
            put32(r, 0);
            std::uint32_t count = 0;
            forEachEntry<L>(body, [&](std::size_t off) {
                std::string name = getName(body, off + L::ENTRY_NAME);
                unsigned id = idFor(name);
                if (!id) return;
                c->outputs.insert(id);
                outputs[0].insert(name);
                put32(r, id);
                for (int k = 0; k < 3; ++k) put32(r, 0);
                putName(r, name);
                ++count;
            });
            set32(r, Sim::PublishResponse::COUNT, count);
            if (opt.answerSubscriptions) out.emplace_back(c, frame(r));
            break;
        }
        case Sim::CODE_PUBLISH: {
            using L = Sim::Publish;
            recordPublished<L>(0, body, [&](std::size_t off) {
                return get32(body, off + L::ENTRY_KIND) ? float(std::int32_t(get32(body, off + L::ENTRY_VALUE)))
                                                        : getFloat(body, off + L::ENTRY_VALUE);
            });
            break;
        }
        case Sim::CODE_INPUT_UNSUBSCRIPTION:
        case Sim::CODE_OUTPUT_UNSUBSCRIPTION:
            unsubscribe(*c, body, code == Sim::CODE_INPUT_UNSUBSCRIPTION);
            break;
        case Sim::CODE_VERSION_REQUEST: {
            Bytes r = simHeader(Sim::CODE_VERSION_RESPONSE);
            putName(r, opt.serverVersion, Sim::VersionResponse::TEXT_SIZE);
            put32(r, 2);  // protocol version
            put32(r, Sim::VersionResponse::STATUS_VALID);
            if (opt.answerVersion) out.emplace_back(c, frame(r));
            break;
        }
        default:
            log("SIM message code " + std::to_string(code) + " unknown; ignored");
        }
    }

    // ---- APP protocol ----

    static Bytes appHeader(unsigned sub, unsigned code) { return messageHeader(App::PROTOCOL, sub, code); }

    // Both protocols' unsubscription requests: server ids after the count.
    static void unsubscribe(Conn& c, const Bytes& body, bool inputs) {
        using L = Sim::Unsubscription;
        static_assert(L::COUNT == App::Unsubscription::COUNT && L::ENTRIES == App::Unsubscription::ENTRIES &&
                          L::ENTRY_SIZE == App::Unsubscription::ENTRY_SIZE,
                      "one layout serves both protocols");
        forEachEntry<L>(body, [&](std::size_t off) {
            if (inputs) c.inputs.erase(get32(body, off)); else c.outputs.erase(get32(body, off));
        });
    }

    Bytes event(unsigned code, unsigned pid, unsigned status, const float* speed = nullptr) const {
        Bytes b = appHeader(App::SUBPROTOCOL_EVENTS, code);
        put32(b, pid);
        if (speed) putFloat(b, *speed);
        put32(b, status);
        return frame(b);
    }

    Bytes patientList() const {
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

    void setRunning(bool run) {
        model.set("HW_PATSPEED", run ? 1.0f : 0.0f);
        markDirty("HW_PATSPEED");
    }

    void startPatient(unsigned pid, Outgoing& out) {
        patientId = pid;
        loaded = false;
        broadcast(1, event(App::CODE_EVENT_STARTED, pid, App::STATUS_SUCCESS), out);
    }

    void stopPatient(Outgoing& out) {
        if (!patientId) return;
        broadcast(1, event(App::CODE_EVENT_STOPPED, patientId, App::STATUS_SUCCESS), out);
        patientId = 0;
        loaded = false;
        for (auto& c : conns)
            if (c->proto == 1) {
                c->inputs.clear();
                c->outputs.clear();
            }
    }

    void handleApp(const ConnPtr& c, unsigned kind, const Bytes& body, Outgoing& out) {
        if (kind == com_vela::FRAME_KIND_FLOW_CONTROL) {
            std::uint32_t type = get32(body, App::FlowControl::TYPE);
            if (body.size() < App::FlowControl::TYPE + 4) {
                ++malformed;
                log("APP flow-control frame of " + std::to_string(body.size()) + " bytes ignored");
            } else if (type == App::FLOW_CONTROL_REQUEST) {
                log("APP flow-control request");
                if (opt.grantFlowControl) {
                    Bytes g;
                    put32(g, App::FLOW_CONTROL_GRANT);
                    for (int k = 0; k < 4; ++k) put32(g, 0xFFFFFFFF);
                    out.emplace_back(c, frame(g, com_vela::FRAME_KIND_FLOW_CONTROL));
                }
            } else if (type == App::FLOW_CONTROL_KEEP_ALIVE) {
                ++keepAlives;
            } else {
                log("APP flow-control type " + std::to_string(type) + " ignored");
            }
            return;
        }
        if (kind != com_vela::FRAME_KIND_DATA || body.size() < kMessageHeaderSize) {
            ++malformed;
            log("APP frame of kind " + std::to_string(kind) + " and " + std::to_string(body.size()) +
                " bytes ignored");
            return;
        }
        unsigned sub = messageSubprotocol(body);
        unsigned code = messageCode(body);
        if (sub == App::SUBPROTOCOL_HANDSHAKE) {
            if (code == App::CODE_PATIENT_LIST_REQUEST && opt.answerPatientList)
                out.emplace_back(c, patientList());
            else if (code == App::CODE_EVENTS_SUBSCRIPTION)
                log("APP events subscription, mode " +
                    std::to_string(std::int32_t(get32(body, App::EventsSubscription::MODE))));
            else if (code != App::CODE_PATIENT_LIST_REQUEST)
                log("APP message 1/" + std::to_string(code) + " unknown; ignored");
            return;
        }
        if (messageProtocol(body) == App::CALIBRATION_PROTOCOL && sub == App::CALIBRATION_SUBPROTOCOL) {
            log("APP Sentrel calibration command " + std::to_string(get32(body, App::Command::ARGUMENT)) + " " +
                std::to_string(get32(body, App::Command::SECOND_ARGUMENT)));
            return;
        }
        if (sub != App::SUBPROTOCOL_PATIENT) {
            log("APP message " + std::to_string(sub) + "/" + std::to_string(code) + " unknown; ignored");
            return;
        }
        std::uint32_t pid = get32(body, App::PATIENT_ID);
        switch (code) {
        case App::CODE_INPUT_SUBSCRIPTION: {
            using L = App::InputSubscription;
            if (pid != patientId || !pid) {
                log("APP input subscription for patient " + std::to_string(pid) + " not active; ignored");
                return;
            }
            Bytes r = appHeader(App::SUBPROTOCOL_PATIENT, App::CODE_SUBSCRIBE_RESPONSE);
            put32(r, pid);
            put32(r, 0);
            std::uint32_t count = 0;
            forEachEntry<L>(body, [&](std::size_t off) {
                std::string name = getName(body, off + L::ENTRY_NAME);
                unsigned id = idFor(name);
                if (!id) return;
                c->inputs[id] = false;
                put32(r, id);
                put32(r, 0);
                put32(r, 0);
                putFloat(r, model.value(name));
                putName(r, name);
                ++count;
            });
            set32(r, App::SubscribeResponse::COUNT, count);
            log("APP subscription of " + std::to_string(count) + " inputs");
            if (opt.answerSubscriptions) out.emplace_back(c, frame(r));
            return;
        }
        case App::CODE_OUTPUT_SUBSCRIPTION: {
            using L = App::OutputSubscription;
            if (pid != patientId || !pid) {
                log("APP output subscription for patient " + std::to_string(pid) + " not active; ignored");
                return;
            }
            Bytes r = appHeader(App::SUBPROTOCOL_PATIENT, App::CODE_PUBLISH_RESPONSE);
            put32(r, pid);
            put32(r, 0);
            std::uint32_t count = 0;
            forEachEntry<L>(body, [&](std::size_t off) {
                std::string name = getName(body, off + L::ENTRY_NAME);
                unsigned id = idFor(name);
                if (!id) return;
                c->outputs.insert(id);
                outputs[1].insert(name);
                put32(r, id);
                put32(r, 0);
                put32(r, 0);
                putName(r, name);
                ++count;
            });
            set32(r, App::PublishResponse::COUNT, count);
            if (opt.answerSubscriptions) out.emplace_back(c, frame(r));
            return;
        }
        case App::CODE_PUBLISH:
        case App::CODE_PUBLISH_NO_LOG: {
            using L = App::Publish;
            recordPublished<L>(1, body, [&](std::size_t off) { return getFloat(body, off + L::ENTRY_VALUE); });
            return;
        }
        case App::CODE_SIGNAL_PARAMETER: {
            using L = App::SignalParameter;
            if (body.size() < L::SIZE) {
                ++malformed;
                log("APP signal parameter of " + std::to_string(body.size()) + " bytes ignored");
                return;
            }
            Published p;
            p.serverId = get32(body, L::SERVER_ID);
            auto it = namesById.find(p.serverId);
            if (it != namesById.end()) p.name = it->second;
            p.value = getFloat(body, L::VALUE);
            p.signal = true;
            p.signalWord = get32(body, L::SIGNAL);
            addPublished(1, p);
            return;
        }
        case App::CODE_INPUT_UNSUBSCRIPTION:
        case App::CODE_OUTPUT_UNSUBSCRIPTION:
            unsubscribe(*c, body, code == App::CODE_INPUT_UNSUBSCRIPTION);
            return;
        case App::CODE_VERSION_REQUEST: {
            Bytes r = appHeader(App::SUBPROTOCOL_PATIENT, App::CODE_VERSION_RESPONSE);
            putName(r, opt.serverVersion, App::VersionResponse::TEXT_SIZE);
            put32(r, 0);
            put32(r, App::STATUS_SUCCESS);
            if (opt.answerVersion) out.emplace_back(c, frame(r));
            return;
        }
        default:
            break;
        }
        if (!opt.answerScenario) return;
        switch (code) {
        case App::CODE_LOAD_SCENARIO: {
            unsigned sce = get32(body, App::LoadScenario::SCE_ID);
            Bytes r = appHeader(App::SUBPROTOCOL_PATIENT, App::CODE_LOAD_RESPONSE);
            put32(r, 0);
            put32(r, sce);
            if (patientId) {
                put32(r, patientId);
                put32(r, 0);
            } else {
                patientId = nextPatientId++;
                sceId = sce;
                loaded = true;
                put32(r, patientId);
                put32(r, 1);
            }
            out.emplace_back(c, frame(r));
            break;
        }
        case App::CODE_START_LOADED: {
            bool ok = loaded && pid == patientId && pid != 0;
            Bytes r = appHeader(App::SUBPROTOCOL_PATIENT, App::CODE_START_RESPONSE);
            put32(r, pid);
            put32(r, ok ? 1 : 0);
            out.emplace_back(c, frame(r));
            if (ok) startPatient(pid, out);
            break;
        }
        case App::CODE_RUN_TRAINING_CASE: {
            unsigned sce = get32(body, App::RunTrainingCase::SCE_ID);
            unsigned secondary = get32(body, App::RunTrainingCase::SECONDARY_ID);
            bool ok = patientId == 0;
            if (ok) {
                sceId = sce;
                startPatient(nextPatientId++, out);
            }
            Bytes r = appHeader(App::SUBPROTOCOL_PATIENT, App::CODE_RUN_TRAINING_CASE_RESPONSE);
            put32(r, sce);
            put32(r, secondary);
            put32(r, patientId);
            put32(r, ok ? 1 : 0);
            out.emplace_back(c, frame(r));
            break;
        }
        case App::CODE_CHANGE_SPEED: {
            float speed = getFloat(body, App::Command::ARGUMENT);
            if (pid == patientId && pid) {
                setRunning(speed > 0);
                broadcast(1, event(App::CODE_EVENT_SPEED_MODIFIED, pid, App::STATUS_SUCCESS, &speed), out);
            }
            break;
        }
        case App::CODE_PAUSE:
            if (pid == patientId && pid) {
                bool pause = get32(body, App::Command::ARGUMENT) != 0;
                setRunning(!pause);
                if (pause) {
                    broadcast(1, event(App::CODE_EVENT_PAUSED, pid, App::STATUS_SUCCESS), out);
                } else {
                    float one = 1;
                    broadcast(1, event(App::CODE_EVENT_SPEED_MODIFIED, pid, App::STATUS_SUCCESS, &one), out);
                }
            }
            break;
        case App::CODE_STOP_SCENARIO:
            if (pid == patientId) stopPatient(out);
            break;
        default:
            log("APP command " + std::to_string(code) + " for patient " + std::to_string(pid) + " recorded");
        }
    }

    // ---- periodic updates ----

    void tickOnce(double seconds, Outgoing& out) {
        std::map<std::string, std::vector<float>> samples;
        if (isRunning() && patientId && !loaded) model.advance(seconds, samples);
        if (!opt.sendUpdates) {
            dirty.clear();
            return;
        }
        for (const auto& c : conns) {
            if (c->closing || c->inputs.empty()) continue;
            std::vector<std::pair<unsigned, float>> entries;
            for (const auto& name : dirty) {
                auto it = ids.find(name);
                if (it == ids.end() || !c->inputs.count(it->second)) continue;
                if (model.isSim(name) != (c->proto == 0)) continue;
                entries.emplace_back(it->second, model.value(name));
            }
            if (c->proto == 1) {
                for (const auto& s : samples) {
                    auto it = ids.find(s.first);
                    if (it == ids.end() || !c->inputs.count(it->second)) continue;
                    for (float v : s.second) entries.emplace_back(it->second, v);
                }
            }
            for (std::size_t start = 0; start < entries.size(); start += kMaxEntriesPerUpdate) {
                std::size_t end = std::min(entries.size(), start + kMaxEntriesPerUpdate);
                Bytes b;
                if (c->proto == 0) {
                    b = simHeader(Sim::CODE_PUBLISH);
                    put32(b, 0);
                    put32(b, std::uint32_t(end - start));
                    for (std::size_t k = start; k < end; ++k) {
                        bool isInt = c->inputs[entries[k].first];
                        put32(b, entries[k].first);
                        put32(b, isInt ? 1 : 0);
                        if (isInt) put32(b, std::uint32_t(std::int32_t(entries[k].second)));
                        else putFloat(b, entries[k].second);
                    }
                } else {
                    b = appHeader(App::SUBPROTOCOL_PATIENT, App::CODE_PUBLISH);
                    put32(b, patientId);
                    put32(b, 0);
                    put32(b, std::uint32_t(end - start));
                    for (std::size_t k = start; k < end; ++k) {
                        put32(b, entries[k].first);
                        putFloat(b, entries[k].second);
                    }
                }
                out.emplace_back(c, frame(b));
            }
        }
        dirty.clear();
    }

    void tickLoop() {
        auto next = std::chrono::steady_clock::now();
        const double seconds = std::chrono::duration<double>(opt.tick).count();
        while (!stopping) {
            next += opt.tick;
            std::vector<std::string> due;
            {
                std::unique_lock<std::mutex> lk(mu);
                cv.wait_until(lk, next, [this] { return stopping.load(); });
                if (stopping) break;
                double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() - scriptStart).count();
                while (scriptNext < script.size() && script[scriptNext].at <= elapsed)
                    due.push_back(script[scriptNext++].command);
            }
            for (const auto& cmd : due) {
                std::string reply = execute(cmd);
                log("script: " + cmd + " -> " + reply);
            }
            Outgoing out;
            {
                std::lock_guard<std::mutex> g(mu);
                tickOnce(seconds, out);
            }
            deliver(out);
            cv.notify_all();
            auto now = std::chrono::steady_clock::now();
            if (now - next > opt.maxTickLag) next = now;  // fell behind: do not burst
        }
    }

    // ---- console words ----

    bool which(const std::string& w, bool sel[2]) {
        sel[0] = w == "sim" || w == "all";
        sel[1] = w == "app" || w == "all";
        return sel[0] || sel[1];
    }

    std::string execute(const std::string& line) {
        auto w = words(line);
        if (w.empty() || w[0][0] == '#') return "ok";
        Outgoing out;
        std::string reply = "ok";
        {
            std::lock_guard<std::mutex> g(mu);
            reply = executeLocked(w, out);
        }
        deliver(out);
        cv.notify_all();
        return reply;
    }

    std::string executeLocked(const std::vector<std::string>& w, Outgoing& out) {
        const std::string& cmd = w[0];
        bool sel[2] = {false, false};
        if (cmd == "set") {
            float v;
            if (w.size() != 3 || !parseFloat(w[2], v)) return "error: usage: set NAME VALUE";
            if (w[1].size() > 31) return "error: names have at most 31 characters";
            if (!idFor(w[1])) return "error: too many names";
            model.set(w[1], v);
            markDirty(w[1]);
            return "ok";
        }
        if (cmd == "run" || cmd == "pause") {
            bool run = cmd == "run";
            setRunning(run);
            if (patientId && !loaded) {
                float one = 1;
                broadcast(1,
                          run ? event(App::CODE_EVENT_SPEED_MODIFIED, patientId, App::STATUS_SUCCESS, &one)
                              : event(App::CODE_EVENT_PAUSED, patientId, App::STATUS_SUCCESS),
                          out);
            }
            return "ok";
        }
        if (cmd == "enable" || cmd == "disable") {
            model.set("HW_PATMON_ENABLED", cmd == "enable" ? 1.0f : 0.0f);
            markDirty("HW_PATMON_ENABLED");
            return "ok";
        }
        if (cmd == "calib") {
            float a, b;
            if (w.size() != 3 || !parseFloat(w[1], a) || !parseFloat(w[2], b)) return "error: usage: calib ACTION ARG";
            model.set("HW_PATMON_CALIB_ARG1", b);
            model.set("HW_PATMON_CALIB_ACTION", a);
            markDirty("HW_PATMON_CALIB_ACTION");
            markDirty("HW_PATMON_CALIB_ARG1");
            return "ok";
        }
        if (cmd == "start") {
            if (patientId && !loaded) return "error: a patient is already active";
            startPatient(patientId ? patientId : nextPatientId++, out);
            return "ok";
        }
        if (cmd == "stop") {
            if (!patientId) return "error: no patient is active";
            stopPatient(out);
            return "ok";
        }
        if (cmd == "refuse" || cmd == "stall") {
            if (w.size() != 3 || !which(w[1], sel) || (w[2] != "on" && w[2] != "off"))
                return "error: usage: " + cmd + " sim|app|all on|off";
            bool on = w[2] == "on";
            for (int i = 0; i < 2; ++i) {
                if (!sel[i]) continue;
                if (cmd == "refuse") {
                    refuse[i] = on;
                    continue;
                }
                for (auto& c : live(i)) {
                    std::lock_guard<std::mutex> g(c->writeMutex);
                    c->stallArmed = on;
                    if (!on && c->stalled) {
                        c->stalled = false;
                        Bytes rest;
                        rest.swap(c->stallRest);
                        writeAll(c, rest.data(), rest.size());
                    }
                }
            }
            return "ok";
        }
        if (cmd == "drop") {
            unsigned n;
            if (w.size() != 3 || !which(w[1], sel) || !parseUnsigned(w[2], n)) return "error: usage: drop sim|app|all N";
            for (int i = 0; i < 2; ++i) {
                if (!sel[i]) continue;
                dropSetting[i] = long(n);
                for (auto& c : live(i)) {
                    std::lock_guard<std::mutex> g(c->writeMutex);
                    c->dropLeft = long(n);
                }
            }
            return "ok";
        }
        if (cmd == "badheader" || cmd == "kick") {
            if (w.size() != 2 || !which(w[1], sel)) return "error: usage: " + cmd + " sim|app|all";
            for (int i = 0; i < 2; ++i) {
                if (!sel[i]) continue;
                for (auto& c : live(i)) {
                    if (cmd == "kick") {
                        c->shut();
                    } else {
                        Bytes bad = frame(Bytes{0, 0, 0, 0});
                        set32(bad, 0, 8);
                        out.emplace_back(c, bad);
                    }
                }
            }
            return "ok";
        }
        if (cmd == "down" || cmd == "up") {
            down = cmd == "down";
            if (down)
                for (auto& c : conns) c->shut();
            return "ok";
        }
        if (cmd == "status") return statusLine(0) + "\n" + statusLine(1);
        if (cmd == "quit") {
            quit = true;
            return "ok";
        }
        if (cmd == "help") return SimulatorEmulator::helpText();
        return "error: unknown word '" + cmd + "' (try help)";
    }

    std::string statusLine(int i) const {
        std::ostringstream s;
        unsigned n = unsigned(live(i).size());
        std::set<unsigned> subs;
        for (const auto& c : conns)
            if (c->proto == i)
                for (const auto& kv : c->inputs) subs.insert(kv.first);
        s << label(i) << ": " << n << " client(s), " << subs.size() << " input(s) subscribed, "
          << published[i].size() << " value(s) published";
        if (i == 0)
            s << ", HW_PATSPEED " << model.value("HW_PATSPEED") << ", HW_PATMON_ENABLED "
              << model.value("HW_PATMON_ENABLED");
        else
            s << ", patient " << patientId << (loaded ? " (loaded)" : "") << ", HRPM " << model.value("HRPM")
              << ", keep-alives " << keepAlives;
        if (refuse[i] || down) s << ", refusing connections";
        return s.str();
    }
};

// ---- public interface ----

std::vector<Bytes> SimulatorEmulator::feedClientBytes(SimProtocol p, const Bytes& stream) {
    Impl& m = *impl_;
    auto c = std::make_shared<Conn>();  // no socket: its replies are collected here
    c->proto = index(p);
    std::vector<Bytes> replies;
    std::size_t at = 0;
    while (stream.size() - at >= kFrameHeaderSize) {
        FrameHeader h;
        std::string why;
        if (!parseFrameHeader(stream.data() + at, stream.size() - at, h, why)) {
            std::lock_guard<std::mutex> g(m.mu);
            ++m.malformed;
            break;
        }
        if (stream.size() - at < h.frameLength) break;  // the rest of a frame never came
        const Bytes body(stream.begin() + long(at + kFrameHeaderSize), stream.begin() + long(at + h.frameLength));
        at += h.frameLength;
        Outgoing out;
        {
            std::lock_guard<std::mutex> g(m.mu);
            m.handleFrameLocked(c, h.kind, body, out);
        }
        for (const auto& o : out)
            if (o.first == c) replies.push_back(o.second);
    }
    return replies;
}

SimulatorEmulator::SimulatorEmulator(Options options) : impl_(new Impl(std::move(options))) {}

SimulatorEmulator::~SimulatorEmulator() { stop(); }

bool SimulatorEmulator::start(std::string* error) {
    Impl& m = *impl_;
    if (m.started) return true;
    bool serve[2] = {m.opt.serveSim, m.opt.serveApp};
    for (int i = 0; i < 2; ++i) {
        if (!serve[i]) continue;
        m.listenFd[i] = m.openListener(i, error);
        if (m.listenFd[i] < 0) {
            for (int k = 0; k < i; ++k)
                if (m.listenFd[k] >= 0) {
                    ::close(m.listenFd[k]);
                    m.listenFd[k] = -1;
                }
            return false;
        }
    }
    m.stopping = false;
    m.started = true;
    {
        std::lock_guard<std::mutex> g(m.mu);
        m.scriptStart = std::chrono::steady_clock::now();
    }
    for (int i = 0; i < 2; ++i)
        if (serve[i]) m.listeners[i] = std::thread([&m, i] { m.listenLoop(i); });
    m.ticker = std::thread([&m] { m.tickLoop(); });
    m.log("serving on " + m.opt.address + " (SIM " + std::to_string(m.opt.simPort) + ", APP " +
          std::to_string(m.opt.appPort) + ")");
    return true;
}

void SimulatorEmulator::stop() {
    Impl& m = *impl_;
    if (!m.started) return;
    m.stopping = true;
    m.cv.notify_all();
    for (auto& t : m.listeners)
        if (t.joinable()) t.join();
    if (m.ticker.joinable()) m.ticker.join();
    std::vector<ConnPtr> all;
    {
        std::lock_guard<std::mutex> g(m.mu);
        all.swap(m.conns);
    }
    for (auto& c : all) c->shut();
    for (auto& c : all)
        if (c->reader.joinable()) c->reader.join();
    m.started = false;
    m.cv.notify_all();
}

bool SimulatorEmulator::running() const { return impl_->started; }

std::string SimulatorEmulator::execute(const std::string& line) { return impl_->execute(line); }

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
    std::lock_guard<std::mutex> g(impl_->mu);
    return impl_->quit;
}

bool SimulatorEmulator::loadScenario(const std::string& text, std::string* error) {
    std::vector<ScenarioLine> lines;
    std::string why;
    if (!parseScenario(text, lines, why)) {
        if (error) *error = why;
        return false;
    }
    std::lock_guard<std::mutex> g(impl_->mu);
    impl_->script = std::move(lines);
    impl_->scriptNext = 0;
    impl_->scriptStart = std::chrono::steady_clock::now();
    return true;
}

bool SimulatorEmulator::scenarioFinished() const {
    std::lock_guard<std::mutex> g(impl_->mu);
    return impl_->scriptNext >= impl_->script.size();
}

void SimulatorEmulator::sendFrame(SimProtocol p, const std::vector<std::uint8_t>& body, unsigned kind) {
    Outgoing out;
    {
        std::lock_guard<std::mutex> g(impl_->mu);
        impl_->broadcast(index(p), frame(body, kind), out);
    }
    impl_->deliver(out);
}

void SimulatorEmulator::sendRawBytes(SimProtocol p, const std::vector<std::uint8_t>& bytes) {
    std::vector<ConnPtr> targets;
    {
        std::lock_guard<std::mutex> g(impl_->mu);
        targets = impl_->live(index(p));
    }
    for (auto& c : targets) {
        std::lock_guard<std::mutex> g(c->writeMutex);
        impl_->writeAll(c, bytes.data(), bytes.size());
    }
}

unsigned SimulatorEmulator::clientCount(SimProtocol p) const {
    std::lock_guard<std::mutex> g(impl_->mu);
    return unsigned(impl_->live(index(p)).size());
}

unsigned SimulatorEmulator::connectionsAccepted(SimProtocol p) const {
    std::lock_guard<std::mutex> g(impl_->mu);
    return impl_->accepted[index(p)];
}

std::vector<std::string> SimulatorEmulator::subscribedNames(SimProtocol p) const {
    std::lock_guard<std::mutex> g(impl_->mu);
    std::set<std::string> names;
    for (const auto& c : impl_->conns)
        if (c->proto == index(p) && !c->closing)
            for (const auto& kv : c->inputs) names.insert(impl_->namesById[kv.first]);
    return std::vector<std::string>(names.begin(), names.end());
}

std::vector<std::string> SimulatorEmulator::outputNames(SimProtocol p) const {
    std::lock_guard<std::mutex> g(impl_->mu);
    const auto& s = impl_->outputs[index(p)];
    return std::vector<std::string>(s.begin(), s.end());
}

std::vector<SimulatorEmulator::Published> SimulatorEmulator::published(SimProtocol p) const {
    std::lock_guard<std::mutex> g(impl_->mu);
    const auto& d = impl_->published[index(p)];
    return std::vector<Published>(d.begin(), d.end());
}

bool SimulatorEmulator::lastPublished(SimProtocol p, const std::string& name, Published& out) const {
    std::lock_guard<std::mutex> g(impl_->mu);
    const auto& v = impl_->published[index(p)];
    for (auto it = v.rbegin(); it != v.rend(); ++it)
        if (it->name == name) {
            out = *it;
            return true;
        }
    return false;
}

std::vector<SimulatorEmulator::Received> SimulatorEmulator::received(SimProtocol p) const {
    std::lock_guard<std::mutex> g(impl_->mu);
    const auto& d = impl_->received[index(p)];
    return std::vector<Received>(d.begin(), d.end());
}

unsigned SimulatorEmulator::receivedCount(SimProtocol p, unsigned subprotocol, unsigned code) const {
    std::lock_guard<std::mutex> g(impl_->mu);
    unsigned n = 0;
    for (const auto& r : impl_->received[index(p)])
        if (!r.flowControl && r.subprotocol() == subprotocol && r.code() == code) ++n;
    return n;
}

unsigned SimulatorEmulator::keepAliveCount() const {
    std::lock_guard<std::mutex> g(impl_->mu);
    return impl_->keepAlives;
}

unsigned SimulatorEmulator::serverId(const std::string& name) const {
    std::lock_guard<std::mutex> g(impl_->mu);
    auto it = impl_->ids.find(name);
    return it == impl_->ids.end() ? 0 : it->second;
}

float SimulatorEmulator::value(const std::string& name) const {
    std::lock_guard<std::mutex> g(impl_->mu);
    return impl_->model.value(name);
}

unsigned SimulatorEmulator::activePatientId() const {
    std::lock_guard<std::mutex> g(impl_->mu);
    return impl_->patientId;
}

unsigned SimulatorEmulator::malformedCount() const {
    std::lock_guard<std::mutex> g(impl_->mu);
    return impl_->malformed;
}

std::string SimulatorEmulator::statusLine(SimProtocol p) const {
    std::lock_guard<std::mutex> g(impl_->mu);
    return impl_->statusLine(index(p));
}

namespace {
template <class Pred>
bool waitOn(std::mutex& mu, std::condition_variable& cv, std::chrono::milliseconds timeout, Pred pred) {
    std::unique_lock<std::mutex> lk(mu);
    return cv.wait_for(lk, timeout, pred);
}
}  // namespace

bool SimulatorEmulator::waitForClients(SimProtocol p, unsigned n, std::chrono::milliseconds timeout) const {
    return waitOn(impl_->mu, impl_->cv, timeout, [&] { return impl_->live(index(p)).size() >= n; });
}

bool SimulatorEmulator::waitForSubscribed(SimProtocol p, const std::string& name,
                                          std::chrono::milliseconds timeout) const {
    return waitOn(impl_->mu, impl_->cv, timeout, [&] {
        auto it = impl_->ids.find(name);
        if (it == impl_->ids.end()) return false;
        for (const auto& c : impl_->conns)
            if (c->proto == index(p) && !c->closing && c->inputs.count(it->second)) return true;
        return false;
    });
}

bool SimulatorEmulator::waitForSubscribedCount(SimProtocol p, std::size_t n, std::chrono::milliseconds timeout) const {
    return waitOn(impl_->mu, impl_->cv, timeout, [&] {
        std::set<unsigned> s;
        for (const auto& c : impl_->conns)
            if (c->proto == index(p) && !c->closing)
                for (const auto& kv : c->inputs) s.insert(kv.first);
        return s.size() >= n;
    });
}

bool SimulatorEmulator::waitForPublished(SimProtocol p, const std::string& name,
                                         std::chrono::milliseconds timeout) const {
    return waitOn(impl_->mu, impl_->cv, timeout, [&] {
        for (const auto& x : impl_->published[index(p)])
            if (x.name == name) return true;
        return false;
    });
}

bool SimulatorEmulator::waitForPublishedCount(SimProtocol p, std::size_t n, std::chrono::milliseconds timeout) const {
    return waitOn(impl_->mu, impl_->cv, timeout, [&] { return impl_->published[index(p)].size() >= n; });
}

bool SimulatorEmulator::waitForReceived(SimProtocol p, unsigned subprotocol, unsigned code, unsigned n,
                                        std::chrono::milliseconds timeout) const {
    return waitOn(impl_->mu, impl_->cv, timeout, [&] {
        unsigned k = 0;
        for (const auto& r : impl_->received[index(p)])
            if (!r.flowControl && r.subprotocol() == subprotocol && r.code() == code) ++k;
        return k >= n;
    });
}

bool SimulatorEmulator::waitForKeepAlives(unsigned n, std::chrono::milliseconds timeout) const {
    return waitOn(impl_->mu, impl_->cv, timeout, [&] { return impl_->keepAlives >= n; });
}

bool SimulatorEmulator::waitForMalformed(unsigned n, std::chrono::milliseconds timeout) const {
    return waitOn(impl_->mu, impl_->cv, timeout, [&] { return impl_->malformed >= n; });
}
