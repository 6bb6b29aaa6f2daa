// Lines of the shell: edited with history on a terminal where line editing
// is available, read plainly from a script otherwise.
#pragma once

#include <cstdio>
#include <string>

namespace zragent {

class LineReader {
public:
    LineReader(FILE* in, std::string prompt);
    // False at the end of the input.
    bool Next(std::string& line);

private:
    FILE* in_;
    std::string prompt_;
    bool interactive_;
};

}  // namespace zragent
