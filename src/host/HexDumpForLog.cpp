#include "host/HexDumpForLog.h"

std::string HexDumpForLog(const void* bytes, size_t count) {
    static const char kDigits[] = "0123456789abcdef";
    const auto* data = static_cast<const unsigned char*>(bytes);
    if (data == nullptr) count = 0;
    std::string hex = "[";
    std::string text;
    hex.reserve(count * 2 + 2);
    text.reserve(count);
    for (size_t i = 0; i < count; ++i) {
        const unsigned char b = data[i];
        hex += kDigits[b >> 4];
        hex += kDigits[b & 0x0f];
        text += b == 0 ? ' ' : (b < 32 || b > 213) ? '?' : static_cast<char>(b);
    }
    return hex + "]='" + text + "'";
}
