#include "UdpAdaptor.h"

#include "Log.h"

#include <boost/asio/error.hpp>
#include <boost/system/system_error.hpp>

#include <chrono>
#include <poll.h>
#include <cstring>
#include <sys/socket.h>
#include <system_error>

namespace asio = boost::asio;
using asio::ip::udp;

UdpAdaptor::UdpAdaptor(asio::io_context& io, const std::string& host, const Timing& timing)
    : UdpAdaptor(io, host, "0.0.0.0", timing) {}

UdpAdaptor::UdpAdaptor(asio::io_context& io, const std::string& host, const std::string& bindAddress,
                       const Timing& timing)
    : timing(timing), socket(io) {
    boost::system::error_code ec;
    socket.open(udp::v4(), ec);
    if (ec) throw boost::system::system_error(ec, "open");
    socket.set_option(asio::socket_base::reuse_address(true), ec);
    if (ec) throw boost::system::system_error(ec, "set_option");
    asio::ip::address_v4 local = asio::ip::make_address_v4(bindAddress, ec);
    if (ec) throw boost::system::system_error(ec, "bind");
    socket.bind(udp::endpoint(local, kPort), ec);
    if (ec) throw boost::system::system_error(ec, "bind");
    // The receive thread polls, then reads what is there without blocking.
    socket.non_blocking(true, ec);
    if (ec) throw boost::system::system_error(ec, "set_option");

    if (host.empty() && !local.is_unspecified()) {
        // An empty host means this machine's own side-channel port; bound to
        // one address, that is where our own socket listens.
        remoteEndpoint = udp::endpoint(local, kPort);
        return;
    }
    udp::resolver resolver(io);
    auto results = resolver.resolve(udp::v4(), host, std::to_string(kPort),
                                    udp::resolver::address_configured, ec);
    if (!ec && results.empty()) ec = asio::error::host_not_found;
    if (ec) throw boost::system::system_error(ec, "resolve");
    remoteEndpoint = results.begin()->endpoint();
}

UdpAdaptor::~UdpAdaptor() {
    try {
        stop_receive();
    } catch (const std::exception& e) {
        snlog::err() << "SN>ERROR>" << e.what();
    }
    boost::system::error_code ignored;
    if (socket.is_open()) socket.close(ignored);
}

void UdpAdaptor::start_receive() {
    // A stopped adaptor is not restarted: its owner makes a new one.
    if (!socket.is_open()) return;
    if (receiving.exchange(true)) return;
    try {
        receiveThread.reset(new std::thread(&UdpAdaptor::handle_receive, this));
    } catch (const std::system_error& e) {
        receiving = false;
        throw boost::system::system_error(
            boost::system::error_code(e.code().value(), boost::system::system_category()),
            "thread constructor failed");
    }
}

void UdpAdaptor::handle_receive() {
    // Polling, rather than blocking in the receive, lets the thread see
    // `receiving` go false without depending on the stop text coming back.
    const int pollMs = static_cast<int>(timing.udpReceivePoll.count());
    try {
        while (receiving) {
            pollfd p{socket.native_handle(), POLLIN, 0};
            if (::poll(&p, 1, pollMs) <= 0) continue;
            receiveBuffer.fill(0);
            bool cut = false;
            const ssize_t n = receiveDatagram(cut);
            if (n < 0) continue;
            const std::string sender = addressText(senderEndpoint);
            const std::string senderKey = sender + ":" + std::to_string(senderEndpoint.port());
            std::string answer, error;
            UdpAnswerAccumulator::Status status;
            unsigned long request;
            {
                std::lock_guard<std::mutex> lock(responseMutex);
                status = answers.add(senderKey, receiveBuffer.data(), static_cast<std::size_t>(n), cut, answer, error);
                request = requests;
            }
            if (status == UdpAnswerAccumulator::Status::Error) {
                snlog::err() << "SN>ERROR>" << error;
                continue;
            }
            if (status == UdpAnswerAccumulator::Status::NeedMore) continue;
            if (debugMode) snlog::out() << "SN>Received: " << answer;
            std::lock_guard<std::mutex> lock(responseMutex);
            if (request != requests) continue;  // gathered before a new request went out
            lastResponse = answer;
            lastSender = sender;
        }
    } catch (const std::exception& e) {
        snlog::err() << e.what();
    }
}

ssize_t UdpAdaptor::receiveDatagram(bool& cut) {
    sockaddr_storage from{};
    iovec part{receiveBuffer.data(), receiveBuffer.size()};
    msghdr message{};
    message.msg_name = &from;
    message.msg_namelen = sizeof from;
    message.msg_iov = &part;
    message.msg_iovlen = 1;
    const ssize_t n = ::recvmsg(socket.native_handle(), &message, 0);
    if (n < 0) return n;
    // The kernel says when a datagram did not fit; the receive itself does not.
    cut = (message.msg_flags & MSG_TRUNC) != 0;
    const std::size_t size = std::min<std::size_t>(message.msg_namelen, senderEndpoint.capacity());
    std::memcpy(senderEndpoint.data(), &from, size);
    senderEndpoint.resize(size);
    return n;
}

void UdpAdaptor::sendCommand(std::string& text, boost::system::error_code& error, unsigned long) {
    if (debugMode) snlog::out() << "SN>Sending: " << text;
    {
        // Cleared before the send, so that a quick answer cannot be wiped;
        // what was gathered for an earlier request goes with it.
        std::lock_guard<std::mutex> lock(responseMutex);
        lastResponse.clear();
        lastSender.clear();
        answers.clear();
        ++requests;
    }
    socket.send_to(asio::buffer(text), remoteEndpoint, 0, error);
}

bool UdpAdaptor::waitConnection(std::string& sender, std::string& response) {
    for (int i = 0; i < kWaitLooks; ++i) {
        std::this_thread::sleep_for(timing.udpAnswerPoll);
        std::lock_guard<std::mutex> lock(responseMutex);
        if (!lastResponse.empty()) {
            response = lastResponse;
            sender = lastSender;
            lastResponse.clear();
            return true;
        }
    }
    return false;
}

std::string UdpAdaptor::waitResponse() {
    for (int i = 0; i < kWaitLooks; ++i) {
        std::this_thread::sleep_for(timing.udpResponsePoll);
        std::lock_guard<std::mutex> lock(responseMutex);
        if (!lastResponse.empty()) {
            if (debugMode) snlog::out() << "SN>Response: " << lastResponse;
            std::string text;
            text.swap(lastResponse);
            return text;
        }
    }
    return "";
}

void UdpAdaptor::stop_receive() {
    if (!receiving.exchange(false)) return;
    std::string stopText = "[STOPME]@";
    boost::system::error_code ignored;
    sendCommand(stopText, ignored, 0);
    // Join before closing: the receive thread must never see its socket
    // closed (or its descriptor reused) under it.
    if (receiveThread) {
        if (receiveThread->joinable()) receiveThread->join();
        receiveThread.reset();
    }
    boost::system::error_code ec;
    socket.close(ec);
    if (ec) throw boost::system::system_error(ec, "close");
}

void UdpAdaptor::enableDebugMode() { debugMode = true; }

std::string UdpAdaptor::addressText(const udp::endpoint& endpoint) {
    return endpoint.address().to_string();
}
