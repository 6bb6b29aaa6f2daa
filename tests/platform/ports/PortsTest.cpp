// NT ports between two processes: connecting, datagrams, requests and
// replies, indirect data. The test process serves; children defined here
// connect to it.
#include <chrono>

#include "PortsTestSupport.h"

using namespace porttest;

namespace {

std::string ArgOr(size_t index, const std::string& fallback = "") {
    const auto& args = zrtest::ChildArgs();
    return index < args.size() ? args[index] : fallback;
}

// Bytes a side can recognise as its own: a pattern seeded per side.
std::vector<uint8_t> Pattern(size_t size, uint8_t seed) {
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<uint8_t>(i * 31 + seed + i / 251);
    return bytes;
}

}  // namespace

// Connects, reports the outcome, and with "datagram" or "request" sends one
// message of the text after it; with "data" a request whose data of the given
// size is inline (under 232 bytes) or indirect, and checks that the server's
// written bytes came back.
ZR_CHILD_MAIN(PortClient) {
    Port port;
    const NTSTATUS status = ConnectPort(ArgOr(0), port);
    Say("connect:" + Hex(status));
    if (status != STATUS_SUCCESS) return 1;
    const std::string mode = ArgOr(1);
    PORT_MESSAGE_RECORD message = Inline(ArgOr(2)), reply{};
    if (mode == "datagram") {
        Say("datagram:" + Hex(NtRequestPort(port.Get(), &message.Header)));
    } else if (mode == "request") {
        const NTSTATUS replied = NtRequestWaitReplyPort(port.Get(), &message.Header, &reply.Header);
        Say("reply:" + Hex(replied) + ":" + std::to_string(reply.Header.Type) + ":" + PayloadText(reply));
    } else if (mode == "data") {
        const size_t size = std::stoul(ArgOr(2));
        std::vector<uint8_t> data = Pattern(size, 1);
        message = size < 232 ? Inline(std::string(data.begin(), data.end()))
                             : Indirect(data.data(), static_cast<ULONG>(size));
        const NTSTATUS replied = NtRequestWaitReplyPort(port.Get(), &message.Header, &reply.Header);
        Say("done:" + Hex(replied) + (size < 232 || data == Pattern(size, 2) ? ":written" : ":unchanged"));
        return 0;
    }
    AwaitStdinClosed();
    return 0;
}

// Several threads send requests on one port and check that each reply is
// the answer to their own request.
ZR_CHILD_MAIN(ThreadedClient) {
    Port port;
    if (ConnectPort(ArgOr(0), port) != STATUS_SUCCESS) return 1;
    const int threads = std::stoi(ArgOr(1)), rounds = std::stoi(ArgOr(2));
    std::atomic<int> wrong{0};
    std::vector<std::thread> senders;
    for (int t = 0; t < threads; ++t) {
        senders.emplace_back([&, t] {
            for (int r = 0; r < rounds; ++r) {
                const std::string text = "t" + std::to_string(t) + "r" + std::to_string(r);
                PORT_MESSAGE_RECORD message = Inline(text), reply{};
                if (NtRequestWaitReplyPort(port.Get(), &message.Header, &reply.Header) != STATUS_SUCCESS ||
                    PayloadText(reply) != text + "!") {
                    ++wrong;
                }
            }
        });
    }
    for (auto& sender : senders) sender.join();
    Say("wrong:" + std::to_string(wrong.load()));
    return 0;
}

class NtPorts : public ServedPort {};

TEST_F(NtPorts, RefusedConnectionFailsTheConnect) {
    auto child = zrtest::SpawnChild("PortClient", {name});
    PORT_MESSAGE_RECORD request = Expect(server.Get(), LPC_CONNECTION_REQUEST);
    HANDLE none = reinterpret_cast<HANDLE>(0x1234);
    EXPECT_EQ(NtAcceptConnectPort(&none, nullptr, &request.Header, FALSE, nullptr, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(child.Line(), "connect:" + Hex(STATUS_PORT_CONNECTION_REFUSED));
    // The request was answered once; a second answer finds nothing.
    EXPECT_EQ(NtAcceptConnectPort(&none, nullptr, &request.Header, TRUE, nullptr, nullptr),
              STATUS_REPLY_MESSAGE_MISMATCH);
}

TEST_F(NtPorts, NamesNobodyServesFailAtOnceAndServedNamesCannotBeTakenTwice) {
    Port client, second;
    EXPECT_EQ(CreatePort(name, second), STATUS_OBJECT_NAME_COLLISION);
    // The name goes with its port.
    server.Reset();
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(ConnectPort(name, client), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2));
    EXPECT_EQ(CreatePort(name, second), STATUS_SUCCESS);
}

TEST_F(NtPorts, ConnectionAndDatagramCarryTheClientsIds) {
    auto child = zrtest::SpawnChild("PortClient", {name, "datagram", "hello datagram"});
    PORT_MESSAGE_RECORD request{};
    Port communication = AcceptNext(server.Get(), &request);
    PORT_MESSAGE_RECORD datagram = Expect(server.Get(), LPC_DATAGRAM);
    EXPECT_EQ(child.Line(), "connect:00000000");
    EXPECT_EQ(child.Line(), "datagram:00000000");
    EXPECT_EQ(request.Header.ClientProcessId, static_cast<ULONG>(child.Pid()));
    EXPECT_NE(request.Header.ClientThreadId, 0u);
    EXPECT_NE(request.Header.MessageId, 0u);
    EXPECT_EQ(PayloadText(datagram), "hello datagram");
    EXPECT_EQ(datagram.Header.DataLength, 32 + 14);
    EXPECT_EQ(datagram.Header.TotalLength, 304);
    EXPECT_EQ(datagram.Header.ClientProcessId, static_cast<ULONG>(child.Pid()));
    EXPECT_EQ(datagram.Header.ClientThreadId, request.Header.ClientThreadId);
    EXPECT_NE(datagram.Header.MessageId, request.Header.MessageId);
}

TEST_F(NtPorts, ReplyReleasesTheRequesterWithTheRepliedMessage) {
    auto child = zrtest::SpawnChild("PortClient", {name, "request", "question"});
    Port communication = AcceptNext(server.Get());
    PORT_MESSAGE_RECORD request = Expect(server.Get(), LPC_REQUEST);
    EXPECT_EQ(PayloadText(request), "question");

    // A reply naming no waiting message is refused.
    PORT_MESSAGE_RECORD stray = request;
    stray.Header.MessageId += 1000;
    EXPECT_EQ(NtReplyPort(server.Get(), &stray.Header), STATUS_REPLY_MESSAGE_MISMATCH);

    std::memcpy(request.Payload, "answer", 7);
    request.Header.DataLength = 264;
    EXPECT_EQ(NtReplyPort(server.Get(), &request.Header), STATUS_SUCCESS);
    EXPECT_EQ(child.Line(), "connect:00000000");
    EXPECT_EQ(child.Line(), "reply:00000000:2:answer");
    // Each request is replied to once.
    EXPECT_EQ(NtReplyPort(server.Get(), &request.Header), STATUS_REPLY_MESSAGE_MISMATCH);
}

TEST_F(NtPorts, ThreadsWaitingOnOnePortEachGetTheirOwnReply) {
    constexpr int kThreads = 8, kRounds = 5;
    auto child = zrtest::SpawnChild("ThreadedClient", {name, std::to_string(kThreads), std::to_string(kRounds)});
    Port communication = AcceptNext(server.Get());
    // All threads wait at once; the replies go out in reverse order.
    for (int round = 0; round < kRounds; ++round) {
        std::vector<PORT_MESSAGE_RECORD> batch;
        for (int i = 0; i < kThreads; ++i) batch.push_back(Expect(server.Get(), LPC_REQUEST));
        for (auto it = batch.rbegin(); it != batch.rend(); ++it) {
            const std::string answer = PayloadText(*it) + "!";
            std::memcpy(it->Payload, answer.c_str(), answer.size() + 1);
            EXPECT_EQ(NtReplyPort(server.Get(), &it->Header), STATUS_SUCCESS);
        }
    }
    EXPECT_EQ(child.Line(), "wrong:0");
    EXPECT_EQ(child.Wait(), 0);
}

TEST_F(NtPorts, ABurstOfDatagramsArrivesWholeAndInOrder) {
    LocalConnection pair = ConnectLocally(server.Get(), name);
    // More than one read takes at once, so frames are cut at read boundaries.
    constexpr int kCount = 3000;
    std::thread sender([&] {
        for (int i = 0; i < kCount; ++i) {
            PORT_MESSAGE_RECORD message = Inline("d" + std::to_string(i));
            if (NtRequestPort(pair.client.Get(), &message.Header) != STATUS_SUCCESS) return;
        }
    });
    int received = 0;
    for (; received < kCount; ++received) {
        PORT_MESSAGE_RECORD datagram{};
        if (Receive(server.Get(), datagram) != STATUS_SUCCESS || datagram.Header.Type != LPC_DATAGRAM ||
            PayloadText(datagram) != "d" + std::to_string(received)) {
            break;
        }
    }
    EXPECT_EQ(received, kCount);
    pair.client.Reset();  // a sender stuck on a full socket sees the end
    sender.join();
}

TEST_F(NtPorts, ServerReadsAndWritesTheRequestsData) {
    for (size_t size : {size_t{231}, size_t{232}, size_t{6} << 20}) {
        SCOPED_TRACE(size);
        auto child = zrtest::SpawnChild("PortClient", {name, "data", std::to_string(size)});
        Port communication = AcceptNext(server.Get());
        PORT_MESSAGE_RECORD request = Expect(server.Get(), LPC_REQUEST);
        const std::vector<uint8_t> sent = Pattern(size, 1);
        if (size < 232) {
            EXPECT_EQ(request.Header.DataInfoOffset, 0);
            EXPECT_EQ(request.Header.DataLength, 32 + size);
            EXPECT_EQ(std::memcmp(request.Payload, sent.data(), size), 0);
        } else {
            EXPECT_EQ(request.Header.DataInfoOffset, PORT_MESSAGE_DATA_INFO_OFFSET);
            std::vector<uint8_t> read(size);
            SIZE_T count = 0;
            EXPECT_EQ(NtReadRequestData(server.Get(), &request.Header, 0, read.data(), size, &count), STATUS_SUCCESS);
            EXPECT_EQ(count, size);
            EXPECT_TRUE(read == sent);
            // Entry 1 names the same data; there is no third entry.
            EXPECT_EQ(NtReadRequestData(server.Get(), &request.Header, 1, read.data(), 16, nullptr), STATUS_SUCCESS);
            EXPECT_EQ(NtReadRequestData(server.Get(), &request.Header, 2, read.data(), 16, nullptr),
                      STATUS_INVALID_PARAMETER);
            // Never more than the client's buffer holds.
            std::vector<uint8_t> larger(size + 1);
            EXPECT_EQ(NtWriteRequestData(server.Get(), &request.Header, 0, larger.data(), larger.size(), nullptr),
                      STATUS_INVALID_PARAMETER);
            const std::vector<uint8_t> answer = Pattern(size, 2);
            count = 0;
            EXPECT_EQ(NtWriteRequestData(server.Get(), &request.Header, 0, answer.data(), size, &count),
                      STATUS_SUCCESS);
            EXPECT_EQ(count, size);
        }
        EXPECT_EQ(NtReplyPort(server.Get(), &request.Header), STATUS_SUCCESS);
        EXPECT_EQ(child.Line(), "connect:00000000");
        EXPECT_EQ(child.Line(), "done:00000000:written");
        EXPECT_EQ(child.Wait(), 0);
    }
}

TEST_F(NtPorts, MessagesLongerThanThePortAllowsAreRefused) {
    ASSERT_EQ(CreatePort(name + "-200", server, 200), STATUS_SUCCESS);
    LocalConnection pair = ConnectLocally(server.Get(), name + "-200");
    struct Case {
        USHORT dataLength, totalLength;
        NTSTATUS expected;
    } cases[] = {
        {100, 200, STATUS_SUCCESS},
        {176, 200, STATUS_SUCCESS},
        {177, 200, STATUS_PORT_MESSAGE_TOO_LONG},  // data and header beyond 200
        {100, 201, STATUS_PORT_MESSAGE_TOO_LONG},
        {150, 100, STATUS_PORT_MESSAGE_TOO_LONG},  // more data than the whole
        {32, 304, STATUS_PORT_MESSAGE_TOO_LONG},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::to_string(c.dataLength) + "/" + std::to_string(c.totalLength));
        PORT_MESSAGE_RECORD message{}, reply{};
        message.Header.DataLength = c.dataLength;
        message.Header.TotalLength = c.totalLength;
        EXPECT_EQ(NtRequestPort(pair.client.Get(), &message.Header), c.expected);
        if (c.expected != STATUS_SUCCESS) {
            EXPECT_EQ(NtRequestWaitReplyPort(pair.client.Get(), &message.Header, &reply.Header), c.expected);
        } else {
            Expect(server.Get(), LPC_DATAGRAM);
        }
    }
    // What was refused never reached the server: the receive times out, not sooner.
    PORT_MESSAGE_RECORD record{};
    const auto started = std::chrono::steady_clock::now();
    EXPECT_EQ(Receive(server.Get(), record, 100), STATUS_TIMEOUT);
    EXPECT_GE(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(100));
    LARGE_INTEGER zero;
    zero.QuadPart = 0;
    EXPECT_EQ(NtReplyWaitReceivePortEx(server.Get(), nullptr, nullptr, &record.Header, &zero), STATUS_TIMEOUT);
}
