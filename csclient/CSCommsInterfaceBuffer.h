#ifndef COM_VELA_CSCOMMSINTERFACEBUFFER_H
#define COM_VELA_CSCOMMSINTERFACEBUFFER_H

#include "CSCommsInterface.h"

#include <cstddef>
#include <mutex>
#include <vector>

namespace com_vela {

// A connection whose peer is a byte buffer: reads hand out the buffer's
// bytes in order and its end reads as the peer closing; writes are kept for
// inspection. With CSClientProtocol::runReceiveLoopInline it feeds bytes
// through the engine's real receive path (frame header checks, body reading,
// the protocol's dispatch and decoders, the registry) without a socket or a
// thread: for tests and the fuzz targets.
class CSCommsInterfaceBuffer : public CSCommsInterface {
public:
    // A read takes all it asks for while the buffer lasts, as a socket read
    // waiting for all of it does. At most `keepWritten` written bytes are
    // kept; later writes still succeed.
    explicit CSCommsInterfaceBuffer(std::vector<char> input, std::size_t keepWritten = 1u << 20);

    int readMessage(unsigned size, RawMessage& message) override;
    int writeMessage(const RawMessage& message) override;
    void close() override;
    bool openConnection(unsigned ipAddress, unsigned port) override;

    // Whole frames written, oldest first (while under the bound).
    std::vector<RawMessage> written() const;
    std::size_t unread() const;

private:
    mutable std::mutex lock;
    const std::vector<char> input;
    const std::size_t keepWritten;
    std::size_t position = 0;
    std::size_t writtenBytes = 0;
    std::vector<RawMessage> frames;
};

} // namespace com_vela

#endif
