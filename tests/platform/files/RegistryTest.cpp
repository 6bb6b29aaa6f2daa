// The registry read from a .reg file: value types, keys, encodings, reloads and bad lines.
#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>

#include <cstring>
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

struct Key {
    HKEY key = nullptr;
    ~Key() {
        if (key) RegCloseKey(key);
    }
};

LSTATUS OpenHost(Key& key, REGSAM access = KEY_READ) {
    return RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\KVL\\zrmodproc", 0, access, &key.key);
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
    DWORD type = 0, value = 0;
    std::string bytes = Bytes(key, name, &type);
    if (type != REG_DWORD || bytes.size() != sizeof value) return kUnreadable;
    std::memcpy(&value, bytes.data(), sizeof value);
    return value;
}

// A value read through the wide call, as the wide characters of all its bytes.
std::wstring Wide(HKEY key, const wchar_t* name, DWORD* type = nullptr) {
    wchar_t buffer[64];
    DWORD size = sizeof buffer;
    LSTATUS status = RegQueryValueExW(key, name, nullptr, type, reinterpret_cast<BYTE*>(buffer), &size);
    return status == ERROR_SUCCESS ? std::wstring(buffer, size / sizeof(wchar_t)) : L"<unreadable>";
}

// The host key's "debug" value, read through a key opened for the purpose.
DWORD HostDebug() {
    Key key;
    return OpenHost(key) == ERROR_SUCCESS ? Dword(key.key, "debug") : kUnreadable;
}

TEST(Registry, ValuesOfEveryTypeAndTheirSizes) {
    zrtest::ScopedTempDir dir;
    ScopedRegistry registry(dir.File("r.reg"), kSample);
    Key key;
    ASSERT_EQ(OpenHost(key), ERROR_SUCCESS);

    EXPECT_EQ(Dword(key.key, "DEBUG"), 10u);

    // A size query, then a buffer one byte short, then the right one.
    DWORD type = 0, size = 0;
    ASSERT_EQ(RegQueryValueExA(key.key, "Path", nullptr, &type, nullptr, &size), ERROR_SUCCESS);
    const std::string path = "C:\\Program Files\\\"KVL\"";
    EXPECT_EQ(type, static_cast<DWORD>(REG_SZ));
    EXPECT_EQ(size, path.size() + 1);
    std::vector<char> text(size);
    DWORD shortSize = size - 1;
    EXPECT_EQ(RegQueryValueExA(key.key, "Path", nullptr, &type, reinterpret_cast<BYTE*>(text.data()), &shortSize),
              ERROR_MORE_DATA);
    EXPECT_EQ(shortSize, size);
    ASSERT_EQ(RegQueryValueExA(key.key, "Path", nullptr, &type, reinterpret_cast<BYTE*>(text.data()), &size), ERROR_SUCCESS);
    EXPECT_EQ(std::string(text.data()), path);

    // The wide form returns wide characters with their terminator.
    EXPECT_EQ(Wide(key.key, nullptr), std::wstring(L"default text", 13));
    EXPECT_EQ(Wide(key.key, L"expand", &type), std::wstring(L"%A%", 4));
    EXPECT_EQ(type, static_cast<DWORD>(REG_EXPAND_SZ));
    EXPECT_EQ(Wide(key.key, L"multi", &type), std::wstring(L"a\0bc\0\0", 6));
    EXPECT_EQ(type, static_cast<DWORD>(REG_MULTI_SZ));

    EXPECT_EQ(Bytes(key.key, "blob", &type), std::string("\x01\x02\x03\x04\xff", 5));
    EXPECT_EQ(type, static_cast<DWORD>(REG_BINARY));
    EXPECT_EQ(Bytes(key.key, "big", &type), std::string("\x01\0\0\0\0\0\0\x80", 8));
    EXPECT_EQ(type, static_cast<DWORD>(REG_QWORD));
    EXPECT_EQ(Dword(key.key, "after"), 1u) << "the bad line is skipped; what follows it still loads";
    EXPECT_EQ(RegQueryValueExA(key.key, "absent", nullptr, &type, nullptr, &size), ERROR_FILE_NOT_FOUND);
}

TEST(Registry, MissingKeysWriteAccessAndOtherRoots) {
    zrtest::ScopedTempDir dir;
    ScopedRegistry registry(dir.File("r.reg"), kSample);
    Key parent, child, missing, written, user;
    // Key names are case-insensitive; ancestors of a listed key exist.
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "software\\kvl", 0, KEY_READ, &parent.key), ERROR_SUCCESS);
    ASSERT_EQ(RegOpenKeyExW(parent.key, L"ZRMODPROC", 0, KEY_QUERY_VALUE, &child.key), ERROR_SUCCESS);
    DWORD value = 0, size = sizeof value;
    EXPECT_EQ(RegQueryValueExW(child.key, L"debug", nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size), ERROR_SUCCESS);
    EXPECT_EQ(value, 10u);
    EXPECT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\KVL\\other", 0, KEY_READ, &missing.key), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(missing.key, nullptr);
    EXPECT_EQ(OpenHost(written, KEY_READ | KEY_SET_VALUE), ERROR_ACCESS_DENIED);
    EXPECT_EQ(OpenHost(written, KEY_ALL_ACCESS), ERROR_ACCESS_DENIED);
    EXPECT_EQ(RegOpenKeyExA(HKEY_CURRENT_USER, "Software\\Other", 0, KEY_READ, &user.key), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(RegQueryValueExA(reinterpret_cast<HKEY>(0x1234), "debug", nullptr, nullptr, nullptr, &size),
              ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegCloseKey(reinterpret_cast<HKEY>(0x1234)), ERROR_INVALID_HANDLE);

    // Keys share the one handle table with every other kernel object, so
    // neither side may take the other for its own kind.
    HANDLE event = CreateEventA(nullptr, TRUE, TRUE, nullptr);
    ASSERT_NE(event, nullptr);
    EXPECT_EQ(RegCloseKey(reinterpret_cast<HKEY>(event)), ERROR_INVALID_HANDLE);
    EXPECT_EQ(RegQueryValueExA(reinterpret_cast<HKEY>(event), "debug", nullptr, nullptr, nullptr, &size),
              ERROR_INVALID_HANDLE);
    EXPECT_EQ(WaitForSingleObject(event, 0), WAIT_OBJECT_0) << "the event survived";
    EXPECT_EQ(WaitForSingleObject(reinterpret_cast<HANDLE>(child.key), 0), WAIT_FAILED) << "a key cannot be waited on";
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
    Key key;
    ASSERT_EQ(OpenHost(key), ERROR_SUCCESS);
    EXPECT_EQ(Dword(key.key, "debug"), 3u);
    EXPECT_EQ(Wide(key.key, L"name"), std::wstring(L"caf\u00e9", 5));
}

TEST(Registry, ReadAgainWhenTheFileOrVariableChanges) {
    zrtest::ScopedTempDir dir;
    unsetenv("ZRWIN_REGISTRY");
    setenv("ZRWIN_REGISTRY", dir.File("absent.reg").c_str(), 1);
    Key none;
    EXPECT_EQ(OpenHost(none), ERROR_FILE_NOT_FOUND);  // a missing file is an empty registry

    // The first file stays in use through a key kept open while it changes.
    ScopedRegistry first(dir.File("one.reg"), std::string(kSample));
    Key one;
    ASSERT_EQ(OpenHost(one), ERROR_SUCCESS);
    EXPECT_EQ(Dword(one.key, "debug"), 10u);
    const std::string header = "Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\KVL\\zrmodproc]\n";
    ScopedRegistry::Write(dir.File("one.reg"), header + "\"debug\"=dword:2\n");  // the same file rewritten
    EXPECT_EQ(HostDebug(), 2u);
    ScopedRegistry second(dir.File("two.reg"), header + "\"debug\"=dword:4\n");  // another file named by the variable
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
                            "\"h\"=hex:1,,2\n"
                            "\"i\"=hex(zz):00\n"
                            "\"j\"=hex(2):4\n"
                            "\"k\"=\"a\" trailing\n"
                            "\"ok\"=dword:0000002a\n"
                            "\"odd\"=hex(1):41,00,42\n"
                            "\"l\"=hex:00,\\\n");  // continued past the end of the file
    Key key;
    ASSERT_EQ(RegOpenKeyExA(HKEY_LOCAL_MACHINE, "SOFTWARE\\T", 0, KEY_READ, &key.key), ERROR_SUCCESS);
    EXPECT_EQ(Dword(key.key, "ok"), 42u);
    DWORD size = 0;
    for (const char* bad : {"open", "s", "d", "e", "h", "i", "k"}) {
        EXPECT_EQ(RegQueryValueExA(key.key, bad, nullptr, nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND) << bad;
    }
    EXPECT_EQ(Bytes(key.key, "odd"), std::string("A\0", 2)) << "an odd byte count loses only the incomplete character";
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
        Key key;
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
    ScopedRegistry::Write(dir.File("big.reg"), "Windows Registry Editor Version 5.00\n"
                                               "[HKEY_LOCAL_MACHINE\\SOFTWARE\\KVL\\zrmodproc]\n"
                                               "\"big\"=\"" + std::string(kValueBytes, 'x') + "\"\n");
    setenv("ZRWIN_REGISTRY", dir.File("big.reg").c_str(), 1);
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            rusage before{};
            rusage after{};
            getrusage(RUSAGE_SELF, &before);
            Key key;
            DWORD size = 0;
            const bool read = OpenHost(key) == ERROR_SUCCESS &&
                              RegQueryValueExA(key.key, "big", nullptr, nullptr, nullptr, &size) == ERROR_SUCCESS &&
                              size == kValueBytes + 1;
            getrusage(RUSAGE_SELF, &after);
            const long grownMb = (after.ru_maxrss - before.ru_maxrss) / 1024;
            std::fprintf(stderr, "read %d, grown %ld MB\n", read, grownMb);
            std::exit(read && grownMb < 12 * 20 ? 0 : 1);
        },
        testing::ExitedWithCode(0), "read 1");
    unsetenv("ZRWIN_REGISTRY");
}

}  // namespace
