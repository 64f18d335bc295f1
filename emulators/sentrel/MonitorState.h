#pragma once

// What the emulated unit last received, kept for its live views: the console
// line once a second and the monitor page. The emulator feeds it once per
// accepted message and once per connection change; the views read it.
//
// Only the members and slots the views show are kept, each bounded, so a
// client sending endless names or samples cannot grow it.

#include <boost/property_tree/ptree_fwd.hpp>

#include <array>
#include <chrono>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <string>
#include <vector>

class MonitorState {
public:
    using Clock = std::chrono::steady_clock;

    // The views show every VitalsData member (unitmsg::kVitalsDataMembers).
    // WaveformData slots the views draw.
    static constexpr std::size_t kSlotCount = 5;
    static const std::array<const char*, kSlotCount>& shownSlots();

    // Longest value text kept for one member; longer ones are cut.
    static constexpr std::size_t kMaxValueBytes = 32;
    // Samples per slot waiting for the next event; beyond this the oldest go.
    static constexpr std::size_t kMaxPendingSamples = 2000;
    // Arrivals remembered for the one-second rates and ranges, per kind.
    static constexpr std::size_t kMaxWindowEntries = 4000;

    // One accepted message: its MessageType and its "Message" object.
    void accept(const std::string& type, const boost::property_tree::ptree& message,
                Clock::time_point now);
    // A connection from the bridge opened (true) or ended (false).
    void linkChanged(bool connected);

    // The monitor page's event: a JSON object with the link state, the set
    // vitals and, per slot, the samples that arrived since the previous call
    // (which this call hands out once).
    std::string takeEvent(Clock::time_point now);

    // The console view's line: the latest vitals and, per slot, the last
    // sample with the range of the last second ("-" when none arrived).
    std::string consoleLine(Clock::time_point now) const;

private:
    struct Sample {
        Clock::time_point at;
        int value;
    };
    struct Slot {
        std::vector<int> pending;       // since the last event
        std::deque<Sample> lastSecond;  // for the range and the rate
    };

    void trim(Clock::time_point now) const;
    std::string vital(const std::string& member) const;  // "" when unset

    mutable std::mutex mutex;
    std::map<std::string, std::string> vitals;        // set members only
    mutable std::array<Slot, kSlotCount> slots;
    mutable std::deque<Clock::time_point> arrivals;   // messages of the last second
    Clock::time_point lastArrival{};
    bool anyArrival = false;
    bool connected = false;
    unsigned connections = 0;
    std::uint64_t messages = 0;
    std::uint64_t eventSeq = 0;
};
