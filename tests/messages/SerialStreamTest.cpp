#include "ipc/messages/SerialStream.h"

#include <gtest/gtest.h>

#include "messages/MessagesTestHelpers.h"

using msgtest::Hex;
using msgtest::ToHex;

TEST(SerialStreamTest, WritesEveryFieldKindLittleEndian) {
    SerialStream out;
    int32_t negative = -2;
    uint32_t word = 0x01020304u;
    uint8_t byte = 0xAB;
    bool flag = true;
    std::string text = "ab";
    std::wstring wide = L"\u00e9";
    EXPECT_TRUE(out.Int32(negative));
    EXPECT_TRUE(out.UInt32(word));
    EXPECT_TRUE(out.Byte(byte));
    EXPECT_TRUE(out.Bool(flag));
    EXPECT_TRUE(out.String(text));
    EXPECT_TRUE(out.WString(wide));
    EXPECT_TRUE(out.Succeeded());
    EXPECT_EQ(ToHex(out.Bytes()), ToHex(Hex("fe ff ff ff  04 03 02 01  ab  01  02 00 00 00 61 62"
                                            "  02 00 00 00 c3 a9")));
}

TEST(SerialStreamTest, WideTextOutsideTheBasicPlaneIsOneUtf8Sequence) {
    SerialStream out;
    std::wstring wide = L"a\U0001F600";
    out.WString(wide);
    EXPECT_EQ(ToHex(out.Bytes()), ToHex(Hex("05 00 00 00 61 f0 9f 98 80")));

    SerialStream in(out.Bytes());
    std::wstring back;
    EXPECT_TRUE(in.WString(back));
    EXPECT_TRUE(in.Succeeded());
    EXPECT_EQ(back, wide);
}

TEST(SerialStreamTest, ReadsWhatItWasGivenAndSucceedsOnlyAtTheExactEnd) {
    const std::string input = Hex("fe ff ff ff  01  03 00 00 00 78 00 79  02 00 00 00 c3 a9");
    SerialStream in(input);
    int32_t number = 0;
    bool flag = false;
    std::string text;
    std::wstring wide;
    EXPECT_TRUE(in.Int32(number));
    EXPECT_TRUE(in.Bool(flag));
    EXPECT_TRUE(in.String(text));
    EXPECT_FALSE(in.Succeeded());  // not at the end yet
    EXPECT_TRUE(in.WString(wide));
    EXPECT_TRUE(in.Succeeded());
    EXPECT_EQ(number, -2);
    EXPECT_TRUE(flag);
    EXPECT_EQ(text, std::string("x\0y", 3));
    EXPECT_EQ(wide, L"\u00e9");

    SerialStream longer(input + "z");
    longer.Int32(number);
    longer.Bool(flag);
    longer.String(text);
    longer.WString(wide);
    EXPECT_FALSE(longer.Succeeded());
}

TEST(SerialStreamTest, MissingBytesFailWithoutMovingOrChangingTheTarget) {
    SerialStream in(Hex("01 02 03"));
    int32_t number = 77;
    EXPECT_FALSE(in.Int32(number));
    EXPECT_EQ(number, 77);
    EXPECT_EQ(in.Position(), 0u);
    EXPECT_FALSE(in.Succeeded());

    // A later field that would fit does not read from where the failed one
    // left off.
    uint8_t byte = 9;
    EXPECT_FALSE(in.Byte(byte));
    EXPECT_EQ(byte, 9);
}

TEST(SerialStreamTest, StringCountPastTheEndIsConsumedButTheTextIsNot) {
    SerialStream in(Hex("05 00 00 00 61 62"));
    std::string text = "keep";
    EXPECT_FALSE(in.String(text));
    EXPECT_EQ(text, "keep");
    EXPECT_EQ(in.Position(), 4u);
    EXPECT_FALSE(in.Succeeded());

    // A count with the top bit set is a huge unsigned count, not a negative.
    SerialStream huge(Hex("ff ff ff ff 61"));
    EXPECT_FALSE(huge.String(text));
    EXPECT_EQ(text, "keep");
}

TEST(SerialStreamTest, EmptyStringsAndAnEmptyBodyAreValid) {
    SerialStream out;
    std::string empty;
    out.String(empty);
    EXPECT_EQ(ToHex(out.Bytes()), "00 00 00 00");

    SerialStream in(out.Bytes());
    std::string back = "x";
    EXPECT_TRUE(in.String(back));
    EXPECT_EQ(back, "");
    EXPECT_TRUE(in.Succeeded());

    EXPECT_TRUE(SerialStream(std::string()).Succeeded());
}
