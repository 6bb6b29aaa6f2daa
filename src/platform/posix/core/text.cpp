#include "core/text.h"

#include <cwctype>
#include <vector>

#include "zrwin/sysinfo.h"

namespace zrwin {

std::string WideToUtf8(const std::wstring& text) {
    std::string out;
    out.reserve(text.size());
    for (wchar_t wc : text) {
        auto c = static_cast<uint32_t>(wc);
        if (c >= 0xD800 && c <= 0xDFFF) c = 0xFFFD;
        if (c > 0x10FFFF) c = 0xFFFD;
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else if (c < 0x800) {
            out += static_cast<char>(0xC0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            out += static_cast<char>(0xE0 | (c >> 12));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        } else {
            out += static_cast<char>(0xF0 | (c >> 18));
            out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            out += static_cast<char>(0x80 | (c & 0x3F));
        }
    }
    return out;
}

std::wstring Utf8ToWide(const std::string& text) {
    std::wstring out;
    out.reserve(text.size());
    size_t i = 0;
    while (i < text.size()) {
        auto b = static_cast<unsigned char>(text[i]);
        int extra = b < 0x80 ? 0 : (b & 0xE0) == 0xC0 ? 1 : (b & 0xF0) == 0xE0 ? 2 : (b & 0xF8) == 0xF0 ? 3 : -1;
        uint32_t c = extra == 0 ? b : extra == 1 ? (b & 0x1F) : extra == 2 ? (b & 0x0F) : (b & 0x07);
        bool ok = extra >= 0 && i + static_cast<size_t>(extra) < text.size();
        for (int k = 1; ok && k <= extra; ++k) {
            auto n = static_cast<unsigned char>(text[i + k]);
            if ((n & 0xC0) != 0x80) ok = false;
            c = (c << 6) | (n & 0x3F);
        }
        if (!ok) {
            // A name that is not UTF-8 keeps its bytes readable as Latin-1.
            out += static_cast<wchar_t>(b);
            ++i;
            continue;
        }
        out += static_cast<wchar_t>(c);
        i += extra + 1;
    }
    return out;
}

std::wstring AnsiToWide(const char* text) {
    if (!text) return {};
    std::string bytes(text);
    if (bytes.empty()) return {};
    {
        int n = MultiByteToWideChar(CP_ACP, 0, bytes.data(), static_cast<int>(bytes.size()), nullptr, 0);
        if (n > 0) {
            std::vector<wchar_t> wide(static_cast<size_t>(n));
            n = MultiByteToWideChar(CP_ACP, 0, bytes.data(), static_cast<int>(bytes.size()), wide.data(), n);
            if (n > 0) return std::wstring(wide.data(), static_cast<size_t>(n));
        }
    }
    // Bytes the code page cannot convert still name something: widen them (Latin-1).
    std::wstring out;
    for (char ch : bytes) out += static_cast<wchar_t>(static_cast<unsigned char>(ch));
    return out;
}

std::string WideToAnsi(const std::wstring& text) {
    if (text.empty()) return {};
    {
        int n = WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr,
                                    nullptr);
        if (n > 0) {
            std::vector<char> bytes(static_cast<size_t>(n));
            n = WideCharToMultiByte(CP_ACP, 0, text.data(), static_cast<int>(text.size()), bytes.data(), n,
                                    nullptr, nullptr);
            if (n > 0) return std::string(bytes.data(), static_cast<size_t>(n));
        }
    }
    std::string out;
    for (wchar_t wc : text) out += static_cast<uint32_t>(wc) < 0x100 ? static_cast<char>(wc) : '?';
    return out;
}

std::wstring FoldCase(const std::wstring& text) {
    std::wstring out(text);
    for (auto& ch : out) ch = static_cast<wchar_t>(std::towupper(static_cast<wint_t>(ch)));
    return out;
}

}  // namespace zrwin
