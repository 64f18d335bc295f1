#pragma once

// A scripted stand-in for the Sentrel unit on a loopback address: accepts on
// port 14997, records every frame it receives with its arrival time, and
// answers through a script. It serves the newest connection.

#include "TestSupport.h"
#include "UnitFrame.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

class ScriptedUnitPeer {
public:
    using Clock = std::chrono::steady_clock;
    // Given a received JSON text, returns the writes to make (each element
    // goes out in one send, so a frame can be split or two frames joined).
    using Script = std::function<std::vector<std::string>(const std::string& json)>;

    struct Received {
        Clock::time_point at;
        std::string json;
        int connection = 0;  // 1 for the first connection accepted, and so on
    };

    explicit ScriptedUnitPeer(const std::string& address, unsigned short port = 14997)
    {
        listenFd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        const int on = 1;
        ::setsockopt(listenFd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_port = htons(port);
        if (::inet_pton(AF_INET, address.c_str(), &sa.sin_addr) != 1 ||
            (ntohl(sa.sin_addr.s_addr) >> 24) != 127)
            throw std::runtime_error("peer address must be loopback: " + address);
        if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 ||
            ::listen(listenFd_, 8) != 0) {
            ::close(listenFd_);
            throw std::runtime_error("peer cannot listen on " + address);
        }
        thread_ = std::thread([this] { run(); });
    }

    ~ScriptedUnitPeer()
    {
        stop_ = true;
        thread_.join();
        if (clientFd_ >= 0)
            ::close(clientFd_);
        ::close(listenFd_);
    }

    void setScript(Script script)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        script_ = std::move(script);
    }

    // Writes raw bytes to the current connection.
    void send(const std::string& bytes)
    {
        std::lock_guard<std::mutex> lock(mutex_);
        sendLocked(bytes);
    }

    // Closes the current connection (the listener stays).
    void closeConnection()
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (clientFd_ >= 0) {
            ::close(clientFd_);
            clientFd_ = -1;
            parser_.clear();
        }
    }

    // While set, new connections are accepted and closed at once.
    void refuseConnections(bool on) { refuse_ = on; }

    std::vector<Received> received() const
    {
        std::lock_guard<std::mutex> lock(mutex_);
        return received_;
    }

    std::vector<std::string> receivedOfType(const std::string& type) const
    {
        std::vector<std::string> out;
        const std::string marker = "{\"MessageType\":\"" + type + "\"";
        for (const Received& r : received())
            if (r.json.compare(0, marker.size(), marker) == 0)
                out.push_back(r.json);
        return out;
    }

    int connections() const { return connections_; }

    // Waits until `pred(received())` holds; false after the timeout.
    bool waitFor(const std::function<bool(const std::vector<Received>&)>& pred,
                 std::chrono::milliseconds timeout = std::chrono::milliseconds(5000)) const
    {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return pred(received_); });
    }

    bool waitForFrames(std::size_t n,
                       std::chrono::milliseconds timeout = std::chrono::milliseconds(5000)) const
    {
        return waitFor([n](const std::vector<Received>& r) { return r.size() >= n; }, timeout);
    }

    bool waitForConnections(int n,
                            std::chrono::milliseconds timeout = std::chrono::milliseconds(5000)) const
    {
        return testsupport::eventually([&] { return connections_ >= n; }, timeout);
    }

private:
    void sendLocked(const std::string& bytes)
    {
        if (clientFd_ < 0)
            return;
        std::size_t done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::send(clientFd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
            if (n <= 0)
                return;
            done += static_cast<std::size_t>(n);
        }
    }

    void run()
    {
        char chunk[65536];
        while (!stop_) {
            pollfd fds[2] = {{listenFd_, POLLIN, 0}, {-1, POLLIN, 0}};
            {
                std::lock_guard<std::mutex> lock(mutex_);
                fds[1].fd = clientFd_;
            }
            if (::poll(fds, 2, 10) <= 0)
                continue;
            if (fds[0].revents & POLLIN) {
                const int fd = ::accept(listenFd_, nullptr, nullptr);
                if (fd >= 0) {
                    if (refuse_) {
                        ::close(fd);
                    } else {
                        std::lock_guard<std::mutex> lock(mutex_);
                        if (clientFd_ >= 0)
                            ::close(clientFd_);
                        clientFd_ = fd;
                        parser_.clear();
                        ++connections_;
                    }
                }
                continue;
            }
            if (fds[1].fd >= 0 && (fds[1].revents & (POLLIN | POLLHUP | POLLERR))) {
                std::lock_guard<std::mutex> lock(mutex_);
                if (clientFd_ != fds[1].fd)
                    continue;
                const ssize_t n = ::recv(clientFd_, chunk, sizeof chunk, 0);
                if (n <= 0) {
                    ::close(clientFd_);
                    clientFd_ = -1;
                    continue;
                }
                parser_.append(chunk, static_cast<std::size_t>(n));
                std::string reply, error;
                UnitFrameParser::Status status;
                while ((status = parser_.next(reply, error)) != UnitFrameParser::Status::NeedMore) {
                    if (status == UnitFrameParser::Status::Error)
                        continue;
                    const std::size_t digits = reply.find_first_not_of("0123456789");
                    const std::string json = digits == std::string::npos ? "" : reply.substr(digits);
                    received_.push_back({Clock::now(), json, connections_});
                    if (script_)
                        for (const std::string& write : script_(json))
                            sendLocked(write);
                }
                changed_.notify_all();
            }
        }
    }

    int listenFd_ = -1;
    int clientFd_ = -1;
    std::atomic<bool> stop_{false};
    std::atomic<bool> refuse_{false};
    std::atomic<int> connections_{0};
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    UnitFrameParser parser_;
    Script script_;
    std::vector<Received> received_;
    std::thread thread_;
};
