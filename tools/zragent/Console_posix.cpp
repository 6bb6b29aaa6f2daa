#include <signal.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>

#include "Console.h"
#include "LineEditor.h"

namespace zragent {

namespace {

std::atomic<bool> g_interrupted{false};

void OnInterrupt(int) { g_interrupted = true; }

// The terminal in raw input mode for one line: bytes arrive as typed, not
// echoed, and Ctrl-C reaches the editor instead of ending the process.
// Output processing stays as it was, so "\n" still starts a new line.
class RawInput {
public:
    explicit RawInput(int fd) : fd_(fd), saved_(tcgetattr(fd, &original_) == 0) {
        if (!saved_) return;
        termios raw = original_;
        raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | ISIG | IEXTEN);
        raw.c_iflag &= ~static_cast<tcflag_t>(ICRNL | IXON);
        raw.c_cc[VMIN] = 1;
        raw.c_cc[VTIME] = 0;
        tcsetattr(fd, TCSANOW, &raw);
    }
    ~RawInput() {
        if (saved_) tcsetattr(fd_, TCSANOW, &original_);
    }
    RawInput(const RawInput&) = delete;
    RawInput& operator=(const RawInput&) = delete;

private:
    int fd_;
    termios original_{};
    bool saved_;
};

void Show(const std::string& text) {
    std::fputs(text.c_str(), stdout);
    std::fflush(stdout);
}

// The prompt and the line again, the rest of the old one erased, the
// cursor put back where the editor has it.
void Redraw(const std::string& prompt, const LineEditor& editor) {
    std::string text = "\r" + prompt + editor.Line() + "\x1b[K";
    if (const size_t back = editor.CharactersAfterCursor()) text += "\x1b[" + std::to_string(back) + "D";
    Show(text);
}

}  // namespace

bool IsTerminal(FILE* stream) { return isatty(fileno(stream)) != 0; }

bool ReadEditedLine(FILE* in, const std::string& prompt, std::vector<std::string>& history, std::string& line) {
    const int fd = fileno(in);
    RawInput raw(fd);
    LineEditor editor(history);
    Show(prompt);
    for (;;) {
        char byte;
        if (read(fd, &byte, 1) != 1) {
            Show("\n");
            return false;
        }
        switch (editor.Feed(byte)) {
            case LineEditor::State::Editing: Redraw(prompt, editor); break;
            case LineEditor::State::Done:
                Show("\n");
                line = editor.Line();
                return true;
            case LineEditor::State::Cancelled:
                Show("^C\n" + prompt);
                break;
            case LineEditor::State::EndOfInput: Show("\n"); return false;
        }
    }
}

void CatchInterrupts() {
    struct sigaction action {};
    action.sa_handler = OnInterrupt;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
}

bool Interrupted() { return g_interrupted; }

}  // namespace zragent
