// The framing of the byte stream between the two ends of a port connection
// (a SOCK_STREAM Unix socket). A stream rather than SOCK_SEQPACKET because
// indirect data of several megabytes travels in the same frame as its
// message, and a stream has no record-size limit.
//
// A frame is a fixed 24-byte header, then the 328-byte port message record
// when the kind carries one, then dataBytes of data (indirect data, written
// data, or connection information). Both ends are this layer on one machine,
// so integers are in host order.
//
// This file is pure (no I/O) so the parser can be fuzzed on its own.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zrwin::ntport {

constexpr uint32_t kFrameMagic = 0x4F50525Au;  // "ZRPO"
constexpr size_t kRecordSize = 328;
// Connection information travels in the connection-request message after
// its header, so it must fit the record.
constexpr uint32_t kMaxConnectionInfo = kRecordSize - 24;
// Indirect data is bounded so a broken or hostile peer cannot make the
// receiver allocate without limit.
constexpr uint32_t kMaxFrameData = 256u * 1024u * 1024u;

enum class FrameKind : uint16_t {
    Connect = 1,      // client -> server: value = thread id, data = connection information
    Accepted = 2,     // server -> client: value = the port's maximum message length
    Refused = 3,      // server -> client: value = the NTSTATUS the connect returns
    Request = 4,      // client -> server: token, value = thread id, record, data = indirect data
    Datagram = 5,     // client -> server: value = thread id, record
    Reply = 6,        // server -> client: token, value = NTSTATUS, record, data = written data
    Close = 7,        // client -> server: the client closed its port handle
    ThreadEnded = 8,  // client -> server: value = the registered thread that ended
};

struct FrameHeader {
    uint32_t magic;
    uint16_t kind;
    uint16_t reserved;
    uint32_t token;  // the client's number for a request; its reply carries it back
    uint32_t value;
    uint32_t recordBytes;  // 0 or kRecordSize, fixed by the kind
    uint32_t dataBytes;
};
static_assert(sizeof(FrameHeader) == 24, "frame header layout");

// A complete frame found in received bytes; record and data point into them.
struct FrameView {
    FrameHeader header;
    const uint8_t* record;  // kRecordSize bytes, or null
    const uint8_t* data;    // header.dataBytes bytes, or null when none
    size_t frameBytes;      // how many input bytes the frame took
};

enum class ParseResult {
    NeedMore,  // the input is a valid but incomplete beginning of a frame
    Complete,  // out describes the frame at the start of the input
    Invalid,   // the input cannot begin a frame: the peer is broken
};

// Parses the frame at the start of bytes[0, size). Reads nothing beyond size.
ParseResult ParseFrame(const uint8_t* bytes, size_t size, FrameView& out);

// The whole size of the frame whose header starts bytes, or 0 when fewer
// than a header's bytes are there or the header is invalid. Lets a reader
// size its buffer once for a large frame.
size_t ExpectedFrameSize(const uint8_t* bytes, size_t size);

FrameHeader MakeFrameHeader(FrameKind kind, uint32_t token, uint32_t value, uint32_t dataBytes);

}  // namespace zrwin::ntport
