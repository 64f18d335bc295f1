#include "ProtocolHelpers.h"

#include <climits>
#include <cmath>
#include <cstring>

namespace com_vela {
namespace protocol_helpers {

RawMessage beginMessage(const unsigned char (&header)[12], unsigned code) {
    RawMessage m(RawMessage::TYPE_DATA);
    m.write(reinterpret_cast<const char*>(header), MESSAGE_HEADER_SIZE);
    m.writeAt(MESSAGE_CODE_OFFSET, static_cast<unsigned char>((code >> 8) & 0xFF));
    m.writeAt(MESSAGE_CODE_OFFSET + 1, static_cast<unsigned char>(code & 0xFF));
    return m;
}

void writeName(RawMessage& message, const std::string& name, unsigned width) {
    char field[256] = {0};
    if (width > sizeof field) width = sizeof field;
    std::size_t n = name.size() < width ? name.size() : width - 1;
    std::memcpy(field, name.data(), n);
    message.write(field, width);
}

std::string readName(const RawMessage& message, unsigned offset, unsigned width) {
    const std::vector<char>& d = message.getData();
    std::string s;
    for (unsigned i = 0; i < width && std::size_t(offset) + i < d.size(); ++i) {
        char c = d[offset + i];
        if (c == 0) break;
        s.push_back(c);
    }
    return s;
}

unsigned entriesInBody(const RawMessage& message, unsigned offset, unsigned entrySize, unsigned announced) {
    unsigned size = message.getSize();
    if (entrySize == 0 || offset >= size) return 0;
    unsigned whole = (size - offset) / entrySize;
    return announced < whole ? announced : whole;
}

unsigned rateWord(unsigned updateRateCode) {
    switch (updateRateCode) {
    case 1: return 12000;
    case 3: return 120000;
    default: return 0;
    }
}

int truncateToInt(float value) {
    if (std::isnan(value)) return 0;
    if (value >= 2147483647.0f) return INT_MAX;
    if (value <= -2147483648.0f) return INT_MIN;
    return static_cast<int>(value);
}

}  // namespace protocol_helpers
}  // namespace com_vela
