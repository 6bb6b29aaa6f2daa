#include <gtest/gtest.h>

#include <regex>

#include "ipc/messages/Commands.h"
#include "ipc/messages/DataParametersMultiProcess.h"
#include "ipc/messages/WindowMessageDataMultiProcess.h"
#include "log/LogTestUtil.h"
#include "util/LogLines.h"
#include "support/TestSupport.h"

using logtest::Hex;
using utiltest::CountLines;

namespace {

std::string Bytes(const BYTE* buffer, int32_t count) {
    return std::string(reinterpret_cast<const char*>(buffer), static_cast<size_t>(count));
}

}  // namespace

TEST(DataParametersTest, DecodesTheCountedBytesOnlyAndEncodesTheSame) {
    const struct {
        const char* wire;
        const char* uncounted;  // follows the counted bytes and is not read
        const wchar_t* param;   // nullptr: no buffer
        const char* text;
    } cases[] = {
        {"2a000000 01000000 0d000000 06000000 61 00 62 00 63 00", "ff ff", L"abc",
         "{DATA module:1, lparam:13, szParam[6]:a b c, request:42}"},
        {"07000000 00000000 02000000 00000000", "", nullptr, "{DATA module:0, lparam:2, szParam[0]:, request:7}"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.wire);
        DataParametersMultiProcess data;
        data.SetParam(L"old");
        ASSERT_TRUE(data.Deserialize(Hex(c.wire) + Hex(c.uncounted)));
        EXPECT_EQ(data.ToString(), c.text);
        EXPECT_EQ(data.Serialize(), Hex(c.wire));
        EXPECT_EQ(data.GetBuffer() == nullptr, c.param == nullptr);
        std::wstring text = L"stale";
        EXPECT_EQ(data.GetParam(text), c.param != nullptr);
        EXPECT_EQ(text, c.param ? c.param : L"");
        // The text set on a copy encodes to the same bytes.
        DataParametersMultiProcess copy(data);
        copy.SetParam(text);
        EXPECT_EQ(copy.Serialize(), Hex(c.wire));
    }
}

// The text form shows at most 29 bytes, and the extreme numbers.
TEST(DataParametersTest, TextFormIsBounded) {
    DataParametersMultiProcess data;
    data.SetBuffer(std::string(40, 'q').data(), 40);
    data.module = -1;
    data.option = 2147483647;
    data.request = -2147483647 - 1;
    EXPECT_EQ(data.ToString(), "{DATA module:-1, lparam:2147483647, szParam[40]:" + std::string(29, 'q') +
                                   ", request:-2147483648}");
}

TEST(DataParametersTest, CopiesOwnTheirBufferAndSetBufferClears) {
    DataParametersMultiProcess original;
    original.request = 3;
    original.SetParam(L"one");
    DataParametersMultiProcess copy(original);
    original.SetParam(L"two!");
    DataParametersMultiProcess assigned;
    assigned = original;
    original.SetBuffer("xy", -3);
    EXPECT_EQ(original.GetBuffer(), nullptr);
    EXPECT_EQ(original.Serialize().size(), 16u);
    EXPECT_EQ(copy.ToString(), "{DATA module:0, lparam:0, szParam[6]:o n e, request:3}");
    EXPECT_EQ(assigned.ToString(), "{DATA module:0, lparam:0, szParam[8]:t w o !, request:3}");
}

TEST(DataParametersTest, ShortOverlongAndNegativeBodiesAreRefusedAndLogged) {
    zrtest::ScopedTempDir dir;
    DataParametersMultiProcess data;
    data.request = 99;
    data.SetParam(L"keep");
    const std::string before = data.Serialize();

    EXPECT_FALSE(data.Deserialize(Hex("01000000 02000000 03000000 040000")));
    EXPECT_FALSE(data.Deserialize(Hex("01000000 02000000 03000000 05000000 61 00 62 00")));
    EXPECT_FALSE(data.Deserialize(Hex("01000000 02000000 03000000 ffffff7f")));
    EXPECT_FALSE(data.Deserialize(Hex("01000000 02000000 03000000 feffffff 61 00")));
    EXPECT_EQ(data.Serialize(), before);

    EXPECT_TRUE(CountLines("DataParametersMultiProcess::Deserialize: [E] Invalid params, size:15"));
    EXPECT_TRUE(CountLines("DataParametersMultiProcess::Deserialize: [E] Length 5 exceeds the 4 bytes after the header"));
    EXPECT_TRUE(
        CountLines("DataParametersMultiProcess::Deserialize: [E] Length 2147483647 exceeds the 0 bytes after the header"));
    EXPECT_TRUE(CountLines("DataParametersMultiProcess::Deserialize: [E] Negative length:-2"));
}

TEST(WindowMessageDataTest, EncodesAndDecodesBothParameters) {
    WindowMessageDataMultiProcess message;
    EXPECT_EQ(message.Serialize(), Hex("00000000 00000000 00000000 00000000"));
    message.uMsg = 3027;
    message.iRequestId = 12;
    message.SetWParam(nullptr, 0);
    message.SetLParam("ignored", 0);
    EXPECT_NE(message.GetWParam(), nullptr);  // a zero count still gives a buffer
    EXPECT_EQ(message.Serialize(), Hex("0c000000 d30b0000 00000000 00000000"));
    message.iRequestId = 1;
    message.uMsg = 0xFFFFFFFFu;
    message.SetWParam("ab", 2);
    message.SetLParam(nullptr, 3);  // zero-filled
    EXPECT_EQ(message.Serialize(), Hex("01000000 ffffffff 02000000 03000000 61 62 00 00 00"));

    WindowMessageDataMultiProcess back;
    ASSERT_TRUE(back.Deserialize(Hex("01000000 ffffffff 02000000 03000000 61 62 78 79 7a 7e")));
    EXPECT_EQ(Bytes(back.GetLParam(), back.GetLenLParam()), "xyz");
    EXPECT_EQ(back.Serialize(), Hex("01000000 ffffffff 02000000 03000000 61 62 78 79 7a"));
}

TEST(WindowMessageDataTest, ShortOverlongAndNegativeCountsAreRefusedAndLogged) {
    zrtest::ScopedTempDir dir;
    WindowMessageDataMultiProcess message;
    message.uMsg = 3025;
    message.SetWParam("w", 1);

    EXPECT_FALSE(message.Deserialize(Hex("01000000 02000000 00000000 0000")));
    // Each count fits alone, together they do not; then a sum past 32 bits.
    EXPECT_FALSE(message.Deserialize(Hex("01000000 02000000 02000000 02000000 61 62 63")));
    EXPECT_FALSE(message.Deserialize(Hex("01000000 02000000 ffffff7f ffffff7f 61")));
    EXPECT_FALSE(message.Deserialize(Hex("01000000 02000000 00000000 ffffffff")));
    EXPECT_EQ(message.uMsg, 3025u);
    EXPECT_EQ(Bytes(message.GetWParam(), message.GetLenWParam()), "w");

    EXPECT_TRUE(CountLines("WindowMessageDataMultiProcess::Deserialize: [E] Invalid params, size:14"));
    EXPECT_TRUE(CountLines("WindowMessageDataMultiProcess::Deserialize: [E] Counts exceed the 3 bytes after the "
                          "header, iLenWParam:2, iLenLParam:2"));
    EXPECT_TRUE(CountLines("WindowMessageDataMultiProcess::Deserialize: [E] Counts exceed the 1 bytes after the "
                          "header, iLenWParam:2147483647, iLenLParam:2147483647"));
    EXPECT_TRUE(CountLines(
        "WindowMessageDataMultiProcess::Deserialize: [E] Negative count, iLenWParam:0, iLenLParam:-1"));

    // A negative count given to a setter leaves that parameter empty.
    message.SetWParam("ab", -1);
    message.SetLParam("ab", -5);
    EXPECT_EQ(message.GetWParam(), nullptr);
    EXPECT_EQ(message.GetLenWParam(), 0);
    EXPECT_EQ(message.Serialize().size(), 16u);
    EXPECT_TRUE(CountLines("[ModuleControlMP] SetWParam. #Exception#"));
    EXPECT_TRUE(CountLines("[ModuleControlMP] SetLParam. #Exception#"));
}

TEST(WindowMessageDataTest, TextFormShowsNumbersAndOneValuePerBufferReference) {
    WindowMessageDataMultiProcess message;
    message.uMsg = 4294967295u;
    message.iRequestId = -3;
    message.SetWParam("abcd", 4);
    message.SetLParam("xy", 2);
    const std::regex form(
        R"(\{WMSG uMsg:4294967295 wParam:([0-9]+) lParam:(-?[0-9]+) iLenWParam:4 iLenLParam:2 iRequestId:-3\})");
    std::smatch match;
    const std::string text = message.ToString();
    ASSERT_TRUE(std::regex_match(text, match, form)) << text;
    // wParam is the reference read unsigned, lParam the reference read signed.
    EXPECT_EQ(std::stoull(match[1].str()), static_cast<unsigned long long>(
                                               reinterpret_cast<uintptr_t>(message.GetWParam())));
    EXPECT_EQ(std::stoll(match[2].str()), static_cast<long long>(reinterpret_cast<intptr_t>(message.GetLParam())));

    WindowMessageDataMultiProcess empty;
    EXPECT_EQ(empty.ToString(), "{WMSG uMsg:0 wParam:0 lParam:0 iLenWParam:0 iLenLParam:0 iRequestId:0}");
}

// The ends of both tables, and gaps, are "unknown".
TEST(CommandNamesTest, OptionCodesAndCommandIds) {
    EXPECT_STREQ(GetCommandName(0), "ZR_RUN_SCRIPT");
    EXPECT_STREQ(GetCommandName(18), "ZR_RUN_SCRIPT_ASYNCH");
    EXPECT_STREQ(GetHostCommandName(MModuleDataAsyncEnd), "MModuleDataAsyncEnd");
    for (const char* name : {GetCommandName(19), GetCommandName(-1), GetHostCommandName(4), GetHostCommandName(10)})
        EXPECT_STREQ(name, "unknown");
}
