#include "FaultyLink.h"

#include <algorithm>
#include <cerrno>

using namespace com_vela;

namespace cstest {

FaultyLink::FaultyLink(Server s, unsigned at, Fault f, std::chrono::milliseconds idle)
    : server(std::move(s)), failAt(at), fault(f), idleRead(idle)
{
}

bool FaultyLink::failsNow(const char* kind, unsigned nth)
{
    ++count;
    if (failAt == 0 || count != failAt || !failed.empty())
        return false;
    failed = std::string(kind) + " " + std::to_string(nth) + " (operation " + std::to_string(count) + ")";
    live = false;
    pending.clear();
    return true;
}

bool FaultyLink::openConnection(unsigned, unsigned)
{
    std::lock_guard<std::mutex> g(lock);
    ++connectCount;
    live = false;
    pending.clear();
    if (failsNow("connect", connectCount))
        return false;
    live = true;
    return true;
}

int FaultyLink::writeMessage(const RawMessage& message)
{
    std::vector<std::uint8_t> frame(message.getData().begin(), message.getData().end());
    std::lock_guard<std::mutex> g(lock);
    if (!live) {
        errno = EPIPE;
        return -1;
    }
    if (failsNow("write", ++writeCount)) {
        if (fault == Fault::error) {
            errno = EPIPE;
            return -1;
        }
        return static_cast<int>(frame.size() / 2);
    }
    for (const auto& reply : server(frame))
        pending.insert(pending.end(), reply.begin(), reply.end());
    arrived.notify_all();
    return static_cast<int>(frame.size());
}

int FaultyLink::readMessage(unsigned size, RawMessage& message)
{
    std::unique_lock<std::mutex> g(lock);
    if (live && pending.empty())
        arrived.wait_for(g, idleRead, [this] { return !live || !pending.empty(); });
    if (!live)
        return 0;  // the peer has closed
    if (pending.empty())
        return -2;
    std::size_t n = std::min<std::size_t>(size, pending.size());
    std::vector<char> bytes(pending.begin(), pending.begin() + static_cast<long>(n));
    pending.erase(pending.begin(), pending.begin() + static_cast<long>(n));
    if (failsNow("read", ++readCount)) {
        if (fault == Fault::error)
            return -1;
        n /= 2;  // part of it, then the peer closes
        if (n == 0)
            return 0;
    }
    message.write(bytes.data(), static_cast<unsigned>(n));
    return static_cast<int>(n);
}

void FaultyLink::close()
{
    std::lock_guard<std::mutex> g(lock);
    live = false;
    pending.clear();
    arrived.notify_all();
}

unsigned FaultyLink::operations() const
{
    std::lock_guard<std::mutex> g(lock);
    return count;
}

unsigned FaultyLink::connects() const
{
    std::lock_guard<std::mutex> g(lock);
    return connectCount;
}

bool FaultyLink::faulted() const
{
    std::lock_guard<std::mutex> g(lock);
    return !failed.empty();
}

std::string FaultyLink::failedOperation() const
{
    std::lock_guard<std::mutex> g(lock);
    return failed;
}

bool FaultyLink::idle() const
{
    std::lock_guard<std::mutex> g(lock);
    return live && pending.empty();
}

} // namespace cstest
