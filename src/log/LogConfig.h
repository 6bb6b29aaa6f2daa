// The log facility's process-wide settings and the steps of writing one
// record, exposed for the tools and tests that exercise them one by one.
#pragma once

#include <string>

#include "util/CriticalSection.h"

class LogConfig {
public:
    LogConfig(const char* prefix, const char* logName);
    LogConfig(const LogConfig&) = delete;
    LogConfig& operator=(const LogConfig&) = delete;

    // The process-wide object, created on first use and never destroyed; null
    // when it cannot be created (the line is then dropped).
    static LogConfig* Instance();
    // Whether any line has created it yet.
    static bool Exists();

    // The log file name ("kvlzrmodproc.log"), copied under the lock.
    std::string FileName();
    // Points later lines at another file (and so at another named mutex);
    // tools and tests use it to keep apart from the host's own log.
    void SetFileName(const std::string& fileName);
    std::string Prefix();

private:
    ~LogConfig() = default;

    std::string prefix_;
    std::string fileName_;
    CriticalSection lock_;
};

// The current local time as "Www Mmm dd hh:mm:ss yyyy" (24 characters).
std::string MakeLogTimestamp();

// Turns line into "timestamp payload\r\n"; false when sealing fails (line is
// then the time stamp and CR LF alone, and is not written).
bool ProcessDataFinal(const std::string& timestamp, std::string& line, const char* prevCRC, const char* fileName);

// The named mutex's name for a log file name ("Global\" prefixed on systems
// with session namespaces).
std::string LogMutexName(const std::string& fileName);
