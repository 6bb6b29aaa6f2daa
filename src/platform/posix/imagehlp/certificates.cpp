// The built-in "imagehlp": the certificate table of a file opened with
// CreateFile, read through the caller's handle.
#include <cstring>

#include "zrwin/cert_table.h"
#include "zrwin/fileapi.h"
#include "zrwin/sync.h"
#include "zrwin/trust.h"

namespace {

using zrwin::certtable::Table;

// Reads through the handle's file pointer, as imagehlp does on Windows.
bool ReadThroughHandle(HANDLE file, uint64_t offset, void* buffer, size_t length) {
    LARGE_INTEGER position;
    position.QuadPart = LONGLONG(offset);
    if (!SetFilePointerEx(file, position, nullptr, FILE_BEGIN)) return false;
    auto* cursor = static_cast<unsigned char*>(buffer);
    while (length > 0) {
        DWORD got = 0;
        DWORD want = length > 0x10000000 ? 0x10000000 : DWORD(length);
        if (!ReadFile(file, cursor, want, &got, nullptr)) return false;
        if (got == 0) {
            SetLastError(ERROR_HANDLE_EOF);
            return false;
        }
        cursor += got;
        length -= got;
    }
    return true;
}

// The file's table; FALSE-worthy failures leave the last error set.
bool LoadTable(HANDLE file, Table& table) {
    LARGE_INTEGER size;
    if (!GetFileSizeEx(file, &size)) return false;
    auto read = [file](uint64_t offset, void* buffer, size_t length) {
        return ReadThroughHandle(file, offset, buffer, length);
    };
    switch (zrwin::certtable::Parse(uint64_t(size.QuadPart), read, table)) {
        case zrwin::certtable::ParseResult::Ok:
            return true;
        case zrwin::certtable::ParseResult::ReadError:
            return false;
        case zrwin::certtable::ParseResult::Malformed:
            break;
    }
    SetLastError(ERROR_INVALID_DATA);
    return false;
}

// The table of a file that has an entry at index (ERROR_NOT_FOUND otherwise).
bool LoadEntry(HANDLE file, DWORD index, Table& table) {
    if (!LoadTable(file, table)) return false;
    if (index < table.entries.size()) return true;
    SetLastError(ERROR_NOT_FOUND);
    return false;
}

}  // namespace

ZRWINAPI BOOL WINAPI ImageEnumerateCertificates(HANDLE FileHandle, WORD TypeFilter, PDWORD CertificateCount,
                                               PDWORD Indices, DWORD IndexCount) {
    if (!CertificateCount) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    *CertificateCount = 0;
    Table table;
    if (!LoadTable(FileHandle, table)) return FALSE;
    DWORD count = 0;
    for (size_t i = 0; i < table.entries.size(); ++i) {
        if (TypeFilter != CERT_SECTION_TYPE_ANY && table.entries[i].type != TypeFilter) continue;
        if (Indices && count < IndexCount) Indices[count] = DWORD(i);
        ++count;
    }
    *CertificateCount = count;
    return TRUE;
}

ZRWINAPI BOOL WINAPI ImageGetCertificateHeader(HANDLE FileHandle, DWORD CertificateIndex,
                                              LPWIN_CERTIFICATE Certificateheader) {
    if (!Certificateheader) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    Table table;
    if (!LoadEntry(FileHandle, CertificateIndex, table)) return FALSE;
    const auto& entry = table.entries[CertificateIndex];
    Certificateheader->dwLength = entry.length;
    Certificateheader->wRevision = entry.revision;
    Certificateheader->wCertificateType = entry.type;
    return TRUE;
}

ZRWINAPI BOOL WINAPI ImageGetCertificateData(HANDLE FileHandle, DWORD CertificateIndex,
                                            LPWIN_CERTIFICATE Certificate, PDWORD RequiredLength) {
    if (!RequiredLength) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    Table table;
    if (!LoadEntry(FileHandle, CertificateIndex, table)) return FALSE;
    const auto& entry = table.entries[CertificateIndex];
    if (!Certificate || *RequiredLength < entry.length) {
        *RequiredLength = entry.length;
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return FALSE;
    }
    if (!ReadThroughHandle(FileHandle, entry.offset, Certificate, entry.length)) return FALSE;
    *RequiredLength = entry.length;
    return TRUE;
}
