// Helpers shared by the test suites.
#pragma once

#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <system_error>

namespace zrtest {

// A fresh directory that becomes the current directory for the lifetime of
// the object, so each test has its own log file and module folder.
class ScopedTempDir {
public:
    ScopedTempDir() {
        // create_directory says whether the name was new, so two tests never
        // share a folder (the same guarantee mkdtemp gives, on every system).
        std::random_device seed;
        std::mt19937_64 random(seed());
        const auto temp = std::filesystem::temp_directory_path();
        for (int attempt = 0; attempt < 100 && path_.empty(); ++attempt) {
            auto candidate = temp / ("zrtest-" + std::to_string(random() % 1000000000));
            std::error_code ec;
            if (std::filesystem::create_directory(candidate, ec)) path_ = candidate;
        }
        if (path_.empty()) path_ = temp;
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
