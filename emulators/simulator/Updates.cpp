// The periodic updates of the emulated servers: changed values and new
// waveform samples to every client that subscribed to them.
#include "ServerState.h"

#include "AppProtocol.h"
#include "SimulatorProtocol.h"

#include <algorithm>

namespace simemu {

namespace {
using Sim = com_vela::SimulatorProtocol;
using App = com_vela::AppProtocol;

constexpr std::size_t kMaxEntriesPerUpdate = 400;

// One update frame of the entries [start, end) for a client.
Bytes update(const ServerState& s, const ServerState::Client& c,
             const std::vector<std::pair<unsigned, float>>& entries, std::size_t start, std::size_t end) {
    Bytes b;
    if (c.proto == kSim) {
        b = s.simHeader(Sim::CODE_PUBLISH);
        put32(b, 0);
        put32(b, std::uint32_t(end - start));
        for (std::size_t k = start; k < end; ++k) {
            auto kind = c.inputs.find(entries[k].first);
            const bool isInt = kind != c.inputs.end() && kind->second;
            put32(b, entries[k].first);
            put32(b, isInt ? 1 : 0);
            if (isInt)
                put32(b, std::uint32_t(std::int32_t(entries[k].second)));
            else
                putFloat(b, entries[k].second);
        }
    } else {
        b = appHeader(App::SUBPROTOCOL_PATIENT, App::CODE_PUBLISH);
        put32(b, s.patientId);
        put32(b, 0);
        put32(b, std::uint32_t(end - start));
        for (std::size_t k = start; k < end; ++k) {
            put32(b, entries[k].first);
            putFloat(b, entries[k].second);
        }
    }
    return frame(b);
}

}  // namespace

void tickUpdates(ServerState& s, double seconds, Outgoing& out) {
    std::map<std::string, std::vector<float>> samples;
    if (s.isRunning() && s.patientId && !s.loaded) s.model.advance(seconds, samples);
    if (!s.opt.sendUpdates) {
        s.dirty.clear();
        return;
    }
    for (const auto& entry : s.clients) {
        const ServerState::Client& c = entry.second;
        if (c.inputs.empty()) continue;
        std::vector<std::pair<unsigned, float>> entries;
        for (const auto& name : s.dirty) {
            auto it = s.ids.find(name);
            if (it == s.ids.end() || !c.inputs.count(it->second)) continue;
            if (s.model.isSim(name) != (c.proto == kSim)) continue;
            entries.emplace_back(it->second, s.model.value(name));
        }
        if (c.proto == kApp) {
            for (const auto& samplesOf : samples) {
                auto it = s.ids.find(samplesOf.first);
                if (it == s.ids.end() || !c.inputs.count(it->second)) continue;
                for (float v : samplesOf.second) entries.emplace_back(it->second, v);
            }
        }
        for (std::size_t start = 0; start < entries.size(); start += kMaxEntriesPerUpdate)
            out.emplace_back(entry.first,
                             update(s, c, entries, start, std::min(entries.size(), start + kMaxEntriesPerUpdate)));
    }
    s.dirty.clear();
}

}  // namespace simemu
