#pragma once

#include <cstddef>
#include <string>

// The unit frame: STX, the JSON text's byte length in decimal (at least 4
// digits, left-padded with '0'), the JSON text, ETX. No other bytes lie
// between frames. These functions work on bytes only, apart from any socket.

// Wraps one JSON text in a unit frame.
std::string frameUnitMessage(const std::string& json);

// Collects bytes read from the peer and hands out one frame at a time.
// Bytes of a following frame stay buffered for the next call. Each byte is
// looked at once however the bytes are cut into reads: a peer trickling an
// endless frame costs linear time, as do many small frames in one read.
class UnitFrameParser {
public:
    // Longest inner text (length field and JSON) accepted for one frame.
    static constexpr std::size_t kMaxReplyBytes = 1 << 20;

    void append(const char* data, std::size_t n);

    enum class Status { NeedMore, Frame, Error };
    // Frame: `reply` holds the text between STX and ETX (length field, then
    // the JSON text). Error: `error` holds a one-line reason and the bad bytes
    // have been dropped, so the buffer never grows without bound.
    Status next(std::string& reply, std::string& error);

    void clear();
    std::size_t buffered() const;

private:
    void consume(std::size_t n);

    std::string buffer_;
    std::size_t start_ = 0;    // first unconsumed byte; consumed bytes go at the next append
    std::size_t scanned_ = 0;  // bytes after start_ already searched for STX/ETX
};

// Checks the length field of a reply (all decimal digits after STX) against
// the byte length of the JSON text that follows and returns the JSON text.
// A mismatch prints the transmission warning and throws std::runtime_error;
// a missing or all-zero length field throws std::invalid_argument.
std::string verifyUnitReply(const std::string& reply);
