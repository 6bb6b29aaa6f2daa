// The port message's text forms for log lines, port names and the list of
// connections.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "ipc/lpc/LpcMessage.h"
#include "ipc/lpc/NtLpcClient.h"
#include "ipc/lpc/NtLpcPortList.h"

namespace {

TEST(LpcMessageText, HeaderListsEveryFieldInDecimal) {
    LpcPortMessageHeader header{};
    header.DataLength = 72;
    header.TotalLength = 304;
    header.Type = 1;
    header.DataInfoOffset = 56;
    header.ClientProcessId = 4000000000u;
    header.ClientThreadId = 17;
    header.MessageId = 99;
    header.ClientViewSize = 0;
    EXPECT_EQ(NtLpcClient::PortMessageHeaderText(&header, sizeof(header)),
              "{msgLen:72,len:304,type:1,id:99,pid:4000000000,tid:17,addr:56,shsz:0}");
}

TEST(LpcMessageText, MessageInfoNamesTheTypeAndSaysDirect) {
    struct Case {
        uint32_t type;
        uint8_t indirect;
        const char* text;
    };
    const Case cases[] = {{0, 0, "{pad:[1,2,3,4],type:Async,direct:1,cmd:-5,size:231}"},
                          {1, 1, "{pad:[1,2,3,4],type:Sync,direct:0,cmd:-5,size:231}"},
                          {2, 0, "{pad:[1,2,3,4],type:Call,direct:1,cmd:-5,size:231}"},
                          {3, 7, "{pad:[1,2,3,4],type:3,direct:0,cmd:-5,size:231}"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        MessageInfo info{{1, 2, 3, 4}, c.type, c.indirect, {}, -5, 231};
        EXPECT_EQ(NtLpcClient::MessageInfoText(&info, sizeof(info)), c.text);
    }
    // Nothing for no record or an oversized length.
    LpcPortMessage message{};
    EXPECT_EQ(NtLpcClient::PortMessageHeaderText(nullptr, 24), "");
    EXPECT_EQ(NtLpcClient::PortMessageHeaderText(&message.header, 25), "");
    EXPECT_EQ(NtLpcClient::MessageInfoText(nullptr, 32), "");
    EXPECT_EQ(NtLpcClient::MessageInfoText(&message.info, 33), "");
}

TEST(LpcPortName, IsTheGroupAndPidOrTheExplicitNameAndNeverOverflows) {
    struct Case {
        const wchar_t* explicitName;
        std::wstring group;
        DWORD pid;
        bool fits;
        std::wstring name;
    };
    const std::wstring directory = L"\\RPC Control\\";
    const std::wstring longest(127 - directory.size() - 4, L'g');  // with "1234", exactly 127 characters
    const Case cases[] = {
        {L"", L"CModule", 7, true, L"\\RPC Control\\CModule7"},
        {L"Fixed", L"CModule", 7, true, L"\\RPC Control\\Fixed"},
        {nullptr, longest, 1234, true, directory + longest + L"1234"},
        {nullptr, longest + L"g", 1234, false, L""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.group.size());
        std::vector<wchar_t> buffer(kLpcPortNameCapacity + 8, L'#');  // the tail shows any overflow
        EXPECT_EQ(FormatLpcPortName(c.explicitName, c.group.c_str(), c.pid, buffer.data(), kLpcPortNameCapacity),
                  c.fits);
        if (c.fits) {
            EXPECT_EQ(std::wstring(buffer.data()), c.name);
        }
        for (size_t i = kLpcPortNameCapacity; i < buffer.size(); ++i) EXPECT_EQ(buffer[i], L'#');
    }
}

TEST(NtLpcPortList, FindsAddsNewestFirstAndRemovesTheFirstMatch) {
    NtLpcPortList list;
    auto h = [](uintptr_t v) { return reinterpret_cast<HANDLE>(v); };
    EXPECT_TRUE(list.IsEmpty());
    EXPECT_EQ(list.Find(1), nullptr);
    EXPECT_EQ(list.Remove(1), nullptr);

    list.Add(1, h(10));
    list.Add(2, h(20));
    list.Add(1, h(11));  // no duplicate test: the newest for pid 1 is found first
    EXPECT_EQ(list.Count(), 3u);
    EXPECT_EQ(list.Find(1), h(11));
    EXPECT_EQ(list.Find(2), h(20));

    std::vector<HANDLE> order;
    list.ForEach([&](HANDLE port) { order.push_back(port); });
    EXPECT_EQ(order, (std::vector<HANDLE>{h(11), h(20), h(10)}));

    EXPECT_EQ(list.Remove(1), h(11));
    EXPECT_EQ(list.Find(1), h(10));
    EXPECT_EQ(list.Remove(2), h(20));
    EXPECT_EQ(list.Remove(1), h(10));
    EXPECT_TRUE(list.IsEmpty());

    for (uintptr_t i = 1; i <= 100000; ++i) list.Add(static_cast<DWORD>(i), h(i));
    list.Clear();  // a long list goes without deep recursion
    EXPECT_TRUE(list.IsEmpty());
}

}  // namespace

// The layer's copy of the wire layout and the transport's must agree field by field.
#include "zrwin/ntport.h"

namespace {

TEST(LpcMessageLayout, MatchesThePlatformLayersCopyFieldByField) {
    struct Field {
        const char* name;
        size_t product, layer;
    };
#define ZR_SAME(product, layer, field, layerField)              \
    {#field, offsetof(product, field), offsetof(layer, layerField)}, \
        {#field " width", sizeof(product::field), sizeof(layer::layerField)}
    const Field fields[] = {
        {"header size", sizeof(LpcPortMessageHeader), sizeof(PORT_MESSAGE)},
        ZR_SAME(LpcPortMessageHeader, PORT_MESSAGE, DataLength, DataLength),
        ZR_SAME(LpcPortMessageHeader, PORT_MESSAGE, TotalLength, TotalLength),
        ZR_SAME(LpcPortMessageHeader, PORT_MESSAGE, Type, Type),
        ZR_SAME(LpcPortMessageHeader, PORT_MESSAGE, DataInfoOffset, DataInfoOffset),
        ZR_SAME(LpcPortMessageHeader, PORT_MESSAGE, ClientProcessId, ClientProcessId),
        ZR_SAME(LpcPortMessageHeader, PORT_MESSAGE, ClientThreadId, ClientThreadId),
        ZR_SAME(LpcPortMessageHeader, PORT_MESSAGE, MessageId, MessageId),
        ZR_SAME(LpcPortMessageHeader, PORT_MESSAGE, ClientViewSize, ClientViewSize),
        {"message size", sizeof(LpcPortMessage), sizeof(PORT_MESSAGE_RECORD)},
        {"message size constant", kLpcMessageSize, PORT_MESSAGE_RECORD_SIZE},
        ZR_SAME(LpcPortMessage, PORT_MESSAGE_RECORD, info, MessageInfo),
        ZR_SAME(LpcPortMessage, PORT_MESSAGE_RECORD, data, Payload),
        {"descriptor offset", kLpcDataOffset, PORT_MESSAGE_DATA_INFO_OFFSET},
        {"descriptor size", sizeof(LpcDataDescriptor), sizeof(PORT_DATA_DESCRIPTOR)},
        ZR_SAME(LpcDataDescriptor, PORT_DATA_DESCRIPTOR, count, Count),
        ZR_SAME(LpcDataDescriptor, PORT_DATA_DESCRIPTOR, address32, Address32),
        ZR_SAME(LpcDataDescriptor, PORT_DATA_DESCRIPTOR, length32, Length32),
        ZR_SAME(LpcDataDescriptor, PORT_DATA_DESCRIPTOR, zero32, Unused32),
        ZR_SAME(LpcDataDescriptor, PORT_DATA_DESCRIPTOR, address64, Address64),
        ZR_SAME(LpcDataDescriptor, PORT_DATA_DESCRIPTOR, length64, Length64),
        ZR_SAME(LpcDataDescriptor, PORT_DATA_DESCRIPTOR, zero64, Unused64),
    };
#undef ZR_SAME
    for (const Field& f : fields) {
        SCOPED_TRACE(f.name);
        EXPECT_EQ(f.product, f.layer);
    }
    const std::pair<int, int> types[] = {
        {LPC_DELIVERED_REQUEST, LPC_REQUEST},          {LPC_DELIVERED_REPLY, LPC_REPLY},
        {LPC_DELIVERED_DATAGRAM, LPC_DATAGRAM},        {LPC_DELIVERED_PORT_CLOSED, LPC_PORT_CLOSED},
        {LPC_DELIVERED_CLIENT_DIED, LPC_CLIENT_DIED},  {LPC_DELIVERED_CONNECTION_REQUEST, LPC_CONNECTION_REQUEST}};
    for (const auto& [product, layer] : types) EXPECT_EQ(product, layer);
}

}  // namespace
