#pragma once

// A stand-in for systemd's notification socket: a Unix datagram socket in a
// temporary folder whose path goes into NOTIFY_SOCKET, and a reader that
// collects the datagrams it gets.

#include "TestSupport.h"

#include <chrono>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace testsupport {

class NotifyListener {
public:
    NotifyListener() : socketPath(dir.file("notify"))
    {
        fd = ::socket(AF_UNIX, SOCK_DGRAM, 0);
        sockaddr_un at{};
        at.sun_family = AF_UNIX;
        std::strncpy(at.sun_path, socketPath.c_str(), sizeof at.sun_path - 1);
        if (fd < 0 || ::bind(fd, reinterpret_cast<const sockaddr*>(&at), sizeof at) != 0)
            throw std::runtime_error("notification socket: " + std::string(std::strerror(errno)));
    }
    ~NotifyListener() { ::close(fd); }
    NotifyListener(const NotifyListener&) = delete;
    NotifyListener& operator=(const NotifyListener&) = delete;

    const std::string& path() const { return socketPath; }

    // Every datagram received so far, oldest first (reads what is waiting).
    const std::vector<std::string>& messages()
    {
        drain(std::chrono::milliseconds(0));
        return received;
    }
    // True once a datagram equal to `message` arrived after the first `from`.
    bool waitFor(const std::string& message, std::chrono::milliseconds timeout, std::size_t from = 0)
    {
        return eventually([&] { return indexOf(message, from) != npos; }, timeout, std::chrono::milliseconds(20));
    }
    // Index of the first datagram at or after `from` that starts with `prefix`; npos if none.
    std::size_t indexOf(const std::string& prefix, std::size_t from = 0)
    {
        drain(std::chrono::milliseconds(0));
        for (std::size_t i = from; i < received.size(); ++i)
            if (received[i].compare(0, prefix.size(), prefix) == 0)
                return i;
        return npos;
    }
    static constexpr std::size_t npos = static_cast<std::size_t>(-1);

private:
    void drain(std::chrono::milliseconds wait)
    {
        pollfd p{fd, POLLIN, 0};
        while (::poll(&p, 1, static_cast<int>(wait.count())) == 1) {
            char buffer[4096];
            const ssize_t n = ::recv(fd, buffer, sizeof buffer, 0);
            if (n < 0)
                return;
            received.emplace_back(buffer, static_cast<std::size_t>(n));
            wait = std::chrono::milliseconds(0);
        }
    }

    TempDir dir{"sn-notify"};
    std::string socketPath;
    int fd = -1;
    std::vector<std::string> received;
};

}  // namespace testsupport
