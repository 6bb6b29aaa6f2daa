// The registry read from a .reg file: values, keys, encodings, reloads and bad lines.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>

#include <cstring>
#include <utility>
#include <vector>

#include "FilesTestSupport.h"
#include "support/TestSupport.h"

using filestest::ScopedRegistry;

namespace {

const char kSample[] =
    "Windows Registry Editor Version 5.00\r\n"
    "\r\n"
    "; the host's own settings\r\n"
    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\KVL\\zrmodproc]\r\n"
    "\"debug\"=dword:0000000a\r\n"
    "\"Path\"=\"C:\\\\Program Files\\\\\\\"KVL\\\"\"\r\n"
    "@=\"default text\"\r\n"
    "\"blob\"=hex:01,02,03,\\\r\n"
    "  04,ff\r\n"
    "\"expand\"=hex(2):25,00,41,00,25,00,00,00\r\n"
    "\"multi\"=hex(7):61,00,00,00,62,00,63,00,00,00,00,00\r\n"
    "\"big\"=hex(b):01,00,00,00,00,00,00,80\r\n"
    "this line is not registry syntax\r\n"
    "\"after\"=dword:00000001\r\n"
    "\r\n"
    "[HKEY_CURRENT_USER\\Software\\Other]\r\n"
    "\"debug\"=dword:00000004\r\n";

LSTATUS OpenKey(ScopedRegKey& key, const char* path, REGSAM access = KEY_READ, HKEY root = HKEY_LOCAL_MACHINE) {
    HKEY raw = nullptr;
    const LSTATUS status = RegOpenKeyExA(root, path, 0, access, &raw);
    key.Reset(raw);
    return status;
}

LSTATUS OpenHost(ScopedRegKey& key, REGSAM access = KEY_READ) {
    return OpenKey(key, "SOFTWARE\\KVL\\zrmodproc", access);
}

// A value's bytes read through the narrow call, or "<unreadable>".
std::string Bytes(HKEY key, const char* name, DWORD* type = nullptr) {
    char buffer[64];
    DWORD size = sizeof buffer;
    LSTATUS status = RegQueryValueExA(key, name, nullptr, type, reinterpret_cast<BYTE*>(buffer), &size);
    return status == ERROR_SUCCESS ? std::string(buffer, size) : "<unreadable>";
}

constexpr DWORD kUnreadable = 0xBADBAD;

// A REG_DWORD value of four bytes, or kUnreadable.
DWORD Dword(HKEY key, const char* name) {
    DWORD type = 0, value = kUnreadable;
    const std::string bytes = Bytes(key, name, &type);
    if (type == REG_DWORD && bytes.size() == sizeof value) std::memcpy(&value, bytes.data(), sizeof value);
    return value;
}

// The host key's "debug" value, read through a key opened for the purpose.
DWORD HostDebug() {
    ScopedRegKey key;
    return OpenHost(key) == ERROR_SUCCESS ? Dword(key.Get(), "debug") : kUnreadable;
}

TEST(Registry, StringAndDwordValuesAndTheirSizes) {
    zrtest::ScopedTempDir dir;
    ScopedRegistry registry(dir.File("r.reg"), kSample);
    ScopedRegKey key;
    ASSERT_EQ(OpenHost(key), ERROR_SUCCESS);
    EXPECT_EQ(Dword(key.Get(), "DEBUG"), 10u);
    // A size query, then a buffer one byte short, then the right one.
    DWORD type = 0, size = 0;
    ASSERT_EQ(RegQueryValueExA(key.Get(), "Path", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    const std::string path = "C:\\Program Files\\\"KVL\"";
    EXPECT_EQ(std::pair(type, size), std::pair(DWORD{REG_SZ}, static_cast<DWORD>(path.size() + 1)));
    std::vector<char> text(size);
    DWORD shortSize = size - 1;
    auto* out = reinterpret_cast<BYTE*>(text.data());
    EXPECT_EQ(RegQueryValueExA(key.Get(), "Path", nullptr, &type, out, &shortSize), ERROR_MORE_DATA);
    EXPECT_EQ(shortSize, size);
    ASSERT_EQ(RegQueryValueExA(key.Get(), "Path", nullptr, &type, out, &size), ERROR_SUCCESS);
    EXPECT_EQ(std::string(text.data()), path);
    EXPECT_EQ(Bytes(key.Get(), nullptr), std::string("default text", 13));
    // Binary, expandable, multi-string and qword values load by name (a real
    // export holds them) but are not served.
    for (const char* name : {"blob", "expand", "multi", "big"})
        EXPECT_EQ(RegQueryValueExA(key.Get(), name, nullptr, &type, nullptr, &size), ERROR_NOT_SUPPORTED) << name;
    EXPECT_EQ(Dword(key.Get(), "after"), 1u) << "the bad line is skipped; what follows it still loads";
    EXPECT_EQ(RegQueryValueExA(key.Get(), "absent", nullptr, &type, nullptr, &size), ERROR_FILE_NOT_FOUND);
}

TEST(Registry, MissingKeysWriteAccessAndOtherRoots) {
    zrtest::ScopedTempDir dir;
    ScopedRegistry registry(dir.File("r.reg"), kSample);
    ScopedRegKey parent, child, other;
    // Key names are case-insensitive; ancestors of a listed key exist.
    ASSERT_EQ(OpenKey(parent, "software\\kvl"), ERROR_SUCCESS);
    ASSERT_EQ(OpenKey(child, "ZRMODPROC", KEY_QUERY_VALUE, parent.Get()), ERROR_SUCCESS);
    EXPECT_EQ(Dword(child.Get(), "debug"), 10u);
    DWORD size = 0;
    EXPECT_EQ(OpenKey(other, "SOFTWARE\\KVL\\other"), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(other.Get(), nullptr);
    EXPECT_EQ(OpenHost(other, KEY_READ | KEY_SET_VALUE), ERROR_ACCESS_DENIED);
    EXPECT_EQ(OpenHost(other, KEY_ALL_ACCESS), ERROR_ACCESS_DENIED);
    EXPECT_EQ(OpenKey(other, "Software\\Other", KEY_READ, HKEY_CURRENT_USER), ERROR_FILE_NOT_FOUND);
    // Keys share the one handle table with every other kernel object, so
    // neither side may take the other for its own kind.
    HANDLE event = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    for (HKEY bad : {reinterpret_cast<HKEY>(0x1234), reinterpret_cast<HKEY>(event)}) {
        EXPECT_EQ(RegQueryValueExA(bad, "debug", nullptr, nullptr, nullptr, &size), ERROR_INVALID_HANDLE);
        EXPECT_EQ(RegCloseKey(bad), ERROR_INVALID_HANDLE);
    }
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0) << "the event survived";
    EXPECT_EQ(WaitForSingleObject(reinterpret_cast<HANDLE>(child.Get()), 0), WAIT_FAILED) << "a key is no waitable";
    EXPECT_TRUE(CloseHandle(event));
}

TEST(Registry, Utf16FileAsRegeditWritesIt) {
    zrtest::ScopedTempDir dir;
    std::wstring text = L"Windows Registry Editor Version 5.00\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\KVL\\zrmodproc]\r\n"
                        L"\"debug\"=dword:00000003\r\n\"name\"=\"caf\u00e9\"\r\n";
    std::string bytes = "\xFF\xFE";
    for (wchar_t ch : text) {
        bytes += static_cast<char>(ch & 0xFF);
        bytes += static_cast<char>((ch >> 8) & 0xFF);
    }
    ScopedRegistry registry(dir.File("utf16.reg"), bytes);
    ScopedRegKey key;
    ASSERT_EQ(OpenHost(key), ERROR_SUCCESS);
    EXPECT_EQ(Dword(key.Get(), "debug"), 3u);
    EXPECT_EQ(Bytes(key.Get(), "name"), std::string("caf\xe9", 5)) << "as the ANSI code page has it";
}

// Rewriting the same file is the log level's test, which rewrites it for each level.
TEST(Registry, AMissingFileIsAnEmptyRegistryAndAnotherFileNamedLaterIsRead) {
    zrtest::ScopedTempDir dir;
    setenv("ZRWIN_REGISTRY", dir.File("absent.reg").c_str(), 1);
    ScopedRegKey none;
    EXPECT_EQ(OpenHost(none), ERROR_FILE_NOT_FOUND);
    ScopedRegistry first(dir.File("one.reg"), kSample);
    EXPECT_EQ(HostDebug(), 10u);
    ScopedRegistry second(dir.File("two.reg"), "Windows Registry Editor Version 5.00\n"
                                               "[HKEY_LOCAL_MACHINE\\SOFTWARE\\KVL\\zrmodproc]\n\"debug\"=dword:4\n");
    EXPECT_EQ(HostDebug(), 4u);
}

TEST(Registry, MalformedLinesAreSkippedAndTheRestLoads) {
    zrtest::ScopedTempDir dir;
    ScopedRegistry registry(dir.File("bad.reg"),
                            "\"orphan\"=dword:1\n"  // no header, no key yet
                            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\T\n"
                            "[HKEY_LOCAL_MACHINE\\SOFTWARE\\T]\n"
                            "\"open=\"x\n"
                            "\"s\"=\"unterminated\n"
                            "\"d\"=dword:123456789\n"
                            "\"e\"=dword:xyz\n"
                            "\"k\"=\"a\" trailing\n"
                            "\"ok\"=dword:0000002a\n"
                            "\"l\"=hex:00,\\\n");  // continued past the end of the file
    ScopedRegKey key;
    ASSERT_EQ(OpenKey(key, "SOFTWARE\\T"), ERROR_SUCCESS);
    EXPECT_EQ(Dword(key.Get(), "ok"), 42u);
    DWORD size = 0;
    for (const char* bad : {"open", "s", "d", "e", "k"})
        EXPECT_EQ(RegQueryValueExA(key.Get(), bad, nullptr, nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND) << bad;
}

// A registry setting that names something other than a readable file is one
// warning naming the variable and an empty registry: never an abort or a hang.
TEST(Registry, UnusableFileIsAWarningAndAnEmptyRegistry) {
    zrtest::ScopedTempDir dir;
    ASSERT_EQ(mkdir(dir.File("folder.reg").c_str(), 0755), 0);
    ASSERT_EQ(mkfifo(dir.File("fifo.reg").c_str(), 0600), 0);
    const struct { const char* name; const char* warning; } cases[] = {
        {"folder.reg", "is a folder; the registry is empty"},
        {"fifo.reg", "is not a regular file; the registry is empty"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        setenv("ZRWIN_REGISTRY", dir.File(c.name).c_str(), 1);
        testing::internal::CaptureStderr();
        ScopedRegKey key;
        EXPECT_EQ(OpenHost(key), ERROR_FILE_NOT_FOUND);
        const std::string said = testing::internal::GetCapturedStderr();
        EXPECT_NE(said.find("(ZRWIN_REGISTRY) "), std::string::npos) << said;
        EXPECT_NE(said.find(c.warning), std::string::npos) << said;
    }
    unsetenv("ZRWIN_REGISTRY");
}

// Loading costs memory in proportion to the file: a 20 MB value held as wide
// text (four bytes a character here) needs about 80 MB, and loading may take
// about twice that, not twenty times the file. Measured in a fresh process.
TEST(Registry, LoadingABigValueCostsMemoryInProportionToTheFile) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "a sanitizer's allocator keeps freed memory, so peak memory says nothing here";
#endif
    zrtest::ScopedTempDir dir;
    constexpr size_t kValueBytes = 20u << 20;
    ScopedRegistry registry(dir.File("big.reg"), "Windows Registry Editor Version 5.00\n"
                                                 "[HKEY_LOCAL_MACHINE\\SOFTWARE\\KVL\\zrmodproc]\n"
                                                 "\"big\"=\"" + std::string(kValueBytes, 'x') + "\"\n");
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            rusage before{};
            rusage after{};
            getrusage(RUSAGE_SELF, &before);
            ScopedRegKey key;
            DWORD size = 0;
            const bool read = OpenHost(key) == ERROR_SUCCESS &&
                              RegQueryValueExA(key.Get(), "big", nullptr, nullptr, nullptr, &size) == ERROR_SUCCESS &&
                              size == kValueBytes + 1;
            getrusage(RUSAGE_SELF, &after);
            const long grownMb = (after.ru_maxrss - before.ru_maxrss) / 1024;
            std::fprintf(stderr, "read %d, grown %ld MB\n", read, grownMb);
            std::exit(read && grownMb < 12 * 20 ? 0 : 1);
        },
        testing::ExitedWithCode(0), "read 1");
}

}  // namespace
