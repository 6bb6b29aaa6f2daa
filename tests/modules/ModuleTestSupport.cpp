#include "ModuleTestSupport.h"

#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <thread>

#include "log/LogReader.h"

namespace modtest {

std::filesystem::path BuiltModule(const std::string& name) {
    return std::filesystem::path(ZR_MODULES_DIR) / (name + ".kvl");
}

std::filesystem::path PlaceModule(const std::string& name, const std::filesystem::path& folder,
                                  const std::string& fileName) {
    std::filesystem::create_directories(folder);
    const auto target = folder / fileName;
    std::filesystem::copy_file(BuiltModule(name), target, std::filesystem::copy_options::overwrite_existing);
    return target;
}

std::wstring WindowsPath(const std::filesystem::path& path) {
    const std::string text = std::filesystem::absolute(path).string();
    std::wstring result = L"C:";
    for (char c : text) result += c == '/' ? L'\\' : static_cast<wchar_t>(static_cast<unsigned char>(c));
    return result;
}

ModuleTrace::ModuleTrace() : path_((std::filesystem::current_path() / "module-trace.txt").string()) {
    setenv("ZRTEST_MODULE_TRACE", path_.c_str(), 1);
}

ModuleTrace::~ModuleTrace() { unsetenv("ZRTEST_MODULE_TRACE"); }

std::vector<std::string> ModuleTrace::Lines() const {
    std::vector<std::string> lines;
    std::ifstream in(path_);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    return lines;
}

size_t ModuleTrace::Count(const std::string& line) const {
    const auto lines = Lines();
    return static_cast<size_t>(std::count(lines.begin(), lines.end(), line));
}

bool ModuleTrace::WaitFor(const std::string& line, size_t count) const {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while (std::chrono::steady_clock::now() < deadline) {
        if (Count(line) >= count) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return false;
}

std::vector<std::string> LogMessages() {
    std::vector<zrlog::Record> records;
    std::string error;
    zrlog::ReadLogFile("kvlzrmodproc.log", records, error);
    std::vector<std::string> messages;
    for (const auto& record : records) messages.push_back(zrlog::MessageOf(record));
    return messages;
}

bool Logged(const std::string& message) { return CountLogged(message) > 0; }

size_t CountLogged(const std::string& message) {
    const auto messages = LogMessages();
    return static_cast<size_t>(std::count(messages.begin(), messages.end(), message));
}

bool LoggedStartingWith(const std::string& prefix) {
    for (const auto& message : LogMessages())
        if (message.rfind(prefix, 0) == 0) return true;
    return false;
}

std::vector<std::string> FilesIn(const std::filesystem::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        const std::string name = entry.path().filename().string();
        if (name != "kvlzrmodproc.log" && name != "module-trace.txt") names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    return names;
}

FileHolder::FileHolder(const std::filesystem::path& path) {
    int toChild[2];
    int fromChild[2];
    if (pipe(toChild) != 0) return;
    if (pipe(fromChild) != 0) {
        close(toChild[0]);
        close(toChild[1]);
        return;
    }
    const std::string target = std::filesystem::absolute(path).string();
    pid_ = fork();
    if (pid_ == 0) {
        dup2(toChild[0], 0);
        dup2(fromChild[1], 1);
        close(toChild[0]);
        close(toChild[1]);
        close(fromChild[0]);
        close(fromChild[1]);
        execl(ZR_HOLDFILE, ZR_HOLDFILE, target.c_str(), static_cast<char*>(nullptr));
        _exit(127);
    }
    close(toChild[0]);
    close(fromChild[1]);
    toChild_ = toChild[1];
    if (pid_ > 0) {
        // The child answers one line once it holds the file (or failed to).
        std::string answer;
        char c;
        while (read(fromChild[0], &c, 1) == 1 && c != '\n') answer += c;
        holding_ = answer == "held";
    }
    close(fromChild[0]);
}

FileHolder::~FileHolder() {
    if (toChild_ >= 0) close(toChild_);  // end of input tells the child to let go
    if (pid_ > 0) {
        int status = 0;
        waitpid(pid_, &status, 0);
    }
}

}  // namespace modtest
