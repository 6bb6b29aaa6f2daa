// The signer-name comparison: letters of the ANSI code page, case folded
// unless asked otherwise, everything else skipped.
#include <gtest/gtest.h>

#include "security/Signature.h"

namespace {

TEST(MatchLetters, SkipsNonLettersAndIgnoresCase) {
    EXPECT_TRUE(MatchLetters("Vorland-IX Pert Holme", "VORLANDIXPERTHOLME", 18, false));
    EXPECT_TRUE(MatchLetters("A1B2C3", "ABC", 3, false));  // digits are not letters
    EXPECT_FALSE(MatchLetters("ABD", "ABC", 3, false));
    EXPECT_FALSE(MatchLetters("abc", "ABC", 3, true));
    EXPECT_TRUE(MatchLetters("ABC", "ABC", 3, true));
}

TEST(MatchLetters, StopsAtTheCountOrWhenBothEnd) {
    EXPECT_TRUE(MatchLetters("VORLANDIXPERTHOLME GmbH", "VORLANDIXPERTHOLME", 18, false));
    EXPECT_TRUE(MatchLetters("AB-", "a.b", 18, false));   // both used up before the count
    EXPECT_FALSE(MatchLetters("AB", "ABC", 18, false));  // one used up early
    EXPECT_TRUE(MatchLetters("ABX", "ABY", 2, false));   // only the count matters
    EXPECT_TRUE(MatchLetters("", "", 18, false));
    EXPECT_TRUE(MatchLetters(nullptr, "", 1, false));
}

TEST(MatchLetters, Windows1252LettersCount) {
    // "É" (0xC9) and "é" (0xE9) are letters in code page 1252 and fold to
    // each other; "×" (0xD7) is not a letter.
    EXPECT_TRUE(MatchLetters("\xC9T\xC9", "\xE9t\xE9", 3, false));
    EXPECT_FALSE(MatchLetters("\xC9T\xC9", "\xE9t\xE9", 3, true));
    EXPECT_FALSE(MatchLetters("\xC9X", "EX", 2, false));
    EXPECT_TRUE(MatchLetters("A\xD7" "B", "AB", 2, false));
    EXPECT_TRUE(MatchLetters("\x8A\x9A", "\x9A\x8A", 2, false));  // Š and š
}

}  // namespace
