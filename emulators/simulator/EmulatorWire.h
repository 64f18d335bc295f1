// Byte-level helpers of the emulated simulator servers: frame headers and the
// big-endian fields of message bodies. Readers never look past the bytes they
// are given.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace simemu {

using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t kFrameHeaderSize = 32;
constexpr std::size_t kMessageHeaderSize = 12;
// Larger frames from a client are taken as garbage: no request comes near it.
constexpr std::uint32_t kMaxFrameSize = 1u << 20;

// Reading: 0 when the field does not lie wholly inside the bytes.
std::uint32_t get32(const Bytes& b, std::size_t offset);
float getFloat(const Bytes& b, std::size_t offset);
// The zero-terminated text of a field of at most `width` bytes.
std::string getName(const Bytes& b, std::size_t offset, std::size_t width = 32);

// Appending.
void put32(Bytes& b, std::uint32_t v);
void putFloat(Bytes& b, float v);
void putName(Bytes& b, const std::string& name, std::size_t width = 32);
void set32(Bytes& b, std::size_t offset, std::uint32_t v);

// Calls `each(offset)` for every whole entry of layout L (L::COUNT,
// L::ENTRIES, L::ENTRY_SIZE) that the body holds, at most the count it
// announces: the bound of every loop over a count a client sent.
template <typename L, typename Each>
void forEachEntry(const Bytes& body, Each each) {
    const std::uint32_t n = get32(body, L::COUNT);
    for (std::size_t i = 0, off = L::ENTRIES; i < n && off + L::ENTRY_SIZE <= body.size(); ++i, off += L::ENTRY_SIZE)
        each(off);
}

// A 12-byte message header: protocol, subprotocol, routing words, body length
// (patched by frame()), message code.
Bytes messageHeader(unsigned protocol, unsigned subprotocol, unsigned code);
// Fields of a body's message header; 0 when the field is not in the body.
unsigned messageProtocol(const Bytes& body);
unsigned messageSubprotocol(const Bytes& body);
unsigned messageCode(const Bytes& body);

// A whole frame around a body: kind 0 (data), 3 (flow control) or any other
// code. Data frames get the body length written at body offset 4.
Bytes frame(const Bytes& body, unsigned kind = 0);

struct FrameHeader {
    std::uint32_t frameLength = 0;
    std::uint32_t kind = 0;
};
// Parses 32 header bytes; false (with a reason) for a frame length not
// greater than 32 or above kMaxFrameSize.
bool parseFrameHeader(const std::uint8_t* data, std::size_t size, FrameHeader& out, std::string& why);

// Cuts the bytes a client sends into frames, however they are cut into
// reads. A bad frame header ends the stream: nothing after it is read.
class FrameReader {
public:
    enum class Status { NeedMore, Frame, Bad };
    void append(const std::uint8_t* data, std::size_t n);
    // Frame: `kind` and `body` of the next frame. Bad: `why` says what.
    Status next(unsigned& kind, Bytes& body, std::string& why);

private:
    Bytes buffer_;
    std::size_t start_ = 0;  // first byte not yet handed out
    bool bad_ = false;
};

}  // namespace simemu
