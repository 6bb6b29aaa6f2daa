#include "ipc/messages/SerialStream.h"

#include <gtest/gtest.h>

#include "log/LogTestUtil.h"

using logtest::Hex;

TEST(SerialStreamTest, WritesEveryFieldKindLittleEndianAndReadsItBack) {
    int32_t negative = -2;
    uint32_t word = 0x01020304u;
    uint8_t byte = 0xAB;
    bool flag = true;
    std::string text("x\0y", 3);
    std::wstring wide = L"\u00e9";
    SerialStream out;
    EXPECT_TRUE(out.Int32(negative) && out.UInt32(word) && out.Byte(byte) && out.Bool(flag) && out.String(text) &&
                out.WString(wide));
    const std::string body = out.Bytes();
    EXPECT_EQ(body, Hex("fe ff ff ff 04 03 02 01 ab 01 03 00 00 00 78 00 79 02 00 00 00 c3 a9"));

    // Succeeded only when the last field ends exactly at the end.
    for (const std::string& input : {body, body + "z"}) {
        SerialStream in(input);
        int32_t n = 0;
        uint32_t w = 0;
        uint8_t b = 0;
        bool f = false;
        std::string t;
        std::wstring wt;
        EXPECT_TRUE(in.Int32(n) && in.UInt32(w) && in.Byte(b) && in.Bool(f) && in.String(t) && in.WString(wt));
        EXPECT_EQ(n, negative);
        EXPECT_EQ(w, word);
        EXPECT_EQ(b, byte);
        EXPECT_TRUE(f);
        EXPECT_EQ(t, text);
        EXPECT_EQ(wt, wide);
        EXPECT_EQ(in.Succeeded(), input == body);
    }
}

TEST(SerialStreamTest, MissingBytesFailWithoutMovingOrChangingTheTarget) {
    SerialStream in(Hex("01 02 03"));
    int32_t number = 77;
    EXPECT_FALSE(in.Int32(number));
    EXPECT_EQ(number, 77);
    // Later fields whose bytes are there are still read from where the failed
    // one left the position; the body as a whole stays failed.
    uint8_t byte = 9;
    EXPECT_TRUE(in.Byte(byte));
    EXPECT_EQ(byte, 1);
    std::string text = "keep";
    EXPECT_FALSE(in.String(text));
    EXPECT_EQ(text, "keep");
    EXPECT_EQ(in.Position(), 1u);
    EXPECT_TRUE(in.Byte(byte) && in.Byte(byte));
    EXPECT_EQ(byte, 3);
    EXPECT_FALSE(in.Succeeded());

    // A string count past the end is consumed, its text is not; the second
    // count has its top bit set: a huge count, not a negative one.
    for (const char* hex : {"05 00 00 00 61 62", "ff ff ff ff 61"}) {
        SerialStream counted(Hex(hex));
        EXPECT_FALSE(counted.String(text));
        EXPECT_EQ(text, "keep");
        EXPECT_EQ(counted.Position(), 4u);
    }
}
