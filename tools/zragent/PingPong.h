// The baseline of `zragent bench`: the same number of round trips of the
// same size between this process and a child of its own over raw AF_UNIX
// socket pairs (bench/raw), with nothing in between. Linux only: the
// Windows build reports the host's figures alone.
#pragma once

#include <string>

#include "LatencyStats.h"

namespace zragent {

// False where this build has no raw baseline.
bool PingPongAvailable();

// Forks the echoing child (call before this process starts threads), runs
// `requests` round trips of `payload` bytes over `concurrency` socket pairs,
// one sending thread each, and reaps the child. False with a reason when the
// child or the sockets could not be made.
bool RunPingPong(int requests, int concurrency, int payload, LatencySummary& summary, std::string& error);

}  // namespace zragent
