#include "SentrelEmulator.h"

#include "IoThread.h"
#include "LogTime.h"
#include "MonitorState.h"
#include "ReceivedValues.h"
#include "NestingLimit.h"
#include "UnitFrame.h"
#include "UnitJson.h"
#include "UnitMessages.h"

#include <boost/asio.hpp>
#include <boost/property_tree/json_parser.hpp>
#include <boost/property_tree/ptree.hpp>

#include <algorithm>
#include <array>
#include <iostream>
#include <sstream>
#include <stdexcept>

namespace asio = boost::asio;
using asio::ip::tcp;
using asio::ip::udp;
namespace pt = boost::property_tree;

using unitjson::quotedJsonString;

const char* toString(SentrelEmulator::WifiState state) {
    switch (state) {
    case SentrelEmulator::WifiState::NotConfigured: return "NotConfigured";
    case SentrelEmulator::WifiState::Joining: return "Joining";
    case SentrelEmulator::WifiState::Connected: return "Success";
    case SentrelEmulator::WifiState::Failed: return "Failed";
    }
    return "Failed";
}

const std::vector<std::string>& SentrelEmulator::vitalMembers() {
    static const std::vector<std::string> members = [] {
        std::vector<std::string> names;
        for (const unitmsg::VitalsMember& m : unitmsg::kVitalsDataMembers) names.push_back(m.name);
        return names;
    }();
    return members;
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

const std::vector<std::string>& SentrelEmulator::waveformSlots() {
    static const std::vector<std::string> slots(std::begin(unitmsg::kWaveformDataSlots),
                                                std::end(unitmsg::kWaveformDataSlots));
    return slots;
}

struct SentrelEmulator::Impl {
    struct Conn : std::enable_shared_from_this<Conn> {
        Conn(asio::io_context& io, unsigned id) : sock(io), gap(io), id(id) {}
        tcp::socket sock;
        std::array<char, 8192> buf{};
        UnitFrameParser parser;
        struct Write {
            std::string bytes;
            bool pauseAfter;
        };
        std::deque<Write> out;
        std::size_t outBytes = 0;  // bytes held in `out`
        bool writing = false;
        asio::steady_timer gap;
        unsigned frames = 0;
        unsigned id;
        bool closed = false;
        bool abortive = false;  // closed with a reset instead of a shutdown
    };

    explicit Impl(Options o)
        : opts(std::move(o)), faults(opts.faults), battery(opts.batteryLevel),
          plugged(opts.pluggedIn), acceptor(io), udpSocket(io), wifiTimer(io),
          consoleTimer(io) {}

    Options opts;

    // State read by the queries; guarded by m.
    mutable std::mutex m;
    mutable std::condition_variable cv;
    Faults faults;
    int battery;
    bool plugged;
    std::map<std::string, VitalValue> vitalValues;
    std::map<std::string, std::deque<int>> samples;
    std::map<std::string, std::uint64_t> sampleTotals;
    std::map<std::string, std::uint64_t> typeCounts;
    std::uint64_t totalMessages = 0;
    std::deque<ReceivedMessage> log;
    std::size_t logBytes = 0;            // JSON text held in `log`
    std::uint64_t namesNotKept = 0;      // see keptEntry
    std::uint64_t malformed = 0;
    std::map<std::string, std::vector<std::pair<std::string, std::string>>> calibrations;
    unsigned connections = 0;
    bool clientUp = false;
    WifiState wifi = WifiState::NotConfigured;
    std::string lastSsid;
    std::uint64_t datagrams = 0;
    std::string lastDatagramText;
    bool isRunning = false;
    MonitorState view;  // what the live views show; locks itself

    // Network side; touched only on the io thread while running.
    asio::io_context io;
    tcp::acceptor acceptor;
    udp::socket udpSocket;
    udp::endpoint udpSender;
    std::array<char, 2048> udpBuf{};
    asio::steady_timer wifiTimer;
    asio::steady_timer consoleTimer;
    std::shared_ptr<Conn> current;
    bool stopping = false;
    IoThread ioThread{io};
    std::mutex lifeMutex;  // serialises start/stop

    Faults currentFaults() {
        std::lock_guard<std::mutex> lk(m);
        return faults;
    }

    void openAcceptor() {
        tcp::endpoint ep(asio::ip::make_address(opts.address), opts.port);
        acceptor.open(ep.protocol());
        acceptor.set_option(tcp::acceptor::reuse_address(true));
        acceptor.bind(ep);
        acceptor.listen();
    }

    void doAccept() {
        if (!acceptor.is_open()) return;
        unsigned id;
        {
            std::lock_guard<std::mutex> lk(m);
            id = connections + 1;
        }
        auto conn = std::make_shared<Conn>(io, id);
        acceptor.async_accept(conn->sock, [this, conn](const boost::system::error_code& ec) {
            if (stopping || ec == asio::error::operation_aborted) return;
            if (ec) {
                std::cerr << "SentrelEmulator> accept failed: " << ec.message() << std::endl;
                doAccept();
                return;
            }
            onAccepted(conn);
            doAccept();
        });
    }

    void onAccepted(const std::shared_ptr<Conn>& conn) {
        boost::system::error_code ignored;
        conn->sock.set_option(tcp::no_delay(true), ignored);
        if (current) {
            std::cout << "SentrelEmulator> new connection: closing connection " << current->id << std::endl;
            closeConn(current);
        }
        current = conn;
        {
            std::lock_guard<std::mutex> lk(m);
            ++connections;
            clientUp = true;
        }
        view.linkChanged(true);
        cv.notify_all();
        std::cout << "SentrelEmulator> connection " << conn->id << " from "
                  << conn->sock.remote_endpoint(ignored) << std::endl;
        doRead(conn);
    }

    void closeConn(std::shared_ptr<Conn> conn) {  // by value: `current` may be the argument
        if (conn->closed) return;
        conn->closed = true;
        // State first: whoever sees the connection end must find it reported.
        if (conn == current) {
            current.reset();
            {
                std::lock_guard<std::mutex> lk(m);
                clientUp = false;
            }
            view.linkChanged(false);
            cv.notify_all();
        }
        boost::system::error_code ignored;
        if (!conn->abortive) conn->sock.shutdown(tcp::socket::shutdown_both, ignored);
        conn->sock.close(ignored);
        conn->gap.cancel();
    }

    void doRead(const std::shared_ptr<Conn>& conn) {
        conn->sock.async_read_some(
            asio::buffer(conn->buf),
            [this, conn](const boost::system::error_code& ec, std::size_t n) {
                if (stopping || conn->closed) return;
                if (ec) {
                    std::cout << "SentrelEmulator> connection " << conn->id << " closed by peer ("
                              << ec.message() << ")" << std::endl;
                    closeConn(conn);
                    return;
                }
                conn->parser.append(conn->buf.data(), n);
                drainFrames(conn);
                if (!conn->closed) doRead(conn);
            });
    }

    void drainFrames(const std::shared_ptr<Conn>& conn) {
        for (;;) {
            std::string reply, error;
            UnitFrameParser::Status r = conn->parser.next(reply, error);
            if (r == UnitFrameParser::Status::NeedMore) return;
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
            handleFrame(conn, json);
            if (conn->closed) return;
        }
    }

    void noteMalformed(const std::string& why) {
        std::cerr << "SentrelEmulator> skipped malformed frame: " << why << std::endl;
        {
            std::lock_guard<std::mutex> lk(m);
            ++malformed;
        }
        cv.notify_all();
    }

    void handleFrame(const std::shared_ptr<Conn>& conn, const std::string& json) {
        pt::ptree tree;
        std::string type;
        try {
            std::istringstream in(json);
            checkJsonNesting(json);
            pt::read_json(in, tree);
            type = tree.get<std::string>("MessageType");
            if (type.empty() || !tree.get_child("MessageType").empty())
                throw std::runtime_error("MessageType is not a string");
            if (tree.get_child("Message").data().size() != 0)
                throw std::runtime_error("Message is not an object");
        } catch (const std::exception& e) {
            noteMalformed(std::string("bad JSON (") + e.what() + ")");
            return;
        }
        const pt::ptree& msg = tree.get_child("Message");
        record(type, json);
        view.accept(type, msg, Clock::now());
        if (opts.logMessages)
            std::cout << "SentrelEmulator> " << utcMillisTimestamp() << " " << type << " " << json << std::endl;

        Faults f = currentFaults();
        ++conn->frames;
        if (f.closeAfterFrames != 0 && conn->frames >= f.closeAfterFrames) {
            std::cout << "SentrelEmulator> closing connection " << conn->id << " after "
                      << conn->frames << " frames" << std::endl;
            closeConn(conn);
            return;
        }

        if (type == "VitalsData") {
            storeVitals(msg);
        } else if (type == "WaveformData") {
            storeWaveforms(msg);
        } else if (type == "StatusRequest") {
            bool network = msg.get<std::string>("requestNetworkStatus", "false") == "true";
            reply(conn, network ? networkStatusText() : statusText(), f);
        } else if (type == "CalListRequest") {
            reply(conn, calListText(msg.get<std::string>("calType", "")), f);
        } else if (type == "CalData") {
            storeCalibration(msg, json);
        } else if (type == "CalRemove") {
            removeCalibration(msg);
        } else if (type == "WifiCredentials") {
            startWifiJoin(msg.get<std::string>("ssid", ""), msg.get<std::string>("password", ""));
        }
        // CalSelect and unknown types: counted and logged only.
    }

    // The entry kept under a name a client chose, or null once `map` holds
    // kMaxKeptNames others: a client sending endless new names must not
    // grow the unit's memory. The names of `known` are always kept, so that
    // junk cannot crowd out the bridge's own. Called with m held.
    template <class Map>
    typename Map::mapped_type* keptEntry(Map& map, const std::string& name,
                                         const std::vector<std::string>& known = {}) {
        auto it = map.find(name);
        if (it != map.end()) return &it->second;
        if (map.size() >= kMaxKeptNames && std::find(known.begin(), known.end(), name) == known.end()) {
            ++namesNotKept;
            return nullptr;
        }
        return &map[name];
    }

    void record(const std::string& type, const std::string& json) {
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

    void storeVitals(const pt::ptree& msg) {
        auto now = Clock::now();
        std::lock_guard<std::mutex> lk(m);
        for (const auto& kv : msg) {
            if (!kv.second.empty()) continue;  // not a scalar
            const std::string& text = kv.second.data();
            if (unitmsg::isUnsetValue(text)) continue;
            if (VitalValue* kept = keptEntry(vitalValues, kv.first, vitalMembers())) *kept = VitalValue{text, now};
        }
    }

    void storeWaveforms(const pt::ptree& msg) {
        std::size_t bad = 0;
        {
            std::lock_guard<std::mutex> lk(m);
            for (const auto& kv : msg) {
                std::deque<int>* kept = keptEntry(samples, kv.first, waveformSlots());
                if (!kept) continue;
                std::deque<int>& ring = *kept;
                std::uint64_t& total = sampleTotals[kv.first];  // the same names as `samples`
                for (const auto& item : kv.second) {
                    int v;
                    if (!item.second.empty() || !parseSample(item.second.data(), v)) {
                        ++bad;
                        continue;
                    }
                    ring.push_back(v);
                    if (ring.size() > opts.waveformHistory) ring.pop_front();
                    ++total;
                }
            }
        }
        cv.notify_all();
        if (bad) std::cerr << "SentrelEmulator> WaveformData: skipped " << bad << " non-integer samples" << std::endl;
    }

    void storeCalibration(const pt::ptree& msg, const std::string& json) {
        std::string name = msg.get<std::string>("calName", "");
        std::string type = msg.get<std::string>("calType", "");
        if (name.empty() || type.empty()) {
            std::cerr << "SentrelEmulator> CalData without calName or calType ignored" << std::endl;
            return;
        }
        std::lock_guard<std::mutex> lk(m);
        auto* list = keptEntry(calibrations, type);
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
            ++namesNotKept;
            return;
        }
        list->emplace_back(name, json);
    }

    void removeCalibration(const pt::ptree& msg) {
        std::string name = msg.get<std::string>("calName", "");
        std::string type = msg.get<std::string>("calType", "");
        std::lock_guard<std::mutex> lk(m);
        auto found = calibrations.find(type);
        if (found == calibrations.end()) return;
        auto& list = found->second;
        for (auto it = list.begin(); it != list.end(); ++it) {
            if (it->first == name) {
                list.erase(it);
                return;
            }
        }
    }

    void startWifiJoin(const std::string& ssid, const std::string& password) {
        bool ok;
        {
            std::lock_guard<std::mutex> lk(m);
            wifi = WifiState::Joining;
            lastSsid = ssid;
            ok = !opts.wifiSsid.empty() && ssid == opts.wifiSsid && password == opts.wifiPassword;
        }
        cv.notify_all();
        std::cout << "SentrelEmulator> joining Wi-Fi network " << quotedJsonString(ssid) << std::endl;
        wifiTimer.expires_after(opts.wifiJoinDelay);
        wifiTimer.async_wait([this, ok, ssid](const boost::system::error_code& ec) {
            if (stopping || ec) return;
            {
                std::lock_guard<std::mutex> lk(m);
                wifi = ok ? WifiState::Connected : WifiState::Failed;
            }
            cv.notify_all();
            std::cout << "SentrelEmulator> Wi-Fi " << quotedJsonString(ssid)
                      << (ok ? ": joined" : ": join failed") << std::endl;
        });
    }

    std::string statusText() {
        std::lock_guard<std::mutex> lk(m);
        return "{\"MessageType\":\"StatusData\",\"Message\":{\"battLvlPerc\":" + std::to_string(battery) +
               ",\"pluggedIn\":" + (plugged ? "true" : "false") + "}}";
    }

    std::string networkStatusText() {
        std::lock_guard<std::mutex> lk(m);
        bool up = wifi == WifiState::Connected;
        return "{\"MessageType\":\"NetworkStatusData\",\"Message\":{\"ssid\":" + quotedJsonString(lastSsid) +
               ",\"ipAddress\":" + quotedJsonString(up ? opts.wifiIpAddress : "") +
               ",\"wifiConnected\":" + (up ? "true" : "false") +
               ",\"wifiStatus\":" + quotedJsonString(toString(wifi)) + "}}";
    }

    std::string calListText(const std::string& type) {
        std::lock_guard<std::mutex> lk(m);
        std::string names;
        auto it = calibrations.find(type);
        if (it != calibrations.end()) {
            for (const auto& entry : it->second) {
                if (!names.empty()) names += ",";
                names += quotedJsonString(entry.first);
            }
        }
        return "{\"MessageType\":\"CalList\",\"Message\":{\"calType\":" + quotedJsonString(type) +
               ",\"calNames\":[" + names + "]}}";
    }

    std::string unsolicitedText() {
        return "{\"MessageType\":\"UnitEvent\",\"Message\":{\"event\":\"Heartbeat\",\"serial\":" +
               quotedJsonString(opts.serial) + "}}";
    }

    void queue(const std::shared_ptr<Conn>& conn, std::string bytes, bool pauseAfter) {
        conn->outBytes += bytes.size();
        conn->out.push_back({std::move(bytes), pauseAfter});
    }

    void reply(const std::shared_ptr<Conn>& conn, const std::string& json, const Faults& f) {
        if (f.neverAnswer) return;
        if (f.unsolicitedBeforeReply) queue(conn, frameUnitMessage(unsolicitedText()), false);
        std::string payload = frameUnitMessage(json);
        if (f.twoFramesPerWrite) payload += frameUnitMessage(unsolicitedText());
        if (f.splitReplies) {
            // Cut inside the length field and inside the JSON text, so a reader
            // has to put the frame together from several reads.
            std::size_t a = std::min<std::size_t>(3, payload.size());
            std::size_t b = a + (payload.size() - a) / 2;
            queue(conn, payload.substr(0, a), true);
            queue(conn, payload.substr(a, b - a), true);
            queue(conn, payload.substr(b), false);
        } else {
            queue(conn, std::move(payload), false);
        }
        if (conn->outBytes > kMaxPendingReplyBytes) {
            // A client that asks without reading must not grow the queue.
            std::cout << "SentrelEmulator> closing connection " << conn->id << ": more than "
                      << kMaxPendingReplyBytes << " reply bytes not read" << std::endl;
            closeConn(conn);
            return;
        }
        if (!conn->writing) doWrite(conn);
    }

    void doWrite(const std::shared_ptr<Conn>& conn) {
        if (conn->closed || conn->out.empty()) {
            conn->writing = false;
            return;
        }
        conn->writing = true;
        asio::async_write(conn->sock, asio::buffer(conn->out.front().bytes),
                          [this, conn](const boost::system::error_code& ec, std::size_t) {
                              if (stopping || conn->closed) return;
                              if (ec) {
                                  std::cout << "SentrelEmulator> write failed: " << ec.message() << std::endl;
                                  closeConn(conn);
                                  return;
                              }
                              bool pause = conn->out.front().pauseAfter;
                              conn->outBytes -= conn->out.front().bytes.size();
                              conn->out.pop_front();
                              if (!pause) {
                                  doWrite(conn);
                                  return;
                              }
                              // A pause lets each piece leave as its own segment.
                              conn->gap.expires_after(opts.splitReplyGap);
                              conn->gap.async_wait([this, conn](const boost::system::error_code& e) {
                                  if (stopping || e || conn->closed) return;
                                  doWrite(conn);
                              });
                          });
    }

    void doUdpReceive() {
        udpSocket.async_receive_from(
            asio::buffer(udpBuf), udpSender,
            [this](const boost::system::error_code& ec, std::size_t n) {
                if (stopping || ec == asio::error::operation_aborted) return;
                if (!ec) {
                    std::string text(udpBuf.data(), n);
                    {
                        std::lock_guard<std::mutex> lk(m);
                        ++datagrams;
                        lastDatagramText = text;
                    }
                    cv.notify_all();
                    if (text != "[STOPME]@") {
                        std::string answer = "SENTREL " + opts.serial + "@";
                        boost::system::error_code sendError;
                        udpSocket.send_to(asio::buffer(answer), udpSender, 0, sendError);
                    }
                }
                if (udpSocket.is_open()) doUdpReceive();
            });
    }

    void scheduleConsole() {
        consoleTimer.expires_after(opts.consolePeriod);
        consoleTimer.async_wait([this](const boost::system::error_code& ec) {
            if (stopping || ec) return;
            std::cout << summary() << std::endl;
            scheduleConsole();
        });
    }

    void applyRefuse(bool refuse) {
        if (stopping) return;
        boost::system::error_code ignored;
        if (refuse && acceptor.is_open()) {
            acceptor.close(ignored);
        } else if (!refuse && !acceptor.is_open()) {
            try {
                openAcceptor();
                doAccept();
            } catch (const std::exception& e) {
                acceptor.close(ignored);
                std::cerr << "SentrelEmulator> cannot listen again: " << e.what() << std::endl;
            }
        }
    }

    std::string summary() { return view.consoleLine(Clock::now()); }

    // A reset instead of a shutdown: the bridge's next write or read fails.
    void resetCurrent() {
        if (!current) {
            std::cout << "SentrelEmulator> reset: no connection" << std::endl;
            return;
        }
        std::cout << "SentrelEmulator> resetting connection " << current->id << std::endl;
        boost::system::error_code ignored;
        current->sock.set_option(asio::socket_base::linger(true, 0), ignored);
        current->abortive = true;
        closeConn(current);
    }

    template <class Pred>
    bool waitFor(std::chrono::milliseconds timeout, Pred pred) const {
        std::unique_lock<std::mutex> lk(m);
        return cv.wait_for(lk, timeout, pred);
    }
};

SentrelEmulator::SentrelEmulator(Options options) : impl(new Impl(std::move(options))) {}

SentrelEmulator::~SentrelEmulator() { stop(); }

void SentrelEmulator::start() {
    std::lock_guard<std::mutex> life(impl->lifeMutex);
    if (impl->ioThread.running()) return;
    Impl& d = *impl;
    boost::system::error_code ignored;
    try {
        if (!d.currentFaults().refuseConnections) d.openAcceptor();
        if (d.opts.udpPort != 0) {
            udp::endpoint ep(asio::ip::make_address(d.opts.address), d.opts.udpPort);
            d.udpSocket.open(ep.protocol());
            d.udpSocket.set_option(udp::socket::reuse_address(true));
            d.udpSocket.bind(ep);
        }
    } catch (...) {
        d.acceptor.close(ignored);
        d.udpSocket.close(ignored);
        throw;
    }
    d.stopping = false;
    d.doAccept();
    if (d.udpSocket.is_open()) d.doUdpReceive();
    if (d.opts.consoleView) d.scheduleConsole();
    {
        std::lock_guard<std::mutex> lk(d.m);
        d.isRunning = true;
    }
    d.ioThread.start();
}

void SentrelEmulator::stop() {
    std::lock_guard<std::mutex> life(impl->lifeMutex);
    Impl& d = *impl;
    if (!d.ioThread.running()) return;
    d.ioThread.stop([&d] {
        d.stopping = true;
        boost::system::error_code ignored;
        d.acceptor.close(ignored);
        d.udpSocket.close(ignored);
        d.wifiTimer.cancel();
        d.consoleTimer.cancel();
        if (d.current) d.closeConn(d.current);
    });
    {
        std::lock_guard<std::mutex> lk(d.m);
        d.isRunning = false;
        d.clientUp = false;
    }
    d.cv.notify_all();
}

bool SentrelEmulator::running() const {
    std::lock_guard<std::mutex> lk(impl->m);
    return impl->isRunning;
}

void SentrelEmulator::setFaults(const Faults& faults) {
    {
        std::lock_guard<std::mutex> lk(impl->m);
        impl->faults = faults;
    }
    std::lock_guard<std::mutex> life(impl->lifeMutex);
    if (impl->ioThread.running()) {
        bool refuse = faults.refuseConnections;
        asio::post(impl->io, [this, refuse] { impl->applyRefuse(refuse); });
    }
}

SentrelEmulator::Faults SentrelEmulator::faults() const { return impl->currentFaults(); }

void SentrelEmulator::setBattery(int level, bool pluggedIn) {
    std::lock_guard<std::mutex> lk(impl->m);
    impl->battery = level;
    impl->plugged = pluggedIn;
}

bool SentrelEmulator::vital(const std::string& member, VitalValue& out) const {
    std::lock_guard<std::mutex> lk(impl->m);
    auto it = impl->vitalValues.find(member);
    if (it == impl->vitalValues.end()) return false;
    out = it->second;
    return true;
}

std::map<std::string, SentrelEmulator::VitalValue> SentrelEmulator::vitals() const {
    std::lock_guard<std::mutex> lk(impl->m);
    return impl->vitalValues;
}

std::vector<int> SentrelEmulator::recentSamples(const std::string& slot) const {
    std::lock_guard<std::mutex> lk(impl->m);
    auto it = impl->samples.find(slot);
    if (it == impl->samples.end()) return {};
    return std::vector<int>(it->second.begin(), it->second.end());
}

std::uint64_t SentrelEmulator::sampleCount(const std::string& slot) const {
    std::lock_guard<std::mutex> lk(impl->m);
    auto it = impl->sampleTotals.find(slot);
    return it == impl->sampleTotals.end() ? 0 : it->second;
}

std::uint64_t SentrelEmulator::messageCount(const std::string& type) const {
    std::lock_guard<std::mutex> lk(impl->m);
    auto it = impl->typeCounts.find(type);
    return it == impl->typeCounts.end() ? 0 : it->second;
}

std::uint64_t SentrelEmulator::totalMessageCount() const {
    std::lock_guard<std::mutex> lk(impl->m);
    return impl->totalMessages;
}

std::vector<SentrelEmulator::ReceivedMessage> SentrelEmulator::messageLog() const {
    std::lock_guard<std::mutex> lk(impl->m);
    return std::vector<ReceivedMessage>(impl->log.begin(), impl->log.end());
}

std::uint64_t SentrelEmulator::malformedFrameCount() const {
    std::lock_guard<std::mutex> lk(impl->m);
    return impl->malformed;
}

std::vector<std::string> SentrelEmulator::calibrationNames(const std::string& calType) const {
    std::lock_guard<std::mutex> lk(impl->m);
    std::vector<std::string> names;
    auto it = impl->calibrations.find(calType);
    if (it != impl->calibrations.end())
        for (const auto& entry : it->second) names.push_back(entry.first);
    return names;
}

std::string SentrelEmulator::calibrationData(const std::string& calType, const std::string& calName) const {
    std::lock_guard<std::mutex> lk(impl->m);
    auto it = impl->calibrations.find(calType);
    if (it != impl->calibrations.end())
        for (const auto& entry : it->second)
            if (entry.first == calName) return entry.second;
    return "";
}

std::uint64_t SentrelEmulator::namesNotKept() const {
    std::lock_guard<std::mutex> lk(impl->m);
    return impl->namesNotKept;
}

unsigned SentrelEmulator::connectionCount() const {
    std::lock_guard<std::mutex> lk(impl->m);
    return impl->connections;
}

bool SentrelEmulator::clientConnected() const {
    std::lock_guard<std::mutex> lk(impl->m);
    return impl->clientUp;
}

SentrelEmulator::WifiState SentrelEmulator::wifiState() const {
    std::lock_guard<std::mutex> lk(impl->m);
    return impl->wifi;
}

std::uint64_t SentrelEmulator::datagramCount() const {
    std::lock_guard<std::mutex> lk(impl->m);
    return impl->datagrams;
}

std::string SentrelEmulator::lastDatagram() const {
    std::lock_guard<std::mutex> lk(impl->m);
    return impl->lastDatagramText;
}

bool SentrelEmulator::waitForMessageCount(const std::string& type, std::uint64_t n,
                                          std::chrono::milliseconds timeout) const {
    return impl->waitFor(timeout, [&] {
        auto it = impl->typeCounts.find(type);
        return it != impl->typeCounts.end() && it->second >= n;
    });
}

bool SentrelEmulator::waitForSampleCount(const std::string& slot, std::uint64_t n,
                                         std::chrono::milliseconds timeout) const {
    return impl->waitFor(timeout, [&] {
        auto it = impl->sampleTotals.find(slot);
        return it != impl->sampleTotals.end() && it->second >= n;
    });
}

bool SentrelEmulator::waitForConnectionCount(unsigned n, std::chrono::milliseconds timeout) const {
    return impl->waitFor(timeout, [&] { return impl->connections >= n; });
}

bool SentrelEmulator::waitForMalformedCount(std::uint64_t n, std::chrono::milliseconds timeout) const {
    return impl->waitFor(timeout, [&] { return impl->malformed >= n; });
}

bool SentrelEmulator::waitForWifiState(WifiState state, std::chrono::milliseconds timeout) const {
    return impl->waitFor(timeout, [&] { return impl->wifi == state; });
}

bool SentrelEmulator::waitForDatagramCount(std::uint64_t n, std::chrono::milliseconds timeout) const {
    return impl->waitFor(timeout, [&] { return impl->datagrams >= n; });
}

std::string SentrelEmulator::summaryLine() const { return impl->summary(); }

MonitorState& SentrelEmulator::monitorState() { return impl->view; }

void SentrelEmulator::resetConnection() {
    std::lock_guard<std::mutex> life(impl->lifeMutex);
    if (impl->ioThread.running()) asio::post(impl->io, [this] { impl->resetCurrent(); });
}

void SentrelEmulator::setRefusing(bool refuse) {
    Faults f = faults();
    f.refuseConnections = refuse;
    setFaults(f);
    std::lock_guard<std::mutex> life(impl->lifeMutex);
    if (!refuse || !impl->ioThread.running()) return;
    asio::post(impl->io, [this] {
        if (!impl->current) return;
        std::cout << "SentrelEmulator> refusing: closing connection " << impl->current->id << std::endl;
        impl->closeConn(impl->current);
    });
}

std::string SentrelEmulator::serveBytes(const std::string& bytes) {
    std::lock_guard<std::mutex> life(impl->lifeMutex);
    if (impl->ioThread.running()) throw std::logic_error("SentrelEmulator::serveBytes while started");
    Impl& d = *impl;
    auto conn = std::make_shared<Impl::Conn>(d.io, 0);
    conn->writing = true;  // no socket: replies stay queued for the caller
    conn->parser.append(bytes.data(), bytes.size());
    d.drainFrames(conn);
    std::string written;
    for (const auto& w : conn->out) written += w.bytes;
    // Let what the frames set going on the event loop (a Wi-Fi join timer
    // replaced by a later one) finish, so nothing piles up between calls.
    d.io.restart();
    d.io.poll();
    return written;
}
