#include "CSCommsInterfaceBuffer.h"

#include <algorithm>

namespace com_vela {

CSCommsInterfaceBuffer::CSCommsInterfaceBuffer(std::vector<char> in, std::size_t keep)
    : input(std::move(in)), keepWritten(keep)
{
}

int CSCommsInterfaceBuffer::readMessage(unsigned size, RawMessage& message)
{
    std::lock_guard<std::mutex> g(lock);
    const std::size_t n = std::min<std::size_t>(size, input.size() - position);
    if (n == 0)
        return 0;   // the end of the buffer: the peer has closed
    message.write(input.data() + position, static_cast<unsigned>(n));
    position += n;
    return static_cast<int>(n);
}

int CSCommsInterfaceBuffer::writeMessage(const RawMessage& message)
{
    std::lock_guard<std::mutex> g(lock);
    if (writtenBytes + message.getSize() <= keepWritten) {
        frames.push_back(message);
        writtenBytes += message.getSize();
    }
    return static_cast<int>(message.getSize());
}

void CSCommsInterfaceBuffer::close() {}

bool CSCommsInterfaceBuffer::openConnection(unsigned, unsigned)
{
    return true;
}

std::vector<RawMessage> CSCommsInterfaceBuffer::written() const
{
    std::lock_guard<std::mutex> g(lock);
    return frames;
}

std::size_t CSCommsInterfaceBuffer::unread() const
{
    std::lock_guard<std::mutex> g(lock);
    return input.size() - position;
}

} // namespace com_vela
