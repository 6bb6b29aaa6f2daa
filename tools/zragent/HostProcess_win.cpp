#include "HostProcess.h"

#include <cstdio>
#include <cstdlib>
#include <vector>

#include "platform/platform.h"

namespace zragent {

namespace {

std::wstring Wide(const std::string& text) {
    if (text.empty()) return {};
    const int length = MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), length);
    return wide;
}

std::string Narrow(const std::wstring& text) {
    if (text.empty()) return {};
    const int length =
        WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    std::string narrow(static_cast<size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), narrow.data(), length, nullptr,
                        nullptr);
    return narrow;
}

std::string SelfDirectory() {
    std::vector<wchar_t> path(32768);
    const DWORD length = GetModuleFileNameW(nullptr, path.data(), static_cast<DWORD>(path.size()));
    const std::string self = Narrow(std::wstring(path.data(), length));
    const size_t slash = self.find_last_of("\\/");
    return slash == std::string::npos ? "." : self.substr(0, slash);
}

std::string FromEnvironment(const char* name, const std::string& fallback) {
    const char* value = std::getenv(name);
    return value && *value ? value : fallback;
}

bool IsFile(const std::string& path) {
    const DWORD attributes = GetFileAttributesW(Wide(path).c_str());
    return attributes != INVALID_FILE_ATTRIBUTES && !(attributes & FILE_ATTRIBUTE_DIRECTORY);
}

std::string FullPath(const std::string& path) {
    const std::wstring wide = Wide(path);
    std::vector<wchar_t> full(32768);
    const DWORD length = GetFullPathNameW(wide.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    if (length == 0 || length >= full.size()) return path;
    return Narrow(std::wstring(full.data(), length));
}

std::string SystemErrorText(DWORD code) {
    wchar_t* text = nullptr;
    FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS,
                   nullptr, code, 0, reinterpret_cast<wchar_t*>(&text), 0, nullptr);
    std::string message = text ? Narrow(text) : std::string();
    if (text) LocalFree(text);
    while (!message.empty() && (message.back() == '\n' || message.back() == '\r' || message.back() == ' '))
        message.pop_back();
    return "error " + std::to_string(code) + (message.empty() ? "" : " (" + message + ")");
}

HANDLE ProcessHandle(intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }

}  // namespace

// The system's rundll32 (a 32-bit zragent is redirected to the 32-bit one,
// which a 32-bit host library needs).
std::string DefaultRundll() {
    wchar_t system[MAX_PATH];
    const UINT length = GetSystemDirectoryW(system, MAX_PATH);
    const std::string folder = length > 0 && length < MAX_PATH ? Narrow(std::wstring(system, length)) : "C:\\Windows\\System32";
    return FromEnvironment("ZRAGENT_RUNDLL", folder + "\\rundll32.exe");
}

// Installed, the library lies beside zragent.exe; in the build tree it is in
// <build>\src\host.
std::string DefaultHostLibrary() {
    const std::string beside = SelfDirectory() + "\\zrmodproc.dll";
    return FromEnvironment("ZRAGENT_HOST_LIBRARY",
                           IsFile(beside) ? beside : SelfDirectory() + "\\..\\..\\src\\host\\zrmodproc.dll");
}

std::string HostModulePath(const std::string& module) { return IsFile(module) ? FullPath(module) : module; }

long ResidentKilobytes(uint32_t pid) {
    HANDLE process = OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION | PROCESS_VM_READ, FALSE, pid);
    if (!process) return 0;
    PROCESS_MEMORY_COUNTERS counters{};
    counters.cb = sizeof counters;
    const bool known = GetProcessMemoryInfo(process, &counters, sizeof counters);
    CloseHandle(process);
    return known ? static_cast<long>(counters.WorkingSetSize / 1024) : 0;
}

HostProcess::~HostProcess() {
    if (started_ && !Exited()) {
        Kill();
        WaitForExit(-1);
    }
    if (started_) CloseHandle(ProcessHandle(handle_));
}

bool HostProcess::Start(const HostCommand& command, std::string& error) {
    if (!IsFile(command.rundll)) {
        error = "host starter not found: " + command.rundll;
        return false;
    }
    if (!IsFile(command.library)) {
        error = "host library not found: " + command.library;
        return false;
    }
    commandLine_ = WindowsCommandLine(command.rundll, FullPath(command.library), command.parentPid, command.group);
    std::wstring line = Wide(commandLine_);
    const std::wstring workDir = Wide(command.workDir);
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(Wide(command.rundll).c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr,
                        workDir.empty() ? nullptr : workDir.c_str(), &startup, &process)) {
        error = "could not start " + command.rundll + ": " + SystemErrorText(GetLastError());
        return false;
    }
    CloseHandle(process.hThread);
    started_ = true;
    pid_ = process.dwProcessId;
    handle_ = reinterpret_cast<intptr_t>(process.hProcess);
    return true;
}

bool HostProcess::Exited() {
    if (!started_ || reaped_) return true;
    if (WaitForSingleObject(ProcessHandle(handle_), 0) != WAIT_OBJECT_0) return false;
    DWORD code = 0;
    GetExitCodeProcess(ProcessHandle(handle_), &code);
    status_ = static_cast<int>(code);
    reaped_ = true;
    return true;
}

bool HostProcess::WaitForExit(int ms) {
    if (!started_ || reaped_) return true;
    WaitForSingleObject(ProcessHandle(handle_), ms < 0 ? INFINITE : static_cast<DWORD>(ms));
    return Exited();
}

std::string HostProcess::Describe() const {
    if (!reaped_) return "is still running";
    if (killed_) return "was terminated by zragent (status " + std::to_string(status_) + ")";
    // An unhandled exception ends a process with its NTSTATUS code.
    if (static_cast<DWORD>(status_) >= 0xC0000000u) {
        char text[16];
        std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(static_cast<DWORD>(status_)));
        return std::string("ended with the exception ") + text;
    }
    return "exited with status " + std::to_string(status_);
}

void HostProcess::Kill(int signal) {
    if (started_ && !reaped_ && TerminateProcess(ProcessHandle(handle_), static_cast<UINT>(128 + signal)))
        killed_ = true;
}

}  // namespace zragent
