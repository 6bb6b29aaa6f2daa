#include "PingPong.h"

namespace zragent {

bool PingPongAvailable() { return false; }

bool RunPingPong(int, int, int, LatencySummary&, std::string& error) {
    error = "the raw AF_UNIX ping-pong runs on Linux only";
    return false;
}

}  // namespace zragent
