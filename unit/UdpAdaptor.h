#pragma once

#include "Timing.h"
#include "UdpAnswerAccumulator.h"

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/system/error_code.hpp>

#include <array>
#include <atomic>
#include <memory>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <thread>

// The datagram side channel to the unit: one IPv4 UDP socket bound to local
// port 14997, text datagrams to the unit's port 14997, and a receive thread
// that gathers the unit's answers, each ending with "@".
class UdpAdaptor {
public:
    static constexpr unsigned short kPort = 14997;
    static constexpr std::size_t kReceiveBufferSize = 250;
    static constexpr std::size_t kMaxAnswerBytes = UdpAnswerAccumulator::kMaxAnswerBytes;
    // Looks that waitConnection (every timing.udpAnswerPoll) and waitResponse
    // (every timing.udpResponsePoll) take before giving up.
    static constexpr int kWaitLooks = 30;

    // Binds to the wildcard address. Raises boost::system::system_error
    // naming the failed step ("set_option", "bind", "resolve").
    UdpAdaptor(boost::asio::io_context& io, const std::string& host, const Timing& timing = Timing());
    // Binds to `bindAddress` instead (a loopback address in tests). An empty
    // host then names the adaptor's own socket, as loopback does for the
    // wildcard bind.
    UdpAdaptor(boost::asio::io_context& io, const std::string& host, const std::string& bindAddress,
               const Timing& timing = Timing());
    virtual ~UdpAdaptor();
    UdpAdaptor(const UdpAdaptor&) = delete;
    UdpAdaptor& operator=(const UdpAdaptor&) = delete;

    void start_receive();
    void handle_receive();
    void sendCommand(std::string& text, boost::system::error_code& error, unsigned long expectedLength);
    bool waitConnection(std::string& sender, std::string& response);
    std::string waitResponse();
    void stop_receive();
    void enableDebugMode();

    // Text form of an endpoint's address: dotted IPv4, or IPv6 text with its
    // "%" scope suffix where it has one.
    static std::string addressText(const boost::asio::ip::udp::endpoint& endpoint);

private:
    // One datagram into receiveBuffer, its sender into senderEndpoint; `cut`
    // tells that it was longer than the buffer. -1 on a receive error.
    ssize_t receiveDatagram(bool& cut);

    const Timing timing;
    boost::asio::io_context ioService;
    boost::asio::ip::udp::socket socket;
    boost::asio::ip::udp::endpoint senderEndpoint;
    boost::asio::ip::udp::endpoint remoteEndpoint;
    std::array<char, kReceiveBufferSize> receiveBuffer{};
    std::string lastResponse;
    std::string lastSender;
    UdpAnswerAccumulator answers;  // unfinished answers, per sender
    unsigned long requests = 0;    // sendCommand calls so far
    std::mutex responseMutex;      // guards the four above
    std::atomic<bool> receiving{false};
    std::unique_ptr<std::thread> receiveThread;
    std::atomic<bool> debugMode{false};
};
