// Shared pieces of the SIM and APP client tests: a recording callback, frame
// bodies of the servers' making, and a client with its emulated server.
#pragma once

#include "AppClient.h"
#include "AppProtocol.h"
#include "EmulatorWire.h"
#include "SimClient.h"
#include "SimulatorEmulator.h"

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

namespace apptest {

using namespace std::chrono_literals;
using com_vela::AppClient;
using com_vela::CSClient;
using Bytes = simemu::Bytes;

struct SceCall {
    std::string what;  // "started", "loaded", "stopped", "reset", "mode", "refresh"
    unsigned patientId = 0, sceId = 0, secondaryId = 0;
    CSClient::Result result = CSClient::RESULT_OK;
    AppClient::SimulationMode mode = AppClient::MODE_STOPPED;
};

// Records every notification; waits are bounded.
class Recorder : public AppClient::Callback {
public:
    std::vector<std::pair<CSClient::State, CSClient::State>> states;
    std::vector<std::vector<CSClient::Parameter>> batches;
    std::vector<std::vector<CSClient::InputDef>> inputRegistrations;
    std::vector<std::vector<CSClient::OutputDef>> outputRegistrations;
    std::vector<SceCall> sce;

    void connectionStateChanged(CSClient::State o, CSClient::State n) override { add([&] { states.emplace_back(o, n); }); }
    void parametersUpdated(const std::vector<CSClient::Parameter>& p) override { add([&] { batches.push_back(p); }); }
    void registrationComplete(const std::vector<CSClient::OutputDef>& d) override {
        add([&] { outputRegistrations.push_back(d); });
    }
    void registrationComplete(const std::vector<CSClient::InputDef>& d) override {
        add([&] { inputRegistrations.push_back(d); });
    }
    void sceStarted(unsigned p, unsigned s, unsigned x, CSClient::Result r) override { addSce({"started", p, s, x, r}); }
    void sceLoaded(unsigned p, unsigned s, unsigned x) override { addSce({"loaded", p, s, x}); }
    void sceStopped(unsigned p, unsigned s, unsigned x, CSClient::Result r) override { addSce({"stopped", p, s, x, r}); }
    void sceReset(unsigned p, unsigned s, unsigned x, CSClient::Result r) override { addSce({"reset", p, s, x, r}); }
    void sceModeChanged(unsigned p, AppClient::SimulationMode m, CSClient::Result r) override {
        SceCall c{"mode", p, 0, 0, r};
        c.mode = m;
        addSce(c);
    }
    void sceActiveRefresh() override { addSce({"refresh"}); }

    bool waitFor(const std::function<bool()>& pred, std::chrono::milliseconds timeout = 5s) {
        std::unique_lock<std::mutex> lk(m_);
        return cv_.wait_for(lk, timeout, pred);
    }
    template <class F>
    auto locked(F f) -> decltype(f()) {
        std::lock_guard<std::mutex> g(m_);
        return f();
    }
    // Latest delivered value of a name.
    bool last(const std::string& id, CSClient::Parameter& out) {
        std::lock_guard<std::mutex> g(m_);
        return lastUnlocked(id, out);
    }
    // For waitFor predicates, which run with the lock held.
    bool lastUnlocked(const std::string& id, CSClient::Parameter& out) const {
        for (auto b = batches.rbegin(); b != batches.rend(); ++b)
            for (auto p = b->rbegin(); p != b->rend(); ++p)
                if (p->id == id) {
                    out = *p;
                    return true;
                }
        return false;
    }
    std::size_t batchCount() { return locked([&] { return batches.size(); }); }
    std::size_t sceCount() { return locked([&] { return sce.size(); }); }

private:
    template <class F>
    void add(F f) {
        {
            std::lock_guard<std::mutex> g(m_);
            f();
        }
        cv_.notify_all();
    }
    void addSce(const SceCall& c) { add([&] { sce.push_back(c); }); }
    std::mutex m_;
    std::condition_variable cv_;
};

// ---- bodies as the servers send them ----

inline Bytes body(unsigned protocol, unsigned sub, unsigned code, std::initializer_list<std::uint32_t> words) {
    Bytes b = simemu::messageHeader(protocol, sub, code);
    for (auto w : words) simemu::put32(b, w);
    simemu::set32(b, 4, std::uint32_t(b.size()));  // as the sender patches it
    return b;
}
inline std::uint32_t bits(float f) {
    std::uint32_t u;
    std::memcpy(&u, &f, 4);
    return u;
}
inline com_vela::RawMessage raw(const Bytes& b, com_vela::RawMessage::Type t = com_vela::RawMessage::TYPE_DATA) {
    return com_vela::RawMessage(reinterpret_cast<const char*>(b.data()), unsigned(b.size()), t);
}
inline Bytes patientList(std::initializer_list<std::uint32_t> words) { return body(1, 1, 0x0002, words); }
inline Bytes appEvent(unsigned code, std::initializer_list<std::uint32_t> words) { return body(1, 3, code, words); }

// APP subscribe response naming (server id, name, value) entries.
struct Entry {
    unsigned id;
    std::string name;
    float value;
};
inline Bytes appSubscribeResponse(unsigned patient, const std::vector<Entry>& entries) {
    Bytes b = body(1, 2, 0x0106, {patient, std::uint32_t(entries.size())});
    for (const auto& e : entries) {
        simemu::put32(b, e.id);
        simemu::put32(b, 0);
        simemu::put32(b, 0);
        simemu::putFloat(b, e.value);
        simemu::putName(b, e.name);
    }
    return b;
}
inline Bytes appPublishResponse(unsigned patient, const std::vector<Entry>& entries) {
    Bytes b = body(1, 2, 0x0107, {patient, std::uint32_t(entries.size())});
    for (const auto& e : entries) {
        simemu::put32(b, e.id);
        simemu::put32(b, 0);
        simemu::put32(b, 0);
        simemu::putName(b, e.name);
    }
    return b;
}
inline Bytes appUpdate(unsigned patient, unsigned mode, const std::vector<std::pair<unsigned, float>>& entries) {
    Bytes b = body(1, 2, 0x0008, {patient, mode, std::uint32_t(entries.size())});
    for (const auto& e : entries) {
        simemu::put32(b, e.first);
        simemu::putFloat(b, e.second);
    }
    return b;
}

// Received message bodies of one code, oldest first.
inline std::vector<Bytes> bodiesOf(const SimulatorEmulator& emu, SimProtocol p, unsigned sub, unsigned code) {
    std::vector<Bytes> out;
    for (const auto& r : emu.received(p))
        if (!r.flowControl && r.subprotocol() == sub && r.code() == code) out.push_back(r.body);
    return out;
}

inline SimulatorEmulator::Options emulatorOn(const std::string& address) {
    SimulatorEmulator::Options o;
    o.address = address;
    o.tick = std::chrono::milliseconds(50);
    return o;
}

// The program's timing with a short reconnect pause.
inline Timing quickTiming() {
    Timing t;
    t.reconnectPause = 100ms;
    return t;
}

// An AppClient (quiet, automatic reconnection) talking to an emulator.
struct AppRig {
    SimulatorEmulator emu;
    Recorder rec;
    std::unique_ptr<AppClient> client;
    std::string address;

    explicit AppRig(SimulatorEmulator::Options o, unsigned options = 3, Timing timing = quickTiming())
        : emu(o), address(o.address) {
        client.reset(new AppClient(options, timing));
        client->addCallbackInterface(&rec);
    }
    ~AppRig() {
        client.reset();
        emu.stop();
    }
    bool open() {
        if (!emu.start()) return false;
        return client->open(address.c_str(), 55557) == CSClient::RESULT_OK;
    }
    bool connected(std::chrono::milliseconds timeout = 5s) {
        return rec.waitFor([&] { return client->getConnectionState() == CSClient::STATE_CONNECTED; }, timeout);
    }
};

}  // namespace apptest
