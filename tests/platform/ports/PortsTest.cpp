// NT ports within one process, clients on threads of their own: the answers
// a server gives, replies that find their waiting thread, indirect data at
// its edges, bursts cut at read boundaries, length limits, waits on a port
// and the last error. Whole messages between real processes are the
// transport's tests; what only another process shows is in PortsLifetimeTest.
#include <chrono>
#include <condition_variable>
#include <mutex>

#include "PortsTestSupport.h"
#include "support/FailsWith.h"

using namespace porttest;

namespace {

// A message whose data stays in the sender's memory, named by the descriptor.
PORT_MESSAGE_RECORD Indirect(void* data, ULONG length) {
    PORT_MESSAGE_RECORD record{};
    record.Header.DataLength = 32 + sizeof(PORT_DATA_DESCRIPTOR);
    record.Header.TotalLength = 304;
    record.Header.DataInfoOffset = PORT_MESSAGE_DATA_INFO_OFFSET;
    const auto address = reinterpret_cast<uintptr_t>(data);
    const PORT_DATA_DESCRIPTOR descriptor{2, static_cast<ULONG>(address), length, {}, address, length, 0};
    std::memcpy(record.Payload, &descriptor, sizeof descriptor);
    return record;
}

}  // namespace

class NtPorts : public ServedPort {};

TEST_F(NtPorts, RefusalsAndRepliesAnswerOnceAndOnlyTheRequestTheyName) {
    Port refused;
    NTSTATUS connected = STATUS_UNSUCCESSFUL;
    std::thread connector([&] { connected = ConnectPort(name, refused); });
    PORT_MESSAGE_RECORD request = Expect(server.Get(), LPC_CONNECTION_REQUEST);
    HANDLE none = reinterpret_cast<HANDLE>(0x1234);
    EXPECT_EQ(NtAcceptConnectPort(&none, nullptr, &request.Header, FALSE, nullptr, nullptr), STATUS_SUCCESS);
    connector.join();
    EXPECT_EQ(connected, STATUS_PORT_CONNECTION_REFUSED);
    EXPECT_EQ(NtAcceptConnectPort(&none, nullptr, &request.Header, TRUE, nullptr, nullptr),
              STATUS_REPLY_MESSAGE_MISMATCH);

    LocalConnection pair = ConnectLocally(server.Get(), name);
    PORT_MESSAGE_RECORD question = Inline("question"), reply{};
    NTSTATUS replied = STATUS_UNSUCCESSFUL;
    std::thread requester(
        [&] { replied = NtRequestWaitReplyPort(pair.client.Get(), &question.Header, &reply.Header); });
    request = Expect(server.Get(), LPC_REQUEST);
    PORT_MESSAGE_RECORD stray = request;
    stray.Header.MessageId += 1000;
    EXPECT_EQ(NtReplyPort(server.Get(), &stray.Header), STATUS_REPLY_MESSAGE_MISMATCH);
    std::memcpy(request.Payload, "answer", 7);
    EXPECT_EQ(NtReplyPort(server.Get(), &request.Header), STATUS_SUCCESS);
    requester.join();
    EXPECT_EQ(replied, STATUS_SUCCESS);
    EXPECT_EQ(reply.Header.Type, LPC_REPLY);
    EXPECT_EQ(PayloadText(reply), "answer");
    EXPECT_EQ(NtReplyPort(server.Get(), &request.Header), STATUS_REPLY_MESSAGE_MISMATCH);
}

TEST_F(NtPorts, ThreadsWaitingOnOnePortEachGetTheirOwnReply) {
    LocalConnection pair = ConnectLocally(server.Get(), name);
    constexpr int kThreads = 8, kRounds = 5;
    std::atomic<int> wrong{0};
    std::vector<std::thread> senders;
    for (int t = 0; t < kThreads; ++t) {
        senders.emplace_back([&, t] {
            for (int r = 0; r < kRounds; ++r) {
                const std::string text = "t" + std::to_string(t) + "r" + std::to_string(r);
                PORT_MESSAGE_RECORD message = Inline(text), reply{};
                if (NtRequestWaitReplyPort(pair.client.Get(), &message.Header, &reply.Header) != STATUS_SUCCESS ||
                    PayloadText(reply) != text + "!")
                    ++wrong;
            }
        });
    }
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
    for (auto& sender : senders) sender.join();
    EXPECT_EQ(wrong.load(), 0);
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
            PayloadText(datagram) != "d" + std::to_string(received))
            break;
    }
    EXPECT_EQ(received, kCount);
    pair.client.Reset();  // a sender stuck on a full socket sees the end
    sender.join();
}

// Reading and writing whole indirect data is the transport's; here, the
// entries a descriptor has and the client's buffer as the limit.
TEST_F(NtPorts, RequestDataHasTwoEntriesAndNeverOutgrowsTheClientsBuffer) {
    LocalConnection pair = ConnectLocally(server.Get(), name);
    constexpr size_t kSize = 5000;
    std::vector<uint8_t> data(kSize, 1);
    PORT_MESSAGE_RECORD message = Indirect(data.data(), kSize), reply{};
    std::thread requester([&] { NtRequestWaitReplyPort(pair.client.Get(), &message.Header, &reply.Header); });
    PORT_MESSAGE_RECORD request = Expect(server.Get(), LPC_REQUEST);
    uint8_t head[16];
    SIZE_T count = 0;
    EXPECT_EQ(NtReadRequestData(server.Get(), &request.Header, 1, head, 16, &count), STATUS_SUCCESS);
    EXPECT_EQ(count, 16u);
    EXPECT_EQ(NtReadRequestData(server.Get(), &request.Header, 2, head, 16, nullptr), STATUS_INVALID_PARAMETER);
    std::vector<uint8_t> buffer(kSize + 1, 2);
    EXPECT_EQ(NtWriteRequestData(server.Get(), &request.Header, 0, buffer.data(), kSize + 1, nullptr),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(NtWriteRequestData(server.Get(), &request.Header, 0, buffer.data(), kSize, &count), STATUS_SUCCESS);
    EXPECT_EQ(count, kSize);
    EXPECT_EQ(NtReplyPort(server.Get(), &request.Header), STATUS_SUCCESS);
    requester.join();
    EXPECT_EQ(data, std::vector<uint8_t>(kSize, 2));
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
}

TEST_F(NtPorts, PortHandleIsSignalledWhileAMessageWaits) {
    EXPECT_EQ(WaitForSingleObject(server.Get(), 0), WAIT_TIMEOUT);
    Port client;
    NTSTATUS connected = STATUS_UNSUCCESSFUL;
    std::thread connector([&] { connected = ConnectPort(name, client); });
    EXPECT_EQ(WaitForSingleObject(server.Get(), 20000), WAIT_OBJECT_0);
    // Waiting takes nothing: the request is still there to receive.
    EXPECT_EQ(NtWaitForSingleObject(server.Get(), FALSE, nullptr), STATUS_SUCCESS);
    Port communication = AcceptNext(server.Get());
    connector.join();
    ASSERT_EQ(connected, STATUS_SUCCESS);
    EXPECT_EQ(WaitForSingleObject(server.Get(), 0), WAIT_TIMEOUT);

    PORT_MESSAGE_RECORD message = Inline("ping");
    EXPECT_EQ(NtRequestPort(client.Get(), &message.Header), STATUS_SUCCESS);
    EXPECT_EQ(WaitForSingleObject(server.Get(), 20000), WAIT_OBJECT_0);
    Expect(server.Get(), LPC_DATAGRAM);
}

// Two threads wait on one port and two messages arrive together: whichever
// thread reads both must leave the second to the other, which is woken for it
// (neither thread asks again before both have one). Whether both come in one
// read is up to the scheduler, so it is tried many times.
TEST(NtPortsWaits, AMessageLeftQueuedWakesTheOtherWaiter) {
    struct Case {
        const char* name;
        bool waitOnHandle;  // the second thread waits on the handle, then receives
    };
    for (const Case& c : {Case{"two receivers", false}, Case{"receiver and handle waiter", true}}) {
        SCOPED_TRACE(c.name);
        const std::string name = UniqueName("waiters");
        Port server;
        ASSERT_EQ(CreatePort(name, server), STATUS_SUCCESS);
        LocalConnection pair = ConnectLocally(server.Get(), name);
        constexpr int kRounds = 300;
        for (int round = 0; round < kRounds; ++round) {
            std::mutex lock;
            std::condition_variable changed;
            int got = 0, sawBoth = 0;
            auto take = [&](bool waitFirst) {
                PORT_MESSAGE_RECORD datagram{};
                if (waitFirst) {
                    // A wake-up says a message was there, not that the other
                    // thread left it: wait again until one is received.
                    NTSTATUS status = STATUS_TIMEOUT;
                    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
                    while (status == STATUS_TIMEOUT && std::chrono::steady_clock::now() < deadline) {
                        if (WaitForSingleObject(server.Get(), 20000) != WAIT_OBJECT_0) return;
                        status = Receive(server.Get(), datagram, 0);
                    }
                    if (status != STATUS_SUCCESS) return;
                } else if (Receive(server.Get(), datagram, 20000) != STATUS_SUCCESS) {
                    return;
                }
                std::unique_lock<std::mutex> guard(lock);
                ++got;
                changed.notify_all();
                // Shorter than the other thread's own limit, so a waiter that
                // was never woken shows here instead of taking the message late.
                if (changed.wait_for(guard, std::chrono::seconds(10), [&] { return got == 2; })) ++sawBoth;
            };
            std::thread first(take, false), second(take, c.waitOnHandle);
            PORT_MESSAGE_RECORD one = Inline("one"), two = Inline("two");
            EXPECT_EQ(NtRequestPort(pair.client.Get(), &one.Header), STATUS_SUCCESS);
            EXPECT_EQ(NtRequestPort(pair.client.Get(), &two.Header), STATUS_SUCCESS);
            first.join();
            second.join();
            ASSERT_EQ(got, 2) << "round " << round;
            ASSERT_EQ(sawBoth, 2) << "round " << round;
        }
    }
}

TEST_F(NtPorts, NtCallsLeaveTheLastErrorAlone) {
    Port twin, nowhere;
    PORT_MESSAGE_RECORD record = Inline("x"), reply{};
    LARGE_INTEGER none, past;
    none.QuadPart = -1;
    past.QuadPart = 1;  // a time gone by
    HANDLE bogus = reinterpret_cast<HANDLE>(0x7FFFFFF0);
    UNICODE_STRING text;
    EXPECT_NT_STATUS(CreatePort(name, twin), STATUS_OBJECT_NAME_COLLISION);
    const auto started = std::chrono::steady_clock::now();
    EXPECT_NT_STATUS(ConnectPort(name + "-none", nowhere), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::seconds(2)) << "not waited for";
    SetLastError(zrtest::kLastErrorSentinel);
    LocalConnection pair = ConnectLocally(server.Get(), name);
    EXPECT_EQ(GetLastError(), zrtest::kLastErrorSentinel) << "connect, accept, complete";
    EXPECT_NT_STATUS(NtRequestPort(pair.client.Get(), &record.Header), STATUS_SUCCESS);
    EXPECT_NT_STATUS(Receive(server.Get(), reply), STATUS_SUCCESS);
    EXPECT_NT_STATUS(NtReplyWaitReceivePortEx(server.Get(), nullptr, nullptr, &reply.Header, &none), STATUS_TIMEOUT);
    EXPECT_NT_STATUS(NtRequestPort(pair.client.Get(), &record.Header), STATUS_SUCCESS);
    EXPECT_NT_STATUS(NtReplyWaitReceivePort(server.Get(), nullptr, nullptr, &reply.Header), STATUS_SUCCESS);
    EXPECT_NT_STATUS(NtReplyPort(server.Get(), &reply.Header), STATUS_REPLY_MESSAGE_MISMATCH) << "a datagram";
    const auto mismatch = STATUS_REPLY_MESSAGE_MISMATCH;  // a datagram has no data to read or write
    EXPECT_NT_STATUS(NtReadRequestData(server.Get(), &reply.Header, 0, &text, 4, nullptr), mismatch);
    EXPECT_NT_STATUS(NtWriteRequestData(server.Get(), &reply.Header, 0, &text, 4, nullptr), mismatch);
    EXPECT_NT_STATUS(NtRegisterThreadTerminatePort(pair.client.Get()), STATUS_SUCCESS);
    EXPECT_NT_STATUS(NtRegisterThreadTerminatePort(server.Get()), STATUS_INVALID_PORT_HANDLE);
    EXPECT_NT_STATUS(NtCompleteConnectPort(pair.communication.Get()), STATUS_INVALID_PARAMETER) << "twice";
    EXPECT_NT_STATUS(NtWaitForSingleObject(server.Get(), FALSE, &none), STATUS_TIMEOUT);
    EXPECT_NT_STATUS(NtWaitForSingleObject(server.Get(), FALSE, &past), STATUS_TIMEOUT);
    EXPECT_NT_STATUS(Receive(pair.client.Get(), reply, 10), STATUS_NOT_SUPPORTED) << "a client port";
    EXPECT_NT_STATUS(NtWaitForSingleObject(bogus, FALSE, &none), STATUS_INVALID_HANDLE);
    EXPECT_NT_STATUS(NtRequestWaitReplyPort(bogus, &record.Header, &reply.Header), STATUS_INVALID_HANDLE);
    EXPECT_NT_STATUS(NtClose(bogus), STATUS_INVALID_HANDLE);
    // Lengths count bytes of wide characters.
    SetLastError(zrtest::kLastErrorSentinel);
    RtlInitUnicodeString(&text, nullptr);
    EXPECT_TRUE(!text.Length && !text.MaximumLength && !text.Buffer);
    RtlInitUnicodeString(&text, L"abc");
    EXPECT_TRUE(text.Length == 3 * sizeof(WCHAR) && text.MaximumLength == 4 * sizeof(WCHAR));
    EXPECT_EQ(GetLastError(), zrtest::kLastErrorSentinel) << "init string";
    EXPECT_NT_STATUS(NtClose(pair.client.Take()), STATUS_SUCCESS);
    EXPECT_NT_STATUS(Receive(server.Get(), reply), STATUS_SUCCESS);
    EXPECT_EQ(reply.Header.Type, LPC_PORT_CLOSED);
    server.Reset();
    EXPECT_NT_STATUS(CreatePort(name, twin), STATUS_SUCCESS) << "the name goes with its port";
}
