// The shell's line editing, key by key as a terminal sends the keys: what
// line each typing gives, where the cursor ends, and how the history is
// walked.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "LineEditor.h"

using zragent::LineEditor;
using State = LineEditor::State;

namespace {

const std::string kLeft = "\x1b[D", kRight = "\x1b[C", kUp = "\x1b[A", kDown = "\x1b[B";
const std::string kHome = "\x1b[H", kEnd = "\x1b[F", kDelete = "\x1b[3~", kBackspace = "\x7f";

// Feeds the keys; the state after the last one.
State Type(LineEditor& editor, const std::string& keys) {
    State state = State::Editing;
    for (char byte : keys) state = editor.Feed(byte);
    return state;
}

}  // namespace

TEST(LineEditor, KeysEditTheLineWhereTheCursorIs) {
    const struct {
        const char* what;
        std::string keys;
        std::string line;
        size_t after;  // characters after the cursor
    } cases[] = {
        {"typing", "data one", "data one", 0},
        {"backspace corrects", "dta" + kBackspace + kBackspace + "ata", "data", 0},
        {"backspace (^H) at the start does nothing", "\b" + std::string("x"), "x", 0},
        {"left then insert", "dta" + kLeft + kLeft + "a", "data", 2},
        {"right stops at the end", "ab" + kLeft + kRight + kRight + kRight + "c", "abc", 0},
        {"home and end", "ata" + kHome + "d" + kEnd + "!", "data!", 0},
        {"home and end, other terminals", "b\x1bOHa\x1b[4~c\x1b[1~>\x1b[7~<\x1b[8~.", "<>abc.", 0},
        {"home and end as control keys", "b\x01" "a\x05" "c", "abc", 0},
        {"left and right as control keys", "ac\x02" "b\x06" "d", "abcd", 0},
        {"delete at the cursor", "abxc" + kLeft + kLeft + kDelete, "abc", 1},
        {"Ctrl-D deletes on a line with text", "abxc" + kLeft + kLeft + "\x04", "abc", 1},
        {"Ctrl-U cuts before the cursor", "junk data" + kLeft + kLeft + kLeft + kLeft + "\x15", "data", 4},
        {"Ctrl-K cuts from the cursor", "data junk" + kLeft + kLeft + kLeft + kLeft + kLeft + "\x0b", "data", 0},
        {"arrows with modifiers", "ab\x1b[1;5Dx", "axb", 1},
        {"unknown sequences and Alt keys are dropped", "a\x1b[15~\x1b" "xb\tc", "abc", 0},
        {"UTF-8 moves and erases whole characters", "a\xc3\xa9" + kLeft + "b" + kEnd + kBackspace, "ab", 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<std::string> history;
        LineEditor editor(history);
        EXPECT_EQ(Type(editor, c.keys), State::Editing);
        EXPECT_EQ(editor.Line(), c.line);
        EXPECT_EQ(editor.CharactersAfterCursor(), c.after);
    }
}

TEST(LineEditor, EnterEndsTheLineAndKeepsItInTheHistoryOnce) {
    std::vector<std::string> history;
    for (const char* keys : {"one\r", "two\n", "two\r", "\r"}) {
        LineEditor editor(history);
        EXPECT_EQ(Type(editor, keys), State::Done);
    }
    EXPECT_EQ(history, (std::vector<std::string>{"one", "two"}));  // no repeat, no empty line
}

TEST(LineEditor, UpAndDownWalkTheHistoryAndComeBackToTheDraft) {
    std::vector<std::string> history{"first", "second"};
    LineEditor editor(history);
    Type(editor, "dra");
    const struct {
        std::string keys;
        std::string line;
    } steps[] = {
        {kUp, "second"}, {kUp, "first"}, {kUp, "first"},  // the oldest stays
        {kDown, "second"}, {"\x0e", "dra"},               // Ctrl-N back to the draft
        {kDown, "dra"},    {"\x10" + kLeft + "X", "seconXd"},  // Ctrl-P, then edit the recalled line
    };
    for (const auto& step : steps) {
        Type(editor, step.keys);
        EXPECT_EQ(editor.Line(), step.line);
    }
    EXPECT_EQ(Type(editor, "\r"), State::Done);
    EXPECT_EQ(history, (std::vector<std::string>{"first", "second", "seconXd"}));
}

TEST(LineEditor, CtrlCDropsTheLineAndCtrlDOnAnEmptyLineEndsTheInput) {
    std::vector<std::string> history;
    LineEditor editor(history);
    EXPECT_EQ(Type(editor, "bogus\x03"), State::Cancelled);
    EXPECT_EQ(editor.Line(), "");
    EXPECT_EQ(Type(editor, "\x04"), State::EndOfInput);
    EXPECT_TRUE(history.empty());
}
