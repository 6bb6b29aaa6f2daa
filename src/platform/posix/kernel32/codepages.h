// Windows-1252 tables shared inside the layer.
#pragma once

namespace zrwin {

// The character of a 1252 byte (total: undefined bytes decode to U+0081 etc.).
wchar_t Decode1252(unsigned char byte);
// The 1252 byte of a character, or -1 when it has none.
int Encode1252(wchar_t c);

}  // namespace zrwin
