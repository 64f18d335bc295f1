#pragma once

#include <chrono>

#include <sys/socket.h>

// Connects the non-blocking socket `fd` to `address`, waiting at most `bound`
// for the answer: the system's own wait, minutes for an address that drops
// packets, would hold a connection pass (and a stop) that long. A signal does
// not restart the wait. 0 once connected, else the error (ETIMEDOUT when the
// bound passed).
int connectWithin(int fd, const sockaddr* address, socklen_t size, std::chrono::milliseconds bound);
