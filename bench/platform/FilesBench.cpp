// Costs of the file calls the product makes on every log line and module copy.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>

#include "zrwin/windows.h"

namespace {

// A scratch folder as the current directory for the whole run.
struct Scratch {
    Scratch() {
        std::string pattern = (std::filesystem::temp_directory_path() / "zrbench-XXXXXX").string();
        path = mkdtemp(pattern.data());
        std::filesystem::current_path(path);
    }
    ~Scratch() {
        std::error_code ec;
        std::filesystem::current_path("/", ec);
        std::filesystem::remove_all(path, ec);
    }
    std::string path;
};

Scratch& TheScratch() {
    static Scratch scratch;
    return scratch;
}

// What the log does per line: open always, shared for reading, then close.
void BM_OpenAlwaysClose(benchmark::State& state) {
    TheScratch();
    for (auto _ : state) {
        HANDLE file = CreateFileW(L"bench.log", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE) state.SkipWithError("open failed");
        CloseHandle(file);
    }
}
BENCHMARK(BM_OpenAlwaysClose);

// The same with other files held open, so the share table has records to pass over.
void BM_OpenAlwaysCloseWithOthersOpen(benchmark::State& state) {
    TheScratch();
    std::vector<HANDLE> held;
    for (int i = 0; i < state.range(0); ++i) {
        std::wstring name = L"held" + std::to_wstring(i);
        held.push_back(CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                                   FILE_ATTRIBUTE_NORMAL, nullptr));
    }
    for (auto _ : state) {
        HANDLE file = CreateFileW(L"bench.log", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr);
        if (file == INVALID_HANDLE_VALUE) state.SkipWithError("open failed");
        CloseHandle(file);
    }
    for (HANDLE h : held) CloseHandle(h);
}
BENCHMARK(BM_OpenAlwaysCloseWithOthersOpen)->Arg(100);

// A drive path through the registry's drive table.
void BM_AttributesOfDrivePath(benchmark::State& state) {
    TheScratch();
    std::wstring path = L"C:" + std::filesystem::current_path().wstring() + L"\\bench.log";
    for (auto& ch : path)
        if (ch == L'/') ch = L'\\';
    WIN32_FILE_ATTRIBUTE_DATA data;
    for (auto _ : state) {
        benchmark::DoNotOptimize(GetFileAttributesExW(path.c_str(), GetFileExInfoStandard, &data));
    }
}
BENCHMARK(BM_AttributesOfDrivePath);

void BM_RegistryOpenQueryClose(benchmark::State& state) {
    for (auto _ : state) {
        HKEY key = nullptr;
        DWORD value = 0, size = sizeof value;
        if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\KVL\\zrmodproc", 0, KEY_READ, &key) == ERROR_SUCCESS) {
            RegQueryValueExA(key, "debug", nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size);
            RegCloseKey(key);
        }
        benchmark::DoNotOptimize(value);
    }
}
BENCHMARK(BM_RegistryOpenQueryClose);

}  // namespace

BENCHMARK_MAIN();
