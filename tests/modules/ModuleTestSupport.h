// Helpers of the module runner's tests: built modules, the trace the test
// modules write, log lines and Windows forms of paths.
#pragma once

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "log/LogTestUtil.h"
#include "util/LogLines.h"
#include "support/Environment.h"

namespace modtest {

namespace fs = std::filesystem;

// <build>/modules/<name>.kvl
inline fs::path BuiltModule(const std::string& name) { return fs::path(ZR_MODULES_DIR) / (name + ".kvl"); }

// Copies a built module into folder under fileName; returns the copy's path.
inline fs::path PlaceModule(const std::string& name, const fs::path& folder, const std::string& fileName) {
    fs::create_directories(folder);
    fs::copy_file(BuiltModule(name), folder / fileName, fs::copy_options::overwrite_existing);
    return folder / fileName;
}

// "C:\tmp\x\y" for "/tmp/x/y" (drive C: is the root of the POSIX layer); a
// path that already has its drive, as on Windows, keeps it.
inline std::wstring WindowsPath(const fs::path& path) {
    const std::string text = fs::absolute(path).string();
    std::wstring result = text.size() > 1 && text[1] == ':' ? L"" : L"C:";
    for (char c : text)
        result += c == '/' ? L'\\' : static_cast<wchar_t>(static_cast<unsigned char>(c));
    return result;
}

// The test modules append one line per export call to the file named by
// ZRTEST_MODULE_TRACE; this points it at a file of the current directory.
class ModuleTrace {
public:
    ModuleTrace() { zrtest::SetEnv("ZRTEST_MODULE_TRACE", path_); }
    ~ModuleTrace() { zrtest::UnsetEnv("ZRTEST_MODULE_TRACE"); }
    ModuleTrace(const ModuleTrace&) = delete;
    ModuleTrace& operator=(const ModuleTrace&) = delete;

    std::vector<std::string> Lines() const {
        std::vector<std::string> lines;
        std::ifstream in(path_);
        for (std::string line; std::getline(in, line);) lines.push_back(line);
        return lines;
    }
    size_t Count(const std::string& line) const {
        const auto lines = Lines();
        return static_cast<size_t>(std::count(lines.begin(), lines.end(), line));
    }
    // Waits (up to 20 s) until line has been traced at least count times.
    bool WaitFor(const std::string& line, size_t count = 1) const {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (Count(line) < count) {
            if (std::chrono::steady_clock::now() >= deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return true;
    }

private:
    const std::string path_ = (fs::current_path() / "module-trace.txt").string();
};

// Whether the current directory's log has the message, or one starting with the prefix.
inline bool Logged(const std::string& message) { return utiltest::CountLines(message) > 0; }
inline bool LoggedStartingWith(const std::string& prefix) { return utiltest::CountStartingWith(prefix) > 0; }

// Files in a folder other than the log and the trace, sorted, for "nothing
// was left behind" checks.
inline std::vector<std::string> FilesIn(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) {
        const std::string name = entry.path().filename().string();
        if (name != "kvlzrmodproc.log" && name != "module-trace.txt") names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace modtest
