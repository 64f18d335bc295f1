#include "EmulatorWire.h"

#include "RawMessage.h"

#include <algorithm>
#include <cstring>

namespace simemu {

// The frame and message header layouts are the client library's.
using namespace com_vela;
static_assert(kFrameHeaderSize == FRAME_HEADER_SIZE && kMessageHeaderSize == MESSAGE_HEADER_SIZE,
              "the emulator's header sizes are the library's");

std::uint32_t get32(const Bytes& b, std::size_t offset) {
    if (offset > b.size() || b.size() - offset < 4) return 0;
    return (std::uint32_t(b[offset]) << 24) | (std::uint32_t(b[offset + 1]) << 16) |
           (std::uint32_t(b[offset + 2]) << 8) | std::uint32_t(b[offset + 3]);
}

float getFloat(const Bytes& b, std::size_t offset) {
    std::uint32_t bits = get32(b, offset);
    float f;
    std::memcpy(&f, &bits, 4);
    return f;
}

std::string getName(const Bytes& b, std::size_t offset, std::size_t width) {
    std::string s;
    for (std::size_t i = 0; i < width && offset + i < b.size(); ++i) {
        char c = char(b[offset + i]);
        if (c == 0) break;
        s.push_back(c);
    }
    return s;
}

void put32(Bytes& b, std::uint32_t v) {
    b.push_back(std::uint8_t(v >> 24));
    b.push_back(std::uint8_t(v >> 16));
    b.push_back(std::uint8_t(v >> 8));
    b.push_back(std::uint8_t(v));
}

void putFloat(Bytes& b, float v) {
    std::uint32_t bits;
    std::memcpy(&bits, &v, 4);
    put32(b, bits);
}

void putName(Bytes& b, const std::string& name, std::size_t width) {
    for (std::size_t i = 0; i < width; ++i) b.push_back(i < name.size() && i + 1 < width ? std::uint8_t(name[i]) : 0);
}

void set32(Bytes& b, std::size_t offset, std::uint32_t v) {
    if (offset > b.size() || b.size() - offset < 4) return;
    b[offset] = std::uint8_t(v >> 24);
    b[offset + 1] = std::uint8_t(v >> 16);
    b[offset + 2] = std::uint8_t(v >> 8);
    b[offset + 3] = std::uint8_t(v);
}

Bytes messageHeader(unsigned protocol, unsigned subprotocol, unsigned code) {
    // The routing words are those of the library's header templates.
    Bytes h{0, 0, 0x7F, 0xFF, 0, 0, 0, 0, 0x00, 0x7F, 0, 0};
    h[MESSAGE_PROTOCOL_OFFSET] = std::uint8_t(protocol);
    h[MESSAGE_SUBPROTOCOL_OFFSET] = std::uint8_t(subprotocol);
    h[MESSAGE_CODE_OFFSET] = std::uint8_t(code >> 8);
    h[MESSAGE_CODE_OFFSET + 1] = std::uint8_t(code);
    return h;
}

unsigned messageProtocol(const Bytes& body) {
    return body.size() > MESSAGE_PROTOCOL_OFFSET ? body[MESSAGE_PROTOCOL_OFFSET] : 0;
}

unsigned messageSubprotocol(const Bytes& body) {
    return body.size() > MESSAGE_SUBPROTOCOL_OFFSET ? body[MESSAGE_SUBPROTOCOL_OFFSET] : 0;
}

unsigned messageCode(const Bytes& body) {
    if (body.size() < MESSAGE_CODE_OFFSET + 2) return 0;
    return (unsigned(body[MESSAGE_CODE_OFFSET]) << 8) | body[MESSAGE_CODE_OFFSET + 1];
}

Bytes frame(const Bytes& body, unsigned kind) {
    const bool flowControl = kind == FRAME_KIND_FLOW_CONTROL;
    Bytes f(kFrameHeaderSize + body.size(), 0xFF);  // header bytes without a field stay 0xFF
    set32(f, FRAME_LENGTH_OFFSET, std::uint32_t(kFrameHeaderSize + body.size()));
    set32(f, FRAME_HEADER_LENGTH_OFFSET, std::uint32_t(kFrameHeaderSize));
    set32(f, FRAME_KIND_OFFSET, kind);
    set32(f, FRAME_FLOW_MARK_OFFSET, flowControl ? FLOW_CONTROL_MARK : 0);
    if (flowControl) f[FRAME_TRAILER_OFFSET] = FLOW_CONTROL_TRAILER;
    std::copy(body.begin(), body.end(), f.begin() + kFrameHeaderSize);
    if (kind == FRAME_KIND_DATA && body.size() >= MESSAGE_LENGTH_OFFSET + 4)
        set32(f, kFrameHeaderSize + MESSAGE_LENGTH_OFFSET, std::uint32_t(body.size()));
    return f;
}

bool parseFrameHeader(const std::uint8_t* data, std::size_t size, FrameHeader& out, std::string& why) {
    if (size < kFrameHeaderSize) {
        why = "short frame header";
        return false;
    }
    Bytes h(data, data + kFrameHeaderSize);
    out.frameLength = get32(h, FRAME_LENGTH_OFFSET);
    out.kind = get32(h, FRAME_KIND_OFFSET);
    if (out.frameLength <= kFrameHeaderSize) {
        why = "frame length " + std::to_string(out.frameLength) + " not above 32";
        return false;
    }
    if (out.frameLength > kMaxFrameSize) {
        why = "frame length " + std::to_string(out.frameLength) + " too large";
        return false;
    }
    return true;
}

void FrameReader::append(const std::uint8_t* data, std::size_t n) {
    if (bad_) return;
    buffer_.erase(buffer_.begin(), buffer_.begin() + long(start_));
    start_ = 0;
    buffer_.insert(buffer_.end(), data, data + n);
}

FrameReader::Status FrameReader::next(unsigned& kind, Bytes& body, std::string& why) {
    if (bad_) return Status::NeedMore;
    const std::size_t left = buffer_.size() - start_;
    if (left < kFrameHeaderSize) return Status::NeedMore;
    FrameHeader h;
    if (!parseFrameHeader(buffer_.data() + start_, left, h, why)) {
        bad_ = true;
        buffer_.clear();
        start_ = 0;
        return Status::Bad;
    }
    if (left < h.frameLength) return Status::NeedMore;
    kind = h.kind;
    body.assign(buffer_.begin() + long(start_ + kFrameHeaderSize), buffer_.begin() + long(start_ + h.frameLength));
    start_ += h.frameLength;
    return Status::Frame;
}

}  // namespace simemu
