// Text conversions of the files, paths and registry part of the layer.
// File-system names are UTF-8; ANSI names go through the ANSI code page.
#pragma once

#include <string>

#include "zrwin/types.h"

namespace zrwin {

std::string WideToUtf8(const std::wstring& text);
std::wstring Utf8ToWide(const std::string& text);

// ANSI (CP_ACP) conversions; characters without an ANSI form become '?'.
std::wstring AnsiToWide(const char* text);
std::string WideToAnsi(const std::wstring& text);

// Case folding for the case-insensitive comparisons Windows makes on names.
std::wstring FoldCase(const std::wstring& text);

}  // namespace zrwin
