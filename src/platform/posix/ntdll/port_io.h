// Socket plumbing of the NT ports: the abstract socket address of a port
// name, reading frames from a non-blocking socket, writing whole frames, and
// the checks and copies the sending side makes on a port message.
#pragma once

#include <sys/socket.h>
#include <sys/un.h>

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "ntdll/port_frame.h"
#include "zrwin/ntport.h"

namespace zrwin::ntport {

// NTSTATUS values the port code needs beyond the shared header.
constexpr NTSTATUS kStatusObjectPathSyntaxBad = static_cast<NTSTATUS>(0xC000003Bu);
constexpr NTSTATUS kStatusWait0 = 0;

using Record = std::array<uint8_t, kRecordSize>;

struct OwnedFrame {
    FrameHeader header{};
    Record record{};
    std::vector<uint8_t> data;
};

// Collects bytes from a socket and cuts them into frames. Not thread-safe:
// one reader at a time, which its owner arranges.
class FrameReader {
public:
    enum class Fill { Open, Closed };
    // Reads everything the descriptor has now without blocking. Closed on end
    // of stream or a socket error (what came before it is kept).
    Fill ReadAvailable(int fd);
    // The next complete frame, if one is buffered.
    bool Next(OwnedFrame& frame);
    // The peer sent bytes that cannot be a frame; nothing more is parsed.
    bool Broken() const { return broken_; }

private:
    std::vector<uint8_t> buffer_;
    size_t start_ = 0;  // first byte not yet parsed
    size_t used_ = 0;   // bytes of buffer_ holding data
    bool broken_ = false;
};

// Writes the whole frame, waiting for room when the socket is full (at most
// timeoutMs; -1 waits as long as the peer lives). STATUS_PORT_DISCONNECTED
// when the peer is gone. The caller serialises writers of one socket.
NTSTATUS SendFrame(int fd, const FrameHeader& header, const void* record, const void* data, int timeoutMs = -1);

// The abstract-namespace address of a port name (UTF-8). A name too long for
// sun_path keeps a prefix and gains a hash of the whole.
void PortAddress(const std::string& name, sockaddr_un& address, socklen_t& length);

// The port name of a counted wide string as UTF-8; an NTSTATUS for names that
// cannot name a port.
NTSTATUS PortNameFromUnicode(const UNICODE_STRING* name, std::string& utf8);

// The status of a failed socket call (core/status.h reads every other errno).
NTSTATUS StatusFromErrno(int error);

// The length checks a port makes on a message before it travels.
NTSTATUS CheckMessageLength(const PORT_MESSAGE& header, ULONG maxMessageLength);

// The sending side's indirect data: where the descriptor of this build points
// and a copy of those bytes. A message without a descriptor gives no data.
struct IndirectData {
    bool present = false;
    uint64_t address = 0;
    uint32_t length = 0;
    std::vector<uint8_t> bytes;
};
NTSTATUS ReadIndirectData(const Record& record, IndirectData& out);

// Copies within this process through the kernel, so a bad address the caller
// put in a descriptor fails with STATUS_ACCESS_VIOLATION instead of crashing.
NTSTATUS CopyToCallerMemory(uint64_t address, const void* source, size_t length);

// The number of entries of a message's descriptor (0 without one).
uint32_t DescriptorCount(const Record& record);

uint32_t CurrentThreadId();

}  // namespace zrwin::ntport
