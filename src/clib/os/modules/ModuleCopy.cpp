// The private, tamper-checked copy of the module file that the host loads.
#include <exception>
#include <string>
#include <vector>

#include "Module.h"
#include "log/Log.h"
#include "util/OSVersion.h"
#include "util/PathUtils.h"
#include "util/ScopedHandle.h"

namespace clib::os::modules {

namespace {

constexpr int kMaxCopies = 1000;
constexpr int kReopenAttempts = 5;
constexpr DWORD kCopyBlock = 65536;

Module::Snapshot TakeSnapshot(const std::wstring& path) {
    Module::Snapshot snapshot = {};
    GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &snapshot);
    return snapshot;
}

void LogSnapshot(const char* format, const Module::Snapshot& s) {
    Log(LOG_WARNING, format, (unsigned)s.dwFileAttributes, (unsigned)s.nFileSizeHigh, (unsigned)s.nFileSizeLow,
        (unsigned)s.ftCreationTime.dwHighDateTime, (unsigned)s.ftCreationTime.dwLowDateTime,
        (unsigned)s.ftLastWriteTime.dwHighDateTime, (unsigned)s.ftLastWriteTime.dwLowDateTime,
        (unsigned)s.ftLastAccessTime.dwHighDateTime, (unsigned)s.ftLastAccessTime.dwLowDateTime);
}

bool SameTime(const FILETIME& a, const FILETIME& b) {
    return a.dwLowDateTime == b.dwLowDateTime && a.dwHighDateTime == b.dwHighDateTime;
}

}  // namespace

bool Module::FileHasBeenModified(const Snapshot& before, const Snapshot& after) {
    // Reading the copy may move its last-access time; that alone is no change.
    const bool same = before.dwFileAttributes == after.dwFileAttributes &&
                      before.nFileSizeHigh == after.nFileSizeHigh && before.nFileSizeLow == after.nFileSizeLow &&
                      SameTime(before.ftCreationTime, after.ftCreationTime) &&
                      SameTime(before.ftLastWriteTime, after.ftLastWriteTime);
    if (same) return false;
    LogSnapshot("FileHasBeenModified: [W] Before: attr:0x%X, size:%u.%u, creation:%u.%u, write:%u.%u, access:%u.%u",
                before);
    LogSnapshot(
        "FileHasBeenModified: [W] After reopen: attr:0x%X, size:%u.%u, creation:%u.%u, write:%u.%u, access:%u.%u",
        after);
    return true;
}

bool Module::FileExists(const std::wstring& path) {
    ScopedKernelHandle file(CreateFileW(path.c_str(), GENERIC_READ,
                                        FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                        FILE_ATTRIBUTE_NORMAL, nullptr));
    return file.IsValid();
}

HANDLE Module::GetModuleCopy(HANDLE source, const std::wstring& folder) {
    try {
        DWORD flags = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_TEMPORARY;
        // Older systems cannot delete a file on close reliably; their lock
        // files and copies stay behind, hidden.
        if (GetOSVersionCode() >= 80) flags |= FILE_FLAG_DELETE_ON_CLOSE;
        ScopedKernelHandle reopened;
        for (int n = 0; n < kMaxCopies && !reopened.IsValid(); ++n) reopened = CopyInto(source, folder, flags, n);
        Log(LOG_OTHER, "clib::os::modules::Module::GetModuleCopy: Copied module '%ws' into '%ws'", fullPath_.c_str(),
            copyPath_.c_str());
        return reopened.IsValid() ? reopened.Take() : INVALID_HANDLE_VALUE;
    } catch (...) {
        Log(LOG_CRITICAL_ERROR, "clib::os::modules::Module::GetModuleCopy: [C] Exception detected.");
        return INVALID_HANDLE_VALUE;
    }
}

// One attempt with copy number n: the reopened copy, or an empty handle.
ScopedKernelHandle Module::CopyInto(HANDLE source, const std::wstring& folder, DWORD flags, int number) {
    const std::wstring lockPath = CombinePath(folder, std::to_wstring(number) + L".lck");
    ScopedKernelHandle lock(CreateFileW(lockPath.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, flags, nullptr));
    if (!lock.IsValid()) return {};

    const std::wstring path = CombinePath(folder, std::to_wstring(number) + L".kvl");
    ScopedKernelHandle copy(CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                                        CREATE_ALWAYS, FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_TEMPORARY, nullptr));
    if (!copy.IsValid()) return {};
    if (source == INVALID_HANDLE_VALUE) {
        Log(LOG_ERROR, "clib::os::modules::Module::GetModuleCopy: [E] Failed copy of module to temporary file: '%ws' => '%ws'",
            name_.c_str(), copyPath_.c_str());
        return {};
    }

    // Every attempt copies the whole file, also after a partial earlier one.
    SetFilePointer(source, 0, nullptr, FILE_BEGIN);
    std::vector<unsigned char> block(kCopyBlock);
    for (;;) {
        DWORD read = 0;
        if (!ReadFile(source, block.data(), kCopyBlock, &read, nullptr)) {
            Log(LOG_ERROR, "clib::os::modules::Module::GetModuleCopy: [E] Error copying module '%ws'. Read failed. err:%d",
                fullPath_.c_str(), (int)GetLastError());
            return {};
        }
        if (read == 0) break;
        DWORD written = 0;
        if (!WriteFile(copy.Get(), block.data(), read, &written, nullptr) || written != read) {
            Log(LOG_ERROR,
                "clib::os::modules::Module::GetModuleCopy: [E] Error copying module '%ws'. Write failed. read:%d "
                "written:%d err:%d",
                fullPath_.c_str(), (int)read, (int)written, (int)GetLastError());
            return {};
        }
    }

    FlushFileBuffers(copy.Get());
    const Snapshot before = TakeSnapshot(path);
    copyPath_ = path;
    copy.Reset();

    ScopedKernelHandle reopened;
    DWORD reopenError = ERROR_SUCCESS;
    for (int attempt = 1; attempt <= kReopenAttempts; ++attempt) {
        if (copyHooks_.beforeReopen) copyHooks_.beforeReopen(copyPath_, attempt);
        reopened.Reset(
            CreateFileW(copyPath_.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, flags, nullptr));
        if (reopened.IsValid()) break;
        reopenError = GetLastError();
        Log(LOG_WARNING,
            "clib::os::modules::Module::GetModuleCopy: [W] Could not reopen created temporary file '%ws'. Retrying...  "
            "err:%d, try:%d, wait:%ds.",
            copyPath_.c_str(), (int)reopenError, attempt, attempt);
        Sleep(static_cast<DWORD>(attempt) * copyHooks_.reopenWaitUnitMs);
    }
    if (!reopened.IsValid()) {
        Log(LOG_ERROR,
            "clib::os::modules::Module::GetModuleCopy: [E] Failed to reopen created temporary file '%ws'. err:%d, "
            "retries:%d",
            copyPath_.c_str(), (int)reopenError, kReopenAttempts);
        return {};
    }

    const Snapshot after = TakeSnapshot(copyPath_);
    if (FileHasBeenModified(before, after)) {
        Log(LOG_CRITICAL_ERROR,
            "clib::os::modules::Module::GetModuleCopy: [C] Security problem. File '%ws' has been modified during reopen!",
            copyPath_.c_str());
        return {};
    }
    return reopened;
}

void Module::ClearModuleCopy() {
    if (strategy_) strategy_->UnloadModule();
    copyHandle_.Reset();
    if (FileExists(copyPath_)) {
        if (!DeleteFileW(copyPath_.c_str()))
            Log(LOG_WARNING, "clib::os::modules::Module::ClearModuleCopy: [W] Could not delete module copy '%ws'",
                copyPath_.c_str());
        copyPath_.clear();
    }
}

}  // namespace clib::os::modules
