#include <io.h>

#include <atomic>

#include "Console.h"
#include "platform/platform.h"

namespace zragent {

namespace {

std::atomic<bool> g_interrupted{false};

BOOL WINAPI OnControl(DWORD event) {
    if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) return FALSE;
    g_interrupted = true;
    return TRUE;
}

}  // namespace

bool IsTerminal(FILE* stream) { return _isatty(_fileno(stream)) != 0; }

// The console's line input already edits (arrows, Home, End, Backspace,
// Delete) and keeps a history (Up, Down, F7); the prompt is all zragent adds.
bool ReadEditedLine(FILE* in, const std::string& prompt, std::vector<std::string>&, std::string& line) {
    std::fputs(prompt.c_str(), stdout);
    std::fflush(stdout);
    line.clear();
    int c;
    while ((c = std::fgetc(in)) != EOF && c != '\n') line += static_cast<char>(c);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return c != EOF || !line.empty();
}

void CatchInterrupts() { SetConsoleCtrlHandler(OnControl, TRUE); }

bool Interrupted() { return g_interrupted; }

}  // namespace zragent
