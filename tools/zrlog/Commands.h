// What the zrlog commands share: exit codes, file arguments and the checks
// every command that reads a log makes first.
#pragma once

#include <string>

#include "log/LogReader.h"

namespace zrlogtool {

constexpr int kExitOk = 0;
constexpr int kExitBad = 1;
constexpr int kExitUsage = 2;

struct FileArguments {
    std::string path;
    std::string name;
    std::string last;  // verify --last: a chain hash the operator kept
    bool nameGiven = false;
};

// Missing and unreadable files are usage-level errors (said on stderr).
bool CheckReadable(const std::string& path);
// Anything that does not even begin with a time stamp is not a log (said on stderr).
bool NotALogFile(const std::string& path);
bool IsMalformed(const std::string& error);
// Prints "TIMESTAMP LINE" with the line's control characters escaped.
void PrintRecord(const zrlog::Record& record);

// zrlog follow FILE: prints records as they are appended until SIGINT or SIGTERM.
int Follow(const FileArguments& args);

}  // namespace zrlogtool
