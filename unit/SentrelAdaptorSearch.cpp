// Finding the unit without a configured address: a scan of an IPv4 address
// range, and a probe of the /16 broadcast addresses of this machine's networks.
#include "Log.h"
#include "SentrelAdaptor.h"
#include "UdpAdaptor.h"

#include <boost/asio/ip/address_v4.hpp>
#include <boost/asio/ip/host_name.hpp>
#include <boost/asio/ip/udp.hpp>
#include <boost/system/system_error.hpp>

#include <cstdint>
#include <cstdlib>
#include <thread>

using boost::asio::ip::address_v4;
using boost::asio::ip::udp;

bool SentrelAdaptor::connectRange(const std::string&, const std::string& start, const std::string& end) {
    const std::uint32_t first = boost::asio::ip::make_address_v4(start).to_uint();
    const std::uint32_t last = boost::asio::ip::make_address_v4(end).to_uint();
    if (!(first < last)) {
        snlog::err() << "SN>ERROR>IP Range incorrect, end address > start address";
        std::exit(1);
    }
    // Counted so that a range ending at 255.255.255.255 cannot wrap around.
    for (std::uint64_t a = first; a <= last; ++a) {
        const std::string previous = UnitLink::lastConnectedIP();
        if (!previous.empty()) {
            snlog::out() << "Trying last successful IP address " << previous;
            if (link.connectIP(previous, 3))
                return true;
        }
        const std::string ip = address_v4(static_cast<std::uint32_t>(a)).to_string();
        snlog::out() << "Scanning " << ip;
        if (link.connectIP(ip, 3))
            return true;
    }
    return false;
}

bool SentrelAdaptor::connectUDP(const std::string& unused) {
    std::vector<std::string> local;
    try {
        boost::asio::io_context lookup;
        udp::resolver resolver(lookup);
        auto results = resolver.resolve(udp::v4(), boost::asio::ip::host_name(), "14998",
                                        udp::resolver::address_configured);
        for (const auto& entry : results) {
            const auto address = entry.endpoint().address();
            if (address.is_v4()) local.push_back(address.to_string());
        }
    } catch (const std::exception&) {
        snlog::err() << "SN>Unable to find a network interface...";
        std::this_thread::sleep_for(timing.interfaceLookupPause);
        return false;
    }
    return connectUDP(unused, local);
}

bool SentrelAdaptor::connectUDP(const std::string&, const std::vector<std::string>& localAddresses,
                                const std::string& bindAddress) {
    for (const std::string& text : localAddresses) {
        boost::system::error_code ec;
        const address_v4 address = boost::asio::ip::make_address_v4(text, ec);
        if (ec) continue;  // only IPv4 addresses have a /16 broadcast form
        const address_v4 mask = boost::asio::ip::make_address_v4("255.255.0.0");
        const address_v4 broadcast(address.to_uint() | ~mask.to_uint());
        const std::string target = broadcast.to_string();
        snlog::out() << "SN>Pinging " << target;
        if (link.connectIP(target, 10)) {
            udpLink.reset();  // the old channel lets go of the local port first
            udpLink = std::make_unique<UdpAdaptor>(ioService, udpHost, bindAddress, timing);
            udpLink->start_receive();
            return true;
        }
    }
    return false;
}
