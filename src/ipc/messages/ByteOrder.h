// Little-endian integer fields of message bodies. Bodies are assembled and
// taken apart byte by byte so that the layout is the same on 32-bit Windows
// and on 64-bit POSIX hosts, whatever the compiler does with structs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace zrmessages {

inline void AppendUInt32LE(std::string& out, uint32_t value) {
    out.push_back(static_cast<char>(value & 0xFFu));
    out.push_back(static_cast<char>((value >> 8) & 0xFFu));
    out.push_back(static_cast<char>((value >> 16) & 0xFFu));
    out.push_back(static_cast<char>((value >> 24) & 0xFFu));
}

inline void AppendInt32LE(std::string& out, int32_t value) {
    AppendUInt32LE(out, static_cast<uint32_t>(value));
}

inline uint32_t ReadUInt32LE(const unsigned char* p) {
    return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
           (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}

inline int32_t ReadInt32LE(const unsigned char* p) {
    return static_cast<int32_t>(ReadUInt32LE(p));
}

inline void WriteUInt32LE(unsigned char* p, uint32_t value) {
    p[0] = static_cast<unsigned char>(value & 0xFFu);
    p[1] = static_cast<unsigned char>((value >> 8) & 0xFFu);
    p[2] = static_cast<unsigned char>((value >> 16) & 0xFFu);
    p[3] = static_cast<unsigned char>((value >> 24) & 0xFFu);
}

}  // namespace zrmessages
