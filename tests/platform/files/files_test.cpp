#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <chrono>
#include <atomic>
#include <cstring>
#include <thread>
#include <filesystem>
#include <vector>

#include "files_test_support.h"
#include "support/TestSupport.h"

using filestest::FileHandle;
using filestest::Open;

namespace {

std::string Content(const char* name) { return filestest::ReadAll(name); }

void Put(const wchar_t* name, const std::string& bytes) {
    FileHandle file(Open(name, GENERIC_WRITE, 0, CREATE_ALWAYS));
    ASSERT_TRUE(file.valid());
    DWORD written = 0;
    ASSERT_TRUE(WriteFile(file.get(), bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
    ASSERT_EQ(written, bytes.size());
}

TEST(Files, DispositionsAndTheirLastErrors) {
    zrtest::ScopedTempDir dir;
    {
        FileHandle created(Open(L"a.bin", GENERIC_WRITE, 0, CREATE_NEW));
        ASSERT_TRUE(created.valid());
        EXPECT_EQ(GetLastError(), 0u);
    }
    EXPECT_EQ(Open(L"a.bin", GENERIC_WRITE, 0, CREATE_NEW), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_EXISTS));

    Put(L"a.bin", "hello");
    {
        FileHandle kept(Open(L"a.bin", GENERIC_READ, FILE_SHARE_READ, OPEN_ALWAYS));
        ASSERT_TRUE(kept.valid());
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    }
    EXPECT_EQ(Content("a.bin"), "hello");
    {
        FileHandle replaced(Open(L"a.bin", GENERIC_WRITE, 0, CREATE_ALWAYS));
        ASSERT_TRUE(replaced.valid());
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    }
    EXPECT_EQ(Content("a.bin"), "");
    {
        SetLastError(1234);
        FileHandle fresh(Open(L"b.bin", GENERIC_WRITE, 0, CREATE_ALWAYS));
        ASSERT_TRUE(fresh.valid());
        EXPECT_EQ(GetLastError(), 0u);
        FileHandle freshAlways(Open(L"c.bin", GENERIC_WRITE, 0, OPEN_ALWAYS));
        ASSERT_TRUE(freshAlways.valid());
        EXPECT_EQ(GetLastError(), 0u);
    }
    Put(L"b.bin", "data");
    {
        FileHandle truncated(Open(L"b.bin", GENERIC_WRITE, 0, TRUNCATE_EXISTING));
        ASSERT_TRUE(truncated.valid());
    }
    EXPECT_EQ(Content("b.bin"), "");

    EXPECT_EQ(Open(L"missing.bin", GENERIC_READ, 0, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(Open(L"missing.bin", GENERIC_WRITE, 0, TRUNCATE_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    EXPECT_EQ(Open(L"nofolder\\x.bin", GENERIC_READ, 0, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(Open(L"nofolder\\x.bin", GENERIC_WRITE, 0, CREATE_ALWAYS), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    EXPECT_EQ(Open(L"a.bin", GENERIC_READ, 0, 9), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));
    EXPECT_EQ(Open(L"bad|name", GENERIC_READ, 0, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_NAME));
}

TEST(Files, ReadWriteAndAccessChecks) {
    zrtest::ScopedTempDir dir;
    FileHandle file(Open(L"sub.bin", GENERIC_READ | GENERIC_WRITE, 0, CREATE_ALWAYS));
    ASSERT_TRUE(file.valid());
    const char text[] = "0123456789";
    DWORD done = 0;
    ASSERT_TRUE(WriteFile(file.get(), text, 10, &done, nullptr));
    EXPECT_EQ(done, 10u);
    EXPECT_EQ(SetFilePointer(file.get(), 4, nullptr, FILE_BEGIN), 4u);
    char buffer[16] = {};
    ASSERT_TRUE(ReadFile(file.get(), buffer, sizeof buffer, &done, nullptr));
    EXPECT_EQ(done, 6u);
    EXPECT_STREQ(buffer, "456789");
    // At the end a read succeeds with no bytes.
    ASSERT_TRUE(ReadFile(file.get(), buffer, sizeof buffer, &done, nullptr));
    EXPECT_EQ(done, 0u);
    EXPECT_EQ(SetFilePointer(file.get(), -3, nullptr, FILE_END), 7u);
    EXPECT_EQ(SetFilePointer(file.get(), -1, nullptr, FILE_CURRENT), 6u);
    ASSERT_TRUE(SetEndOfFile(file.get()));
    EXPECT_EQ(GetFileSize(file.get(), nullptr), 6u);
    file.Close();

    FileHandle reader(Open(L"sub.bin", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING));
    ASSERT_TRUE(reader.valid());
    EXPECT_FALSE(WriteFile(reader.get(), text, 1, &done, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(SetEndOfFile(reader.get()));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    FileHandle writer(Open(L"sub.bin", GENERIC_WRITE, FILE_SHARE_READ, OPEN_EXISTING));
    ASSERT_TRUE(writer.valid());
    EXPECT_FALSE(ReadFile(writer.get(), buffer, 1, &done, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));

    EXPECT_FALSE(ReadFile(reinterpret_cast<HANDLE>(0x7ffffff0), buffer, 1, &done, nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
}

TEST(Files, FilePointerBeyondFourGigabytes) {
    zrtest::ScopedTempDir dir;
    FileHandle file(Open(L"big.bin", GENERIC_READ | GENERIC_WRITE, 0, CREATE_ALWAYS));
    ASSERT_TRUE(file.valid());
    EXPECT_EQ(SetFilePointer(file.get(), -1, nullptr, FILE_BEGIN), INVALID_SET_FILE_POINTER);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_NEGATIVE_SEEK));
    EXPECT_EQ(SetFilePointer(file.get(), 0, nullptr, 7), INVALID_SET_FILE_POINTER);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

    LONG high = 1;
    EXPECT_EQ(SetFilePointer(file.get(), 16, &high, FILE_BEGIN), 16u);
    EXPECT_EQ(high, 1);
    // A low half equal to the failure value is a success with a cleared last error.
    high = 0;
    SetLastError(77);
    EXPECT_EQ(SetFilePointer(file.get(), -1, &high, FILE_BEGIN), INVALID_SET_FILE_POINTER);
    EXPECT_EQ(GetLastError(), 0u);
    EXPECT_EQ(high, 0);
    ASSERT_TRUE(SetEndOfFile(file.get()));  // sparse, 4 GiB - 1
    DWORD sizeHigh = 5;
    EXPECT_EQ(GetFileSize(file.get(), &sizeHigh), 0xFFFFFFFFu);
    EXPECT_EQ(sizeHigh, 0u);
    LARGE_INTEGER move;
    move.QuadPart = 2;
    LARGE_INTEGER position;
    ASSERT_TRUE(SetFilePointerEx(file.get(), move, &position, FILE_END));
    EXPECT_EQ(position.QuadPart, 0x100000001LL);
    ASSERT_TRUE(SetEndOfFile(file.get()));
    LARGE_INTEGER size;
    ASSERT_TRUE(GetFileSizeEx(file.get(), &size));
    EXPECT_EQ(size.QuadPart, 0x100000001LL);
}

TEST(Files, ShareModesWithinOneProcess) {
    zrtest::ScopedTempDir dir;
    Put(L"m.kvl", "module");
    {
        FileHandle reader(Open(L"m.kvl", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING));
        ASSERT_TRUE(reader.valid());
        FileHandle secondReader(Open(L"m.kvl", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING));
        EXPECT_TRUE(secondReader.valid());
        // The readers did not share writing.
        EXPECT_EQ(Open(L"m.kvl", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING), INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
        // A reader that does not share reading conflicts with the readers already there.
        EXPECT_EQ(Open(L"m.kvl", GENERIC_READ, 0, OPEN_EXISTING), INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
        // Nor may the file be replaced or deleted.
        EXPECT_EQ(Open(L"m.kvl", GENERIC_WRITE, FILE_SHARE_READ, CREATE_ALWAYS), INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
        EXPECT_FALSE(DeleteFileW(L"m.kvl"));
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
        // Attribute-only opens are never refused.
        FileHandle attributes(Open(L"m.kvl", FILE_READ_ATTRIBUTES, 0, OPEN_EXISTING));
        EXPECT_TRUE(attributes.valid());
    }
    EXPECT_EQ(Content("m.kvl"), "module");  // refused opens lost nothing
    {
        FileHandle sharing(Open(L"m.kvl", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                OPEN_EXISTING));
        ASSERT_TRUE(sharing.valid());
        EXPECT_TRUE(DeleteFileW(L"m.kvl"));
    }
    EXPECT_FALSE(filestest::Exists("m.kvl"));
    EXPECT_FALSE(DeleteFileW(L"m.kvl"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
    // Closing released every record: a fresh exclusive open works.
    Put(L"m.kvl", "again");
    FileHandle exclusive(Open(L"m.kvl", GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING));
    EXPECT_TRUE(exclusive.valid());
}

TEST(Files, DeleteOnClose) {
    zrtest::ScopedTempDir dir;
    FileHandle lock(Open(L"0.lck", GENERIC_WRITE, 0, CREATE_ALWAYS,
                         FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE));
    ASSERT_TRUE(lock.valid());
    EXPECT_TRUE(filestest::Exists("0.lck"));
    EXPECT_EQ(Open(L"0.lck", GENERIC_WRITE, 0, CREATE_ALWAYS, FILE_ATTRIBUTE_HIDDEN), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    lock.Close();
    EXPECT_FALSE(filestest::Exists("0.lck"));

    // A delete-on-close open needs everyone else to share delete, and later opens must too.
    Put(L"1.kvl", "copy");
    {
        FileHandle plainReader(Open(L"1.kvl", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING));
        ASSERT_TRUE(plainReader.valid());
        EXPECT_EQ(Open(L"1.kvl", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, FILE_FLAG_DELETE_ON_CLOSE),
                  INVALID_HANDLE_VALUE);
        EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    }
    FileHandle copy(Open(L"1.kvl", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, FILE_FLAG_DELETE_ON_CLOSE));
    ASSERT_TRUE(copy.valid());
    EXPECT_EQ(Open(L"1.kvl", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_SHARING_VIOLATION));
    {
        FileHandle probe(Open(L"1.kvl", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                              OPEN_EXISTING));
        EXPECT_TRUE(probe.valid());
    }
    copy.Close();
    EXPECT_FALSE(filestest::Exists("1.kvl"));

    // When the name went to another file meanwhile, closing leaves that file alone.
    Put(L"2.kvl", "old");
    {
        FileHandle doomed(Open(L"2.kvl", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, OPEN_EXISTING,
                               FILE_FLAG_DELETE_ON_CLOSE));
        ASSERT_TRUE(doomed.valid());
        ASSERT_TRUE(DeleteFileW(L"2.kvl"));
        Put(L"2.kvl", "new");
    }
    EXPECT_EQ(Content("2.kvl"), "new");
}

TEST(Files, AttributesAndSnapshots) {
    zrtest::ScopedTempDir dir;
    bool xattrs = filestest::UserXattrsWork();
    Put(L"plain.bin", "12345");
    EXPECT_EQ(GetFileAttributesW(L"plain.bin"), static_cast<DWORD>(FILE_ATTRIBUTE_NORMAL));
    ASSERT_TRUE(CreateDirectoryW(L"folder", nullptr));
    EXPECT_FALSE(CreateDirectoryW(L"folder", nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
    EXPECT_EQ(GetFileAttributesW(L"folder") & FILE_ATTRIBUTE_DIRECTORY, static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY));
    EXPECT_EQ(GetFileAttributesW(L"none.bin"), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

    auto before = std::chrono::system_clock::now();
    WIN32_FILE_ATTRIBUTE_DATA data{};
    ASSERT_TRUE(GetFileAttributesExW(L"plain.bin", GetFileExInfoStandard, &data));
    EXPECT_EQ(data.dwFileAttributes, static_cast<DWORD>(FILE_ATTRIBUTE_NORMAL));
    EXPECT_EQ(data.nFileSizeHigh, 0u);
    EXPECT_EQ(data.nFileSizeLow, 5u);
    // FILETIME counts 100 ns since 1601: the write time must be within a minute of now.
    uint64_t ticks = (static_cast<uint64_t>(data.ftLastWriteTime.dwHighDateTime) << 32) | data.ftLastWriteTime.dwLowDateTime;
    auto unixSeconds = static_cast<int64_t>(ticks / 10000000ull) - 11644473600LL;
    auto nowSeconds = std::chrono::duration_cast<std::chrono::seconds>(before.time_since_epoch()).count();
    EXPECT_LT(std::llabs(unixSeconds - nowSeconds), 60);
    EXPECT_NE(data.ftCreationTime.dwHighDateTime, 0u);
    WIN32_FILE_ATTRIBUTE_DATA again{};
    ASSERT_TRUE(GetFileAttributesExW(L"plain.bin", GetFileExInfoStandard, &again));
    EXPECT_EQ(std::memcmp(&data.ftCreationTime, &again.ftCreationTime, sizeof(FILETIME)), 0);
    EXPECT_FALSE(GetFileAttributesExW(L"plain.bin", GetFileExMaxInfoLevel, &again));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_PARAMETER));

    // Read-only lives in the mode bits: writers and deleters are refused.
    ASSERT_TRUE(SetFileAttributesW(L"plain.bin", FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(GetFileAttributesW(L"plain.bin"), static_cast<DWORD>(FILE_ATTRIBUTE_READONLY));
    EXPECT_EQ(Open(L"plain.bin", GENERIC_WRITE, 0, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_FALSE(DeleteFileW(L"plain.bin"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    ASSERT_TRUE(SetFileAttributesW(L"plain.bin", FILE_ATTRIBUTE_NORMAL));
    EXPECT_TRUE(DeleteFileW(L"plain.bin"));

    if (!xattrs) GTEST_SKIP() << "no user extended attributes here: hidden and temporary are not kept";
    {
        FileHandle hidden(Open(L"0.kvl", GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, CREATE_ALWAYS,
                               FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_TEMPORARY));
        ASSERT_TRUE(hidden.valid());
    }
    EXPECT_EQ(GetFileAttributesW(L"0.kvl"), static_cast<DWORD>(FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_TEMPORARY));
    char text[32] = {};
    ASSERT_GT(getxattr("0.kvl", "user.DOSATTRIB", text, sizeof text - 1), 0);
    EXPECT_STREQ(text, "0x102");
    // Reopening an existing file leaves its attributes alone.
    {
        FileHandle reopened(Open(L"0.kvl", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL));
        ASSERT_TRUE(reopened.valid());
    }
    EXPECT_EQ(GetFileAttributesW(L"0.kvl"), static_cast<DWORD>(FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_TEMPORARY));
    // Overwriting a hidden file without asking for hidden is refused, as on Windows.
    EXPECT_EQ(Open(L"0.kvl", GENERIC_WRITE, 0, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    ASSERT_TRUE(SetFileAttributesW(L"0.kvl", FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_HIDDEN));
    EXPECT_EQ(GetFileAttributesW(L"0.kvl"), static_cast<DWORD>(FILE_ATTRIBUTE_ARCHIVE | FILE_ATTRIBUTE_HIDDEN));
    ASSERT_TRUE(SetFileAttributesW(L"0.kvl", FILE_ATTRIBUTE_NORMAL));
    EXPECT_EQ(GetFileAttributesW(L"0.kvl"), static_cast<DWORD>(FILE_ATTRIBUTE_NORMAL));
}

TEST(Files, DirectoriesAndTheCurrentDirectory) {
    zrtest::ScopedTempDir dir;
    ASSERT_TRUE(CreateDirectoryW(L"d", nullptr));
    EXPECT_EQ(Open(L"d", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING), INVALID_HANDLE_VALUE);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    {
        FileHandle folder(Open(L"d", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS));
        EXPECT_TRUE(folder.valid());
    }
    EXPECT_FALSE(CreateDirectoryW(L"no\\such\\d", nullptr));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_PATH_NOT_FOUND));
    Put(L"d\\f.txt", "x");
    EXPECT_FALSE(RemoveDirectoryW(L"d"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_DIR_NOT_EMPTY));
    EXPECT_FALSE(DeleteFileW(L"d"));
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_TRUE(DeleteFileA("d\\f.txt"));
    EXPECT_TRUE(RemoveDirectoryW(L"d"));

    // The current directory in Windows form, on drive C: ("/" by default).
    DWORD needed = GetCurrentDirectoryW(0, nullptr);
    std::wstring expected = L"C:" + dir.Path().wstring();
    std::replace(expected.begin(), expected.end(), L'/', L'\\');
    ASSERT_EQ(needed, expected.size() + 1);
    std::vector<wchar_t> wide(needed);
    EXPECT_EQ(GetCurrentDirectoryW(needed, wide.data()), needed - 1);
    EXPECT_EQ(std::wstring(wide.data()), expected);
    std::vector<char> narrow(needed);
    EXPECT_EQ(GetCurrentDirectoryA(needed - 1, narrow.data()), needed);
    EXPECT_EQ(GetCurrentDirectoryA(needed, narrow.data()), needed - 1);
    EXPECT_EQ(narrow[2], '\\');
    // Absolute Windows paths on C: reach the same files.
    Put((expected + L"\\abs.txt").c_str(), "abs");
    EXPECT_EQ(Content("abs.txt"), "abs");
}

TEST(Files, ExclusiveOpensRacingOnThreads) {
    zrtest::ScopedTempDir dir;
    Put(L"race.bin", "");
    std::atomic<int> inside{0}, overlaps{0}, wins{0}, created{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 200; ++i) {
                HANDLE file = Open(L"race.bin", GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING);
                if (file != INVALID_HANDLE_VALUE) {
                    if (inside.fetch_add(1) != 0) overlaps.fetch_add(1);
                    wins.fetch_add(1);
                    inside.fetch_sub(1);
                    CloseHandle(file);
                } else if (GetLastError() != static_cast<DWORD>(ERROR_SHARING_VIOLATION)) {
                    overlaps.fetch_add(1000);
                }
                std::wstring name = L"new" + std::to_wstring(i) + L".bin";
                HANDLE fresh = Open(name.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, CREATE_NEW);
                if (fresh != INVALID_HANDLE_VALUE) {
                    created.fetch_add(1);
                    CloseHandle(fresh);
                }
                (void)t;
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(overlaps.load(), 0);
    EXPECT_GT(wins.load(), 0);
    EXPECT_EQ(created.load(), 200);  // each name created by exactly one thread
}

TEST(Files, WideNamesAreUtf8OnDisk) {
    zrtest::ScopedTempDir dir;
    Put(L"\u6f22\u5b57.txt", "wide");
    EXPECT_EQ(Content("\xe6\xbc\xa2\xe5\xad\x97.txt"), "wide");
    Put(L"caf\u00e9.txt", "ansi");
    // ANSI names go through the ANSI code page (Windows-1252: 0xE9 is e acute).
    EXPECT_EQ(GetFileAttributesA("caf\xe9.txt"), static_cast<DWORD>(FILE_ATTRIBUTE_NORMAL));
    EXPECT_EQ(Content("caf\xc3\xa9.txt"), "ansi");
}

}  // namespace
