#include <gtest/gtest.h>

#include <regex>
#include <utility>

#include "ipc/messages/Commands.h"
#include "ipc/messages/DataParametersMultiProcess.h"
#include "ipc/messages/WindowMessageDataMultiProcess.h"
#include "messages/MessagesTestHelpers.h"
#include "support/TestSupport.h"

using msgtest::Hex;
using msgtest::ToHex;
using msgtest::WasLogged;

namespace {

std::string Bytes(const BYTE* buffer, int32_t count) {
    return std::string(reinterpret_cast<const char*>(buffer), static_cast<size_t>(count));
}

}  // namespace

// ---- DataParametersMultiProcess

TEST(DataParametersTest, DecodesHeaderAndParameterBytes) {
    // request 42, module 1, option 13, length 6: "abc" in UTF-16LE.
    DataParametersMultiProcess data;
    ASSERT_TRUE(data.Deserialize(Hex("2a000000 01000000 0d000000 06000000 61 00 62 00 63 00")));
    EXPECT_EQ(data.request, 42);
    EXPECT_EQ(data.module, 1);
    EXPECT_EQ(data.option, 13);
    EXPECT_EQ(data.GetLength(), 6);
    std::wstring text;
    EXPECT_TRUE(data.GetParam(text));
    EXPECT_EQ(text, L"abc");
    EXPECT_EQ(data.ToString(), "{DATA module:1, lparam:13, szParam[6]:a b c, request:42}");
}

TEST(DataParametersTest, BytesBeyondTheCountAreIgnored) {
    DataParametersMultiProcess data;
    ASSERT_TRUE(data.Deserialize(Hex("01000000 00000000 00000000 02000000 41 00 ff ff ff")));
    EXPECT_EQ(ToHex(data.Serialize()), ToHex(Hex("01000000 00000000 00000000 02000000 41 00")));
}

TEST(DataParametersTest, HeaderOnlyBodyHasNoBuffer) {
    DataParametersMultiProcess data;
    ASSERT_TRUE(data.Deserialize(Hex("07000000 00000000 02000000 00000000")));
    EXPECT_EQ(data.GetBuffer(), nullptr);
    std::wstring text = L"stale";
    EXPECT_FALSE(data.GetParam(text));
    EXPECT_EQ(text, L"");
    EXPECT_EQ(data.ToString(), "{DATA module:0, lparam:2, szParam[0]:, request:7}");
}

TEST(DataParametersTest, SetParamAbEncodesToTwentyBytes) {
    DataParametersMultiProcess data;
    data.SetParam(L"ab");
    EXPECT_EQ(data.GetLength(), 4);
    EXPECT_EQ(ToHex(data.Serialize()), ToHex(Hex("00000000 00000000 00000000 04000000 61 00 62 00")));
    EXPECT_EQ(data.ToString(), "{DATA module:0, lparam:0, szParam[4]:a b, request:0}");
}

TEST(DataParametersTest, WideTextIsUtf16OnTheWireWhateverTheWideCharSize) {
    DataParametersMultiProcess data;
    data.SetParam(L"\u00e9\U0001F600");
    EXPECT_EQ(data.GetLength(), 6);
    EXPECT_EQ(ToHex(Bytes(data.GetBuffer(), data.GetLength())), "e9 00 3d d8 00 de");
    std::wstring back;
    EXPECT_TRUE(data.GetParam(back));
    EXPECT_EQ(back, L"\u00e9\U0001F600");
}

TEST(DataParametersTest, GetParamDropsAnOddLastByte) {
    DataParametersMultiProcess data;
    ASSERT_TRUE(data.Deserialize(Hex("00000000 00000000 00000000 03000000 78 00 79")));
    std::wstring text;
    EXPECT_TRUE(data.GetParam(text));
    EXPECT_EQ(text, L"x");

    data.SetBuffer("z", 1);
    EXPECT_TRUE(data.GetParam(text));
    EXPECT_EQ(text, L"");
}

TEST(DataParametersTest, TextFormShowsAtMostTwentyNineBytes) {
    DataParametersMultiProcess data;
    const std::string long40(40, 'q');
    data.SetBuffer(long40.data(), 40);
    data.module = -1;
    data.option = 2147483647;
    data.request = -2147483647 - 1;
    EXPECT_EQ(data.ToString(), "{DATA module:-1, lparam:2147483647, szParam[40]:" + std::string(29, 'q') +
                                   ", request:-2147483648}");

    data.SetBuffer("Q", 1);
    EXPECT_EQ(data.ToString(), "{DATA module:-1, lparam:2147483647, szParam[1]:, request:-2147483648}");
}

TEST(DataParametersTest, SetBufferReplacesAndClears) {
    DataParametersMultiProcess data;
    data.SetBuffer("abcd", 4);
    data.SetBuffer("xy", 2);
    EXPECT_EQ(Bytes(data.GetBuffer(), data.GetLength()), "xy");
    data.SetBuffer("xy", -3);
    EXPECT_EQ(data.GetBuffer(), nullptr);
    EXPECT_EQ(data.GetLength(), 0);
    data.SetBuffer(nullptr, 5);
    EXPECT_EQ(data.GetBuffer(), nullptr);
    EXPECT_EQ(data.GetLength(), 0);
    EXPECT_EQ(data.Serialize().size(), 16u);
}

TEST(DataParametersTest, CopiesOwnTheirBuffer) {
    DataParametersMultiProcess original;
    original.request = 3;
    original.module = 4;
    original.option = 5;
    original.SetParam(L"one");

    DataParametersMultiProcess copy(original);
    original.SetParam(L"two!");
    std::wstring text;
    ASSERT_TRUE(copy.GetParam(text));
    EXPECT_EQ(text, L"one");
    EXPECT_NE(copy.GetBuffer(), original.GetBuffer());
    EXPECT_EQ(copy.request, 3);
    EXPECT_EQ(copy.module, 4);
    EXPECT_EQ(copy.option, 5);

    DataParametersMultiProcess assigned;
    assigned = original;
    ASSERT_TRUE(assigned.GetParam(text));
    EXPECT_EQ(text, L"two!");
    assigned = assigned;  // self-assignment keeps the buffer
    ASSERT_TRUE(assigned.GetParam(text));
    EXPECT_EQ(text, L"two!");

    DataParametersMultiProcess moved(std::move(assigned));
    ASSERT_TRUE(moved.GetParam(text));
    EXPECT_EQ(text, L"two!");
}

TEST(DataParametersTest, ShortAndOverlongAndNegativeBodiesAreRefusedAndLogged) {
    zrtest::ScopedTempDir dir;
    DataParametersMultiProcess data;
    data.request = 99;
    data.SetParam(L"keep");
    const std::string before = data.Serialize();

    EXPECT_FALSE(data.Deserialize(Hex("01000000 02000000 03000000 040000")));
    EXPECT_TRUE(WasLogged("DataParametersMultiProcess::Deserialize: [E] Invalid params, size:15"));

    EXPECT_FALSE(data.Deserialize(Hex("01000000 02000000 03000000 05000000 61 00 62 00")));
    EXPECT_TRUE(WasLogged("DataParametersMultiProcess::Deserialize: [E] Length 5 exceeds the 4 bytes after the header"));

    EXPECT_FALSE(data.Deserialize(Hex("01000000 02000000 03000000 ffffff7f")));
    EXPECT_TRUE(
        WasLogged("DataParametersMultiProcess::Deserialize: [E] Length 2147483647 exceeds the 0 bytes after the header"));

    EXPECT_FALSE(data.Deserialize(Hex("01000000 02000000 03000000 feffffff 61 00")));
    EXPECT_TRUE(WasLogged("DataParametersMultiProcess::Deserialize: [E] Negative length:-2"));

    EXPECT_EQ(ToHex(data.Serialize()), ToHex(before));
}

// ---- WindowMessageDataMultiProcess

TEST(WindowMessageDataTest, NewAndEmptyRecordsEncodeToSixteenBytes) {
    WindowMessageDataMultiProcess message;
    EXPECT_EQ(ToHex(message.Serialize()), ToHex(Hex("00000000 00000000 00000000 00000000")));

    message.uMsg = 3027;
    message.iRequestId = 12;
    message.SetWParam(nullptr, 0);
    message.SetLParam("ignored", 0);
    EXPECT_NE(message.GetWParam(), nullptr);  // a zero count still gives a buffer
    EXPECT_NE(message.GetLParam(), nullptr);
    EXPECT_EQ(ToHex(message.Serialize()), ToHex(Hex("0c000000 d30b0000 00000000 00000000")));
}

TEST(WindowMessageDataTest, EncodesAndDecodesBothParameters) {
    WindowMessageDataMultiProcess message;
    message.iRequestId = 1;
    message.uMsg = 0xFFFFFFFFu;
    message.SetWParam("ab", 2);
    message.SetLParam("xyz", 3);
    const std::string wire = Hex("01000000 ffffffff 02000000 03000000 61 62 78 79 7a");
    EXPECT_EQ(ToHex(message.Serialize()), ToHex(wire));

    WindowMessageDataMultiProcess back;
    ASSERT_TRUE(back.Deserialize(wire + "trailing"));
    EXPECT_EQ(back.iRequestId, 1);
    EXPECT_EQ(back.uMsg, 0xFFFFFFFFu);
    EXPECT_EQ(Bytes(back.GetWParam(), back.GetLenWParam()), "ab");
    EXPECT_EQ(Bytes(back.GetLParam(), back.GetLenLParam()), "xyz");
}

TEST(WindowMessageDataTest, SetterZeroFillsWhenNoBytesAreGiven) {
    WindowMessageDataMultiProcess message;
    message.SetWParam(nullptr, 3);
    EXPECT_EQ(ToHex(Bytes(message.GetWParam(), 3)), "00 00 00");
    EXPECT_EQ(message.GetLenWParam(), 3);
}

TEST(WindowMessageDataTest, NegativeSetterCountIsLoggedAndLeavesAnEmptyParameter) {
    zrtest::ScopedTempDir dir;
    WindowMessageDataMultiProcess message;
    message.SetWParam("ab", 2);
    message.SetWParam("ab", -1);
    EXPECT_EQ(message.GetWParam(), nullptr);
    EXPECT_EQ(message.GetLenWParam(), 0);
    message.SetLParam("ab", -5);
    EXPECT_EQ(message.GetLParam(), nullptr);
    EXPECT_EQ(message.Serialize().size(), 16u);
    EXPECT_TRUE(WasLogged("[ModuleControlMP] SetWParam. #Exception#"));
    EXPECT_TRUE(WasLogged("[ModuleControlMP] SetLParam. #Exception#"));
}

TEST(WindowMessageDataTest, ShortAndOverlongAndNegativeBodiesAreRefusedAndLogged) {
    zrtest::ScopedTempDir dir;
    WindowMessageDataMultiProcess message;
    message.uMsg = 3025;
    message.SetWParam("w", 1);

    EXPECT_FALSE(message.Deserialize(Hex("01000000 02000000 00000000 0000")));
    EXPECT_TRUE(WasLogged("WindowMessageDataMultiProcess::Deserialize: [E] Invalid params, size:14"));

    // Each count fits alone, together they do not.
    EXPECT_FALSE(message.Deserialize(Hex("01000000 02000000 02000000 02000000 61 62 63")));
    EXPECT_TRUE(WasLogged("WindowMessageDataMultiProcess::Deserialize: [E] Counts exceed the 3 bytes after the "
                          "header, iLenWParam:2, iLenLParam:2"));

    // Counts whose sum overflows 32 bits.
    EXPECT_FALSE(message.Deserialize(Hex("01000000 02000000 ffffff7f ffffff7f 61")));
    EXPECT_TRUE(WasLogged("WindowMessageDataMultiProcess::Deserialize: [E] Counts exceed the 1 bytes after the "
                          "header, iLenWParam:2147483647, iLenLParam:2147483647"));

    EXPECT_FALSE(message.Deserialize(Hex("01000000 02000000 00000000 ffffffff")));
    EXPECT_TRUE(WasLogged(
        "WindowMessageDataMultiProcess::Deserialize: [E] Negative count, iLenWParam:0, iLenLParam:-1"));

    EXPECT_EQ(message.uMsg, 3025u);
    EXPECT_EQ(message.iRequestId, 0);
    EXPECT_EQ(Bytes(message.GetWParam(), message.GetLenWParam()), "w");
}

TEST(WindowMessageDataTest, TextFormShowsNumbersAndBufferReferences) {
    WindowMessageDataMultiProcess message;
    message.uMsg = 4294967295u;
    message.iRequestId = -3;
    message.SetWParam("abcd", 4);
    const std::regex form(
        R"(\{WMSG uMsg:4294967295 wParam:([0-9]+) (-?[0-9]+) lParam:0 0 iLenWParam:4 iLenLParam:0 iRequestId:-3\})");
    std::smatch match;
    const std::string text = message.ToString();
    ASSERT_TRUE(std::regex_match(text, match, form)) << text;
    // Both numbers are one reference, read unsigned and signed.
    EXPECT_EQ(static_cast<intptr_t>(std::stoull(match[1].str())), static_cast<intptr_t>(std::stoll(match[2].str())));
    EXPECT_NE(match[1].str(), "0");
}

// ---- Names

TEST(CommandNamesTest, OptionCodesAndCommandIds) {
    EXPECT_STREQ(GetCommandName(0), "ZR_RUN_SCRIPT");
    EXPECT_STREQ(GetCommandName(ZR_SETWORKINGFOLDER), "ZR_SETWORKINGFOLDER");
    EXPECT_STREQ(GetCommandName(18), "ZR_RUN_SCRIPT_ASYNCH");
    EXPECT_STREQ(GetCommandName(19), "unknown");
    EXPECT_STREQ(GetCommandName(-1), "unknown");

    EXPECT_EQ(MStartModuleExec, 9);
    EXPECT_STREQ(GetHostCommandName(MReady), "MReady");
    EXPECT_STREQ(GetHostCommandName(MModuleDataAsyncEnd), "MModuleDataAsyncEnd");
    EXPECT_STREQ(GetHostCommandName(4), "unknown");
    EXPECT_STREQ(GetHostCommandName(10), "unknown");
    EXPECT_STREQ(GetHostCommandName(-1), "unknown");
}
