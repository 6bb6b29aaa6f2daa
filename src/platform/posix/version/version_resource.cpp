// version.dll: the version resource that the build stamps into POSIX
// libraries and programs (cmake/ZrVersion.cmake).
//
// The stamp is a text block in the ELF section ".zrversion":
//   ZRVERSIONINFO 1\n
//   fixed.file=a.b.c.d\n  fixed.product=a.b.c.d\n  fixed.type=2\n
//   translation=0409 04b0\n
//   string.<Name>=<UTF-8 value>\n ...
// GetFileVersionInfoW turns it into a block of wide texts in the caller's
// buffer, laid out as described at BlockHeader, which VerQueryValueW reads.
#include <elf.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <cwctype>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "core/scoped_fd.h"
#include "kernel32/paths.h"
#include "zrwin/sync.h"
#include "zrwin/sysinfo.h"

namespace {

constexpr char kSectionName[] = ".zrversion";
constexpr char kStampHeader[] = "ZRVERSIONINFO 1\n";
constexpr DWORD kBlockMagic = 0x4956525A;  // "ZRVI"
constexpr size_t kMaxSection = 64 * 1024;

// The block in the caller's buffer: the header, the translations (language
// in the low word, code page in the high word, as Windows stores the pair),
// then per string: key length and value length in wchar_t units with their
// terminators, the key, the value.
struct BlockHeader {
    DWORD magic;
    DWORD totalSize;
    VS_FIXEDFILEINFO fixed;
    DWORD translationCount;
    DWORD stringCount;
};

struct VersionInfo {
    VS_FIXEDFILEINFO fixed{};
    std::vector<DWORD> translations;
    std::vector<std::pair<std::wstring, std::wstring>> strings;
};

class File {
public:
    explicit File(const std::string& path) : fd_(open(path.c_str(), O_RDONLY | O_CLOEXEC)) {}
    bool ok() const { return fd_.IsValid(); }
    bool Read(uint64_t offset, void* out, size_t length) const {
        auto* bytes = static_cast<char*>(out);
        while (length > 0) {
            ssize_t n = pread(fd_.Get(), bytes, length, (off_t)offset);
            if (n <= 0) return false;
            bytes += n;
            offset += (uint64_t)n;
            length -= (size_t)n;
        }
        return true;
    }

private:
    zrwin::ScopedFd fd_;
};

struct Section {
    uint64_t offset = 0;
    uint64_t size = 0;
    uint32_t nameIndex = 0;
};

// Section headers of a 32- or 64-bit little-endian ELF file.
template <typename Ehdr, typename Shdr>
bool ReadSections(const File& file, std::vector<Section>& sections, uint16_t& namesIndex) {
    Ehdr header{};
    if (!file.Read(0, &header, sizeof header)) return false;
    if (header.e_shentsize != sizeof(Shdr) || header.e_shnum == 0 || header.e_shnum > 4096) return false;
    namesIndex = header.e_shstrndx;
    for (uint16_t i = 0; i < header.e_shnum; ++i) {
        Shdr entry{};
        if (!file.Read(header.e_shoff + (uint64_t)i * sizeof(Shdr), &entry, sizeof entry)) return false;
        sections.push_back(Section{entry.sh_offset, entry.sh_size, entry.sh_name});
    }
    return namesIndex < sections.size();
}

// The stamp text of an ELF file, or empty.
std::string ReadStamp(const File& file) {
    unsigned char ident[EI_NIDENT] = {};
    if (!file.Read(0, ident, sizeof ident) || std::memcmp(ident, ELFMAG, SELFMAG) != 0 ||
        ident[EI_DATA] != ELFDATA2LSB)
        return {};
    std::vector<Section> sections;
    uint16_t namesIndex = 0;
    bool ok = ident[EI_CLASS] == ELFCLASS64 ? ReadSections<Elf64_Ehdr, Elf64_Shdr>(file, sections, namesIndex)
              : ident[EI_CLASS] == ELFCLASS32 ? ReadSections<Elf32_Ehdr, Elf32_Shdr>(file, sections, namesIndex)
                                              : false;
    if (!ok) return {};
    const Section& names = sections[namesIndex];
    for (const Section& section : sections) {
        char name[sizeof kSectionName] = {};
        if (section.nameIndex + sizeof kSectionName > names.size) continue;
        if (!file.Read(names.offset + section.nameIndex, name, sizeof name)) continue;
        if (std::memcmp(name, kSectionName, sizeof kSectionName) != 0) continue;
        if (section.size == 0 || section.size > kMaxSection) return {};
        std::string content((size_t)section.size, '\0');
        if (!file.Read(section.offset, content.data(), content.size())) return {};
        content.resize(std::strlen(content.c_str()));  // the first stamp only
        if (content.compare(0, sizeof kStampHeader - 1, kStampHeader) != 0) return {};
        return content;
    }
    return {};
}

std::wstring FromUtf8(const std::string& text) {
    if (text.empty()) return {};
    int size = MultiByteToWideChar(CP_UTF8, 0, text.data(), (int)text.size(), nullptr, 0);
    if (size <= 0) return {};
    std::wstring out((size_t)size, L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), (int)text.size(), out.data(), size);
    return out;
}

bool ParseVersion(const std::string& text, DWORD& ms, DWORD& ls) {
    unsigned parts[4] = {};
    char dot;
    std::istringstream in(text);
    for (int i = 0; i < 4; ++i) {
        if (i && !(in >> dot && dot == '.')) return false;
        if (!(in >> parts[i]) || parts[i] > 0xFFFF) return false;
    }
    ms = (parts[0] << 16) | parts[1];
    ls = (parts[2] << 16) | parts[3];
    return true;
}

bool ParseStamp(const std::string& stamp, VersionInfo& info) {
    info.fixed.dwSignature = 0xFEEF04BD;
    info.fixed.dwStrucVersion = 0x00010000;
    info.fixed.dwFileFlagsMask = 0x3F;
    info.fixed.dwFileOS = 0x00040004;  // VOS_NT_WINDOWS32
    info.fixed.dwFileType = 2;         // VFT_DLL
    std::istringstream lines(stamp.substr(sizeof kStampHeader - 1));
    std::string line;
    bool haveFile = false;
    while (std::getline(lines, line)) {
        size_t equals = line.find('=');
        if (equals == std::string::npos) continue;
        std::string key = line.substr(0, equals);
        std::string value = line.substr(equals + 1);
        if (key == "fixed.file") {
            haveFile = ParseVersion(value, info.fixed.dwFileVersionMS, info.fixed.dwFileVersionLS);
        } else if (key == "fixed.product") {
            ParseVersion(value, info.fixed.dwProductVersionMS, info.fixed.dwProductVersionLS);
        } else if (key == "fixed.type") {
            info.fixed.dwFileType = (DWORD)std::strtoul(value.c_str(), nullptr, 10);
        } else if (key == "translation") {
            unsigned language = 0, codePage = 0;
            std::istringstream pair(value);
            if (pair >> std::hex >> language >> codePage) info.translations.push_back((codePage << 16) | language);
        } else if (key.compare(0, 7, "string.") == 0 && key.size() > 7) {
            info.strings.emplace_back(FromUtf8(key.substr(7)), FromUtf8(value));
        }
    }
    return haveFile && !info.translations.empty();
}

size_t BlockSize(const VersionInfo& info) {
    size_t size = sizeof(BlockHeader) + info.translations.size() * sizeof(DWORD);
    for (const auto& [key, value] : info.strings)
        size += 2 * sizeof(DWORD) + (key.size() + 1 + value.size() + 1) * sizeof(wchar_t);
    return size;
}

// Loads the version information of a file; false with the Windows error set.
bool LoadInfo(LPCWSTR fileName, VersionInfo& info) {
    if (!fileName || !*fileName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    std::string path;
    if (!zrwin::WindowsToPosixPath(fileName, path)) return false;
    struct stat status {};
    if (stat(path.c_str(), &status) != 0) {
        SetLastError(errno == ENOENT ? (DWORD)ERROR_FILE_NOT_FOUND
                     : errno == ENOTDIR ? (DWORD)ERROR_PATH_NOT_FOUND
                                        : (DWORD)ERROR_ACCESS_DENIED);
        return false;
    }
    File file(path);
    if (!file.ok()) {
        SetLastError(ERROR_ACCESS_DENIED);
        return false;
    }
    std::string stamp = S_ISREG(status.st_mode) ? ReadStamp(file) : std::string();
    if (stamp.empty() || !ParseStamp(stamp, info)) {
        SetLastError(ERROR_RESOURCE_TYPE_NOT_FOUND);
        return false;
    }
    return true;
}

std::vector<std::wstring> SplitPath(const std::wstring& subBlock) {
    std::vector<std::wstring> parts;
    std::wstring part;
    for (wchar_t c : subBlock) {
        if (c == L'\\') {
            if (!part.empty()) parts.push_back(part);
            part.clear();
        } else {
            part += c;
        }
    }
    if (!part.empty()) parts.push_back(part);
    return parts;
}

bool SameText(const std::wstring& a, const std::wstring& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::towlower((wint_t)a[i]) != std::towlower((wint_t)b[i])) return false;
    return true;
}

std::wstring TranslationKey(DWORD translation) {
    wchar_t text[16];
    swprintf(text, 16, L"%04x%04x", (unsigned)(translation & 0xFFFF), (unsigned)(translation >> 16));
    return text;
}

BOOL NotFound(LPVOID* buffer, PUINT length) {
    if (buffer) *buffer = nullptr;
    if (length) *length = 0;
    SetLastError(ERROR_RESOURCE_TYPE_NOT_FOUND);
    return FALSE;
}

}  // namespace

ZRWINAPI DWORD WINAPI GetFileVersionInfoSizeW(LPCWSTR fileName, LPDWORD handle) {
    if (handle) *handle = 0;
    VersionInfo info;
    if (!LoadInfo(fileName, info)) return 0;
    return (DWORD)BlockSize(info);
}

ZRWINAPI BOOL WINAPI GetFileVersionInfoW(LPCWSTR fileName, DWORD handle, DWORD length, LPVOID data) {
    (void)handle;
    if (!data) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    VersionInfo info;
    if (!LoadInfo(fileName, info)) return FALSE;
    size_t size = BlockSize(info);
    if (length < size) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    auto* out = static_cast<char*>(data);
    BlockHeader header{kBlockMagic, (DWORD)size, info.fixed, (DWORD)info.translations.size(),
                       (DWORD)info.strings.size()};
    std::memcpy(out, &header, sizeof header);
    out += sizeof header;
    for (DWORD translation : info.translations) {
        std::memcpy(out, &translation, sizeof translation);
        out += sizeof translation;
    }
    for (const auto& [key, value] : info.strings) {
        DWORD lengths[2] = {(DWORD)key.size() + 1, (DWORD)value.size() + 1};
        std::memcpy(out, lengths, sizeof lengths);
        out += sizeof lengths;
        std::memcpy(out, key.c_str(), lengths[0] * sizeof(wchar_t));
        out += lengths[0] * sizeof(wchar_t);
        std::memcpy(out, value.c_str(), lengths[1] * sizeof(wchar_t));
        out += lengths[1] * sizeof(wchar_t);
    }
    return TRUE;
}

ZRWINAPI BOOL WINAPI VerQueryValueW(LPCVOID block, LPCWSTR subBlock, LPVOID* buffer, PUINT length) {
    if (!block || !subBlock || !buffer) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    const auto* base = static_cast<const char*>(block);
    BlockHeader header;
    std::memcpy(&header, base, sizeof header);
    if (header.magic != kBlockMagic) {
        SetLastError(ERROR_INVALID_DATA);
        return FALSE;
    }
    std::vector<std::wstring> parts = SplitPath(subBlock);
    const char* translations = base + sizeof header;
    if (parts.empty()) {
        *buffer = const_cast<char*>(base) + offsetof(BlockHeader, fixed);
        if (length) *length = sizeof(VS_FIXEDFILEINFO);
        return TRUE;
    }
    if (parts.size() == 2 && SameText(parts[0], L"VarFileInfo") && SameText(parts[1], L"Translation")) {
        if (header.translationCount == 0) return NotFound(buffer, length);
        *buffer = const_cast<char*>(translations);
        if (length) *length = header.translationCount * sizeof(DWORD);
        return TRUE;
    }
    if (parts.size() != 3 || !SameText(parts[0], L"StringFileInfo")) return NotFound(buffer, length);
    // The strings belong to the first translation.
    DWORD first;
    std::memcpy(&first, translations, sizeof first);
    if (header.translationCount == 0 || !SameText(parts[1], TranslationKey(first))) return NotFound(buffer, length);
    const char* at = translations + header.translationCount * sizeof(DWORD);
    for (DWORD i = 0; i < header.stringCount; ++i) {
        DWORD lengths[2];
        std::memcpy(lengths, at, sizeof lengths);
        const auto* key = reinterpret_cast<const wchar_t*>(at + sizeof lengths);
        const auto* value = key + lengths[0];
        if (SameText(key, parts[2])) {
            *buffer = const_cast<wchar_t*>(value);
            if (length) *length = lengths[1];
            return TRUE;
        }
        at = reinterpret_cast<const char*>(value + lengths[1]);
    }
    return NotFound(buffer, length);
}
