#pragma once

#include <csignal>

#include <sys/socket.h>

// A send on a connection the peer has closed must fail with EPIPE, never
// raise SIGPIPE and end the process. Linux asks for that per call
// (MSG_NOSIGNAL); macOS releases without that flag ask once per socket
// (SO_NOSIGPIPE, which Boost.Asio sets on every socket it opens itself).

#ifdef MSG_NOSIGNAL
constexpr int kSendNoSignal = MSG_NOSIGNAL;
#else
constexpr int kSendNoSignal = 0;
#endif

// For a plain socket from socket() or accept(), before its first send.
inline void suppressSigPipe(int fd)
{
#ifdef SO_NOSIGPIPE
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_NOSIGPIPE, &one, sizeof one);
#else
    (void)fd;
#endif
}

// Every program's first step: a write to a pipe or socket whose reader has
// gone (a recording FIFO, a closed console pipe, any socket) then fails with
// EPIPE instead of ending the process.
inline void ignoreSigPipe()
{
    std::signal(SIGPIPE, SIG_IGN);
}
