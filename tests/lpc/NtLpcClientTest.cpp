// What the client puts on the wire and how it keeps its connections, with
// the native port calls answered from memory.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "ScriptedPorts.h"

namespace {

using lpctest::ScriptedLpcClient;

LpcDataDescriptor DescriptorOf(const LpcPortMessage& message) {
    LpcDataDescriptor descriptor;
    std::memcpy(&descriptor, message.data, sizeof(descriptor));
    return descriptor;
}

TEST(NtLpcClientWire, InlineBelow232BytesAndIndirectFrom232) {
    struct Case {
        size_t size;
        DWORD type;
        bool indirect;
        uint16_t dataLength;
    };
    const Case cases[] = {
        {0, LPC_TYPE_ASYNC, false, 32},     // an empty datagram
        {231, LPC_TYPE_SYNC, false, 263},  {232, LPC_TYPE_ASYNC, true, 72},
        {70000, LPC_TYPE_CALL, true, 72},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::to_string(c.size) + " bytes, type " + std::to_string(c.type));
        ScriptedLpcClient client(L"Group");
        std::string data(c.size, 'd');
        ASSERT_EQ(client.SendMessage(77, -3, reinterpret_cast<BYTE*>(data.data()), static_cast<DWORD>(c.size), c.type),
                  0);
        ASSERT_EQ(client.sent.size(), 1u);
        const LpcPortMessage& m = client.sent[0];
        EXPECT_EQ(m.header.DataLength, c.dataLength);
        EXPECT_EQ(m.header.TotalLength, 304);
        EXPECT_EQ(m.header.Type, 0);
        EXPECT_EQ(m.header.DataInfoOffset, c.indirect ? 56 : 0);
        EXPECT_EQ(m.header.ClientProcessId | m.header.ClientThreadId | m.header.MessageId | m.header.ClientViewSize,
                  0u);
        EXPECT_EQ(m.info.pad[0] | m.info.pad[1] | m.info.pad[2] | m.info.pad[3], 0u);
        EXPECT_EQ(m.info.type, c.type);
        EXPECT_EQ(m.info.indirect, c.indirect ? 1 : 0);
        EXPECT_EQ(m.info.cmd, -3);
        EXPECT_EQ(m.info.size, c.size);
        if (c.indirect) {
            const LpcDataDescriptor d = DescriptorOf(m);
            const auto address = reinterpret_cast<uintptr_t>(data.data());
            EXPECT_EQ(d.count, 2u);
            EXPECT_EQ(d.address32, static_cast<uint32_t>(address));
            EXPECT_EQ(d.length32, c.size);
            EXPECT_EQ(d.zero32[0] | d.zero32[1] | d.zero32[2], 0u);
            EXPECT_EQ(d.address64, static_cast<uint64_t>(address));
            EXPECT_EQ(d.length64, c.size);
            EXPECT_EQ(d.zero64, 0u);
        } else {
            EXPECT_EQ(std::string(reinterpret_cast<const char*>(m.data), c.size), data);
        }
    }
}

TEST(NtLpcClientWire, InlineCallCopiesBackExactlyWhatItSentWhateverTheReplySays) {
    ScriptedLpcClient client(L"Group");
    client.replyToSend.header.DataLength = 264;
    client.replyToSend.info.size = 200;  // the reply claims more than was sent
    std::memset(client.replyToSend.data, 'R', 232);
    std::string buffer = std::string(10, 'c') + "guard";
    ASSERT_EQ(client.SendMessage(1, 0, reinterpret_cast<BYTE*>(buffer.data()), 10, LPC_TYPE_CALL), 0);
    EXPECT_EQ(buffer, std::string(10, 'R') + "guard");
}

TEST(NtLpcClientCache, ConnectsOncePerProcessOrExplicitNameAndClosesWhatItCached) {
    std::vector<HANDLE> closed;
    auto client = std::make_unique<ScriptedLpcClient>(L"CModule");
    client->closeLog = &closed;
    // Reuse of a cached connection is the two-process transport test's.
    HANDLE first = nullptr, other = nullptr;
    EXPECT_EQ(client->ConnectDestinationPort(10, &first), 0);
    EXPECT_EQ(client->ConnectDestinationPort(20, &other), 0);
    EXPECT_NE(first, other);
    EXPECT_EQ(client->connectedNames,
              (std::vector<std::wstring>{L"\\RPC Control\\CModule10", L"\\RPC Control\\CModule20"}));

    EXPECT_TRUE(client->CloseDestinationPort(10));
    EXPECT_EQ(closed, (std::vector<HANDLE>{first}));
    client.reset();  // the cache's last connection goes with the client
    EXPECT_EQ(closed, (std::vector<HANDLE>{first, other}));

    // An explicit port name serves every destination.
    ScriptedLpcClient fixed(L"CModule", L"Fixed");
    EXPECT_EQ(fixed.ConnectDestinationPort(10, nullptr), 0);
    EXPECT_EQ(fixed.ConnectDestinationPort(20, nullptr), 0);
    EXPECT_EQ(fixed.connectedNames, (std::vector<std::wstring>{L"\\RPC Control\\Fixed", L"\\RPC Control\\Fixed"}));
}

TEST(NtLpcClientCache, FailedConnectionIsNeverCached) {
    struct Case {
        const char* name;
        NTSTATUS connect, registration;
        size_t closes;
    };
    const Case cases[] = {
        {"connect refused", static_cast<NTSTATUS>(0xC0000034u), 0, 0},
        {"registration refused", 0, static_cast<NTSTATUS>(0xC0000008u), 1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ScriptedLpcClient client(L"G");
        client.connectStatus = c.connect;
        client.registerStatus = c.registration;
        std::string data = "d";
        const NTSTATUS expected = c.connect ? c.connect : c.registration;
        EXPECT_EQ(client.SendMessage(5, 1, reinterpret_cast<BYTE*>(data.data()), 1, LPC_TYPE_SYNC), expected);
        EXPECT_TRUE(client.sent.empty());
        EXPECT_EQ(client.closed.size(), c.closes);
        EXPECT_FALSE(client.CloseDestinationPort(5));
    }
}

}  // namespace
