#pragma once

#include "SentrelAdaptor.h"
#include "ScriptedUnitPeer.h"

#include <boost/asio/ip/address.hpp>

#include <string>

// Opens the adaptor's socket to a peer without touching the last-connected file.
inline void connectTo(SentrelAdaptor& adaptor, const std::string& address)
{
    adaptor.unitEndpoint = boost::asio::ip::tcp::endpoint(boost::asio::ip::make_address(address),
                                                          SentrelAdaptor::kUnitPort);
    adaptor.connect();
}

inline std::size_t countOf(const std::string& text, const std::string& what)
{
    std::size_t n = 0;
    for (std::size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1))
        ++n;
    return n;
}
