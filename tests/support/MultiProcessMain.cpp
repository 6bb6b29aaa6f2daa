// The main of every test binary that has child processes: with
// --zr-child=NAME it runs that registered child and exits with its status;
// otherwise it runs the tests.
#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>
#endif

#include <cstdio>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "MultiProcessTest.h"

namespace zrtest {
namespace {

std::map<std::string, ChildMainFn>& Registry() {
    static std::map<std::string, ChildMainFn> registry;
    return registry;
}

std::vector<std::string> arguments;  // filled by main, so no static initialisation reads it

}  // namespace

bool RegisterChildMain(const char* name, ChildMainFn main) {
    Registry()[name] = main;
    return true;
}

const std::vector<std::string>& ChildArgs() { return arguments; }

std::string SelfPath() {
    char path[4096];
#ifdef _WIN32
    const auto n = GetModuleFileNameA(nullptr, path, sizeof path);
#else
    const auto n = readlink("/proc/self/exe", path, sizeof path - 1);
#endif
    return n > 0 ? std::string(path, static_cast<size_t>(n)) : std::string();
}

}  // namespace zrtest

int main(int argc, char** argv) {
    constexpr const char kFlag[] = "--zr-child=";
    if (argc > 1 && std::strncmp(argv[1], kFlag, sizeof kFlag - 1) == 0) {
        const std::string name = argv[1] + sizeof kFlag - 1;
        const auto found = zrtest::Registry().find(name);
        if (found == zrtest::Registry().end()) {
            std::fprintf(stderr, "no child named %s in this test binary\n", name.c_str());
            return 99;
        }
        zrtest::arguments.assign(argv + 2, argv + argc);
        return found->second();
    }
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
