// printf-style formatting into a std::string for the text forms of bodies.
#pragma once

#include <string>

namespace zrmessages {

#if defined(__GNUC__)
__attribute__((format(printf, 1, 2)))
#endif
std::string FormatText(const char* format, ...);

}  // namespace zrmessages
