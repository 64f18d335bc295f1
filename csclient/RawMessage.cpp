#include "RawMessage.h"

#include "Log.h"

#include <cstdio>
#include <cstring>

namespace com_vela {

namespace {

// True when [offset, offset + width) lies inside a body of `size` bytes,
// written so that a huge offset cannot wrap around.
bool fits(unsigned offset, unsigned width, size_t size)
{
    return offset <= size && width <= size - offset;
}

unsigned readBE32(const char* p)
{
    const unsigned char* b = reinterpret_cast<const unsigned char*>(p);
    return (unsigned(b[0]) << 24) | (unsigned(b[1]) << 16) | (unsigned(b[2]) << 8) | unsigned(b[3]);
}

void storeBE32(char* p, unsigned v)
{
    p[0] = static_cast<char>(v >> 24);
    p[1] = static_cast<char>(v >> 16);
    p[2] = static_cast<char>(v >> 8);
    p[3] = static_cast<char>(v);
}

} // namespace

RawMessage::RawMessage(Type t) : type(t) {}

RawMessage::RawMessage(const char* bytes, unsigned size, Type t)
    : data(bytes, bytes + (bytes ? size : 0)), type(t)
{
}

RawMessage::~RawMessage() {}

int RawMessage::getProtocol() const
{
    return data.size() <= MESSAGE_PROTOCOL_OFFSET
               ? 0
               : static_cast<int>(static_cast<signed char>(data[MESSAGE_PROTOCOL_OFFSET]));
}

int RawMessage::getSubprotocol() const
{
    return data.size() <= MESSAGE_SUBPROTOCOL_OFFSET
               ? 0
               : static_cast<int>(static_cast<signed char>(data[MESSAGE_SUBPROTOCOL_OFFSET]));
}

unsigned short RawMessage::getWord(unsigned offset) const
{
    if (!fits(offset, 2, data.size()))
        return 0;
    const unsigned char* b = reinterpret_cast<const unsigned char*>(&data[offset]);
    return static_cast<unsigned short>((b[0] << 8) | b[1]);
}

unsigned RawMessage::getDoubleWord(unsigned offset) const
{
    if (!fits(offset, 4, data.size()))
        return 0;
    return readBE32(&data[offset]);
}

int RawMessage::getInt(unsigned offset) const
{
    return static_cast<int>(getDoubleWord(offset));
}

float RawMessage::getFloat(unsigned offset) const
{
    if (!fits(offset, 4, data.size()))
        return 0.0f;
    unsigned bits = readBE32(&data[offset]);
    float f;
    std::memcpy(&f, &bits, sizeof f);
    return f;
}

void RawMessage::write(const char* bytes, unsigned length)
{
    if (bytes && length)
        data.insert(data.end(), bytes, bytes + length);
}

void RawMessage::write(unsigned int value)
{
    char b[4];
    storeBE32(b, value);
    data.insert(data.end(), b, b + 4);
}

void RawMessage::write(int value)
{
    write(static_cast<unsigned int>(value));
}

void RawMessage::write(float value)
{
    unsigned bits;
    std::memcpy(&bits, &value, sizeof bits);
    write(bits);
}

void RawMessage::write(unsigned char value)
{
    data.push_back(static_cast<char>(value));
}

void RawMessage::writeAt(unsigned offset, unsigned int value)
{
    if (fits(offset, 4, data.size()))
        storeBE32(&data[offset], value);
}

void RawMessage::writeAt(unsigned offset, unsigned char value)
{
    if (fits(offset, 1, data.size()))
        data[offset] = static_cast<char>(value);
}

// One record of four bytes a line, so that no other line comes between
// them; a final incomplete group ends its line too.
void RawMessage::show() const
{
    if (data.empty())
        return;
    std::string text;
    char item[8];
    for (size_t i = 0; i < data.size(); ++i) {
        if (i != 0 && i % 4 == 0)
            text += '\n';
        std::snprintf(item, sizeof item, "0x%02x ", static_cast<unsigned>(static_cast<unsigned char>(data[i])));
        text += item;
    }
    snlog::out() << text;
}

bool buildFrame(const RawMessage& body, RawMessage& frame)
{
    static const unsigned char sFrameHeader[FRAME_HEADER_SIZE] = {
        0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x20, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00,
        0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

    const RawMessage::Type type = body.getType();
    if (type != RawMessage::TYPE_DATA && type != RawMessage::TYPE_FLOW_CONTROL)
        return false;

    RawMessage out(type);
    std::vector<char>& bytes = out.getData();
    bytes.reserve(FRAME_HEADER_SIZE + body.getSize());
    bytes.insert(bytes.end(), reinterpret_cast<const char*>(sFrameHeader),
                 reinterpret_cast<const char*>(sFrameHeader) + FRAME_HEADER_SIZE);
    bytes.insert(bytes.end(), body.getData().begin(), body.getData().end());

    if (type == RawMessage::TYPE_DATA) {
        out.writeAt(FRAME_HEADER_SIZE + MESSAGE_LENGTH_OFFSET, body.getSize());
    } else {
        out.writeAt(FRAME_KIND_OFFSET, FRAME_KIND_FLOW_CONTROL);
        out.writeAt(FRAME_FLOW_MARK_OFFSET, FLOW_CONTROL_MARK);
        out.writeAt(FRAME_TRAILER_OFFSET, FLOW_CONTROL_TRAILER);
    }
    out.writeAt(FRAME_LENGTH_OFFSET, FRAME_HEADER_SIZE + body.getSize());
    frame = std::move(out);
    return true;
}

FrameHeaderStatus decodeFrameHeader(const RawMessage& header, RawMessage::Type& type,
                                    unsigned& frameLength, unsigned& bodyLength)
{
    if (header.getSize() < FRAME_HEADER_SIZE)
        return FRAME_HEADER_SHORT;
    frameLength = header.getDoubleWord(FRAME_LENGTH_OFFSET);
    if (frameLength <= FRAME_HEADER_SIZE || frameLength > MAX_FRAME_SIZE)
        return FRAME_HEADER_BAD_LENGTH;
    bodyLength = frameLength - FRAME_HEADER_SIZE;
    switch (header.getDoubleWord(FRAME_KIND_OFFSET)) {
    case FRAME_KIND_DATA:
        type = RawMessage::TYPE_DATA;
        break;
    case FRAME_KIND_FLOW_CONTROL:
        type = RawMessage::TYPE_FLOW_CONTROL;
        break;
    default:
        type = RawMessage::TYPE_INVALID;
        break;
    }
    return FRAME_HEADER_OK;
}

} // namespace com_vela
