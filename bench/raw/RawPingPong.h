// The raw reference the benchmarks and `zragent bench` measure the product
// against: round trips of the same bytes between two processes over an
// AF_UNIX socket pair (SOCK_SEQPACKET, one message per send), with nothing
// in between.
#pragma once

#include <cstddef>
#include <vector>

namespace zrbench {

// The first byte of a message that wants no answer (a datagram stream).
constexpr char kOneWay = 'D';

// A connected pair. Inheritable ends survive exec, for a serving process
// that is this program started again; otherwise both are close-on-exec.
bool MakeSocketPair(int fds[2], bool inheritable);

// The echoing side: answers every message with the same bytes (one-way
// messages get none) until the socket ends. Echo serves one socket on the
// calling thread; EchoAll serves several from one thread, taking each
// message as poll reports it, until all of them have ended.
void Echo(int fd);
void EchoAll(const std::vector<int>& fds);

// One round trip of size bytes; false when the send failed or the answer
// did not come whole.
bool RoundTrip(int fd, const char* data, size_t size, char* answer);
bool SendOneWay(int fd, const char* data, size_t size);

}  // namespace zrbench
