#include "ntdll/port_frame.h"

#include <cstring>

namespace zrwin::ntport {
namespace {

bool CarriesRecord(FrameKind kind) {
    return kind == FrameKind::Request || kind == FrameKind::Datagram || kind == FrameKind::Reply;
}

uint32_t MaxDataOf(FrameKind kind) {
    switch (kind) {
        case FrameKind::Connect:
            return kMaxConnectionInfo;
        case FrameKind::Request:
        case FrameKind::Reply:
            return kMaxFrameData;
        default:
            return 0;
    }
}

bool KnownKind(uint16_t kind) {
    return kind >= static_cast<uint16_t>(FrameKind::Connect) && kind <= static_cast<uint16_t>(FrameKind::ThreadEnded);
}

bool ValidHeader(const FrameHeader& header) {
    if (header.magic != kFrameMagic || header.reserved != 0 || !KnownKind(header.kind)) return false;
    const auto kind = static_cast<FrameKind>(header.kind);
    if (header.recordBytes != (CarriesRecord(kind) ? kRecordSize : 0)) return false;
    return header.dataBytes <= MaxDataOf(kind);
}

}  // namespace

ParseResult ParseFrame(const uint8_t* bytes, size_t size, FrameView& out) {
    if (size == 0) return ParseResult::NeedMore;
    if (size < sizeof(FrameHeader)) {
        // A wrong magic is caught as early as its bytes are there.
        uint8_t magic[4];
        std::memcpy(magic, &kFrameMagic, sizeof magic);
        return std::memcmp(bytes, magic, size < 4 ? size : 4) == 0 ? ParseResult::NeedMore : ParseResult::Invalid;
    }
    FrameHeader header;
    std::memcpy(&header, bytes, sizeof header);
    if (!ValidHeader(header)) return ParseResult::Invalid;
    const size_t total = sizeof header + header.recordBytes + header.dataBytes;
    if (size < total) return ParseResult::NeedMore;
    out.header = header;
    out.record = header.recordBytes ? bytes + sizeof header : nullptr;
    out.data = header.dataBytes ? bytes + sizeof header + header.recordBytes : nullptr;
    out.frameBytes = total;
    return ParseResult::Complete;
}

size_t ExpectedFrameSize(const uint8_t* bytes, size_t size) {
    if (size < sizeof(FrameHeader)) return 0;
    FrameHeader header;
    std::memcpy(&header, bytes, sizeof header);
    if (!ValidHeader(header)) return 0;
    return sizeof header + header.recordBytes + header.dataBytes;
}

FrameHeader MakeFrameHeader(FrameKind kind, uint32_t token, uint32_t value, uint32_t dataBytes) {
    FrameHeader header{};
    header.magic = kFrameMagic;
    header.kind = static_cast<uint16_t>(kind);
    header.token = token;
    header.value = value;
    header.recordBytes = CarriesRecord(kind) ? static_cast<uint32_t>(kRecordSize) : 0;
    header.dataBytes = dataBytes;
    return header;
}

}  // namespace zrwin::ntport
