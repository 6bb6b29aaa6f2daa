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
    EXPECT_TRUE(out.Int32(negative) && out.UInt32(word) && out.Byte(byte) && out.Bool(flag) && out.String(text) &&
                out.WString(wide));
    EXPECT_TRUE(out.Succeeded());
    EXPECT_EQ(ToHex(out.Bytes()), "fe ff ff ff 04 03 02 01 ab 01 02 00 00 00 61 62 02 00 00 00 c3 a9");
}

TEST(SerialStreamTest, ReadsWhatItWasGivenAndSucceedsOnlyAtTheExactEnd) {
    const std::string input = Hex("fe ff ff ff  01  03 00 00 00 78 00 79  02 00 00 00 c3 a9");
    for (const std::string& body : {input, input + "z"}) {
        SerialStream in(body);
        int32_t number = 0;
        bool flag = false;
        std::string text;
        std::wstring wide;
        EXPECT_TRUE(in.Int32(number) && in.Bool(flag) && in.String(text) && in.WString(wide));
        EXPECT_EQ(number, -2);
        EXPECT_TRUE(flag);
        EXPECT_EQ(text, std::string("x\0y", 3));
        EXPECT_EQ(wide, L"\u00e9");
        EXPECT_EQ(in.Succeeded(), body == input);
    }
}

TEST(SerialStreamTest, MissingBytesFailWithoutMovingOrChangingTheTarget) {
    SerialStream in(Hex("01 02 03"));
    int32_t number = 77;
    EXPECT_FALSE(in.Int32(number));
    EXPECT_EQ(number, 77);
    EXPECT_EQ(in.Position(), 0u);
    // Later fields whose bytes are there are still read from where the failed
    // one left the position; the body as a whole stays failed.
    uint8_t byte = 9;
    EXPECT_TRUE(in.Byte(byte));
    EXPECT_EQ(byte, 1);
    std::string text = "keep";
    EXPECT_FALSE(in.String(text));
    EXPECT_EQ(text, "keep");
    EXPECT_EQ(in.Position(), 1u);
    uint8_t second = 0;
    uint8_t third = 0;
    EXPECT_TRUE(in.Byte(second) && in.Byte(third));
    EXPECT_EQ(second, 2);
    EXPECT_EQ(third, 3);
    EXPECT_EQ(in.Position(), 3u);
    EXPECT_FALSE(in.Succeeded());
}

TEST(SerialStreamTest, StringCountPastTheEndIsConsumedButTheTextIsNot) {
    // The second count has its top bit set: a huge count, not a negative one.
    for (const char* hex : {"05 00 00 00 61 62", "ff ff ff ff 61"}) {
        SerialStream in(Hex(hex));
        std::string text = "keep";
        EXPECT_FALSE(in.String(text));
        EXPECT_EQ(text, "keep");
        EXPECT_EQ(in.Position(), 4u);
        EXPECT_FALSE(in.Succeeded());
    }
}
