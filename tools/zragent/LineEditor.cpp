#include "LineEditor.h"

#include <cstdlib>

namespace zragent {

namespace {

constexpr char kEscape = '\x1b';

bool Continuation(char byte) { return (static_cast<unsigned char>(byte) & 0xC0) == 0x80; }

constexpr char Ctrl(char letter) { return static_cast<char>(letter & 0x1f); }

}  // namespace

size_t LineEditor::CharactersAfterCursor() const {
    size_t count = 0;
    for (size_t i = cursor_; i < line_.size(); ++i)
        if (!Continuation(line_[i])) ++count;
    return count;
}

LineEditor::State LineEditor::Feed(char byte) {
    if (!sequence_.empty()) return Escape(byte);
    switch (byte) {
        case '\r':
        case '\n':
            if (!line_.empty() && (history_.empty() || history_.back() != line_)) history_.push_back(line_);
            return State::Done;
        case Ctrl('C'):
            line_.clear();
            cursor_ = 0;
            return State::Cancelled;
        case Ctrl('D'):
            if (line_.empty()) return State::EndOfInput;
            Act(Key::Delete);
            return State::Editing;
        case '\x7f':
        case '\b':
            if (cursor_ > 0) {
                const size_t end = cursor_;
                Act(Key::Left);
                line_.erase(cursor_, end - cursor_);
            }
            return State::Editing;
        case kEscape: sequence_ = byte; return State::Editing;
        case Ctrl('A'): Act(Key::Home); return State::Editing;
        case Ctrl('E'): Act(Key::End); return State::Editing;
        case Ctrl('B'): Act(Key::Left); return State::Editing;
        case Ctrl('F'): Act(Key::Right); return State::Editing;
        case Ctrl('P'): Act(Key::Up); return State::Editing;
        case Ctrl('N'): Act(Key::Down); return State::Editing;
        case Ctrl('U'):
            line_.erase(0, cursor_);
            cursor_ = 0;
            return State::Editing;
        case Ctrl('K'): line_.erase(cursor_); return State::Editing;
        default: break;
    }
    // Other control characters (Tab among them) have no meaning here.
    if (static_cast<unsigned char>(byte) < 0x20) return State::Editing;
    line_.insert(cursor_++, 1, byte);
    return State::Editing;
}

// ESC [ or ESC O, parameters, one final byte: the keys terminals send for
// arrows, Home, End and Delete ("\x1b[A", "\x1bOH", "\x1b[3~", "\x1b[1;5C").
LineEditor::State LineEditor::Escape(char byte) {
    sequence_ += byte;
    if (sequence_.size() == 2) {
        if (byte != '[' && byte != 'O') sequence_.clear();  // Alt+key: ignored
        return State::Editing;
    }
    if (byte >= 0x20 && byte < 0x40) {
        if (sequence_.size() > 16) sequence_.clear();  // not a key this editor knows
        return State::Editing;
    }
    Key key = Key::None;
    switch (byte) {
        case 'A': key = Key::Up; break;
        case 'B': key = Key::Down; break;
        case 'C': key = Key::Right; break;
        case 'D': key = Key::Left; break;
        case 'H': key = Key::Home; break;
        case 'F': key = Key::End; break;
        case '~':
            switch (std::atoi(sequence_.c_str() + 2)) {
                case 1:
                case 7: key = Key::Home; break;
                case 4:
                case 8: key = Key::End; break;
                case 3: key = Key::Delete; break;
                default: break;
            }
            break;
        default: break;
    }
    sequence_.clear();
    Act(key);
    return State::Editing;
}

void LineEditor::Act(Key key) {
    switch (key) {
        case Key::Left:
            while (cursor_ > 0 && Continuation(line_[--cursor_])) {
            }
            break;
        case Key::Right:
            if (cursor_ < line_.size())
                while (++cursor_ < line_.size() && Continuation(line_[cursor_])) {
                }
            break;
        case Key::Home: cursor_ = 0; break;
        case Key::End: cursor_ = line_.size(); break;
        case Key::Delete:
            if (cursor_ < line_.size()) {
                size_t end = cursor_ + 1;
                while (end < line_.size() && Continuation(line_[end])) ++end;
                line_.erase(cursor_, end - cursor_);
            }
            break;
        case Key::Up:
            if (browsing_ > 0) Recall(browsing_ - 1);
            break;
        case Key::Down:
            if (browsing_ < history_.size()) Recall(browsing_ + 1);
            break;
        case Key::None: break;
    }
}

void LineEditor::Recall(size_t index) {
    if (browsing_ == history_.size()) draft_ = line_;
    browsing_ = index;
    line_ = index == history_.size() ? draft_ : history_[index];
    cursor_ = line_.size();
}

}  // namespace zragent
