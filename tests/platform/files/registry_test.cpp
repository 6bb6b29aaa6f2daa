#include <gtest/gtest.h>

#include <vector>

#include "files_test_support.h"
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

TEST(Registry, ValuesOfEveryTypeAndTheirSizes) {
    zrtest::ScopedTempDir dir;
    ScopedRegistry registry(dir.File("r.reg"), kSample);
    Key key;
    ASSERT_EQ(OpenHost(key), ERROR_SUCCESS);

    DWORD type = 0, value = 0xFFFFFFFF, size = sizeof value;
    ASSERT_EQ(RegQueryValueExA(key.key, "DEBUG", nullptr, &type, reinterpret_cast<BYTE*>(&value), &size), ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_DWORD));
    EXPECT_EQ(value, 10u);
    EXPECT_EQ(size, 4u);

    // A size query, then a buffer one byte short, then the right one.
    size = 0;
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
    wchar_t wide[64];
    size = sizeof wide;
    ASSERT_EQ(RegQueryValueExW(key.key, nullptr, nullptr, &type, reinterpret_cast<BYTE*>(wide), &size), ERROR_SUCCESS);
    EXPECT_STREQ(wide, L"default text");
    EXPECT_EQ(size, (12 + 1) * sizeof(wchar_t));
    size = sizeof wide;
    ASSERT_EQ(RegQueryValueExW(key.key, L"expand", nullptr, &type, reinterpret_cast<BYTE*>(wide), &size), ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_EXPAND_SZ));
    EXPECT_STREQ(wide, L"%A%");
    size = sizeof wide;
    ASSERT_EQ(RegQueryValueExW(key.key, L"multi", nullptr, &type, reinterpret_cast<BYTE*>(wide), &size), ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_MULTI_SZ));
    EXPECT_EQ(std::wstring(wide, size / sizeof(wchar_t)), std::wstring(L"a\0bc\0\0", 6));

    BYTE blob[8] = {};
    size = sizeof blob;
    ASSERT_EQ(RegQueryValueExA(key.key, "blob", nullptr, &type, blob, &size), ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_BINARY));
    ASSERT_EQ(size, 5u);
    EXPECT_EQ(blob[0], 1);
    EXPECT_EQ(blob[4], 0xFF);
    ULONGLONG big = 0;
    size = sizeof big;
    ASSERT_EQ(RegQueryValueExA(key.key, "big", nullptr, &type, reinterpret_cast<BYTE*>(&big), &size), ERROR_SUCCESS);
    EXPECT_EQ(type, static_cast<DWORD>(REG_QWORD));
    EXPECT_EQ(big, 0x8000000000000001ull);

    // The bad line is skipped; what follows it still loads.
    size = sizeof value;
    EXPECT_EQ(RegQueryValueExA(key.key, "after", nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size), ERROR_SUCCESS);
    EXPECT_EQ(value, 1u);
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
    DWORD value = 0, size = sizeof value;
    ASSERT_EQ(RegQueryValueExA(key.key, "debug", nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size), ERROR_SUCCESS);
    EXPECT_EQ(value, 3u);
    wchar_t name[16];
    size = sizeof name;
    ASSERT_EQ(RegQueryValueExW(key.key, L"name", nullptr, nullptr, reinterpret_cast<BYTE*>(name), &size), ERROR_SUCCESS);
    EXPECT_STREQ(name, L"caf\u00e9");
}

TEST(Registry, ReadAgainWhenTheFileOrVariableChanges) {
    zrtest::ScopedTempDir dir;
    unsetenv("ZRWIN_REGISTRY");
    setenv("ZRWIN_REGISTRY", dir.File("absent.reg").c_str(), 1);
    Key none;
    EXPECT_EQ(OpenHost(none), ERROR_FILE_NOT_FOUND);  // a missing file is an empty registry

    ScopedRegistry first(dir.File("one.reg"), std::string(kSample));
    Key one;
    ASSERT_EQ(OpenHost(one), ERROR_SUCCESS);
    DWORD value = 0, size = sizeof value;
    ASSERT_EQ(RegQueryValueExA(one.key, "debug", nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size), ERROR_SUCCESS);
    EXPECT_EQ(value, 10u);

    // The same file rewritten.
    ScopedRegistry::Write(dir.File("one.reg"),
                          "Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\KVL\\zrmodproc]\n"
                          "\"debug\"=dword:2\n");
    Key rewritten;
    ASSERT_EQ(OpenHost(rewritten), ERROR_SUCCESS);
    size = sizeof value;
    ASSERT_EQ(RegQueryValueExA(rewritten.key, "debug", nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size),
              ERROR_SUCCESS);
    EXPECT_EQ(value, 2u);

    // Another file named by the variable.
    ScopedRegistry second(dir.File("two.reg"),
                          "Windows Registry Editor Version 5.00\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\KVL\\zrmodproc]\n"
                          "\"debug\"=dword:4\n");
    Key two;
    ASSERT_EQ(OpenHost(two), ERROR_SUCCESS);
    size = sizeof value;
    ASSERT_EQ(RegQueryValueExA(two.key, "debug", nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size), ERROR_SUCCESS);
    EXPECT_EQ(value, 4u);
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
    DWORD value = 0, size = sizeof value;
    ASSERT_EQ(RegQueryValueExA(key.key, "ok", nullptr, nullptr, reinterpret_cast<BYTE*>(&value), &size), ERROR_SUCCESS);
    EXPECT_EQ(value, 42u);
    for (const char* bad : {"open", "s", "d", "e", "h", "i", "k"}) {
        EXPECT_EQ(RegQueryValueExA(key.key, bad, nullptr, nullptr, nullptr, &size), ERROR_FILE_NOT_FOUND) << bad;
    }
    // An odd byte count loses only the incomplete character.
    char text[8] = {};
    size = sizeof text;
    ASSERT_EQ(RegQueryValueExA(key.key, "odd", nullptr, nullptr, reinterpret_cast<BYTE*>(text), &size), ERROR_SUCCESS);
    EXPECT_STREQ(text, "A");
}

}  // namespace
