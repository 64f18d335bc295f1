// A blocking loopback TCP client for talking to the emulated simulator
// servers frame by frame. Every read has a bound.
#pragma once

#include "EmulatorWire.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <unistd.h>

struct RawFrame {
    unsigned kind = 0;
    simemu::Bytes body;
    unsigned code() const { return simemu::messageCode(body); }
};

class RawClient {
public:
    RawClient() = default;
    ~RawClient() { close(); }

    bool connect(const std::string& address, unsigned short port) {
        close();
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        ::inet_pton(AF_INET, address.c_str(), &a.sin_addr);
        if (::connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
            close();
            return false;
        }
        return true;
    }
    void close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }
    bool sendBytes(const simemu::Bytes& b) {
        return fd_ >= 0 && ::send(fd_, b.data(), b.size(), MSG_NOSIGNAL) == ssize_t(b.size());
    }
    bool sendBody(const simemu::Bytes& body, unsigned kind = 0) { return sendBytes(simemu::frame(body, kind)); }

    // Reads up to n bytes within the time; returns how many arrived.
    std::size_t readSome(std::uint8_t* dst, std::size_t n, int timeoutMs) {
        std::size_t got = 0;
        while (got < n) {
            pollfd pf{fd_, POLLIN, 0};
            if (::poll(&pf, 1, timeoutMs) <= 0) break;
            ssize_t k = ::recv(fd_, dst + got, n - got, 0);
            if (k <= 0) {
                closedByPeer_ = true;
                break;
            }
            got += std::size_t(k);
        }
        return got;
    }
    bool readFrame(RawFrame& f, int timeoutMs = 3000) {
        std::uint8_t h[32];
        if (readSome(h, 32, timeoutMs) != 32) return false;
        simemu::Bytes hb(h, h + 32);
        std::uint32_t len = simemu::get32(hb, 0);
        if (len <= 32 || len > (1u << 20)) return false;
        f.kind = simemu::get32(hb, 8);
        f.body.assign(len - 32, 0);
        return readSome(f.body.data(), f.body.size(), timeoutMs) == f.body.size();
    }
    // Next data frame with this code (others are skipped), within the time.
    bool readUntilCode(unsigned code, RawFrame& f, int timeoutMs = 3000) {
        for (int i = 0; i < 200; ++i) {
            if (!readFrame(f, timeoutMs)) return false;
            if (f.kind == 0 && f.code() == code) return true;
        }
        return false;
    }
    bool peerClosed(int timeoutMs) {
        std::uint8_t b[4096];
        for (int i = 0; i < 1000 && !closedByPeer_; ++i)
            if (readSome(b, sizeof b, timeoutMs) == 0 && !closedByPeer_) return false;
        return closedByPeer_;
    }

private:
    int fd_ = -1;
    bool closedByPeer_ = false;
};

// Request bodies as the clients build them.
inline simemu::Bytes simRequest(unsigned code) {
    simemu::Bytes b = simemu::messageHeader(4, 2, code);
    simemu::put32(b, 1u << 16);
    return b;
}
inline simemu::Bytes simInputSubscription(const std::vector<std::pair<std::string, bool>>& names) {
    simemu::Bytes b = simRequest(0x0001);
    simemu::put32(b, std::uint32_t(names.size()));
    for (const auto& n : names) {
        simemu::put32(b, 0);
        simemu::put32(b, 0);
        simemu::put32(b, n.second ? 1 : 0);
        simemu::putName(b, n.first);
    }
    return b;
}
inline simemu::Bytes appInputSubscription(unsigned patient, const std::vector<std::string>& names) {
    simemu::Bytes b = simemu::messageHeader(1, 2, 0x0006);
    simemu::put32(b, patient);
    simemu::put32(b, std::uint32_t(names.size()));
    for (const auto& n : names) {
        simemu::put32(b, 0);
        simemu::put32(b, 0);
        simemu::putName(b, n);
    }
    return b;
}
inline simemu::Bytes flowControl(unsigned type) {
    simemu::Bytes b;
    simemu::put32(b, type);
    for (int i = 0; i < 4; ++i) simemu::put32(b, 0xFFFFFFFF);
    return b;
}
