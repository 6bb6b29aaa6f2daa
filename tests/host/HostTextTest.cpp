// The byte dump of the host's log lines and the records the window-message
// relay builds from a module's messages.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "host/HexDumpForLog.h"
#include "host/WindowRelay.h"

namespace {

TEST(HexDumpForLog, ShowsHexThenCharacters) {
    struct Case {
        std::string bytes;
        std::string dump;
    };
    const Case cases[] = {
        {"", "[]=''"},
        {"Ab", "[4162]='Ab'"},
        {std::string("\0 \x1f", 3), "[00201f]='  ?'"},
        {"\x7f\xd5\xd6\xff", "[7fd5d6ff]='\x7f\xd5?" "?'"},  // 213 is the last shown as itself
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.dump);
        EXPECT_EQ(c.dump, HexDumpForLog(c.bytes.data(), c.bytes.size()));
    }
    EXPECT_EQ("[]=''", HexDumpForLog(nullptr, 5));
}

std::string Bytes(const BYTE* data, int32_t count) {
    return data ? std::string(reinterpret_cast<const char*>(data), static_cast<size_t>(count)) : std::string();
}

TEST(WindowMessageRecord, RunJobCarriesBothNumbersAsSignedText) {
    struct Case {
        WPARAM wParam;
        LPARAM lParam;
        std::string w, l;
    };
    const Case cases[] = {
        {7, -1, "7", "-1"},
        {0, 0, "0", "0"},
        {static_cast<WPARAM>(-20), 2147483647, "-20", "2147483647"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.w + " " + c.l);
        WindowMessageDataMultiProcess record;
        ASSERT_TRUE(BuildWindowMessageRecord(WM_RUNJOB, c.wParam, c.lParam, record));
        EXPECT_EQ(3027u, record.uMsg);
        EXPECT_EQ(c.w, Bytes(record.GetWParam(), record.GetLenWParam()));
        EXPECT_EQ(c.l, Bytes(record.GetLParam(), record.GetLenLParam()));
        EXPECT_EQ(static_cast<int32_t>(c.w.size()), record.GetLenWParam());
    }
}

TEST(WindowMessageRecord, OptionMessagesCarryTheNameAndTheDescribedBytes) {
    const char value[] = {'v', '\0', 'w', 'x'};
    RelayBufferDescriptor descriptor{};
    descriptor.address.data = value;
    descriptor.count = 4;
    descriptor.reserved1 = 0xdeadbeef;  // not read
    struct Case {
        UINT message;
        const char* name;
        const RelayBufferDescriptor* descriptor;
        std::string w, l;
    };
    RelayBufferDescriptor empty{};
    const Case cases[] = {
        {GETSRVOPTION, "color", &descriptor, "color", std::string(value, 4)},
        {SETSRVOPTION, "", &descriptor, "", std::string(value, 4)},
        {GETSRVOPTION, nullptr, nullptr, "", ""},
        {SETSRVOPTION, "n", &empty, "n", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        WindowMessageDataMultiProcess record;
        ASSERT_TRUE(BuildWindowMessageRecord(c.message, reinterpret_cast<WPARAM>(c.name),
                                             reinterpret_cast<LPARAM>(c.descriptor), record));
        EXPECT_EQ(c.message, record.uMsg);
        EXPECT_EQ(c.w, Bytes(record.GetWParam(), record.GetLenWParam()));
        EXPECT_EQ(static_cast<int32_t>(c.w.size()), record.GetLenWParam());
        EXPECT_EQ(c.l, Bytes(record.GetLParam(), record.GetLenLParam()));
        EXPECT_EQ(static_cast<int32_t>(c.l.size()), record.GetLenLParam());
    }
}

TEST(WindowMessageRecord, OtherMessagesAreNotRelayed) {
    for (UINT message : {1024u, 1025u, 3024u, 3028u, 1u}) {
        SCOPED_TRACE(message);
        WindowMessageDataMultiProcess record;
        EXPECT_FALSE(BuildWindowMessageRecord(message, 1, 2, record));
        EXPECT_EQ(0u, record.uMsg);
        EXPECT_EQ(nullptr, RelayedMessageName(message));
    }
    EXPECT_STREQ("GETSRVOPTION", RelayedMessageName(3025));
    EXPECT_STREQ("SETSRVOPTION", RelayedMessageName(3026));
}

TEST(WindowMessageRecord, EncodesAsTheParentReadsIt) {
    WindowMessageDataMultiProcess record;
    ASSERT_TRUE(BuildWindowMessageRecord(WM_RUNJOB, 7, -1, record));
    record.iRequestId = 41;
    const std::string bytes = record.Serialize();
    ASSERT_EQ(16u + 1 + 2, bytes.size());
    const unsigned char header[16] = {41, 0, 0, 0, 0xd3, 0x0b, 0, 0, 1, 0, 0, 0, 2, 0, 0, 0};
    EXPECT_EQ(0, std::memcmp(header, bytes.data(), 16));
    EXPECT_EQ("7-1", bytes.substr(16));
}

}  // namespace
