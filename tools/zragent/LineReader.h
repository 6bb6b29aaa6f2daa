// Lines of the shell: edited with history on a terminal, read plainly from
// a script otherwise.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

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
    std::vector<std::string> history_;
};

}  // namespace zragent
