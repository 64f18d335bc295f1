// Shared by the client library's stream fuzz targets: the input's first byte
// sets how the engine runs, the rest is what the server sends, fed through
// the engine's real receive path on the calling thread.
#pragma once

#include "CSClientProtocol.h"
#include "CSCommsInterfaceBuffer.h"
#include "FuzzInput.h"

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace csfuzz {

// Bits of the input's first byte.
enum : std::uint8_t {
    LOUD = 1,           // not quiet: every console line is built (and dropped)
    ACTING = 2,         // callbacks call back into the engine
    FAIL_SHIFT = 4      // bits 4-7: the number of the first write that fails (0: none)
};

// The server's bytes; writes from the given number on fail as a broken
// connection's do.
class FailingBuffer : public com_vela::CSCommsInterfaceBuffer {
public:
    FailingBuffer(std::vector<char> input, unsigned failFrom)
        : CSCommsInterfaceBuffer(std::move(input), 64u * 1024u), failFrom(failFrom) {}
    int writeMessage(const com_vela::RawMessage& message) override
    {
        if (failFrom != 0 && ++writes >= failFrom) {
            errno = EPIPE;
            return -1;
        }
        return CSCommsInterfaceBuffer::writeMessage(message);
    }

private:
    const unsigned failFrom;
    unsigned writes = 0;
};

// A listener of either client that takes every value; with ACTING it also
// calls back into the engine from inside the notifications, as an
// application may: it unsubscribes the first of several confirmed inputs and
// publishes (publish) on every batch of values.
template <typename Callback>
class Listening : public Callback {
public:
    Listening(com_vela::CSClientProtocol& e, bool acting) : engine(e), acting(acting) {}
    void connectionStateChanged(com_vela::CSClient::State, com_vela::CSClient::State) override {}
    void parametersUpdated(const std::vector<com_vela::CSClient::Parameter>& values) override
    {
        for (const auto& p : values)
            sum += p.type == com_vela::CSClient::PARAMETER_TYPE_INT ? float(p.value.intValue) : p.value.floatValue;
        if (acting && !values.empty())
            publish(values.size());
    }
    void registrationComplete(const std::vector<com_vela::CSClient::InputDef>& defs) override
    {
        if (acting && defs.size() > 1)
            engine.unregisterInputParameters({defs.front().id});
    }
    float sum = 0;

protected:
    virtual void publish(std::size_t batchSize) = 0;
    com_vela::CSClientProtocol& engine;
    const bool acting;
};

inline unsigned options(std::uint8_t flags)
{
    return (flags & LOUD) ? 0u : unsigned(com_vela::CSClientProtocol::OPTION_QUIET);
}

// Connects `engine` to the bytes after the flags byte and runs it until the
// bytes end.
inline void run(com_vela::CSClientProtocol& engine, const std::uint8_t* data, std::size_t size, unsigned port)
{
    const std::uint8_t flags = size > 0 ? data[0] : 0;
    std::vector<char> input;
    if (size > 1)
        input.assign(reinterpret_cast<const char*>(data) + 1, reinterpret_cast<const char*>(data) + size);
    engine.changeCommsInterface(new FailingBuffer(std::move(input), flags >> FAIL_SHIFT));
    engine.runReceiveLoopInline(0x0100007Fu, port);
}

}  // namespace csfuzz
