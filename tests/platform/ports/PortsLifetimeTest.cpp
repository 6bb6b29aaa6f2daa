// NT ports across processes: how the server learns that a client closed,
// died or lost its registered thread, how a client learns that its server
// vanished, and who may connect.
#include <sys/types.h>
#include <unistd.h>

#include "PortsTestSupport.h"

using namespace porttest;

namespace {
const std::string& NameArg() { return zrtest::ChildArgs().at(0); }
}  // namespace

// Client <name> <how>: connects and registers the connecting thread: the
// main thread, or with "thread" one that ends at once; with "close" it closes
// the port again. Says "connected <thread id>", then waits.
ZR_CHILD_MAIN(Client) {
    const std::string how = zrtest::ChildArgs().at(1);
    Port port;
    DWORD tid = 0;
    auto connect = [&] {
        tid = GetCurrentThreadId();
        if (ConnectPort(NameArg(), port) == STATUS_SUCCESS) NtRegisterThreadTerminatePort(port.Get());
    };
    if (how == "thread") {
        std::thread(connect).join();
    } else {
        connect();
    }
    if (how == "close") port.Reset();
    Say("connected " + std::to_string(tid));
    AwaitStdinClosed();
    return 0;
}

// Becomes another user before it connects.
ZR_CHILD_MAIN(OtherUserClient) {
    if (setgid(65534) != 0 || setuid(65534) != 0) return 3;
    Port port;
    Say("connect:" + std::to_string(ConnectPort(NameArg(), port)));
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

// However a connection ends, the server hears of it once, for the thread
// that connected, and never again: not when the process ends after an orderly
// close, nor when it is killed after its registered thread ended.
TEST_F(NtPortsLifetime, EachEndOfAConnectionIsReportedOnce) {
    const struct {
        const char* how;
        bool kill;  // before the end is awaited, or else after it
        USHORT type;
    } cases[] = {
        {"close", false, LPC_PORT_CLOSED}, {"main", true, LPC_CLIENT_DIED}, {"thread", false, LPC_CLIENT_DIED}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.how);
        auto child = zrtest::SpawnChild("Client", {name, c.how});
        Port communication = AcceptNext(server.Get());
        const std::string connected = child.Line();
        if (c.kill) child.Signal(SIGKILL);
        PORT_MESSAGE_RECORD end = Expect(server.Get(), c.type);
        EXPECT_EQ(end.Header.ClientProcessId, static_cast<ULONG>(child.Pid()));
        EXPECT_EQ(connected, "connected " + std::to_string(end.Header.ClientThreadId));
        child.Signal(SIGKILL);
        child.Wait();
        PORT_MESSAGE_RECORD record{};
        EXPECT_EQ(Receive(server.Get(), record, 200), STATUS_TIMEOUT);
        // The server's end is gone with the client; closing it is still fine.
        EXPECT_EQ(NtClose(communication.Take()), STATUS_SUCCESS);
    }
}

TEST_F(NtPortsLifetime, ClientThatDiesBeforeTheAcceptIsReportedAfterIt) {
    auto child = zrtest::SpawnChild("Client", {name, "main"});
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

TEST_F(NtPortsLifetime, ConnectionFromAnotherUserIsRefused) {
    if (geteuid() != 0) GTEST_SKIP() << "needs root to start a client as another user (uid 65534)";
    auto child = zrtest::SpawnChild("OtherUserClient", {name});
    // The refusal goes out while the server receives; no request is queued.
    PORT_MESSAGE_RECORD record{};
    EXPECT_EQ(Receive(server.Get(), record, 1000), STATUS_TIMEOUT);
    EXPECT_TRUE(child.WaitForOutput("connect:"));
    EXPECT_EQ(child.Line(), "connect:" + std::to_string(STATUS_ACCESS_DENIED));
}
