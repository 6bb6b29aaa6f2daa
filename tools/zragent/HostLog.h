// The host's sealed log, read back for error reports: the last lines the
// host wrote, and the result of its last start.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace zragent {

// The log file in the host's working directory.
std::string HostLogPath(const std::string& hostDir);

// The last `count` decrypted lines written by process `pid` (all processes
// when pid is 0); empty when the file cannot be read.
std::vector<std::string> LastHostLogLines(const std::string& path, uint32_t pid, size_t count);

// The outcome of the host's last start as its log tells it: true with the
// result code when a "Module started" (0) or "Start failed ... err:N" line
// of process pid is found.
bool LastStartResultFromLog(const std::string& path, uint32_t pid, int32_t& result);

}  // namespace zragent
