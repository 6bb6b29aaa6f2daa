// A short byte dump for log lines: "[<hex>]='<characters>'".
#pragma once

#include <cstddef>
#include <string>

// Two lower-case hexadecimal digits per byte, then the bytes as characters:
// a NUL as a blank, a byte below 32 or above 213 as '?'.
std::string HexDumpForLog(const void* bytes, size_t count);
