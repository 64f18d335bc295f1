#include "ScriptedServer.h"

#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <netinet/in.h>
#include <poll.h>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace cstest {

namespace {

sockaddr_in loopback(unsigned port)
{
    sockaddr_in a;
    std::memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return a;
}

unsigned boundPort(int fd)
{
    sockaddr_in a;
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    return ntohs(a.sin_port);
}

} // namespace

void appendU32(std::vector<uint8_t>& out, uint32_t v)
{
    out.push_back(static_cast<uint8_t>(v >> 24));
    out.push_back(static_cast<uint8_t>(v >> 16));
    out.push_back(static_cast<uint8_t>(v >> 8));
    out.push_back(static_cast<uint8_t>(v));
}

uint32_t readU32(const std::vector<uint8_t>& in, size_t offset)
{
    if (offset + 4 > in.size())
        return 0;
    return (uint32_t(in[offset]) << 24) | (uint32_t(in[offset + 1]) << 16) | (uint32_t(in[offset + 2]) << 8) |
           uint32_t(in[offset + 3]);
}

std::vector<uint8_t> messageHeader(uint8_t protocol, uint8_t subprotocol, uint16_t code)
{
    return {protocol, subprotocol, 0x7F, 0xFF, 0, 0, 0, 0, 0x00, 0x7F,
            static_cast<uint8_t>(code >> 8), static_cast<uint8_t>(code)};
}

ServerConnection::ServerConnection(int fd) : sock(fd) {}

ServerConnection::~ServerConnection()
{
    close();
}

bool ServerConnection::sendBytes(const std::vector<uint8_t>& bytes)
{
    size_t done = 0;
    while (done < bytes.size()) {
        ssize_t n = ::send(sock, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n <= 0)
            return false;
        done += static_cast<size_t>(n);
    }
    return true;
}

bool ServerConnection::sendFrame(const std::vector<uint8_t>& body, uint32_t kindCode)
{
    std::vector<uint8_t> f;
    appendU32(f, static_cast<uint32_t>(32 + body.size()));
    appendU32(f, 32);
    appendU32(f, kindCode);
    appendU32(f, kindCode == 3 ? 2 : 0);
    for (int i = 0; i < 16; ++i)
        f.push_back(0xFF);
    f.insert(f.end(), body.begin(), body.end());
    return sendBytes(f);
}

namespace {
// Waits until `sock` has something to read (or its end) before `end`.
bool readableBefore(int sock, std::chrono::steady_clock::time_point end)
{
    for (;;) {
        const int left = static_cast<int>(
            std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now()).count());
        if (left <= 0)
            return false;
        pollfd p = {sock, POLLIN, 0};
        if (::poll(&p, 1, left) > 0)
            return true;
    }
}
} // namespace

bool ServerConnection::readExact(uint8_t* into, size_t n, int timeoutMs)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    size_t done = 0;
    while (done < n) {
        if (!readableBefore(sock, end))
            return false;
        ssize_t got = ::recv(sock, into + done, n - done, 0);
        if (got <= 0)
            return false;
        done += static_cast<size_t>(got);
    }
    return true;
}

bool ServerConnection::readFrame(Frame& out, int timeoutMs)
{
    out = Frame();
    out.header.resize(32);
    if (!readExact(out.header.data(), 32, timeoutMs))
        return false;
    out.length = readU32(out.header, 0);
    out.kindCode = readU32(out.header, 8);
    if (out.length < 32 || out.length > (1u << 20))
        return false;
    out.body.resize(out.length - 32);
    return out.body.empty() || readExact(out.body.data(), out.body.size(), timeoutMs);
}

bool ServerConnection::waitForPeerClose(int timeoutMs)
{
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    uint8_t buf[4096];
    for (;;) {
        if (!readableBefore(sock, end))
            return false;
        ssize_t got = ::recv(sock, buf, sizeof buf, 0);
        if (got <= 0)
            return true;
    }
}

void ServerConnection::close(bool abort)
{
    if (sock < 0)
        return;
    if (abort) {
        linger l = {1, 0};
        setsockopt(sock, SOL_SOCKET, SO_LINGER, &l, sizeof l);
    }
    ::close(sock);
    sock = -1;
}

ScriptedServer::ScriptedServer() : listener(-1), listenPort(0)
{
    listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = loopback(0);
    if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        ::listen(listener, 8) != 0)
        throw std::runtime_error("cannot listen on 127.0.0.1");
    listenPort = boundPort(listener);
}

ScriptedServer::~ScriptedServer()
{
    stopListening();
}

void ScriptedServer::stopListening()
{
    if (listener >= 0)
        ::close(listener);
    listener = -1;
}

unsigned ScriptedServer::loopbackOctet()
{
    return htonl(INADDR_LOOPBACK);
}

unsigned ScriptedServer::unusedPort()
{
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a = loopback(0);
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    unsigned port = boundPort(fd);
    ::close(fd);
    return port;
}

std::unique_ptr<ServerConnection> ScriptedServer::accept(int timeoutMs)
{
    if (listener < 0)
        return nullptr;
    pollfd p = {listener, POLLIN, 0};
    if (::poll(&p, 1, timeoutMs) <= 0)
        return nullptr;
    int fd = ::accept(listener, nullptr, nullptr);
    if (fd < 0)
        return nullptr;
    return std::unique_ptr<ServerConnection>(new ServerConnection(fd));
}

} // namespace cstest
