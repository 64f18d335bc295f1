#include "MonitorState.h"

#include "ReceivedValues.h"
#include "UnitJson.h"
#include "UnitMessages.h"

#include <boost/property_tree/ptree.hpp>

#include <algorithm>
#include <sstream>

namespace pt = boost::property_tree;

using unitjson::quotedJsonString;

namespace {

constexpr std::chrono::seconds kWindow{1};  // "the last second" of rates and ranges

template <class T>
void keepBounded(std::deque<T>& entries, std::size_t limit) {
    while (entries.size() > limit) entries.pop_front();
}

}  // namespace

const std::array<const char*, MonitorState::kSlotCount>& MonitorState::shownSlots() {
    static const std::array<const char*, kSlotCount> slots = {"abp", "pap", "cvp", "pleth", "co2"};
    return slots;
}

void MonitorState::accept(const std::string& type, const pt::ptree& message, Clock::time_point now) {
    std::lock_guard<std::mutex> lk(mutex);
    ++messages;
    lastArrival = now;
    anyArrival = true;
    arrivals.push_back(now);
    keepBounded(arrivals, kMaxWindowEntries);

    if (type == "VitalsData") {
        for (const unitmsg::VitalsMember& m : unitmsg::kVitalsDataMembers) {
            const std::string member = m.name;
            auto child = message.get_child_optional(member);
            if (!child || !child->empty()) continue;  // absent or not a scalar
            const std::string& text = child->data();
            if (unitmsg::isUnsetValue(text)) continue;
            vitals[member] = text.substr(0, kMaxValueBytes);
        }
    } else if (type == "WaveformData") {
        for (std::size_t i = 0; i < kSlotCount; ++i) {
            auto child = message.get_child_optional(shownSlots()[i]);
            if (!child) continue;
            Slot& slot = slots[i];
            for (const auto& item : *child) {
                int v;
                if (!item.second.empty() || !parseSample(item.second.data(), v)) continue;
                slot.pending.push_back(v);
                slot.lastSecond.push_back({now, v});
            }
            if (slot.pending.size() > kMaxPendingSamples)
                slot.pending.erase(slot.pending.begin(),
                                   slot.pending.end() - static_cast<std::ptrdiff_t>(kMaxPendingSamples));
            keepBounded(slot.lastSecond, kMaxWindowEntries);
        }
    }
}

void MonitorState::linkChanged(bool up) {
    std::lock_guard<std::mutex> lk(mutex);
    connected = up;
    if (up) ++connections;
}

void MonitorState::trim(Clock::time_point now) const {
    const auto since = now - kWindow;
    while (!arrivals.empty() && arrivals.front() <= since) arrivals.pop_front();
    for (Slot& slot : slots)
        while (!slot.lastSecond.empty() && slot.lastSecond.front().at <= since) slot.lastSecond.pop_front();
}

std::string MonitorState::vital(const std::string& member) const {
    auto it = vitals.find(member);
    return it == vitals.end() ? std::string() : it->second;
}

std::string MonitorState::takeEvent(Clock::time_point now) {
    std::lock_guard<std::mutex> lk(mutex);
    trim(now);
    std::ostringstream out;
    const long long sinceLast =
        anyArrival ? std::chrono::duration_cast<std::chrono::milliseconds>(now - lastArrival).count() : -1;
    out << "{\"seq\":" << ++eventSeq << ",\"link\":{\"connected\":" << (connected ? "true" : "false")
        << ",\"connections\":" << connections << ",\"messages\":" << messages
        << ",\"lastMessageMs\":" << sinceLast << ",\"messagesPerSecond\":" << arrivals.size() << "}";
    out << ",\"vitals\":{";
    bool first = true;
    for (const auto& kv : vitals) {
        out << (first ? "" : ",") << quotedJsonString(kv.first) << ":" << quotedJsonString(kv.second);
        first = false;
    }
    out << "},\"waves\":{";
    for (std::size_t i = 0; i < kSlotCount; ++i) {
        Slot& slot = slots[i];
        out << (i ? "," : "") << "\"" << shownSlots()[i] << "\":{\"perSecond\":" << slot.lastSecond.size()
            << ",\"samples\":[";
        for (std::size_t k = 0; k < slot.pending.size(); ++k) out << (k ? "," : "") << slot.pending[k];
        out << "]}";
        slot.pending.clear();
    }
    out << "}}";
    return out.str();
}

std::string MonitorState::consoleLine(Clock::time_point now) const {
    std::lock_guard<std::mutex> lk(mutex);
    trim(now);
    auto v = [this](const char* member) {
        std::string text = vital(member);
        return text.empty() ? std::string("-") : text;
    };
    std::ostringstream out;
    out << "hr " << v("hr") << " spO2 " << v("spO2") << " nibp " << v("sbp") << "/" << v("dbp") << "/"
        << v("mbp") << " pa " << v("sPAP") << "/" << v("dPAP") << "/" << v("mPAP") << " rr " << v("rr")
        << " t1 " << v("t1") << " t2 " << v("t2") << " etCO2 " << v("etCO2") << " |";
    for (std::size_t i = 0; i < kSlotCount; ++i) {
        const std::deque<Sample>& recent = slots[i].lastSecond;
        out << " " << shownSlots()[i] << " ";
        if (recent.empty()) {
            out << "-";
            continue;
        }
        auto range = std::minmax_element(recent.begin(), recent.end(),
                                         [](const Sample& a, const Sample& b) { return a.value < b.value; });
        out << recent.back().value << " (" << range.first->value << ".." << range.second->value << ")";
    }
    return out.str();
}
