#pragma once

// Helpers for the emulated unit's tests and the unit search tests: a raw
// frame client, a raw datagram peer, and picking lines out of captured output.

#include "UnitFrame.h"

#include <boost/asio.hpp>
#include <gtest/gtest.h>

#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace sntest {

using namespace std::chrono_literals;

// A plain TCP client speaking unit frames, for bytes the adaptor never sends.
class RawUnitClient {
public:
    explicit RawUnitClient(const std::string& address, unsigned short port = 14997) : socket_(io_)
    {
        namespace ip = boost::asio::ip;
        socket_.connect(ip::tcp::endpoint(ip::make_address(address), port));
        socket_.non_blocking(true);
    }

    void sendBytes(const std::string& bytes) { boost::asio::write(socket_, boost::asio::buffer(bytes)); }
    void sendJson(const std::string& json) { sendBytes(frameUnitMessage(json)); }

    // One read of whatever has arrived within the timeout ("" on timeout).
    // Sets `eof` when the peer closed.
    std::string readSome(std::chrono::milliseconds timeout, bool* eof = nullptr)
    {
        pollfd p{socket_.native_handle(), POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(timeout.count())) <= 0)
            return "";
        char buf[65536];
        boost::system::error_code ec;
        std::size_t n = socket_.read_some(boost::asio::buffer(buf), ec);
        if (ec && eof)
            *eof = ec == boost::asio::error::eof || ec == boost::asio::error::connection_reset;
        return std::string(buf, ec ? 0 : n);
    }

    // The JSON text of the next whole frame ("" when none came in time).
    std::string readFrame(std::chrono::milliseconds timeout = 5000ms)
    {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        for (;;) {
            std::string reply, error;
            if (parser_.next(reply, error) == UnitFrameParser::Status::Frame)
                return verifyUnitReply(reply);
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0)
                return "";
            bool eof = false;
            std::string bytes = readSome(left, &eof);
            if (eof)
                return "";
            parser_.append(bytes.data(), bytes.size());
        }
    }

    // True when the peer closes the connection within the timeout.
    bool closedByPeer(std::chrono::milliseconds timeout)
    {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (std::chrono::steady_clock::now() < deadline) {
            bool eof = false;
            readSome(50ms, &eof);
            if (eof)
                return true;
        }
        return false;
    }

private:
    boost::asio::io_context io_;
    boost::asio::ip::tcp::socket socket_;
    UnitFrameParser parser_;
};

// A datagram socket on a loopback address, standing in for either side.
class RawDatagramPeer {
public:
    RawDatagramPeer(const std::string& address, unsigned short port) : socket_(io_)
    {
        namespace ip = boost::asio::ip;
        socket_.open(ip::udp::v4());
        socket_.set_option(boost::asio::socket_base::reuse_address(true));
        socket_.bind(ip::udp::endpoint(ip::make_address_v4(address), port));
    }
    void sendTo(const std::string& text, const std::string& address, unsigned short port = 14997)
    {
        namespace ip = boost::asio::ip;
        socket_.send_to(boost::asio::buffer(text), ip::udp::endpoint(ip::make_address_v4(address), port));
    }
    // One datagram's text, "" when none came in time.
    std::string receive(std::chrono::milliseconds timeout, std::string* sender = nullptr)
    {
        pollfd p{socket_.native_handle(), POLLIN, 0};
        if (::poll(&p, 1, static_cast<int>(timeout.count())) <= 0)
            return "";
        char buf[4096];
        boost::asio::ip::udp::endpoint from;
        std::size_t n = socket_.receive_from(boost::asio::buffer(buf), from);
        if (sender)
            *sender = from.address().to_string();
        return std::string(buf, n);
    }

private:
    boost::asio::io_context io_;
    boost::asio::ip::udp::socket socket_;
};

// Lines of captured output that start with one of the prefixes, in order.
inline std::vector<std::string> linesStartingWith(const std::string& text,
                                                  const std::vector<std::string>& prefixes)
{
    std::vector<std::string> out;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line))
        for (const auto& p : prefixes)
            if (line.compare(0, p.size(), p) == 0) {
                out.push_back(line);
                break;
            }
    return out;
}

}  // namespace sntest
