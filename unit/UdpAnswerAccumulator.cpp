#include "UdpAnswerAccumulator.h"

#include <cstring>

namespace {
constexpr char kAnswerEnd = '@';
}  // namespace

UdpAnswerAccumulator::Status UdpAnswerAccumulator::add(const std::string& sender, const char* datagram,
                                                       std::size_t size, bool cut, std::string& answer,
                                                       std::string& error)
{
    const auto own = pending_.find(sender);
    if (cut) {
        // Its end, and any "@" in it, are lost: taken as data, the rest would
        // begin the sender's next answer.
        if (own != pending_.end())
            pending_.erase(own);
        error = "UDP datagram from " + sender + " longer than the receive buffer dropped";
        return Status::Error;
    }
    const std::size_t textSize = strnlen(datagram, size);
    const char* end = static_cast<const char*>(std::memchr(datagram, kAnswerEnd, textSize));
    if (end != nullptr) {
        answer.clear();
        if (own != pending_.end()) {
            answer.swap(own->second);
            pending_.erase(own);
        }
        answer.append(datagram, end + 1 - datagram);
        return Status::Answer;
    }
    if (textSize == 0)
        return Status::NeedMore;
    if (own == pending_.end() && pending_.size() >= kMaxSenders) {
        error = "UDP answers from more than " + std::to_string(kMaxSenders) + " senders at once; datagram from " +
                sender + " dropped";
        return Status::Error;
    }
    std::string& text = pending_[sender];
    text.append(datagram, textSize);
    // A peer that never ends its answer must not grow this without bound.
    if (text.size() > kMaxAnswerBytes) {
        pending_.erase(sender);
        error = "UDP answer longer than " + std::to_string(kMaxAnswerBytes) + " bytes without '@' dropped";
        return Status::Error;
    }
    return Status::NeedMore;
}

std::size_t UdpAnswerAccumulator::buffered() const
{
    std::size_t total = 0;
    for (const auto& entry : pending_)
        total += entry.second.size();
    return total;
}
