// The certificate table appended to a signed module file on POSIX.
//
//   [content][entry 0][entry 1]...[entry n-1][trailer]
//
// Each entry is a WIN_CERTIFICATE (dwLength, wRevision, wCertificateType,
// bCertificate), dwLength counting the 8-byte header and the certificate
// bytes, followed by zero bytes up to a multiple of 8. The 16-byte trailer
// ends the file: the magic "ZRCERTTB", the table's size in bytes (all padded
// entries, not the trailer) and the entry count, little-endian. Readers find
// the trailer at the end and walk the entries from the table's start; the
// signed digest covers the content, the bytes before the table.
//
// Header-only and free of the layer's own types, so the signing tool shares
// the one definition of the format.
#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

namespace zrwin::certtable {

constexpr char kMagic[8] = {'Z', 'R', 'C', 'E', 'R', 'T', 'T', 'B'};
constexpr size_t kTrailerSize = 16;
constexpr size_t kEntryHeaderSize = 8;
constexpr uint16_t kRevision2 = 0x0200;
constexpr uint16_t kTypePkcsSignedData = 0x0002;
// Sanity bounds: no module carries more, and a forged trailer must not make a
// reader allocate without limit.
constexpr uint32_t kMaxEntries = 64;
constexpr uint32_t kMaxEntrySize = 1u << 20;

struct Entry {
    uint64_t offset = 0;    // of the entry's header in the file
    uint32_t length = 0;    // dwLength: header plus certificate bytes
    uint16_t revision = 0;
    uint16_t type = 0;
};

struct Table {
    bool present = false;      // a well-formed trailer and table were found
    uint64_t contentSize = 0;  // bytes before the table (the whole file when absent)
    uint32_t tableSize = 0;
    std::vector<Entry> entries;
};

// Reads `length` bytes at `offset`; false when they cannot all be read.
using ReadAt = std::function<bool(uint64_t offset, void* buffer, size_t length)>;

inline uint32_t Align8(uint32_t n) { return (n + 7u) & ~7u; }

inline uint32_t GetLe32(const unsigned char* p) {
    return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24;
}
inline uint16_t GetLe16(const unsigned char* p) { return uint16_t(p[0] | p[1] << 8); }
inline void PutLe32(std::string& out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(char((v >> (8 * i)) & 0xFF));
}
inline void PutLe16(std::string& out, uint16_t v) {
    out.push_back(char(v & 0xFF));
    out.push_back(char(v >> 8));
}

enum class ParseResult {
    Ok,          // table found (or none: present false)
    ReadError,   // the file could not be read
    Malformed,   // a trailer whose table does not fit the file or its entries
};

// Finds the table of a file of `fileSize` bytes. A file without the magic at
// its end has no table: Ok with present false and the whole file as content.
inline ParseResult Parse(uint64_t fileSize, const ReadAt& read, Table& table) {
    table = Table{};
    table.contentSize = fileSize;
    if (fileSize < kTrailerSize) return ParseResult::Ok;
    unsigned char trailer[kTrailerSize];
    if (!read(fileSize - kTrailerSize, trailer, kTrailerSize)) return ParseResult::ReadError;
    if (std::memcmp(trailer, kMagic, sizeof kMagic) != 0) return ParseResult::Ok;
    uint32_t tableSize = GetLe32(trailer + 8);
    uint32_t count = GetLe32(trailer + 12);
    if (uint64_t(tableSize) > fileSize - kTrailerSize || tableSize % 8 != 0 || count > kMaxEntries)
        return ParseResult::Malformed;
    uint64_t start = fileSize - kTrailerSize - tableSize;
    uint64_t at = start;
    uint64_t end = start + tableSize;
    for (uint32_t i = 0; i < count; ++i) {
        if (end - at < kEntryHeaderSize) return ParseResult::Malformed;
        unsigned char header[kEntryHeaderSize];
        if (!read(at, header, kEntryHeaderSize)) return ParseResult::ReadError;
        Entry entry;
        entry.offset = at;
        entry.length = GetLe32(header);
        entry.revision = GetLe16(header + 4);
        entry.type = GetLe16(header + 6);
        if (entry.length < kEntryHeaderSize || entry.length > kMaxEntrySize ||
            Align8(entry.length) > end - at)
            return ParseResult::Malformed;
        table.entries.push_back(entry);
        at += Align8(entry.length);
    }
    if (at != end) return ParseResult::Malformed;
    table.present = true;
    table.contentSize = start;
    table.tableSize = tableSize;
    return ParseResult::Ok;
}

// One padded entry holding `certificate` (a DER PKCS#7 SignedData).
inline std::string BuildEntry(const std::string& certificate) {
    std::string out;
    uint32_t length = uint32_t(kEntryHeaderSize + certificate.size());
    PutLe32(out, length);
    PutLe16(out, kRevision2);
    PutLe16(out, kTypePkcsSignedData);
    out += certificate;
    out.resize(Align8(length), '\0');
    return out;
}

inline std::string BuildTrailer(uint32_t tableSize, uint32_t count) {
    std::string out(kMagic, sizeof kMagic);
    PutLe32(out, tableSize);
    PutLe32(out, count);
    return out;
}

// A module file opened for reading at any offset; the trust service and the
// signing tool read tables and content through it.
class ReadOnlyFile {
public:
    explicit ReadOnlyFile(const std::string& path) : fd_(::open(path.c_str(), O_RDONLY | O_CLOEXEC)) {}
    ~ReadOnlyFile() {
        if (fd_ >= 0) ::close(fd_);
    }
    ReadOnlyFile(const ReadOnlyFile&) = delete;
    ReadOnlyFile& operator=(const ReadOnlyFile&) = delete;

    bool IsOpen() const { return fd_ >= 0; }
    int Fd() const { return fd_; }
    // The size of a regular file; false for anything else.
    bool Size(uint64_t& size) const {
        struct stat info;
        if (::fstat(fd_, &info) != 0 || !S_ISREG(info.st_mode)) return false;
        size = uint64_t(info.st_size);
        return true;
    }
    bool ReadAt(uint64_t offset, void* buffer, size_t length) const {
        auto* cursor = static_cast<unsigned char*>(buffer);
        while (length > 0) {
            ssize_t got = ::pread(fd_, cursor, length, off_t(offset));
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) return false;
            cursor += got;
            offset += uint64_t(got);
            length -= size_t(got);
        }
        return true;
    }

private:
    int fd_;
};

}  // namespace zrwin::certtable
