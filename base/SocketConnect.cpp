#include "SocketConnect.h"

#include <cerrno>

#include <poll.h>

int connectWithin(int fd, const sockaddr* address, socklen_t size, std::chrono::milliseconds bound)
{
    if (::connect(fd, address, size) == 0)
        return 0;
    if (errno != EINPROGRESS && errno != EINTR)
        return errno;
    const auto deadline = std::chrono::steady_clock::now() + bound;
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return ETIMEDOUT;
        pollfd p{fd, POLLOUT, 0};
        const int ready = ::poll(&p, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready == 0)
            continue;  // the deadline check above ends it
        int error = 0;
        socklen_t length = sizeof error;
        if (ready < 0 || ::getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) != 0)
            return errno;
        return error;
    }
}
