#include "WindowMessageText.h"

#include <cstdio>
#include <cstdlib>

#include "ipc/messages/WindowMessageDataMultiProcess.h"

namespace zragent {

namespace {

std::string Bytes(const BYTE* data, int32_t count) {
    if (!data || count <= 0) return {};
    return std::string(reinterpret_cast<const char*>(data), static_cast<size_t>(count));
}

// WM_RUNJOB carries its numbers as decimal text; anything else is shown as
// the text it is.
bool Number(const std::string& text, long long& value) {
    if (text.empty()) return false;
    char* end = nullptr;
    value = std::strtoll(text.c_str(), &end, 10);
    return end && *end == '\0';
}

}  // namespace

DecodedWindowMessage DecodeWindowMessage(const WindowMessageDataMultiProcess& record) {
    DecodedWindowMessage decoded;
    decoded.message = record.uMsg;
    const std::string w = Bytes(record.GetWParam(), record.GetLenWParam());
    const std::string l = Bytes(record.GetLParam(), record.GetLenLParam());
    switch (record.uMsg) {
        case kGetSrvOption:
        case kSetSrvOption:
            decoded.name = record.uMsg == kGetSrvOption ? "GETSRVOPTION" : "SETSRVOPTION";
            decoded.option = w;
            decoded.bytes = l;
            break;
        case kRunJob:
            decoded.name = "WM_RUNJOB";
            decoded.hasNumbers = Number(w, decoded.wParam) && Number(l, decoded.lParam);
            if (!decoded.hasNumbers) {
                decoded.option = w;
                decoded.bytes = l;
            }
            break;
        default:
            decoded.name = "WM_" + std::to_string(record.uMsg);
            decoded.option = w;
            decoded.bytes = l;
            break;
    }
    return decoded;
}

std::string Printable(const std::string& bytes) {
    std::string out;
    for (unsigned char c : bytes) {
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c >= 32 && c < 127) {
            out += static_cast<char>(c);
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02x", c);
            out += hex;
        }
    }
    return out;
}

std::string DescribeWindowMessage(const DecodedWindowMessage& message) {
    std::string text = message.name;
    if (message.hasNumbers) {
        text += " w=" + std::to_string(message.wParam) + " l=" + std::to_string(message.lParam);
        return text;
    }
    text += " option \"" + Printable(message.option) + "\" bytes \"" + Printable(message.bytes) + "\" (" +
            std::to_string(message.bytes.size()) + ")";
    return text;
}

}  // namespace zragent
