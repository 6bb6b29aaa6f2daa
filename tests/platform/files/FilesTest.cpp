// Opens, reads and writes, share modes, attributes and names within one
// process. Absolute C: paths are met by the product's tests (a loaded
// module's version file).
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/xattr.h>

#include <atomic>
#include <cstring>
#include <ctime>
#include <thread>
#include <tuple>
#include <vector>

#include "FilesTestSupport.h"
#include "support/FailsWith.h"

using filestest::FileHandle;
using filestest::Open;
using filestest::Put;
using filestest::ReadAll;

namespace {

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Each test in a fresh current directory.
class Files : public ::testing::Test {
protected:
    zrtest::ScopedTempDir dir;
};

TEST_F(Files, DispositionsAndTheirLastErrors) {
    // What the file held before (nullptr: no file), the last error a successful
    // open leaves, and what the file holds after.
    const struct {
        const char* before;
        DWORD disposition, error;
        const char* after;
    } cases[] = {
        {nullptr, CREATE_NEW, 0, ""},
        {nullptr, CREATE_ALWAYS, 0, ""},
        {nullptr, OPEN_ALWAYS, 0, ""},
        {"hello", OPEN_ALWAYS, ERROR_ALREADY_EXISTS, "hello"},
        {"hello", CREATE_ALWAYS, ERROR_ALREADY_EXISTS, ""},
        {"data", TRUNCATE_EXISTING, 0, ""},
    };
    for (const auto& row : cases) {
        SCOPED_TRACE(row.disposition);
        DeleteFileW(L"a.bin");
        if (row.before) Put(L"a.bin", row.before);
        SetLastError(1234);
        EXPECT_TRUE(FileHandle(Open(L"a.bin", GENERIC_WRITE, 0, row.disposition)).IsValid());
        EXPECT_EQ(GetLastError(), row.error);
        EXPECT_EQ(ReadAll("a.bin"), row.after);
    }
    EXPECT_FAILS_WITH(Open(L"a.bin", GENERIC_WRITE, 0, CREATE_NEW), INVALID_HANDLE_VALUE, ERROR_FILE_EXISTS);
    EXPECT_FAILS_WITH(Open(L"none.bin", GENERIC_READ, 0, OPEN_EXISTING), INVALID_HANDLE_VALUE, ERROR_FILE_NOT_FOUND);
    EXPECT_FAILS_WITH(Open(L"none.bin", GENERIC_WRITE, 0, TRUNCATE_EXISTING), INVALID_HANDLE_VALUE,
                      ERROR_FILE_NOT_FOUND);
    EXPECT_FAILS_WITH(Open(L"no\\x.bin", GENERIC_READ, 0, OPEN_EXISTING), INVALID_HANDLE_VALUE, ERROR_PATH_NOT_FOUND);
    EXPECT_FAILS_WITH(Open(L"no\\x.bin", GENERIC_WRITE, 0, CREATE_ALWAYS), INVALID_HANDLE_VALUE, ERROR_PATH_NOT_FOUND);
    EXPECT_FAILS_WITH(Open(L"a.bin", GENERIC_READ, 0, 9), INVALID_HANDLE_VALUE, ERROR_INVALID_PARAMETER);
    EXPECT_FAILS_WITH(Open(L"bad|name", GENERIC_READ, 0, OPEN_EXISTING), INVALID_HANDLE_VALUE, ERROR_INVALID_NAME);
}

// Copying a file block by block to its end and appending at the end are the
// module copy's and the log's tests; here, moves from the end and the
// current place and what each access allows.
TEST_F(Files, ReadWriteAndAccessChecks) {
    Put(L"sub.bin", "0123456789");
    FileHandle reader(Open(L"sub.bin", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING));
    EXPECT_EQ(SetFilePointer(reader.Get(), -3, nullptr, FILE_END), 7u);
    EXPECT_EQ(SetFilePointer(reader.Get(), -1, nullptr, FILE_CURRENT), 6u);
    FileHandle writer(Open(L"sub.bin", GENERIC_WRITE, FILE_SHARE_READ, OPEN_EXISTING));
    DWORD done = 0;
    char buffer[4];
    EXPECT_FAILS_WITH(WriteFile(reader.Get(), "x", 1, &done, nullptr), FALSE, ERROR_ACCESS_DENIED);
    EXPECT_FAILS_WITH(ReadFile(writer.Get(), buffer, 1, &done, nullptr), FALSE, ERROR_ACCESS_DENIED);
    HANDLE bogus = reinterpret_cast<HANDLE>(0x7ffffff0);
    EXPECT_FAILS_WITH(ReadFile(bogus, buffer, 1, &done, nullptr), FALSE, ERROR_INVALID_HANDLE);
}

TEST_F(Files, FilePointerBeyondFourGigabytes) {
    FileHandle file(Open(L"big.bin", GENERIC_READ | GENERIC_WRITE, 0, CREATE_ALWAYS));
    const HANDLE h = file.Get();
    EXPECT_FAILS_WITH(SetFilePointer(h, 0, nullptr, 7), INVALID_SET_FILE_POINTER, ERROR_INVALID_PARAMETER);
    // Moves that would end before the start fail the same way from everywhere
    // and leave the pointer where it was.
    EXPECT_EQ(SetFilePointer(h, 3, nullptr, FILE_BEGIN), 3u);
    for (auto [distance, method] : {std::pair{-1L, FILE_BEGIN}, {-1L, FILE_END}, {-4L, FILE_CURRENT}})
        EXPECT_FAILS_WITH(SetFilePointer(h, distance, nullptr, method), INVALID_SET_FILE_POINTER, ERROR_NEGATIVE_SEEK);
    EXPECT_EQ(SetFilePointer(h, 0, nullptr, FILE_CURRENT), 3u);

    LONG high = 1;
    EXPECT_EQ(SetFilePointer(h, 16, &high, FILE_BEGIN), 16u);
    EXPECT_EQ(high, 1);
    // A low half equal to the failure value is a success with a cleared last error.
    high = 0;
    SetLastError(77);
    EXPECT_EQ(SetFilePointer(h, -1, &high, FILE_BEGIN), INVALID_SET_FILE_POINTER);
    EXPECT_EQ(std::pair(GetLastError(), high), std::pair(DWORD{0}, LONG{0}));
}

TEST_F(Files, ShareModesWithinOneProcess) {
    Put(L"m.kvl", "module");
    {
        FileHandle reader(Open(L"m.kvl", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING));
        FileHandle secondReader(Open(L"m.kvl", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING));
        ASSERT_TRUE(reader.IsValid() && secondReader.IsValid());
        // The readers did not share writing; a reader that does not share
        // reading conflicts with them; nor may the file be replaced or deleted.
        EXPECT_FAILS_WITH(Open(L"m.kvl", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, OPEN_EXISTING),
                          INVALID_HANDLE_VALUE, ERROR_SHARING_VIOLATION);
        EXPECT_FAILS_WITH(Open(L"m.kvl", GENERIC_READ, 0, OPEN_EXISTING), INVALID_HANDLE_VALUE,
                          ERROR_SHARING_VIOLATION);
        EXPECT_FAILS_WITH(Open(L"m.kvl", GENERIC_WRITE, FILE_SHARE_READ, CREATE_ALWAYS), INVALID_HANDLE_VALUE,
                          ERROR_SHARING_VIOLATION);
        EXPECT_FAILS_WITH(DeleteFileW(L"m.kvl"), FALSE, ERROR_SHARING_VIOLATION);
        EXPECT_TRUE(FileHandle(Open(L"m.kvl", FILE_READ_ATTRIBUTES, 0, OPEN_EXISTING)).IsValid())
            << "attribute-only opens are never refused";
    }
    EXPECT_EQ(ReadAll("m.kvl"), "module");  // refused opens lost nothing
    {
        FileHandle sharing(Open(L"m.kvl", GENERIC_READ, kShareAll, OPEN_EXISTING));
        EXPECT_TRUE(DeleteFileW(L"m.kvl"));
    }
    EXPECT_FALSE(filestest::Exists("m.kvl"));
    EXPECT_FAILS_WITH(DeleteFileW(L"m.kvl"), FALSE, ERROR_FILE_NOT_FOUND);
    // Closing released every record: a fresh exclusive open works.
    Put(L"m.kvl", "again");
    EXPECT_TRUE(FileHandle(Open(L"m.kvl", GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING)).IsValid());
}

TEST_F(Files, DeleteOnClose) {
    FileHandle lock(Open(L"0.lck", GENERIC_WRITE, 0, CREATE_ALWAYS,
                         FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_TEMPORARY | FILE_FLAG_DELETE_ON_CLOSE));
    EXPECT_TRUE(filestest::Exists("0.lck"));
    EXPECT_FAILS_WITH(Open(L"0.lck", GENERIC_WRITE, 0, CREATE_ALWAYS, FILE_ATTRIBUTE_HIDDEN), INVALID_HANDLE_VALUE,
                      ERROR_SHARING_VIOLATION);
    lock.Reset();
    EXPECT_FALSE(filestest::Exists("0.lck"));

    // A delete-on-close open needs everyone else to share delete, and later opens must too.
    Put(L"1.kvl", "copy");
    {
        FileHandle plainReader(Open(L"1.kvl", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING));
        EXPECT_FAILS_WITH(Open(L"1.kvl", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, FILE_FLAG_DELETE_ON_CLOSE),
                          INVALID_HANDLE_VALUE, ERROR_SHARING_VIOLATION);
    }
    FileHandle copy(Open(L"1.kvl", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING, FILE_FLAG_DELETE_ON_CLOSE));
    ASSERT_TRUE(copy.IsValid());
    EXPECT_FAILS_WITH(Open(L"1.kvl", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING), INVALID_HANDLE_VALUE,
                      ERROR_SHARING_VIOLATION);
    EXPECT_TRUE(FileHandle(Open(L"1.kvl", GENERIC_READ, kShareAll, OPEN_EXISTING)).IsValid());
    copy.Reset();
    EXPECT_FALSE(filestest::Exists("1.kvl"));

    // When the name went to another file meanwhile, closing leaves that file alone.
    Put(L"2.kvl", "old");
    {
        FileHandle doomed(Open(L"2.kvl", GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, OPEN_EXISTING,
                               FILE_FLAG_DELETE_ON_CLOSE));
        ASSERT_TRUE(DeleteFileW(L"2.kvl"));
        Put(L"2.kvl", "new");
    }
    EXPECT_EQ(ReadAll("2.kvl"), "new");
}

TEST_F(Files, AttributesAndSnapshots) {
    const bool xattrs = filestest::UserXattrsWork();
    // A new file is marked for archiving, as Windows marks it (kept where extended attributes are).
    const DWORD kNewFile = xattrs ? FILE_ATTRIBUTE_ARCHIVE : FILE_ATTRIBUTE_NORMAL;
    Put(L"plain.bin", "12345");
    EXPECT_EQ(GetFileAttributesW(L"plain.bin"), kNewFile);
    ASSERT_EQ(mkdir("folder", 0755), 0);
    EXPECT_EQ(GetFileAttributesW(L"folder") & FILE_ATTRIBUTE_DIRECTORY, static_cast<DWORD>(FILE_ATTRIBUTE_DIRECTORY));
    EXPECT_FAILS_WITH(GetFileAttributesW(L"none.bin"), INVALID_FILE_ATTRIBUTES, ERROR_FILE_NOT_FOUND);

    WIN32_FILE_ATTRIBUTE_DATA data{}, again{};
    ASSERT_TRUE(GetFileAttributesExW(L"plain.bin", GetFileExInfoStandard, &data));
    EXPECT_EQ(std::tuple(data.dwFileAttributes, data.nFileSizeHigh, data.nFileSizeLow), std::tuple(kNewFile, 0u, 5u));
    // FILETIME counts 100 ns since 1601: the write time must be within a minute of now.
    const uint64_t ticks = (uint64_t{data.ftLastWriteTime.dwHighDateTime} << 32) | data.ftLastWriteTime.dwLowDateTime;
    EXPECT_LT(std::llabs(static_cast<int64_t>(ticks / 10000000ull) - 11644473600LL - std::time(nullptr)), 60);
    ASSERT_TRUE(GetFileAttributesExW(L"plain.bin", GetFileExInfoStandard, &again));
    EXPECT_NE(data.ftCreationTime.dwHighDateTime, 0u);
    EXPECT_EQ(std::memcmp(&data.ftCreationTime, &again.ftCreationTime, sizeof(FILETIME)), 0);
    EXPECT_FAILS_WITH(GetFileAttributesExW(L"plain.bin", GetFileExMaxInfoLevel, &again), FALSE,
                      ERROR_INVALID_PARAMETER);

    // Read-only lives in the mode bits: writers and deleters are refused.
    ASSERT_EQ(chmod("plain.bin", 0444), 0);
    EXPECT_EQ(GetFileAttributesW(L"plain.bin"), (xattrs ? FILE_ATTRIBUTE_ARCHIVE : 0) | FILE_ATTRIBUTE_READONLY);
    EXPECT_FAILS_WITH(Open(L"plain.bin", GENERIC_WRITE, 0, OPEN_EXISTING), INVALID_HANDLE_VALUE, ERROR_ACCESS_DENIED);
    EXPECT_FAILS_WITH(DeleteFileW(L"plain.bin"), FALSE, ERROR_ACCESS_DENIED);

    if (!xattrs) GTEST_SKIP() << "no user extended attributes here: hidden and temporary are not kept";
    constexpr DWORD kHiddenTemporary = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_TEMPORARY;
    EXPECT_TRUE(FileHandle(Open(L"0.kvl", GENERIC_WRITE, 0, CREATE_ALWAYS, kHiddenTemporary)).IsValid());
    char text[32] = {};
    ASSERT_GT(getxattr("0.kvl", "user.DOSATTRIB", text, sizeof text - 1), 0);
    EXPECT_STREQ(text, "0x122");
    // Reopening an existing file leaves its attributes alone.
    EXPECT_TRUE(FileHandle(Open(L"0.kvl", GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING)).IsValid());
    EXPECT_EQ(GetFileAttributesW(L"0.kvl"), kHiddenTemporary | FILE_ATTRIBUTE_ARCHIVE);
    // Overwriting a hidden file without asking for hidden is refused, as on Windows.
    EXPECT_FAILS_WITH(Open(L"0.kvl", GENERIC_WRITE, 0, CREATE_ALWAYS), INVALID_HANDLE_VALUE, ERROR_ACCESS_DENIED);
}

TEST_F(Files, DirectoriesOpenOnlyForBackupAndAreNotDeletedAsFiles) {
    ASSERT_EQ(mkdir("d", 0755), 0);
    EXPECT_FAILS_WITH(Open(L"d", GENERIC_READ, 0, OPEN_EXISTING), INVALID_HANDLE_VALUE, ERROR_ACCESS_DENIED);
    EXPECT_TRUE(FileHandle(Open(L"d", GENERIC_READ, 0, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS)).IsValid());
    EXPECT_FAILS_WITH(DeleteFileW(L"d"), FALSE, ERROR_ACCESS_DENIED);
    Put(L"d\\f.txt", "x");
    EXPECT_TRUE(DeleteFileA("d\\f.txt"));
}

TEST_F(Files, ExclusiveOpensRacingOnThreads) {
    Put(L"race.bin", "");
    std::atomic<int> inside{0}, overlaps{0}, wins{0}, created{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&] {
            for (int i = 0; i < 200; ++i) {
                FileHandle file(Open(L"race.bin", GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING));
                if (file.IsValid()) {
                    if (inside.fetch_add(1) != 0) ++overlaps;
                    ++wins;
                    --inside;
                } else if (GetLastError() != static_cast<DWORD>(ERROR_SHARING_VIOLATION)) {
                    overlaps += 1000;
                }
                const std::wstring name = L"new" + std::to_wstring(i) + L".bin";
                if (FileHandle(Open(name.c_str(), GENERIC_WRITE, kShareAll, CREATE_NEW)).IsValid()) ++created;
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(overlaps.load(), 0);
    EXPECT_GT(wins.load(), 0);
    EXPECT_EQ(created.load(), 200) << "each name created by exactly one thread";
}

TEST_F(Files, WideNamesAreUtf8OnDisk) {
    Put(L"\u6f22\u5b57.txt", "wide");
    EXPECT_EQ(ReadAll("\xe6\xbc\xa2\xe5\xad\x97.txt"), "wide");
    Put(L"caf\u00e9.txt", "ansi");
    // ANSI names go through the ANSI code page (Windows-1252: 0xE9 is e acute).
    EXPECT_NE(GetFileAttributesA("caf\xe9.txt"), INVALID_FILE_ATTRIBUTES);
    EXPECT_EQ(ReadAll("caf\xc3\xa9.txt"), "ansi");
}

}  // namespace
