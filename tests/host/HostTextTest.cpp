// The byte dump of the host's log lines and the records the window-message
// relay builds from a module's messages (their wire form is the messages
// tests'; the relay end to end is zragent's window test).
#include <gtest/gtest.h>

#include <string>

#include "host/HexDumpForLog.h"
#include "host/WindowRelay.h"

namespace {

TEST(HexDumpForLog, ShowsHexThenCharacters) {
    const std::pair<std::string, std::string> cases[] = {
        {"", "[]=''"},
        {"Ab", "[4162]='Ab'"},
        {std::string("\0 \x1f", 3), "[00201f]='  ?'"},
        {"\x7f\xd5\xd6\xff", "[7fd5d6ff]='\x7f\xd5?" "?'"},  // 213 is the last shown as itself
    };
    for (const auto& [bytes, dump] : cases) {
        SCOPED_TRACE(dump);
        EXPECT_EQ(dump, HexDumpForLog(bytes.data(), bytes.size()));
    }
    EXPECT_EQ("[]=''", HexDumpForLog(nullptr, 5));
}

std::string Bytes(const BYTE* data, int32_t count) {
    return data ? std::string(reinterpret_cast<const char*>(data), static_cast<size_t>(count)) : std::string();
}

TEST(WindowMessageRecord, RunJobCarriesSignedNumbersOptionsTheNameAndTheDescribedBytesAndNothingElseIsRelayed) {
    const char value[] = {'v', '\0', 'w', 'x'};
    RelayBufferDescriptor descriptor{}, empty{};
    descriptor.address.data = value;
    descriptor.count = 4;
    descriptor.reserved1 = 0xdeadbeef;  // not read
    const auto name = [](const char* text) { return reinterpret_cast<WPARAM>(text); };
    const auto described = [](const RelayBufferDescriptor* d) { return reinterpret_cast<LPARAM>(d); };
    const struct {
        UINT message;
        WPARAM wParam;
        LPARAM lParam;
        std::string w, l;
    } cases[] = {
        {WM_RUNJOB, 7, -1, "7", "-1"},
        {WM_RUNJOB, 0, 0, "0", "0"},
        {WM_RUNJOB, static_cast<WPARAM>(-20), 2147483647, "-20", "2147483647"},
        {GETSRVOPTION, name("color"), described(&descriptor), "color", std::string(value, 4)},
        {SETSRVOPTION, name(""), described(&descriptor), "", std::string(value, 4)},
        {GETSRVOPTION, 0, 0, "", ""},
        {SETSRVOPTION, name("n"), described(&empty), "n", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.message) + " " + c.w + " " + c.l);
        WindowMessageDataMultiProcess record;
        ASSERT_TRUE(BuildWindowMessageRecord(c.message, c.wParam, c.lParam, record));
        EXPECT_EQ(c.message, record.uMsg);
        EXPECT_EQ(c.w, Bytes(record.GetWParam(), record.GetLenWParam()));
        EXPECT_EQ(static_cast<int32_t>(c.w.size()), record.GetLenWParam());
        EXPECT_EQ(c.l, Bytes(record.GetLParam(), record.GetLenLParam()));
        EXPECT_EQ(static_cast<int32_t>(c.l.size()), record.GetLenLParam());
    }
    EXPECT_STREQ("GETSRVOPTION", RelayedMessageName(3025));
    EXPECT_STREQ("SETSRVOPTION", RelayedMessageName(3026));
    for (UINT message : {1024u, 1025u, 3024u, 3028u, 1u}) {
        SCOPED_TRACE(message);
        WindowMessageDataMultiProcess record;
        EXPECT_FALSE(BuildWindowMessageRecord(message, 1, 2, record));
        EXPECT_EQ(0u, record.uMsg);
        EXPECT_EQ(nullptr, RelayedMessageName(message));
    }
}

}  // namespace
