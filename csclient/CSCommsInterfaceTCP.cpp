#include "CSCommsInterfaceTCP.h"

#include "Log.h"
#include "SocketConnect.h"

#include <arpa/inet.h>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sstream>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace com_vela {

namespace {
void report(const char* line)
{
    snlog::err() << line;
}

struct timeval asTimeval(std::chrono::milliseconds d)
{
    struct timeval t;
    t.tv_sec = static_cast<time_t>(d.count() / 1000);
    t.tv_usec = static_cast<suseconds_t>((d.count() % 1000) * 1000);
    return t;
}
} // namespace

CSCommsInterfaceTCP::CSCommsInterfaceTCP(const Timing& t) : timing(t), socket(-1), options() {}

CSCommsInterfaceTCP::CSCommsInterfaceTCP(const Options& o, const Timing& t) : timing(t), socket(-1), options(o) {}

CSCommsInterfaceTCP::~CSCommsInterfaceTCP()
{
    CSLockGuard guard(socketMutex);
    closeSocket();
}

void CSCommsInterfaceTCP::setOptions(const Options& o)
{
    CSLockGuard guard(socketMutex);
    options = o;
}

void CSCommsInterfaceTCP::close()
{
    CSLockGuard guard(socketMutex);
    closeSocket();
}

void CSCommsInterfaceTCP::closeSocket()
{
    // Under the write lock too: a write running on another thread must not
    // meet a descriptor closed (and perhaps reused) under it.
    CSLockGuard guard(writeMutex);
    int fd = socket.exchange(-1);
    if (fd >= 0)
        ::close(fd);
}

bool CSCommsInterfaceTCP::openConnection(const char* address, unsigned port)
{
    return openConnection(convertIPAddressToOctet(address), port);
}

bool CSCommsInterfaceTCP::openConnection(unsigned ipAddress, unsigned port)
{
    CSLockGuard guard(socketMutex);
    closeSocket();

    struct sigaction ignore;
    std::memset(&ignore, 0, sizeof ignore);
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    ignore.sa_flags = 0;
    if (sigaction(SIGPIPE, &ignore, nullptr) != 0)
        report("Failed to remove signal on broken pipe.");

    int fd = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (fd < 0) {
        report("Unable to create socket");
        return false;
    }

    struct timeval receiveTimeout = asTimeval(timing.receiveTimeout);
    if (setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &receiveTimeout, sizeof receiveTimeout) != 0) {
        report("Unable to set socket options");
        ::close(fd);
        return false;
    }
    struct timeval sendTimeout = asTimeval(timing.sendTimeout);
    if (setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &sendTimeout, sizeof sendTimeout) != 0) {
        report("Unable to set socket timeout options");
        ::close(fd);
        return false;
    }
    struct linger lingerOff = {1, 0};
    if (setsockopt(fd, SOL_SOCKET, SO_LINGER, &lingerOff, sizeof lingerOff) != 0)
        report("Unable to disable socket linger");
    int one = 1;
    if (setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0)
        report("Unable to set socket SO_REUSEADDR");
    if (setsockopt(fd, SOL_SOCKET, SO_REUSEPORT, &one, sizeof one) != 0)
        report("Unable to set socket SO_REUSEPORT");
    if (setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one) != 0)
        report("Unable to disable Nagle algorithm");
    if (options.sendBufferSize != 0) {
        int size = static_cast<int>(options.sendBufferSize);
        if (setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &size, sizeof size) != 0) {
            report("Error setting send buffer size");
            ::close(fd);
            return false;
        }
    }
    if (options.receiveBufferSize != 0) {
        int size = static_cast<int>(options.receiveBufferSize);
        if (setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &size, sizeof size) != 0) {
            report("Error setting receive buffer size");
            ::close(fd);
            return false;
        }
    }

    struct sockaddr_in server;
    std::memset(&server, 0, sizeof server);
    server.sin_family = AF_INET;
    server.sin_port = htons(static_cast<uint16_t>(port));
    server.sin_addr.s_addr = ipAddress;   // already in network order
    if (!connectWithin(fd, server)) {
        ::close(fd);
        return false;
    }
    socket.store(fd);
    return true;
}

// The socket lock is held through the connect, so a close request waits for
// it: the attempt is bounded instead of lasting the system's connect timeout
// (minutes for an address that never answers).
bool CSCommsInterfaceTCP::connectWithin(int fd, const struct sockaddr_in& server) const
{
    const int flags = fcntl(fd, F_GETFL, 0);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0)
        return ::connect(fd, reinterpret_cast<const struct sockaddr*>(&server), sizeof server) == 0;
    const bool connected =
        ::connectWithin(fd, reinterpret_cast<const struct sockaddr*>(&server), sizeof server, timing.connectBound) == 0;
    return fcntl(fd, F_SETFL, flags) == 0 && connected;
}

int CSCommsInterfaceTCP::readMessage(unsigned size, RawMessage& message)
{
    std::vector<char>& body = message.getData();
    const size_t before = body.size();
    if (size == 0)
        return 0;
    body.resize(before + size);
    ssize_t got = ::recv(socket.load(), body.data() + before, size, MSG_WAITALL);
    if (got < 0) {
        int error = errno;
        body.resize(before);
        if (error == EAGAIN || error == EWOULDBLOCK)
            return -2;
        if (error == ECONNRESET)
            return 0;
        return -1;
    }
    body.resize(before + static_cast<size_t>(got));
    return static_cast<int>(got);
}

int CSCommsInterfaceTCP::writeMessage(const RawMessage& message)
{
    CSLockGuard guard(writeMutex);
    return static_cast<int>(::write(socket.load(), message.getData().data(), message.getSize()));
}

unsigned CSCommsInterfaceTCP::convertIPAddressToOctet(const char* address)
{
    if (!address)
        return 0xFFFFFFFFu;
    return static_cast<unsigned>(inet_addr(address));
}

std::string CSCommsInterfaceTCP::convertIPOctetToAddress(unsigned a)
{
    std::ostringstream out;
    out << (a & 0xFF) << '.' << ((a >> 8) & 0xFF) << '.' << ((a >> 16) & 0xFF) << '.' << (a >> 24);
    return out.str();
}

} // namespace com_vela
