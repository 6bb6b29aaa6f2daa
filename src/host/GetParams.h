// The host's command line: "PID(<parent pid>) LPCNAME(<group>)" anywhere in
// the text that follows the entry name, keys in any case.
#pragma once

#include <string>

#include "platform/platform.h"

struct ModuleStartParams {
    // The parent, receiver of every notification; 0 when absent or not a number.
    DWORD notifyPid = 0;
    // The LPC port group the host serves.
    std::wstring groupName = L"CModule";
};

// The value of KEY(value) in the command line, taken from the command line
// itself: the first occurrence of the key (any case) followed by "(" at the
// start or after a character that is neither a letter nor a digit, up to the
// first ")" after it or the end. False when absent or empty.
bool FindCommandLineValue(const char* commandLine, const char* key, std::string& value);

// Fills params from the command line. Always false (the caller ignores it).
// Throws std::runtime_error when the group name cannot be converted.
bool GetParams(const char* commandLine, ModuleStartParams& params);
