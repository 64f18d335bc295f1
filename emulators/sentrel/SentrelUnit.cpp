#include "SentrelUnit.h"

#include "Log.h"
#include "LogTime.h"
#include "NestingLimit.h"
#include "ReceivedValues.h"
#include "UnitJson.h"
#include "UnitMessages.h"

#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>

#include <sstream>
#include <stdexcept>

namespace pt = boost::property_tree;

using unitjson::quotedJsonString;

const char* toString(SentrelUnit::WifiState state) {
    switch (state) {
    case SentrelUnit::WifiState::NotConfigured: return "NotConfigured";
    case SentrelUnit::WifiState::Joining: return "Joining";
    case SentrelUnit::WifiState::Connected: return "Success";
    case SentrelUnit::WifiState::Failed: return "Failed";
    }
    return "Failed";
}

namespace {

// The MessageTypes the bridge sends.
const std::vector<std::string>& knownTypes() {
    static const std::vector<std::string> types = {"VitalsData", "WaveformData", "StatusRequest",
                                                   "CalListRequest", "CalData", "CalRemove",
                                                   "CalSelect", "WifiCredentials"};
    return types;
}

}  // namespace

const std::vector<std::string>& SentrelUnit::vitalMembers() {
    static const std::vector<std::string> members = [] {
        std::vector<std::string> names;
        for (const unitmsg::VitalsMember& m : unitmsg::kVitalsDataMembers) names.push_back(m.name);
        return names;
    }();
    return members;
}

const std::vector<std::string>& SentrelUnit::waveformSlots() {
    static const std::vector<std::string> slots(std::begin(unitmsg::kWaveformDataSlots),
                                                std::end(unitmsg::kWaveformDataSlots));
    return slots;
}

std::string SentrelUnit::Response::bytes() const {
    std::string all;
    for (const Write& w : writes) all += w.bytes;
    return all;
}

SentrelUnit::SentrelUnit(Options options)
    : opts(std::move(options)), faults_(opts.faults), battery(opts.batteryLevel), plugged(opts.pluggedIn) {}

// ---- what the transport hands in ----

SentrelUnit::Response SentrelUnit::receive(UnitSession& session, const char* data, std::size_t n) {
    Response response;
    if (session.ended_) return response;
    session.parser_.append(data, n);
    while (!response.end) {
        std::string reply, error;
        const UnitFrameParser::Status r = session.parser_.next(reply, error);
        if (r == UnitFrameParser::Status::NeedMore) break;
        if (r == UnitFrameParser::Status::Error) {
            noteMalformed(error);
            continue;
        }
        std::string json;
        try {
            json = verifyUnitReply(reply);
        } catch (const std::exception& e) {
            noteMalformed(std::string("bad length field (") + e.what() + ")");
            continue;
        }
        handleFrame(session, json, response);
    }
    if (response.end) {
        session.ended_ = true;
        response.writes.clear();
    }
    return response;
}

void SentrelUnit::connectionOpened() {
    {
        std::lock_guard<std::mutex> lk(m);
        ++connections;
        clientUp = true;
    }
    view.linkChanged(true);
    cv.notify_all();
}

void SentrelUnit::connectionEnded() {
    {
        std::lock_guard<std::mutex> lk(m);
        clientUp = false;
    }
    view.linkChanged(false);
    cv.notify_all();
}

std::optional<std::string> SentrelUnit::datagram(const std::string& text) {
    {
        std::lock_guard<std::mutex> lk(m);
        ++datagrams;
        lastDatagramText = text;
    }
    cv.notify_all();
    if (text == "[STOPME]@") return std::nullopt;
    return "SENTREL " + opts.serial + "@";
}

void SentrelUnit::noteMalformed(const std::string& why) {
    snlog::err() << "SentrelEmulator> skipped malformed frame: " << why;
    {
        std::lock_guard<std::mutex> lk(m);
        ++malformed;
    }
    cv.notify_all();
}

void SentrelUnit::handleFrame(UnitSession& session, const std::string& json, Response& response) {
    pt::ptree tree;
    std::string type;
    try {
        std::istringstream in(json);
        checkJsonNesting(json);
        pt::read_json(in, tree);
        type = tree.get<std::string>("MessageType");
        if (type.empty() || !tree.get_child("MessageType").empty())
            throw std::runtime_error("MessageType is not a string");
        if (tree.get_child("Message").data().size() != 0) throw std::runtime_error("Message is not an object");
    } catch (const std::exception& e) {
        noteMalformed(std::string("bad JSON (") + e.what() + ")");
        return;
    }
    const pt::ptree& msg = tree.get_child("Message");
    record(type, json);
    view.accept(type, msg, Clock::now());
    if (opts.logMessages) snlog::out() << "SentrelEmulator> " << utcMillisTimestamp() << " " << type << " " << json;

    const Faults f = faults();
    ++session.frames_;
    if (f.closeAfterFrames != 0 && session.frames_ >= f.closeAfterFrames) {
        snlog::out() << "SentrelEmulator> closing connection " << session.id() << " after " << session.frames_
                     << " frames";
        response.end = true;
        return;
    }

    if (type == "VitalsData") {
        storeVitals(msg);
    } else if (type == "WaveformData") {
        storeWaveforms(msg);
    } else if (type == "StatusRequest") {
        const bool network = msg.get<std::string>("requestNetworkStatus", "false") == "true";
        reply(session, network ? networkStatusText() : statusText(), f, response);
    } else if (type == "CalListRequest") {
        reply(session, calListText(msg.get<std::string>("calType", "")), f, response);
    } else if (type == "CalData") {
        storeCalibration(msg, json);
    } else if (type == "CalRemove") {
        removeCalibration(msg);
    } else if (type == "WifiCredentials") {
        response.join = beginWifiJoin(msg.get<std::string>("ssid", ""), msg.get<std::string>("password", ""));
    }
    // CalSelect and unknown types: counted and logged only.
}

// ---- what the unit keeps ----

// The entry kept under a name a client chose, or null once `map` holds
// kMaxKeptNames others: a client sending endless new names must not grow the
// unit's memory. The names of `known` are always kept, so that junk cannot
// crowd out the bridge's own. Called with m held.
template <class Map>
typename Map::mapped_type* SentrelUnit::keptEntry(Map& map, const std::string& name,
                                                  const std::vector<std::string>& known) {
    auto it = map.find(name);
    if (it != map.end()) return &it->second;
    if (map.size() >= kMaxKeptNames && std::find(known.begin(), known.end(), name) == known.end()) {
        ++notKept;
        return nullptr;
    }
    return &map[name];
}

void SentrelUnit::record(const std::string& type, const std::string& json) {
    {
        std::lock_guard<std::mutex> lk(m);
        if (std::uint64_t* count = keptEntry(typeCounts, type, knownTypes())) ++*count;
        ++totalMessages;
        log.push_back({type, json, Clock::now()});
        logBytes += json.size();
        while (log.size() > opts.messageLogSize || (logBytes > opts.messageLogBytes && log.size() > 1)) {
            logBytes -= log.front().json.size();
            log.pop_front();
        }
    }
    cv.notify_all();
}

void SentrelUnit::storeVitals(const pt::ptree& msg) {
    const auto now = Clock::now();
    std::lock_guard<std::mutex> lk(m);
    for (const auto& kv : msg) {
        if (!kv.second.empty()) continue;  // not a scalar
        const std::string& text = kv.second.data();
        if (unitmsg::isUnsetValue(text)) continue;
        if (VitalValue* kept = keptEntry(vitalValues, kv.first, vitalMembers())) *kept = VitalValue{text, now};
    }
}

void SentrelUnit::storeWaveforms(const pt::ptree& msg) {
    std::size_t bad = 0;
    {
        std::lock_guard<std::mutex> lk(m);
        for (const auto& kv : msg) {
            std::deque<int>* ring = keptEntry(samples, kv.first, waveformSlots());
            if (!ring) continue;
            std::uint64_t& total = sampleTotals[kv.first];  // the same names as `samples`
            for (const auto& item : kv.second) {
                int v;
                if (!item.second.empty() || !parseSample(item.second.data(), v)) {
                    ++bad;
                    continue;
                }
                ring->push_back(v);
                if (ring->size() > opts.waveformHistory) ring->pop_front();
                ++total;
            }
        }
    }
    cv.notify_all();
    if (bad) snlog::err() << "SentrelEmulator> WaveformData: skipped " << bad << " non-integer samples";
}

void SentrelUnit::storeCalibration(const pt::ptree& msg, const std::string& json) {
    const std::string name = msg.get<std::string>("calName", "");
    const std::string type = msg.get<std::string>("calType", "");
    if (name.empty() || type.empty()) {
        snlog::err() << "SentrelEmulator> CalData without calName or calType ignored";
        return;
    }
    std::lock_guard<std::mutex> lk(m);
    Calibrations* list = keptEntry(calibrations, type);
    if (!list) return;
    for (auto& entry : *list) {
        if (entry.first == name) {
            entry.second = json;
            return;
        }
    }
    std::size_t stored = 0;
    for (const auto& kv : calibrations) stored += kv.second.size();
    if (stored >= kMaxKeptNames) {
        ++notKept;
        return;
    }
    list->emplace_back(name, json);
}

void SentrelUnit::removeCalibration(const pt::ptree& msg) {
    const std::string name = msg.get<std::string>("calName", "");
    const std::string type = msg.get<std::string>("calType", "");
    std::lock_guard<std::mutex> lk(m);
    auto found = calibrations.find(type);
    if (found == calibrations.end()) return;
    Calibrations& list = found->second;
    for (auto it = list.begin(); it != list.end(); ++it) {
        if (it->first == name) {
            list.erase(it);
            return;
        }
    }
}

SentrelUnit::WifiJoin SentrelUnit::beginWifiJoin(const std::string& ssid, const std::string& password) {
    {
        std::lock_guard<std::mutex> lk(m);
        wifi = WifiState::Joining;
        lastSsid = ssid;
    }
    cv.notify_all();
    snlog::out() << "SentrelEmulator> joining Wi-Fi network " << quotedJsonString(ssid);
    return WifiJoin{ssid, !opts.wifiSsid.empty() && ssid == opts.wifiSsid && password == opts.wifiPassword};
}

void SentrelUnit::finishWifiJoin(const WifiJoin& join) {
    {
        std::lock_guard<std::mutex> lk(m);
        wifi = join.joins ? WifiState::Connected : WifiState::Failed;
    }
    cv.notify_all();
    snlog::out() << "SentrelEmulator> Wi-Fi " << quotedJsonString(join.ssid)
                 << (join.joins ? ": joined" : ": join failed");
}

// ---- replies ----

std::string SentrelUnit::statusText() const {
    std::lock_guard<std::mutex> lk(m);
    return "{\"MessageType\":\"StatusData\",\"Message\":{\"battLvlPerc\":" + std::to_string(battery) +
           ",\"pluggedIn\":" + (plugged ? "true" : "false") + "}}";
}

std::string SentrelUnit::networkStatusText() const {
    std::lock_guard<std::mutex> lk(m);
    const bool up = wifi == WifiState::Connected;
    return "{\"MessageType\":\"NetworkStatusData\",\"Message\":{\"ssid\":" + quotedJsonString(lastSsid) +
           ",\"ipAddress\":" + quotedJsonString(up ? opts.wifiIpAddress : "") +
           ",\"wifiConnected\":" + (up ? "true" : "false") + ",\"wifiStatus\":" + quotedJsonString(toString(wifi)) +
           "}}";
}

std::string SentrelUnit::calListText(const std::string& type) const {
    std::lock_guard<std::mutex> lk(m);
    std::string names;
    auto it = calibrations.find(type);
    if (it != calibrations.end()) {
        for (const auto& entry : it->second) {
            if (!names.empty()) names += ",";
            names += quotedJsonString(entry.first);
        }
    }
    return "{\"MessageType\":\"CalList\",\"Message\":{\"calType\":" + quotedJsonString(type) + ",\"calNames\":[" +
           names + "]}}";
}

std::string SentrelUnit::unsolicitedText() const {
    return "{\"MessageType\":\"UnitEvent\",\"Message\":{\"event\":\"Heartbeat\",\"serial\":" +
           quotedJsonString(opts.serial) + "}}";
}

void SentrelUnit::reply(UnitSession& session, const std::string& json, const Faults& f, Response& response) {
    if (f.neverAnswer) return;
    auto queue = [&](std::string bytes, bool pauseAfter) {
        session.pending_ += bytes.size();
        response.writes.push_back({std::move(bytes), pauseAfter});
    };
    if (f.unsolicitedBeforeReply) queue(frameUnitMessage(unsolicitedText()), false);
    std::string payload = frameUnitMessage(json);
    if (f.twoFramesPerWrite) payload += frameUnitMessage(unsolicitedText());
    if (f.splitReplies) {
        // Cut inside the length field and inside the JSON text, so a reader
        // has to put the frame together from several reads.
        const std::size_t a = std::min<std::size_t>(3, payload.size());
        const std::size_t b = a + (payload.size() - a) / 2;
        queue(payload.substr(0, a), true);
        queue(payload.substr(a, b - a), true);
        queue(payload.substr(b), false);
    } else {
        queue(std::move(payload), false);
    }
    if (session.pending_ > kMaxPendingReplyBytes) {
        // A client that asks without reading must not grow the queue.
        snlog::out() << "SentrelEmulator> closing connection " << session.id() << ": more than "
                     << kMaxPendingReplyBytes << " reply bytes not read";
        response.end = true;
    }
}
