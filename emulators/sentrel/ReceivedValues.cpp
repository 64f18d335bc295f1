#include "ReceivedValues.h"

#include <cstdint>
#include <stdexcept>

bool parseSample(const std::string& text, int& value) {
    try {
        std::size_t used = 0;
        long v = std::stol(text, &used);
        if (used != text.size() || v < INT32_MIN || v > INT32_MAX) return false;
        value = static_cast<int>(v);
        return true;
    } catch (const std::exception&) {
        return false;
    }
}
