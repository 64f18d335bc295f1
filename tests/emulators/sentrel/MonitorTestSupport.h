#pragma once

// Helpers for the monitor page tests: the emulated unit with its monitor
// server on one loopback address, a stand-in bridge streaming known frames
// to it, and raw HTTP clients (one exchange, an event stream reader, and a
// viewer that never reads).

#include "MonitorServer.h"
#include "EmulatedUnit.h"
#include "SentrelEmulator.h"
#include "SentrelTestSupport.h"

#include <boost/asio.hpp>
#include <boost/property_tree/json_parser.hpp>

#include <poll.h>

#include <atomic>
#include <cmath>
#include <sstream>
#include <string>
#include <thread>

namespace montest {

using namespace std::chrono_literals;

constexpr unsigned short kMonitorPort = 8080;

// The VitalsData a bridge sends (every value a JSON string, as the bridge's
// writer makes them); -1, None and Unknown are its "not set" values.
inline std::string knownVitals(const std::string& hr = "72")
{
    return "{\"MessageType\":\"VitalsData\",\"Message\":{\"hr\":\"" + hr +
           "\",\"sbp\":\"120\",\"dbp\":\"80\",\"mbp\":\"93\","
           "\"sPAP\":\"25\",\"dPAP\":\"10\",\"mPAP\":\"15\",\"CVP\":\"-1\",\"t1\":\"36.5\",\"t2\":\"37.0\","
           "\"rr\":\"14\",\"etCO2\":\"38\",\"co2FlowFactor\":\"-1\",\"spO2\":\"97\",\"spO2Ratio\":\"120\","
           "\"spo2Override\":\"On\",\"abpZeroState\":\"NotZeroing\",\"papZeroState\":\"Zeroing\","
           "\"cvpZeroState\":\"Unknown\"}}";
}

// `n` samples of a wave between `low` and `high`, 30 samples a period,
// starting `from` samples into it.
inline std::string samplesJson(int low, int high, std::size_t n, std::size_t from)
{
    std::string out = "[";
    for (std::size_t i = 0; i < n; ++i) {
        const double phase = 2 * M_PI * static_cast<double>(from + i) / 30;
        out += (i ? "," : "") + std::to_string(low + static_cast<int>(std::lround((high - low) * (1 - std::cos(phase)) / 2)));
    }
    return out + "]";
}

// One WaveformData message: `n` samples per shown slot at typical levels.
inline std::string waveform(std::size_t n, std::size_t from = 0)
{
    return "{\"MessageType\":\"WaveformData\",\"Message\":{\"pleth\":" + samplesJson(10, 90, n, from) +
           ",\"ecg\":[],\"abp\":" + samplesJson(80, 120, n, from) + ",\"pap\":" + samplesJson(10, 25, n, from) +
           ",\"cvp\":" + samplesJson(3, 8, n, from) + ",\"aux\":[],\"co2\":" + samplesJson(1, 38, n, from) + "}}";
}

struct Unit {
    static MonitorServer::Options monitorAt(const std::string& address)
    {
        MonitorServer::Options o;
        o.address = address;
        o.port = kMonitorPort;
        o.eventPeriod = 50ms;
        o.requestTimeout = 2000ms;
        o.lingerTime = 1000ms;
        return o;
    }

    explicit Unit(const std::string& address) : Unit(address, monitorAt(address)) {}
    Unit(const std::string& address, const MonitorServer::Options& monitorOptions)
        : address(address), emulator(testsupport::unitOptions(address)), monitor(emulator.monitorState(), monitorOptions)
    {
        emulator.start();
        monitor.start();
    }
    std::string url(const std::string& path = "/") const
    {
        return "http://" + address + ":" + std::to_string(kMonitorPort) + path;
    }

    std::string address;
    SentrelEmulator emulator;
    MonitorServer monitor;
};

// Streams like a bridge: the known vitals once, then a WaveformData message
// with `samples` values per slot every 20 ms, until destroyed.
class BridgeStandIn {
public:
    BridgeStandIn(const std::string& address, std::size_t samples = 2)
        : client(address), thread([this, samples] { run(samples); })
    {
    }
    ~BridgeStandIn()
    {
        stopping = true;
        thread.join();
    }
    std::uint64_t sent() const { return frames; }

private:
    void run(std::size_t samples)
    {
        try {
            client.sendJson(knownVitals());
            for (std::size_t from = 0; !stopping; from += samples) {
                client.sendJson(waveform(samples, from));
                ++frames;
                std::this_thread::sleep_for(20ms);
            }
        } catch (const std::exception&) {
            // The emulator closed the connection; the test sees it stop.
        }
    }

    sntest::RawUnitClient client;
    std::atomic<bool> stopping{false};
    std::atomic<std::uint64_t> frames{0};
    std::thread thread;
};

// A blocking TCP client with bounded waits.
class RawHttpClient {
public:
    // receiveBuffer > 0 shrinks the socket's receive buffer before connecting.
    RawHttpClient(const std::string& address, unsigned short port, int receiveBuffer = 0) : socket(io)
    {
        namespace ip = boost::asio::ip;
        socket.open(ip::tcp::v4());
        if (receiveBuffer > 0)
            socket.set_option(boost::asio::socket_base::receive_buffer_size(receiveBuffer));
        socket.connect(ip::tcp::endpoint(ip::make_address(address), port));
    }

    // False when the server closed or reset before taking all the bytes.
    bool send(const std::string& bytes)
    {
        boost::system::error_code ec;
        boost::asio::write(socket, boost::asio::buffer(bytes), ec);
        return !ec;
    }
    void finishSending()
    {
        boost::system::error_code ignored;
        socket.shutdown(boost::asio::ip::tcp::socket::shutdown_send, ignored);
    }

    // Whatever arrives within the timeout; `closed` tells whether the server
    // ended the connection.
    std::string receive(std::chrono::milliseconds timeout, bool* closed = nullptr)
    {
        const auto end = std::chrono::steady_clock::now() + timeout;
        std::string got;
        for (;;) {
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
            pollfd p{socket.native_handle(), POLLIN, 0};
            if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0)
                return got;
            char buf[65536];
            boost::system::error_code ec;
            const std::size_t n = socket.read_some(boost::asio::buffer(buf), ec);
            if (ec) {
                if (closed)
                    *closed = true;
                return got;
            }
            got.append(buf, n);
        }
    }

    // The whole answer to one request: sent, then read until the server closes.
    std::string exchange(const std::string& request, std::chrono::milliseconds timeout = 5000ms)
    {
        send(request);
        finishSending();
        return receive(timeout);
    }

    // The JSON text of the next event of a stream ("" when none came in time).
    std::string nextEvent(std::chrono::milliseconds timeout = 5000ms)
    {
        const auto end = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            for (auto pos = buffered.find("\n\n"); pos != std::string::npos; pos = buffered.find("\n\n")) {
                std::string record = buffered.substr(0, pos);
                buffered.erase(0, pos + 2);
                const std::string data = "data: ";
                const auto at = record.find(data);
                if (at != std::string::npos)
                    return record.substr(at + data.size());
            }
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now());
            if (left.count() <= 0)
                return "";
            bool closed = false;
            const std::string more = receive(std::min<std::chrono::milliseconds>(left, 100ms), &closed);
            buffered += more;
            if (closed)
                return "";
        }
    }

private:
    boost::asio::io_context io;
    boost::asio::ip::tcp::socket socket;
    std::string buffered;
};

inline std::string streamRequest(const std::string& address)
{
    return "GET /events HTTP/1.1\r\nHost: " + address + "\r\nAccept: text/event-stream\r\n\r\n";
}

inline boost::property_tree::ptree parseJson(const std::string& text)
{
    boost::property_tree::ptree tree;
    std::istringstream in(text);
    boost::property_tree::read_json(in, tree);
    return tree;
}

} // namespace montest
