#include "log/Log.h"

#include <atomic>
#include <cstdio>
#include <cstring>
#include <new>
#include <string>

#include "log/LogConfig.h"
#include "log/LogFormat.h"
#include "log/LogSeal.h"
#include "platform/platform.h"
#include "util/OSVersion.h"
#include "util/ScopedHandle.h"

namespace {

std::atomic<int> g_logLevel{LOG_WARNING};
std::atomic<LogConfig*> g_logConfig{nullptr};

constexpr DWORD kMutexWaitMilliseconds = 250;

// Owns the cross-process log mutex for one record.
class LogMutex {
public:
    explicit LogMutex(const std::string& fileName) {
        const std::string name = LogMutexName(fileName);
        handle_.Reset(CreateMutexA(nullptr, TRUE, name.c_str()));
        if (!handle_.IsValid()) return;
        if (GetLastError() == ERROR_ALREADY_EXISTS) {
            // Signalled, abandoned or even a failed wait all count as owned;
            // only a busy log drops the line.
            if (WaitForSingleObject(handle_.Get(), kMutexWaitMilliseconds) == WAIT_TIMEOUT) {
                handle_.Reset();
                return;
            }
        }
        owned_ = true;
    }
    ~LogMutex() {
        if (owned_) ReleaseMutex(handle_.Get());
    }
    LogMutex(const LogMutex&) = delete;
    LogMutex& operator=(const LogMutex&) = delete;

    bool Owned() const { return owned_; }

private:
    ScopedKernelHandle handle_;
    bool owned_ = false;
};

class LogFile {
public:
    LogFile(const std::string& fileName, unsigned sizeLimit) {
        handle_.Reset(Open(fileName));
        if (!handle_.IsValid()) return;
        const DWORD size = SetFilePointer(handle_.Get(), 0, nullptr, FILE_END);
        if (size != INVALID_SET_FILE_POINTER && size > sizeLimit) {
            handle_.Reset();
            // When another process keeps the old file open without delete
            // sharing, the open below finds it again and the record is appended.
            DeleteFileA(fileName.c_str());
            handle_.Reset(Open(fileName));
            if (handle_.IsValid()) SetFilePointer(handle_.Get(), 0, nullptr, FILE_END);
        }
    }
    LogFile(const LogFile&) = delete;
    LogFile& operator=(const LogFile&) = delete;

    bool IsOpen() const { return handle_.IsValid(); }

    // The 32 characters before the final CR LF, empty for files under 34 bytes.
    std::string ReadPreviousChainHash() {
        char buffer[33] = {};
        const DWORD size = SetFilePointer(handle_.Get(), 0, nullptr, FILE_END);
        if (size != INVALID_SET_FILE_POINTER && size >= 34) {
            if (SetFilePointer(handle_.Get(), -34, nullptr, FILE_END) != INVALID_SET_FILE_POINTER) {
                DWORD read = 0;
                if (!ReadFile(handle_.Get(), buffer, 32, &read, nullptr)) std::memset(buffer, 0, sizeof(buffer));
            }
        }
        SetFilePointer(handle_.Get(), 0, nullptr, FILE_END);
        return std::string(buffer);
    }

    void Write(const std::string& record) {
        DWORD written = 0;
        WriteFile(handle_.Get(), record.data(), static_cast<DWORD>(record.size()), &written, nullptr);
    }

private:
    static HANDLE Open(const std::string& fileName) {
        return CreateFileA(fileName.c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                           FILE_ATTRIBUTE_NORMAL, nullptr);
    }

    ScopedKernelHandle handle_;
};

void LogVa(const char* format, va_list args) {
    if (!LogConfig::Instance()) return;
    LogFileCommon(format, args, kLogFileSizeLimit);
}

}  // namespace

LogConfig::LogConfig(const char* prefix, const char* logName) : prefix_(prefix) {
    fileName_ = prefix_ + logName;
    if (fileName_.size() > 259) fileName_.resize(259);
}

// Created with a compare-and-swap rather than a lock, so threads that log
// first at the same moment still end up with one object.
LogConfig* LogConfig::Instance() {
    LogConfig* config = g_logConfig.load(std::memory_order_acquire);
    if (config) return config;
    LogConfig* created = nullptr;
    try {
        created = new (std::nothrow) LogConfig("kvl", "zrmodproc.log");
    } catch (...) {
        created = nullptr;
    }
    if (!created) return nullptr;
    if (!g_logConfig.compare_exchange_strong(config, created, std::memory_order_acq_rel)) {
        delete created;
        return config;
    }
    return created;
}

bool LogConfig::Exists() { return g_logConfig.load(std::memory_order_acquire) != nullptr; }

std::string LogConfig::FileName() {
    CriticalSectionLock lock(&lock_, true);
    return fileName_;
}

void LogConfig::SetFileName(const std::string& fileName) {
    CriticalSectionLock lock(&lock_, true);
    fileName_ = fileName.substr(0, 259);
}

std::string LogConfig::Prefix() {
    CriticalSectionLock lock(&lock_, true);
    return prefix_;
}

std::string MakeLogTimestamp() {
    static const char* const kDays[] = {"Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};
    static const char* const kMonths[] = {"Jan", "Feb", "Mar", "Apr", "May", "Jun",
                                          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
    SYSTEMTIME now = {};
    GetLocalTime(&now);
    char text[32];
    std::snprintf(text, sizeof(text), "%s %s %02u %02u:%02u:%02u %04u", kDays[now.wDayOfWeek % 7],
                  kMonths[(now.wMonth + 11) % 12], static_cast<unsigned>(now.wDay % 100u),
                  static_cast<unsigned>(now.wHour % 100u), static_cast<unsigned>(now.wMinute % 100u),
                  static_cast<unsigned>(now.wSecond % 100u), static_cast<unsigned>(now.wYear % 10000u));
    return std::string(text);
}

std::string LogMutexName(const std::string& fileName) {
    return GetOSVersionCode() >= 42 ? "Global\\" + fileName : fileName;
}

// After an exception nothing of the line is written: the record is built
// aside and replaces the line only when complete, and the line is emptied
// otherwise, so neither plaintext nor a half-made record reaches the file.
bool ProcessDataFinal(const std::string& timestamp, std::string& line, const char* prevCRC, const char* fileName) {
    bool sealed = true;
    try {
        std::string record;
        record.reserve(timestamp.size() + 4 * line.size() + 35);
        record.append(timestamp);
        record.push_back(' ');
        std::string payload;
        sealed = SealLogRecord(line, timestamp.c_str(), prevCRC, fileName, payload);
        if (sealed) record.append(payload);
        record.append("\r\n");
        line.swap(record);
    } catch (...) {
        std::string block = "ProcessDataFinal: EXCEPTION:\n";
        block += "time:" + timestamp + "\n";
        block += "data:" + line + "\n";
        block += "encrypt:1\n";
        block += std::string("prevCRC:") + (prevCRC ? prevCRC : "(null)") + "\n";
        block += std::string("filename:") + (fileName ? fileName : "(null)") + "\n";
        OutputDebugStringA(block.c_str());
        line.clear();
    }
    return sealed;
}

bool LogFileCommon(const char* format, va_list args, unsigned sizeLimit) {
    try {
        std::string line;
        line.reserve(1000);
        FormatLogLine(format, args, line);
        line.append("\r\n");

        LogConfig* config = LogConfig::Instance();
        if (!config) return false;
        const std::string fullName = config->FileName();
        const size_t slash = fullName.find_last_of('\\');
        const std::string fileName = slash == std::string::npos ? fullName : fullName.substr(slash + 1);
        if (fileName.empty()) return false;

        LogMutex mutex(fileName);
        if (!mutex.Owned()) return false;
        LogFile file(fileName, sizeLimit);
        if (!file.IsOpen()) return false;
        const std::string prevCRC = file.ReadPreviousChainHash();
        const std::string timestamp = MakeLogTimestamp();
        if (!ProcessDataFinal(timestamp, line, prevCRC.c_str(), fileName.c_str()) || line.empty()) return false;
        file.Write(line);
        return true;
    } catch (...) {
        OutputDebugStringW(L"LogFileCommon: Exception logging data");
    }
    return false;
}

void Log(int level, const char* format, ...) {
    if (level > g_logLevel.load(std::memory_order_relaxed) || !format || !*format) return;
    va_list args;
    va_start(args, format);
    LogVa(format, args);
    va_end(args);
}

void LogAlways(const char* format, ...) {
    if (!format || !*format) return;
    va_list args;
    va_start(args, format);
    LogVa(format, args);
    va_end(args);
}

void SetLogLevel(int level) { g_logLevel.store(level, std::memory_order_relaxed); }

int GetLogLevel() { return g_logLevel.load(std::memory_order_relaxed); }

bool ReadLogLevel(const char* name, int* level, bool announce) {
    static const char* const kAnnouncements[] = {
        "[LOG] Log level set to LOG_CRITICAL_ERROR", "[LOG] Log level set to LOG_ERROR",
        "[LOG] Log level set to LOG_WARNING",        "[LOG] Log level set to LOG_INFO",
        "[LOG] Log level set to LOG_OTHER",
    };
    char keyPath[1024];
    std::snprintf(keyPath, sizeof(keyPath), "SOFTWARE\\KVL\\%s", name ? name : "");

    DWORD value = 0xFFFFFFFFu;
    HKEY opened = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, keyPath, 0, KEY_READ, &opened) == ERROR_SUCCESS) {
        ScopedRegKey key(opened);
        DWORD size = sizeof(value);
        RegQueryValueExA(key.Get(), "debug", nullptr, nullptr, reinterpret_cast<LPBYTE>(&value), &size);
    }
    if (value == 0xFFFFFFFFu) return false;
    if (value <= 4) {
        if (announce) LogAlways("%s", kAnnouncements[value]);
        if (level) *level = static_cast<int>(value);
    }
    return true;
}
