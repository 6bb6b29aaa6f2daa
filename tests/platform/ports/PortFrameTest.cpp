// The framing that carries port messages between processes: a frame is
// recognised only whole, and a broken peer's bytes are refused early.
#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "ntdll/port_frame.h"

using namespace zrwin::ntport;

namespace {

std::vector<uint8_t> Frame(FrameKind kind, uint32_t dataBytes) {
    const FrameHeader header = MakeFrameHeader(kind, 7, 9, dataBytes);
    std::vector<uint8_t> bytes(sizeof header + header.recordBytes + dataBytes, 0xAB);
    std::memcpy(bytes.data(), &header, sizeof header);
    return bytes;
}

}  // namespace

TEST(PortFrame, WholeFramesParseAndEveryPrefixNeedsMore) {
    for (auto [kind, data] : {std::pair{FrameKind::Request, 1000u},
                              {FrameKind::Datagram, 0u},
                              {FrameKind::Close, 0u},
                              {FrameKind::Connect, 10u}}) {
        SCOPED_TRACE(static_cast<int>(kind));
        const auto bytes = Frame(kind, data);
        FrameView view{};
        for (size_t size = 0; size < bytes.size(); ++size) {
            ASSERT_EQ(ParseFrame(bytes.data(), size, view), ParseResult::NeedMore) << size;
        }
        ASSERT_EQ(ParseFrame(bytes.data(), bytes.size(), view), ParseResult::Complete);
        EXPECT_EQ(view.frameBytes, bytes.size());
        EXPECT_EQ(view.header.token, 7u);
        EXPECT_EQ(view.record != nullptr, kind == FrameKind::Request || kind == FrameKind::Datagram);
        EXPECT_EQ(view.data != nullptr, data != 0);
        EXPECT_EQ(ExpectedFrameSize(bytes.data(), bytes.size()), bytes.size());
    }
}

TEST(PortFrame, BrokenHeadersAreInvalid) {
    struct Case {
        const char* what;
        void (*spoil)(FrameHeader&);
    } cases[] = {
        {"magic", [](FrameHeader& h) { h.magic ^= 1; }},
        {"kind", [](FrameHeader& h) { h.kind = 99; }},
        {"reserved", [](FrameHeader& h) { h.reserved = 1; }},
        {"record size", [](FrameHeader& h) { h.recordBytes = 327; }},
        {"data on a datagram", [](FrameHeader& h) { h.dataBytes = 1; }},
        {"data beyond the limit",
         [](FrameHeader& h) {
             h.kind = static_cast<uint16_t>(FrameKind::Request), h.recordBytes = kRecordSize,
             h.dataBytes = kMaxFrameData + 1;
         }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        FrameHeader header = MakeFrameHeader(FrameKind::Datagram, 0, 0, 0);
        c.spoil(header);
        FrameView view{};
        EXPECT_EQ(ParseFrame(reinterpret_cast<const uint8_t*>(&header), sizeof header, view), ParseResult::Invalid);
    }
    const uint8_t noise[2] = {0x00, 0x01};
    FrameView view{};
    EXPECT_EQ(ParseFrame(noise, sizeof noise, view), ParseResult::Invalid);
}
