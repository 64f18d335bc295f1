#include "UdpAnswerAccumulator.h"

#include <cstring>

namespace {
constexpr char kAnswerEnd = '@';
}  // namespace

UdpAnswerAccumulator::Status UdpAnswerAccumulator::add(const char* datagram, std::size_t size,
                                                       std::string& answer, std::string& error)
{
    const std::size_t textSize = strnlen(datagram, size);
    const char* end = static_cast<const char*>(std::memchr(datagram, kAnswerEnd, textSize));
    if (end == nullptr) {
        pending_.append(datagram, textSize);
        // A peer that never ends its answer must not grow this without bound.
        if (pending_.size() > kMaxAnswerBytes) {
            pending_.clear();
            error = "UDP answer longer than " + std::to_string(kMaxAnswerBytes) +
                    " bytes without '@' dropped";
            return Status::Error;
        }
        return Status::NeedMore;
    }
    pending_.append(datagram, end + 1 - datagram);
    answer.swap(pending_);
    pending_.clear();
    return Status::Answer;
}
