// Threads loading, freeing and hashing at once (meant for ThreadSanitizer).
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "SystemTestSupport.h"

namespace {

TEST(ConcurrentUse, LoadFreeAndHashFromSeveralThreads) {
    const std::wstring fixture = systemtest::WindowsPath(ZR_SYSTEM_FIXTURE);
    std::atomic<int> failures{0};
    auto work = [&]() {
        for (int i = 0; i < 100; ++i) {
            HMODULE builtin = LoadLibraryA(i % 2 ? "psapi.dll" : "Crypt32");
            if (!builtin) ++failures;
            HMODULE library = LoadLibraryW(fixture.c_str());
            auto answer = library ? reinterpret_cast<int (*)()>(GetProcAddress(library, "ZrFixtureAnswer")) : nullptr;
            if (!answer || answer() != 42) ++failures;
            if (library && !FreeLibrary(library)) ++failures;
            if (builtin && !FreeLibrary(builtin)) ++failures;
            if (systemtest::Digest(CALG_MD5, "abc") != "900150983cd24fb0d6963f7d28e17f72") ++failures;
        }
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) threads.emplace_back(work);
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(failures.load(), 0);
    // Everything loaded was freed again.
    EXPECT_EQ(GetModuleHandleW(L"psapi.dll"), nullptr);
}

}  // namespace
