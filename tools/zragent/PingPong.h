// The baseline of the benchmark: the same number of round trips of the same
// size between this process and a child of its own over AF_UNIX socket
// pairs, with nothing in between.
#pragma once

#include <string>

#include "LatencyStats.h"

namespace zragent {

// Forks the echoing child (call before this process starts threads), runs
// `requests` round trips of `payload` bytes over `concurrency` socket pairs,
// one sending thread each, and reaps the child. False with a reason when the
// child or the sockets could not be made.
bool RunPingPong(int requests, int concurrency, int payload, LatencySummary& summary, std::string& error);

}  // namespace zragent
