#ifndef TESTS_CSCLIENT_FAULTYLINK_H
#define TESTS_CSCLIENT_FAULTYLINK_H

// A connection to an in-memory server that fails one chosen operation: for
// sweeps over every failure point of a scenario. No socket, no thread: the
// server answers each frame the client writes at once, so a scenario whose
// frames all go out from the receive thread runs the same operations in the
// same order every time.
//
// Operations, counted from 1: each connect, each write, and each read that
// hands out bytes (a read finding nothing is a timeout, not an operation).
// Operations on a connection that is already broken are not counted. The
// failing operation breaks its connection; the next connect is a fresh one.

#include "CSCommsInterface.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

namespace cstest {

class FaultyLink : public com_vela::CSCommsInterface {
public:
    // How the failing operation fails. A connect is refused either way.
    enum class Fault {
        error,  // a write fails with EPIPE, a read with an error
        cut     // a write is short, a read gets part of what it asked and the peer closes
    };
    // Answers one whole frame the client wrote with the frames to send back.
    using Server = std::function<std::vector<std::vector<std::uint8_t>>(const std::vector<std::uint8_t>& frame)>;

    // failAt 0: nothing fails. `idleRead` bounds a read that finds nothing.
    FaultyLink(Server server, unsigned failAt, Fault fault, std::chrono::milliseconds idleRead);

    int readMessage(unsigned size, com_vela::RawMessage& message) override;
    int writeMessage(const com_vela::RawMessage& message) override;
    void close() override;
    bool openConnection(unsigned ipAddress, unsigned port) override;

    unsigned operations() const;
    unsigned connects() const;
    bool faulted() const;
    // The failed operation, e.g. "write 3 (operation 5)"; empty when none failed.
    std::string failedOperation() const;
    // A live connection with nothing left to read.
    bool idle() const;

private:
    // Counts one operation; true (and the connection broken) when it fails.
    bool failsNow(const char* kind, unsigned nth);

    const Server server;
    const unsigned failAt;
    const Fault fault;
    const std::chrono::milliseconds idleRead;

    mutable std::mutex lock;
    std::condition_variable arrived;
    std::deque<char> pending;
    bool live = false;
    unsigned count = 0;
    unsigned connectCount = 0;
    unsigned writeCount = 0;
    unsigned readCount = 0;
    std::string failed;
};

} // namespace cstest

#endif
