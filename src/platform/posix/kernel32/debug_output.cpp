// Debugger output: with no debugger to receive it, the text goes where
// ZRWIN_DEBUG_OUTPUT says ("stderr", or a file appended to); unset, dropped.
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "core/scoped_fd.h"
#include "zrwin/sync.h"
#include "zrwin/sysinfo.h"

namespace {

void WriteAll(int fd, const char* text, size_t length) {
    while (length > 0) {
        ssize_t n = write(fd, text, length);
        if (n <= 0) return;
        text += n;
        length -= (size_t)n;
    }
}

void Emit(const char* text, size_t length) {
    const char* target = std::getenv("ZRWIN_DEBUG_OUTPUT");
    if (!target || !*target || length == 0) return;
    if (std::strcmp(target, "stderr") == 0) {
        WriteAll(STDERR_FILENO, text, length);
        return;
    }
    // Opened per call so concurrent writers (threads, processes) each append
    // whole texts and nothing stays open.
    zrwin::ScopedFd fd(open(target, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644));
    if (fd.IsValid()) WriteAll(fd.Get(), text, length);
}

}  // namespace

ZRWINAPI void WINAPI OutputDebugStringA(LPCSTR text) {
    if (!text) return;
    DWORD saved = GetLastError();
    Emit(text, std::strlen(text));
    SetLastError(saved);
}

ZRWINAPI void WINAPI OutputDebugStringW(LPCWSTR text) {
    if (!text) return;
    DWORD saved = GetLastError();
    int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (size > 1) {
        std::string utf8((size_t)size, '\0');
        WideCharToMultiByte(CP_UTF8, 0, text, -1, utf8.data(), size, nullptr, nullptr);
        Emit(utf8.data(), (size_t)size - 1);
    }
    SetLastError(saved);
}
