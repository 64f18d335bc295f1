#include "UnitFrame.h"

#include "Log.h"

#include <algorithm>
#include <iomanip>
#include <sstream>
#include <stdexcept>

namespace {
constexpr char kStx = '\x02';
constexpr char kEtx = '\x03';
}  // namespace

std::string frameUnitMessage(const std::string& json)
{
    std::ostringstream out;
    out << kStx << std::setfill('0') << std::setw(4) << json.size() << json << kEtx;
    return out.str();
}

void UnitFrameParser::append(const char* data, std::size_t n)
{
    // Dropping the consumed bytes once per read keeps the buffer small
    // without moving the rest once per frame.
    buffer_.erase(0, start_);
    start_ = 0;
    buffer_.append(data, n);
}

void UnitFrameParser::consume(std::size_t n)
{
    start_ += n;
    scanned_ = 0;
    if (start_ == buffer_.size())
        clear();
}

UnitFrameParser::Status UnitFrameParser::next(std::string& reply, std::string& error)
{
    const std::size_t size = buffered();
    if (size == 0)
        return Status::NeedMore;

    if (buffer_[start_] != kStx) {
        // Bytes outside a frame: drop them up to the next frame start.
        const std::size_t stx = buffer_.find(kStx, start_);
        const std::size_t dropped = stx == std::string::npos ? size : stx - start_;
        consume(dropped);
        error = "unit sent " + std::to_string(dropped) + " bytes outside a frame";
        return Status::Error;
    }

    // Look for the end only within the longest frame we accept, and only in
    // bytes not searched by an earlier call.
    const std::size_t limit = std::min(size, kMaxReplyBytes + 2);
    const char delimiters[] = {kStx, kEtx, '\0'};
    const std::size_t from = start_ + std::max<std::size_t>(scanned_, 1);
    const std::size_t found = from < start_ + limit ? buffer_.find_first_of(delimiters, from, 2)
                                                    : std::string::npos;
    if (found != std::string::npos && found < start_ + limit) {
        const std::size_t i = found - start_;
        if (buffer_[found] == kEtx) {
            reply.assign(buffer_, start_ + 1, i - 1);
            consume(i + 1);
            return Status::Frame;
        }
        // A new frame started before this one ended: the unfinished one
        // cannot be read, keep the new one.
        consume(i);
        error = "unit frame of " + std::to_string(i - 1) + " bytes cut off by a new frame";
        return Status::Error;
    }
    scanned_ = limit;
    if (size > kMaxReplyBytes + 1) {
        clear();
        error = "unit reply longer than " + std::to_string(kMaxReplyBytes) + " bytes without ETX";
        return Status::Error;
    }
    return Status::NeedMore;
}

void UnitFrameParser::clear()
{
    buffer_.clear();
    start_ = 0;
    scanned_ = 0;
}

std::size_t UnitFrameParser::buffered() const
{
    return buffer_.size() - start_;
}

std::string verifyUnitReply(const std::string& reply)
{
    std::size_t digits = 0;
    while (digits < reply.size() && reply[digits] >= '0' && reply[digits] <= '9')
        ++digits;
    std::size_t first = 0;
    while (first < digits && reply[first] == '0')
        ++first;
    if (first == digits)
        throw std::invalid_argument(digits == 0 ? "unit reply has no length field"
                                                : "unit reply has a zero length field");

    const std::string json = reply.substr(digits);
    // More digits than any accepted reply can need cannot match; avoid overflow.
    unsigned long long expected = 0;
    bool tooLong = digits - first > 12;
    for (std::size_t i = first; i < digits && !tooLong; ++i)
        expected = expected * 10 + static_cast<unsigned>(reply[i] - '0');
    if (tooLong || expected != json.size()) {
        snlog::out(snlog::Priority::warning)
            << "Warning: Some stuff didn't get transmitted correctly. Expected length: "
            << (tooLong ? reply.substr(first, digits - first) : std::to_string(expected))
            << " actual length: " << json.size();
        throw std::runtime_error("expectedResponseLength does not match actual message length");
    }
    return json;
}
