// Helpers shared by the test suites.
#pragma once

#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <system_error>

namespace zrtest {

// A fresh directory that becomes the current directory for the lifetime of
// the object, so each test has its own log file and module folder.
class ScopedTempDir {
public:
    ScopedTempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "zrtest-XXXXXX").string();
        char* made = mkdtemp(pattern.data());
        path_ = made ? made : std::filesystem::temp_directory_path().string();
        previous_ = std::filesystem::current_path();
        std::filesystem::current_path(path_);
    }
    ~ScopedTempDir() {
        std::error_code ec;
        std::filesystem::current_path(previous_, ec);
        std::filesystem::remove_all(path_, ec);
    }
    ScopedTempDir(const ScopedTempDir&) = delete;
    ScopedTempDir& operator=(const ScopedTempDir&) = delete;

    const std::filesystem::path& Path() const { return path_; }
    std::string File(const std::string& name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
    std::filesystem::path previous_;
};

// The build folder, for helper programs and modules the tests start.
inline std::string BinaryDir() {
    const char* dir = std::getenv("ZR_TEST_BINARY_DIR");
    return dir ? dir : ".";
}

}  // namespace zrtest
