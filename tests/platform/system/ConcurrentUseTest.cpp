// Threads loading, freeing and hashing at once (meant for ThreadSanitizer).
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "zrwin/windows.h"

namespace {

std::wstring FixtureWindowsPath() {
    std::string path = ZR_SYSTEM_FIXTURE;
    std::wstring wide = L"C:" + std::wstring(path.begin(), path.end());
    for (auto& c : wide)
        if (c == L'/') c = L'\\';
    return wide;
}

TEST(ConcurrentUse, LoadFreeAndHashFromSeveralThreads) {
    const std::wstring fixture = FixtureWindowsPath();
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

            HCRYPTPROV provider = 0;
            HCRYPTHASH hash = 0;
            BYTE value[16];
            DWORD length = sizeof value;
            bool ok = CryptAcquireContextA(&provider, nullptr, nullptr, PROV_RSA_FULL, CRYPT_VERIFYCONTEXT) &&
                      CryptCreateHash(provider, CALG_MD5, 0, 0, &hash) &&
                      CryptHashData(hash, reinterpret_cast<const BYTE*>("abc"), 3, 0) &&
                      CryptGetHashParam(hash, HP_HASHVAL, value, &length, 0);
            if (!ok || value[0] != 0x90 || value[15] != 0x72) ++failures;
            if (hash) CryptDestroyHash(hash);
            if (provider) CryptReleaseContext(provider, 0);
        }
    };
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) threads.emplace_back(work);
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(failures.load(), 0);
    // Everything loaded was freed again.
    EXPECT_EQ(GetModuleHandleA("psapi.dll"), nullptr);
}

}  // namespace
