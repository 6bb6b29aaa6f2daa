// The line editing of the shell on a terminal, apart from the terminal: fed
// the terminal's input bytes one at a time, it keeps the line, the cursor
// and the history, and says when a line is done. Keys: printable text
// (UTF-8) is inserted at the cursor; Backspace and Delete; Left, Right,
// Home, End (also Ctrl-B, Ctrl-F, Ctrl-A, Ctrl-E); Up and Down walk the
// history (also Ctrl-P, Ctrl-N); Ctrl-U and Ctrl-K cut before and after the
// cursor; Enter ends the line; Ctrl-C drops it; Ctrl-D on an empty line ends
// the input (elsewhere it deletes at the cursor).
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace zragent {

class LineEditor {
public:
    enum class State { Editing, Done, Cancelled, EndOfInput };

    // The history outlives the editor: one per shell, oldest first.
    explicit LineEditor(std::vector<std::string>& history) : history_(history), browsing_(history.size()) {}

    State Feed(char byte);

    // The line as edited so far (the finished line once Done).
    const std::string& Line() const { return line_; }
    // The cursor as a byte offset into Line(), and the characters after it.
    size_t Cursor() const { return cursor_; }
    size_t CharactersAfterCursor() const;

private:
    enum class Key { Left, Right, Home, End, Up, Down, Delete, None };
    State Escape(char byte);
    void Act(Key key);
    void Recall(size_t index);

    std::vector<std::string>& history_;
    size_t browsing_;        // the history entry shown; history_.size(): the line being typed
    std::string draft_;      // the line being typed while the history is shown
    std::string line_;
    size_t cursor_ = 0;
    std::string sequence_;   // an escape sequence so far, ESC included
};

}  // namespace zragent
