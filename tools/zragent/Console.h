// What zragent needs of the console it runs in: whether a stream is a
// terminal, one edited line from it, and Ctrl-C caught instead of ending
// the process (for `run --keep`).
#pragma once

#include <cstdio>
#include <string>
#include <vector>

namespace zragent {

bool IsTerminal(FILE* stream);

// One line typed on the terminal `in`, after the prompt, with editing and
// the history (on Linux the keys of LineEditor; on Windows the console's
// own line input). False at the end of the input.
bool ReadEditedLine(FILE* in, const std::string& prompt, std::vector<std::string>& history, std::string& line);

// From now on Ctrl-C (and a request to terminate) sets a flag instead of
// ending the process.
void CatchInterrupts();
bool Interrupted();

}  // namespace zragent
