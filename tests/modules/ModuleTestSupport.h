// Helpers of the module runner's tests: built modules, the trace the test
// modules write, log lines, Windows forms of paths and a child process that
// holds a file open.
#pragma once

#include <sys/types.h>

#include <filesystem>
#include <string>
#include <vector>

namespace modtest {

// <build>/modules/<name>.kvl
std::filesystem::path BuiltModule(const std::string& name);
// Copies a built module into folder under fileName; returns the copy's path.
std::filesystem::path PlaceModule(const std::string& name, const std::filesystem::path& folder,
                                  const std::string& fileName);
// "C:\tmp\x\y" for "/tmp/x/y" (drive C: is the root of the POSIX layer).
std::wstring WindowsPath(const std::filesystem::path& path);

// The test modules append one line per export call to the file named by
// ZRTEST_MODULE_TRACE; this points it at a file of the current directory.
class ModuleTrace {
public:
    ModuleTrace();
    ~ModuleTrace();
    ModuleTrace(const ModuleTrace&) = delete;
    ModuleTrace& operator=(const ModuleTrace&) = delete;
    std::vector<std::string> Lines() const;
    // Waits (up to 20 s) until line has been traced at least count times.
    bool WaitFor(const std::string& line, size_t count = 1) const;
    size_t Count(const std::string& line) const;

private:
    std::string path_;
};

std::vector<std::string> LogMessages();
bool Logged(const std::string& message);
size_t CountLogged(const std::string& message);
bool LoggedStartingWith(const std::string& prefix);

// Files in a folder other than the log, for "nothing was left behind" checks.
std::vector<std::string> FilesIn(const std::filesystem::path& folder);

// A separate process that opens a file with CreateFileW, no sharing, and
// holds it until this object is destroyed.
class FileHolder {
public:
    explicit FileHolder(const std::filesystem::path& path);
    ~FileHolder();
    FileHolder(const FileHolder&) = delete;
    FileHolder& operator=(const FileHolder&) = delete;
    // True once the child reported that it holds the file.
    bool Holding() const { return holding_; }

private:
    pid_t pid_ = -1;
    int toChild_ = -1;
    bool holding_ = false;
};

}  // namespace modtest
