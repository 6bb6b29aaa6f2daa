#include "LineReader.h"

#include "Console.h"

namespace zragent {

LineReader::LineReader(FILE* in, std::string prompt)
    : in_(in), prompt_(std::move(prompt)), interactive_(IsTerminal(in) && IsTerminal(stdout)) {}

bool LineReader::Next(std::string& line) {
    if (interactive_) return ReadEditedLine(in_, prompt_, history_, line);
    line.clear();
    int c;
    while ((c = std::fgetc(in_)) != EOF && c != '\n') line += static_cast<char>(c);
    if (c == EOF && line.empty()) return false;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return true;
}

}  // namespace zragent
