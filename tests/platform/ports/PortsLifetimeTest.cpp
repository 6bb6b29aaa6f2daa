// NT ports: how the server learns that a client closed, died or lost its
// registered thread; waits on a port; the last error, which NT calls never
// touch; who may connect.
#include <sys/types.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <mutex>

#include "PortsTestSupport.h"
#include "support/FailsWith.h"

using namespace porttest;

namespace {
const std::string& NameArg() { return zrtest::ChildArgs().at(0); }
}  // namespace

// Connects, sends one datagram, closes the port in order, then waits.
ZR_CHILD_MAIN(ClosingClient) {
    Port port;
    if (ConnectPort(NameArg(), port) != STATUS_SUCCESS) return 1;
    PORT_MESSAGE_RECORD message = Inline("bye");
    NtRequestPort(port.Get(), &message.Header);
    port.Reset();
    Say("closed");
    AwaitStdinClosed();
    return 0;
}

// Connects with its main thread registered, then waits to be killed.
ZR_CHILD_MAIN(WaitingClient) {
    Port port;
    if (ConnectPort(NameArg(), port) != STATUS_SUCCESS) return 1;
    if (NtRegisterThreadTerminatePort(port.Get()) != STATUS_SUCCESS) return 2;
    Say("connected");
    AwaitStdinClosed();
    return 0;
}

// A thread connects, registers itself and ends; the process lives on with
// the port open.
ZR_CHILD_MAIN(ThreadEndingClient) {
    Port port;
    DWORD tid = 0;
    std::thread worker([&] {
        tid = GetCurrentThreadId();
        if (ConnectPort(NameArg(), port) == STATUS_SUCCESS) NtRegisterThreadTerminatePort(port.Get());
    });
    worker.join();
    Say("tid:" + std::to_string(tid));
    AwaitStdinClosed();
    return 0;
}

// Becomes another user before it connects.
ZR_CHILD_MAIN(OtherUserClient) {
    if (setgid(65534) != 0 || setuid(65534) != 0) return 3;
    Port port;
    Say("connect:" + Hex(ConnectPort(NameArg(), port)));
    return 0;
}

// Serves one connection, takes one request and ends without replying.
ZR_CHILD_MAIN(VanishingServer) {
    Port server;
    if (CreatePort(NameArg(), server) != STATUS_SUCCESS) return 1;
    Say("ready");
    Port communication = AcceptNext(server.Get());
    Expect(server.Get(), LPC_REQUEST);
    _exit(0);
}

class NtPortsLifetime : public ServedPort {};

TEST(NtPortsVanishing, RequesterLearnsThatTheServerIsGone) {
    const std::string name = UniqueName("vanish");
    auto child = zrtest::SpawnChild("VanishingServer", {name});
    ASSERT_EQ(child.Line(), "ready");
    Port client;
    ASSERT_EQ(ConnectPort(name, client), STATUS_SUCCESS);
    PORT_MESSAGE_RECORD message = Inline("anyone?"), reply{};
    EXPECT_EQ(NtRequestWaitReplyPort(client.Get(), &message.Header, &reply.Header), STATUS_PORT_DISCONNECTED);
    EXPECT_EQ(NtRequestPort(client.Get(), &message.Header), STATUS_PORT_DISCONNECTED);
    EXPECT_EQ(child.Wait(), 0);
}

TEST_F(NtPortsLifetime, OrderlyCloseGivesPortClosed) {
    auto child = zrtest::SpawnChild("ClosingClient", {name});
    Port communication = AcceptNext(server.Get());
    Expect(server.Get(), LPC_DATAGRAM);
    PORT_MESSAGE_RECORD closed = Expect(server.Get(), LPC_PORT_CLOSED);
    EXPECT_EQ(closed.Header.ClientProcessId, static_cast<ULONG>(child.Pid()));
    EXPECT_EQ(child.Line(), "closed");
    // Nothing more comes for that connection, not even when the process ends.
    child.CloseStdin();
    EXPECT_EQ(child.Wait(), 0);
    PORT_MESSAGE_RECORD record{};
    EXPECT_EQ(Receive(server.Get(), record, 200), STATUS_TIMEOUT);
}

TEST_F(NtPortsLifetime, KilledClientGivesClientDiedOnce) {
    auto child = zrtest::SpawnChild("WaitingClient", {name});
    Port communication = AcceptNext(server.Get());
    EXPECT_EQ(child.Line(), "connected");
    child.Signal(SIGKILL);
    PORT_MESSAGE_RECORD died = Expect(server.Get(), LPC_CLIENT_DIED);
    EXPECT_EQ(died.Header.ClientProcessId, static_cast<ULONG>(child.Pid()));
    PORT_MESSAGE_RECORD record{};
    EXPECT_EQ(Receive(server.Get(), record, 200), STATUS_TIMEOUT);
    // The server's end is gone with the client; closing it is still fine.
    EXPECT_EQ(NtClose(communication.Take()), STATUS_SUCCESS);
}

TEST_F(NtPortsLifetime, ClientThatDiesBeforeTheAcceptIsReportedAfterIt) {
    auto child = zrtest::SpawnChild("WaitingClient", {name});
    PORT_MESSAGE_RECORD request = Expect(server.Get(), LPC_CONNECTION_REQUEST);
    child.Signal(SIGKILL);
    child.Wait();
    PORT_MESSAGE_RECORD record{};
    EXPECT_EQ(Receive(server.Get(), record, 100), STATUS_TIMEOUT);  // the server has seen the end by now
    // Answering a request whose client went still works, so a server that
    // accepts every request keeps serving; then it hears of the death.
    Port communication = Accept(request);
    PORT_MESSAGE_RECORD died = Expect(server.Get(), LPC_CLIENT_DIED);
    EXPECT_EQ(died.Header.ClientProcessId, request.Header.ClientProcessId);
    EXPECT_EQ(Receive(server.Get(), record, 100), STATUS_TIMEOUT);
}

TEST_F(NtPortsLifetime, EndOfTheRegisteredThreadGivesClientDiedForIt) {
    auto child = zrtest::SpawnChild("ThreadEndingClient", {name});
    Port communication = AcceptNext(server.Get());
    PORT_MESSAGE_RECORD died = Expect(server.Get(), LPC_CLIENT_DIED);
    EXPECT_EQ(child.Line(), "tid:" + std::to_string(died.Header.ClientThreadId));
    EXPECT_EQ(died.Header.ClientProcessId, static_cast<ULONG>(child.Pid()));
}

TEST_F(NtPortsLifetime, PortHandleIsSignalledWhileAMessageWaits) {
    EXPECT_EQ(WaitForSingleObject(server.Get(), 0), WAIT_TIMEOUT);
    LARGE_INTEGER shortly;
    shortly.QuadPart = -50 * 10000;
    EXPECT_EQ(NtWaitForSingleObject(server.Get(), FALSE, &shortly), STATUS_TIMEOUT);

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

TEST_F(NtPortsLifetime, NtCallsLeaveTheLastErrorAlone) {
    Port twin, nowhere;
    PORT_MESSAGE_RECORD record = Inline("x"), reply{};
    LARGE_INTEGER none, past;
    none.QuadPart = -1;
    past.QuadPart = 1;  // a time gone by
    HANDLE bogus = reinterpret_cast<HANDLE>(0x7FFFFFF0);
    UNICODE_STRING text;
    EXPECT_NT_STATUS(CreatePort(name, twin), STATUS_OBJECT_NAME_COLLISION);
    EXPECT_NT_STATUS(ConnectPort(name + "-none", nowhere), STATUS_OBJECT_NAME_NOT_FOUND);
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
}

TEST_F(NtPortsLifetime, ConnectionFromAnotherUserIsRefused) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to start a client as another user (uid 65534)";
    auto child = zrtest::SpawnChild("OtherUserClient", {name});
    // The refusal goes out while the server receives; no request is queued.
    PORT_MESSAGE_RECORD record{};
    EXPECT_EQ(Receive(server.Get(), record, 1000), STATUS_TIMEOUT);
    EXPECT_TRUE(child.WaitForOutput("connect:"));
    EXPECT_EQ(child.Line(), "connect:" + Hex(STATUS_ACCESS_DENIED));
}
