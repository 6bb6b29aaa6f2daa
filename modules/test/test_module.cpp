// Modules for the host's failure-path tests, one source built in several
// variants (see CMakeLists.txt). Each export appends a line to the file named
// by the environment variable ZRTEST_MODULE_TRACE, so tests can see which
// exports ran and with what:
//   "start <params> <window>"  on entry to Start
//   "started"                  when Start returns
//   "stop", "data <option>"
// The waitdata variant's Data waits for "data.go" in the current directory,
// or sleeps N ms for the argument "sleep:N".
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cwchar>
#include <string>
#include <thread>

#include "zrmodule.h"

namespace {

void Trace(const std::string& line) {
    const char* path = std::getenv("ZRTEST_MODULE_TRACE");
    if (!path) return;
    if (FILE* file = std::fopen(path, "a")) {
        std::fprintf(file, "%s\n", line.c_str());
        std::fclose(file);
    }
}

#if defined(ZRTEST_START_WAITS) || defined(ZRTEST_DATA_WAITS)
// A slow Start (or Data): returns only once the test creates the go file in
// the current directory, so tests decide when it ends instead of guessing a
// duration.
void WaitForGoFile(const char* name) {
    for (int i = 0; i < 60000 / 5; ++i) {
        if (FILE* go = std::fopen(name, "r")) {
            std::fclose(go);
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}
#endif

}  // namespace

ZR_MODULE_EXPORT ZR_MODULE_START {
    (void)token;
    Trace("start " + std::string(params ? params : "(null)") + " " + std::to_string(window));
#if defined(ZRTEST_START_HANGS)
    for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
#elif defined(ZRTEST_START_WAITS)
    WaitForGoFile("start.go");
#endif
    Trace("started");
    return 0;
}

#ifndef ZRTEST_NO_STOP
ZR_MODULE_EXPORT ZR_MODULE_STOP {
    Trace("stop");
    return 0;
}
#endif

#ifndef ZRTEST_NO_DATA
ZR_MODULE_EXPORT ZR_MODULE_DATA {
    Trace("data " + std::to_string(option));
#if defined(ZRTEST_DATA_WAITS)
    // "sleep:N" takes N ms; anything else waits for the go file.
    const std::wstring request = args ? args : L"";
    if (request.rfind(L"sleep:", 0) == 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(std::wcstol(request.c_str() + 6, nullptr, 10)));
    } else {
        WaitForGoFile("data.go");
    }
#endif
#if defined(ZRTEST_DATA_NULL)
    (void)args;
    return nullptr;
#elif defined(ZRTEST_DATA_EMBEDDED_ZERO)
    (void)args;
    static const wchar_t kText[] = {L'a', L'b', L'c', 0, L'd', L'e', L'f'};
    return SysAllocStringLen(kText, 7);
#else
    std::wstring answer = std::to_wstring(option) + L"|" + (args ? args : L"");
    return SysAllocStringLen(answer.data(), static_cast<UINT>(answer.size()));
#endif
}
#endif

#ifdef ZRTEST_ALL_EXPORTS
ZR_MODULE_EXPORT int __stdcall DataExt(void) { return 0; }
ZR_MODULE_EXPORT int __stdcall Event(void) { return 0; }
ZR_MODULE_EXPORT int __stdcall EventEx(void) { return 0; }
#endif
