// The one port message that crosses the process boundary between the host
// and its parent: 328 bytes, identical on every build, 32- or 64-bit.
// The platform layer keeps its own copy of this layout; a test compares the
// two field by field.
#pragma once

#include <cstddef>
#include <cstdint>

// The kernel's 32-bit port-message header (bytes 0 to 23).
struct LpcPortMessageHeader {
    uint16_t DataLength;      // 32 + payload length
    uint16_t TotalLength;     // always 304
    uint16_t Type;            // set by the kernel on delivery
    uint16_t DataInfoOffset;  // 56 when the data is indirect, else 0
    uint32_t ClientProcessId;
    uint32_t ClientThreadId;
    uint32_t MessageId;
    uint32_t ClientViewSize;
};

// What the transport says about the data (bytes 24 to 55).
struct MessageInfo {
    uint32_t pad[4];
    uint32_t type;  // LpcMessageType
    uint8_t indirect;
    uint8_t unused[3];
    int32_t cmd;
    uint32_t size;  // length of the caller's data, also when it travels indirectly
};

// Indirect data descriptor at offset 56: one entry for a 32-bit kernel
// (count, then 8-byte entries) and one for a 64-bit kernel (count, then
// 16-byte entries from offset 8), both naming the same data.
struct LpcDataDescriptor {
    uint32_t count;  // 2
    uint32_t address32;
    uint32_t length32;
    uint32_t zero32[3];
    uint64_t address64;
    uint32_t length64;
    uint32_t zero64;
};

constexpr size_t kLpcMessageSize = 328;
constexpr size_t kLpcHeaderSize = 24;
constexpr size_t kLpcMessageInfoOffset = 24;
constexpr size_t kLpcDataOffset = 56;
constexpr size_t kLpcPayloadCapacity = kLpcMessageSize - kLpcDataOffset;  // 272
constexpr uint16_t kLpcTotalLength = 304;        // also the server port's maximum message length
constexpr uint32_t kLpcInlineLimit = 232;        // data of this size or more travels indirectly
constexpr uint32_t kLpcReplyDataSize = 232;      // data bytes of an inline reply
constexpr uint16_t kLpcReplyDataLength = 264;    // 32 + kLpcReplyDataSize
constexpr uint32_t kLpcDescriptorEntries = 2;

struct LpcPortMessage {
    LpcPortMessageHeader header;
    MessageInfo info;
    uint8_t data[kLpcPayloadCapacity];
};

// Transport-level message types (MessageInfo.type).
enum LpcMessageType : uint32_t {
    LPC_TYPE_ASYNC = 0,
    LPC_TYPE_SYNC = 1,
    LPC_TYPE_CALL = 2,
};

// Header types as the kernel delivers them.
enum LpcDeliveredType : uint16_t {
    LPC_DELIVERED_REQUEST = 1,
    LPC_DELIVERED_REPLY = 2,
    LPC_DELIVERED_DATAGRAM = 3,
    LPC_DELIVERED_PORT_CLOSED = 5,
    LPC_DELIVERED_CLIENT_DIED = 6,
    LPC_DELIVERED_CONNECTION_REQUEST = 10,
};

static_assert(sizeof(LpcPortMessageHeader) == 24);
static_assert(offsetof(LpcPortMessageHeader, DataLength) == 0);
static_assert(offsetof(LpcPortMessageHeader, TotalLength) == 2);
static_assert(offsetof(LpcPortMessageHeader, Type) == 4);
static_assert(offsetof(LpcPortMessageHeader, DataInfoOffset) == 6);
static_assert(offsetof(LpcPortMessageHeader, ClientProcessId) == 8);
static_assert(offsetof(LpcPortMessageHeader, ClientThreadId) == 12);
static_assert(offsetof(LpcPortMessageHeader, MessageId) == 16);
static_assert(offsetof(LpcPortMessageHeader, ClientViewSize) == 20);

static_assert(sizeof(MessageInfo) == 32);
static_assert(offsetof(MessageInfo, pad) == 0);
static_assert(offsetof(MessageInfo, type) == 16);
static_assert(offsetof(MessageInfo, indirect) == 20);
static_assert(offsetof(MessageInfo, cmd) == 24);
static_assert(offsetof(MessageInfo, size) == 28);

static_assert(sizeof(LpcDataDescriptor) == 40);
static_assert(offsetof(LpcDataDescriptor, count) == 0);
static_assert(offsetof(LpcDataDescriptor, address32) == 4);
static_assert(offsetof(LpcDataDescriptor, length32) == 8);
static_assert(offsetof(LpcDataDescriptor, address64) == 24);
static_assert(offsetof(LpcDataDescriptor, length64) == 32);
static_assert(offsetof(LpcDataDescriptor, zero64) == 36);

static_assert(sizeof(LpcPortMessage) == kLpcMessageSize);
static_assert(offsetof(LpcPortMessage, header) == 0);
static_assert(offsetof(LpcPortMessage, info) == kLpcMessageInfoOffset);
static_assert(offsetof(LpcPortMessage, data) == kLpcDataOffset);
static_assert(kLpcDataOffset + sizeof(LpcDataDescriptor) <= kLpcMessageSize);
static_assert(kLpcDataOffset + kLpcReplyDataSize <= kLpcMessageSize - 2);
