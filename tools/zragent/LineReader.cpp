#include "LineReader.h"

#include <unistd.h>

#include <cstdlib>

#ifdef ZRAGENT_HAVE_READLINE
#include <readline/history.h>
#include <readline/readline.h>
#endif

namespace zragent {

LineReader::LineReader(FILE* in, std::string prompt)
    : in_(in), prompt_(std::move(prompt)), interactive_(isatty(fileno(in)) && isatty(fileno(stdout))) {}

bool LineReader::Next(std::string& line) {
#ifdef ZRAGENT_HAVE_READLINE
    if (interactive_ && in_ == stdin) {
        char* text = readline(prompt_.c_str());
        if (!text) return false;
        line = text;
        if (*text) add_history(text);
        std::free(text);
        return true;
    }
#endif
    if (interactive_) {
        std::fputs(prompt_.c_str(), stdout);
        std::fflush(stdout);
    }
    line.clear();
    int c;
    while ((c = std::fgetc(in_)) != EOF && c != '\n') line += static_cast<char>(c);
    if (c == EOF && line.empty()) return false;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    return true;
}

}  // namespace zragent
