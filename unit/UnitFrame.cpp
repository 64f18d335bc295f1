#include "UnitFrame.h"

#include <algorithm>
#include <iomanip>
#include <iostream>
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
    buffer_.append(data, n);
}

UnitFrameParser::Status UnitFrameParser::next(std::string& reply, std::string& error)
{
    if (buffer_.empty())
        return Status::NeedMore;

    if (buffer_[0] != kStx) {
        // Bytes outside a frame: drop them up to the next frame start.
        const std::size_t stx = buffer_.find(kStx);
        const std::size_t dropped = stx == std::string::npos ? buffer_.size() : stx;
        buffer_.erase(0, dropped);
        error = "unit sent " + std::to_string(dropped) + " bytes outside a frame";
        return Status::Error;
    }

    // Look for the end only within the longest frame we accept.
    const std::size_t limit = std::min(buffer_.size(), kMaxReplyBytes + 2);
    for (std::size_t i = 1; i < limit; ++i) {
        if (buffer_[i] == kEtx) {
            reply.assign(buffer_, 1, i - 1);
            buffer_.erase(0, i + 1);
            return Status::Frame;
        }
        if (buffer_[i] == kStx) {
            // A new frame started before this one ended: the unfinished one
            // cannot be read, keep the new one.
            buffer_.erase(0, i);
            error = "unit frame of " + std::to_string(i - 1) + " bytes cut off by a new frame";
            return Status::Error;
        }
    }
    if (buffer_.size() > kMaxReplyBytes + 1) {
        buffer_.clear();
        error = "unit reply longer than " + std::to_string(kMaxReplyBytes) + " bytes without ETX";
        return Status::Error;
    }
    return Status::NeedMore;
}

void UnitFrameParser::clear()
{
    buffer_.clear();
}

std::size_t UnitFrameParser::buffered() const
{
    return buffer_.size();
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
        std::cout << "Warning: Some stuff didn't get transmitted correctly. Expected length: "
                  << (tooLong ? reply.substr(first, digits - first) : std::to_string(expected))
                  << " actual length: " << json.size() << std::endl;
        throw std::runtime_error("expectedResponseLength does not match actual message length");
    }
    return json;
}
