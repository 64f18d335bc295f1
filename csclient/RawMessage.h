#ifndef COM_VELA_RAWMESSAGE_H
#define COM_VELA_RAWMESSAGE_H

#include <cstdint>
#include <vector>

namespace com_vela {

// One frame body (never the 32-byte frame header) together with its kind.
// All multi-byte fields are big-endian.
class RawMessage {
public:
    enum Type : uint32_t {
        TYPE_INVALID = 0,       // any wire kind code other than 0 and 3 (receive only)
        TYPE_DATA = 1,          // wire kind code 0
        TYPE_FLOW_CONTROL = 2   // wire kind code 3
    };

    explicit RawMessage(Type type);
    RawMessage(const char* data, unsigned size, Type type);
    virtual ~RawMessage();

    Type getType() const { return type; }

    // Body byte 0 / byte 1 as signed bytes; 0 when absent.
    int getProtocol() const;
    int getSubprotocol() const;

    // Each returns 0 (0.0f) when the field does not lie wholly inside the body.
    unsigned short getWord(unsigned offset) const;
    unsigned getDoubleWord(unsigned offset) const;
    int getInt(unsigned offset) const;
    float getFloat(unsigned offset) const;

    // Appends at the end of the body.
    void write(const char* data, unsigned length);
    void write(int value);
    void write(unsigned int value);
    void write(float value);
    void write(unsigned char value);

    // Overwrite in place; ignored when the field is not wholly inside the body.
    void writeAt(unsigned offset, unsigned int value);
    void writeAt(unsigned offset, unsigned char value);

    // Every body byte as "0x%02x " on standard output, four to a line.
    void show() const;

    unsigned getSize() const { return static_cast<unsigned>(data.size()); }
    const std::vector<char>& getData() const { return data; }
    std::vector<char>& getData() { return data; }

private:
    std::vector<char> data;
    Type type;
};

// Frame header: 32 bytes in front of every body. Offsets into the header.
constexpr unsigned FRAME_HEADER_SIZE = 32;
constexpr unsigned FRAME_LENGTH_OFFSET = 0;        // u32: header plus body
constexpr unsigned FRAME_HEADER_LENGTH_OFFSET = 4; // u32: 32
constexpr unsigned FRAME_KIND_OFFSET = 8;          // u32: kind code
constexpr unsigned FRAME_FLOW_MARK_OFFSET = 12;    // u32: 2 on flow-control frames
constexpr unsigned FRAME_TRAILER_OFFSET = 31;      // u8: 0xFE on flow-control frames
// Kind codes at FRAME_KIND_OFFSET.
constexpr unsigned FRAME_KIND_DATA = 0;
constexpr unsigned FRAME_KIND_FLOW_CONTROL = 3;
constexpr unsigned FLOW_CONTROL_MARK = 2;
constexpr unsigned char FLOW_CONTROL_TRAILER = 0xFE;

// Message header: the first 12 bytes of every data body. Offsets into the body.
constexpr unsigned MESSAGE_HEADER_SIZE = 12;
constexpr unsigned MESSAGE_PROTOCOL_OFFSET = 0;    // u8
constexpr unsigned MESSAGE_SUBPROTOCOL_OFFSET = 1; // u8
constexpr unsigned MESSAGE_LENGTH_OFFSET = 4;      // u32: body length, patched when sent
constexpr unsigned MESSAGE_CODE_OFFSET = 10;       // u16
// A frame longer than this is refused as corrupt: no real frame comes near it,
// and the announced length decides the body allocation.
constexpr unsigned MAX_FRAME_SIZE = 16u * 1024u * 1024u;

// Builds the complete frame (32-byte header + copy of the body) for sending.
// Returns false, leaving `frame` untouched, for a TYPE_INVALID body.
bool buildFrame(const RawMessage& body, RawMessage& frame);

enum FrameHeaderStatus {
    FRAME_HEADER_OK = 0,
    FRAME_HEADER_SHORT = 1,       // fewer than 32 bytes
    FRAME_HEADER_BAD_LENGTH = 2   // frame length not above 32, or above MAX_FRAME_SIZE
};

// Decodes a received 32-byte frame header: kind from the code at offset 8,
// body length = frame length - 32. frameLength is set whenever the header is
// at least 32 bytes long.
FrameHeaderStatus decodeFrameHeader(const RawMessage& header, RawMessage::Type& type,
                                    unsigned& frameLength, unsigned& bodyLength);

} // namespace com_vela

#endif
