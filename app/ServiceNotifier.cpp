#include "ServiceNotifier.h"

#include "SocketFlags.h"

#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <utility>

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

// ---------------------------------------------------------------------------
// NotifySocket

NotifySocket::NotifySocket(const std::string& address) : address(address)
{
    sockaddr_un probe{};
    // A path must fit with its terminating NUL; an abstract name need not.
    if (address.empty() || address.size() > sizeof probe.sun_path - (address[0] == '@' ? 0 : 1))
        return;
    if (address[0] != '/' && address[0] != '@')
        return;
    fd = ::socket(AF_UNIX, SOCK_DGRAM, 0);
    if (fd < 0)
        return;
    ::fcntl(fd, F_SETFD, FD_CLOEXEC);
    ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) | O_NONBLOCK);
    suppressSigPipe(fd);
}

NotifySocket::~NotifySocket()
{
    if (fd >= 0)
        ::close(fd);
}

bool NotifySocket::send(const std::string& message)
{
    if (fd < 0)
        return false;
    sockaddr_un to{};
    to.sun_family = AF_UNIX;
    std::memcpy(to.sun_path, address.data(), address.size());
    if (address[0] == '@')
        to.sun_path[0] = '\0';  // abstract: the name's bytes, no terminator
    const socklen_t length =
        static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + address.size() + (address[0] == '@' ? 0 : 1));
    for (;;) {
        const ssize_t n = ::sendto(fd, message.data(), message.size(), kSendNoSignal,
                                   reinterpret_cast<const sockaddr*>(&to), length);
        if (n == static_cast<ssize_t>(message.size()))
            return true;
        if (n < 0 && errno == EINTR)
            continue;
        ++droppedCount;  // full (EAGAIN), or the manager is gone: never wait for it
        return false;
    }
}

// ---------------------------------------------------------------------------
// Progress

bool madeProgress(const std::optional<ServiceProgress>& before, const std::optional<ServiceProgress>& now)
{
    if (!now)
        return false;
    if (!before || before->bridge != now->bridge)
        return true;
    if (now->mainLoop == before->mainLoop)
        return false;
    // A thread started since the last look has nothing to compare with yet.
    if (!before->streamingThread || !now->streamingThread)
        return true;
    return now->streaming != before->streaming;
}

// ---------------------------------------------------------------------------
// ServiceNotifier

ServiceNotifier::Settings ServiceNotifier::fromEnvironment()
{
    Settings s;
    if (const char* address = std::getenv("NOTIFY_SOCKET"))
        s.socketAddress = address;
    const char* usec = std::getenv("WATCHDOG_USEC");
    const char* pid = std::getenv("WATCHDOG_PID");
    if (usec && (!pid || std::strtoll(pid, nullptr, 10) == static_cast<long long>(::getpid()))) {
        char* end = nullptr;
        errno = 0;
        const long long value = std::strtoll(usec, &end, 10);
        if (errno == 0 && end != usec && *end == '\0' && value > 0)
            s.watchdog = std::chrono::microseconds(value);
    }
    return s;
}

ServiceNotifier::ServiceNotifier(const Settings& settings, ProgressSource progress)
    : socket(settings.socketAddress),
      watchdog(settings.watchdog),
      period(settings.watchdog.count() > 0 ? settings.watchdog / 2 : kStartCheckPeriod),
      progress(std::move(progress))
{
    if (socket.active())
        thread = std::make_unique<PeriodicThread>(period, [this] { check(); });
}

ServiceNotifier::~ServiceNotifier()
{
    thread.reset();
}

void ServiceNotifier::ready()
{
    if (!isReady.exchange(true))
        socket.send("READY=1");
}

void ServiceNotifier::status(const std::string& line)
{
    // One line: the protocol separates its assignments by newlines.
    std::string text = line;
    for (char& c : text)
        if (c == '\n')
            c = ' ';
    socket.send("STATUS=" + text);
}

void ServiceNotifier::stopping()
{
    socket.send("STOPPING=1");
}

void ServiceNotifier::check()
{
    const std::optional<ServiceProgress> now = progress ? progress() : std::nullopt;
    const bool moved = madeProgress(last, now);
    if (now)
        last = now;
    if (!moved)
        return;
    if (isReady) {
        if (watchdog.count() > 0)
            socket.send("WATCHDOG=1");
        return;
    }
    std::string message = "EXTEND_TIMEOUT_USEC=" + std::to_string(2 * period.count());
    if (watchdog.count() > 0)
        message += "\nWATCHDOG=1";
    socket.send(message);
}
