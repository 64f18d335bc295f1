// The emulated unit's settings and what it tells of what it was sent: each
// a read under the unit's lock.
#include "SentrelUnit.h"

SentrelUnit::Faults SentrelUnit::faults() const {
    return locked([&] { return faults_; });
}

void SentrelUnit::storeFaults(const Faults& faults) {
    std::lock_guard<std::mutex> lk(m);
    faults_ = faults;
}

void SentrelUnit::setBattery(int level, bool pluggedIn) {
    std::lock_guard<std::mutex> lk(m);
    battery = level;
    plugged = pluggedIn;
}

namespace {
template <class Map>
typename Map::mapped_type valueOr(const Map& map, const std::string& key, typename Map::mapped_type none = {}) {
    auto it = map.find(key);
    return it == map.end() ? none : it->second;
}
}  // namespace

bool SentrelUnit::vital(const std::string& member, VitalValue& out) const {
    return locked([&] {
        auto it = vitalValues.find(member);
        if (it == vitalValues.end()) return false;
        out = it->second;
        return true;
    });
}

std::map<std::string, SentrelUnit::VitalValue> SentrelUnit::vitals() const {
    return locked([&] { return vitalValues; });
}

std::vector<int> SentrelUnit::recentSamples(const std::string& slot) const {
    return locked([&] {
        const std::deque<int> ring = valueOr(samples, slot);
        return std::vector<int>(ring.begin(), ring.end());
    });
}

std::uint64_t SentrelUnit::sampleCount(const std::string& slot) const {
    return locked([&] { return valueOr(sampleTotals, slot); });
}

std::uint64_t SentrelUnit::messageCount(const std::string& type) const {
    return locked([&] { return valueOr(typeCounts, type); });
}

std::uint64_t SentrelUnit::totalMessageCount() const {
    return locked([&] { return totalMessages; });
}

std::vector<SentrelUnit::ReceivedMessage> SentrelUnit::messageLog() const {
    return locked([&] { return std::vector<ReceivedMessage>(log.begin(), log.end()); });
}

std::uint64_t SentrelUnit::malformedFrameCount() const {
    return locked([&] { return malformed; });
}

std::uint64_t SentrelUnit::namesNotKept() const {
    return locked([&] { return notKept; });
}

std::vector<std::string> SentrelUnit::calibrationNames(const std::string& calType) const {
    std::vector<std::string> names;
    for (const auto& entry : locked([&] { return valueOr(calibrations, calType); })) names.push_back(entry.first);
    return names;
}

std::string SentrelUnit::calibrationData(const std::string& calType, const std::string& calName) const {
    for (const auto& entry : locked([&] { return valueOr(calibrations, calType); }))
        if (entry.first == calName) return entry.second;
    return "";
}

unsigned SentrelUnit::connectionCount() const {
    return locked([&] { return connections; });
}

bool SentrelUnit::clientConnected() const {
    return locked([&] { return clientUp; });
}

SentrelUnit::WifiState SentrelUnit::wifiState() const {
    return locked([&] { return wifi; });
}

std::uint64_t SentrelUnit::datagramCount() const {
    return locked([&] { return datagrams; });
}

std::string SentrelUnit::lastDatagram() const {
    return locked([&] { return lastDatagramText; });
}

bool SentrelUnit::waitForMessageCount(const std::string& type, std::uint64_t n,
                                      std::chrono::milliseconds timeout) const {
    return waitFor(timeout, [&] { return valueOr(typeCounts, type) >= n; });
}

bool SentrelUnit::waitForSampleCount(const std::string& slot, std::uint64_t n,
                                     std::chrono::milliseconds timeout) const {
    return waitFor(timeout, [&] { return valueOr(sampleTotals, slot) >= n; });
}

bool SentrelUnit::waitForConnectionCount(unsigned n, std::chrono::milliseconds timeout) const {
    return waitFor(timeout, [&] { return connections >= n; });
}

bool SentrelUnit::waitForMalformedCount(std::uint64_t n, std::chrono::milliseconds timeout) const {
    return waitFor(timeout, [&] { return malformed >= n; });
}

bool SentrelUnit::waitForWifiState(WifiState state, std::chrono::milliseconds timeout) const {
    return waitFor(timeout, [&] { return wifi == state; });
}

bool SentrelUnit::waitForDatagramCount(std::uint64_t n, std::chrono::milliseconds timeout) const {
    return waitFor(timeout, [&] { return datagrams >= n; });
}

std::string SentrelUnit::summaryLine() const { return view.consoleLine(Clock::now()); }
