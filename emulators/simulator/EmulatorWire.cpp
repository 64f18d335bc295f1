#include "EmulatorWire.h"

#include <cstring>

namespace simemu {

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
    return Bytes{std::uint8_t(protocol), std::uint8_t(subprotocol), 0x7F, 0xFF, 0, 0, 0, 0,
                 0x00, 0x7F, std::uint8_t(code >> 8), std::uint8_t(code)};
}

Bytes frame(const Bytes& body, unsigned kind) {
    Bytes f;
    f.reserve(kFrameHeaderSize + body.size());
    put32(f, std::uint32_t(kFrameHeaderSize + body.size()));
    put32(f, 32);
    put32(f, kind);
    put32(f, kind == 3 ? 2 : 0);
    for (int i = 0; i < 15; ++i) f.push_back(0xFF);
    f.push_back(kind == 3 ? 0xFE : 0xFF);
    f.insert(f.end(), body.begin(), body.end());
    if (kind == 0 && body.size() >= 8) set32(f, kFrameHeaderSize + 4, std::uint32_t(body.size()));
    return f;
}

bool parseFrameHeader(const std::uint8_t* data, std::size_t size, FrameHeader& out, std::string& why) {
    if (size < kFrameHeaderSize) {
        why = "short frame header";
        return false;
    }
    Bytes h(data, data + kFrameHeaderSize);
    out.frameLength = get32(h, 0);
    out.kind = get32(h, 8);
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

}  // namespace simemu
