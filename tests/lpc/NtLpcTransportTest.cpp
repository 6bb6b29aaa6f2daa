// The transport between two real processes: this test process as the client
// and a child process serving its port, both through NtLpcBase. Several
// threads sending on one connection at once are the layer's port test and
// the host's 26-at-once test.
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "ipc/lpc/NtLpcBase.h"
#include "log/Log.h"
#include "support/MultiProcessTest.h"
#include "util/LogLines.h"

namespace {

// FNV-1a, enough to tell two payloads apart in a line of text.
inline uint32_t Checksum(const BYTE* data, size_t size) {
    uint32_t h = 2166136261u;
    for (size_t i = 0; i < size; ++i) h = (h ^ data[i]) * 16777619u;
    return h;
}

// Data with a pattern that a shifted or truncated copy does not match.
inline std::string Payload(size_t size, uint32_t seed) {
    std::string data(size, '\0');
    uint32_t x = seed * 2654435761u + 1;
    for (auto& c : data) {
        x = x * 1103515245u + 12345u;
        c = static_cast<char>(x >> 16);
    }
    return data;
}

// The answer a Call gets: 232 bytes derived from the command.
inline std::string CallAnswer(INT cmd) {
    return Payload(kLpcReplyDataSize, 0xA000u + static_cast<uint32_t>(cmd));
}

inline std::wstring Wide(const std::string& text) {
    return std::wstring(text.begin(), text.end());
}

// The transport as both processes use it: an NtLpcBase that reports what
// reaches its hooks as lines on the standard output, so the other process
// can follow along.
class LpcEndpoint : public NtLpcBase {
public:
    explicit LpcEndpoint(const std::wstring& group, const wchar_t* explicitPort = nullptr)
        : NtLpcBase(group.c_str(), 100, nullptr, explicitPort) {}
    ~LpcEndpoint() override { NtLpcServer::StopServer(); }

    // Called on the listener before the default handling; a subclass may block here.
    virtual void BeforeReceive(DWORD, INT, BYTE*, DWORD) {}

    INT ReceiveMessage(DWORD pid, INT cmd, BYTE* data, DWORD size) override {
        Say("recv pid=%lu cmd=%d size=%lu sum=%08x cap=%lu", static_cast<unsigned long>(pid), cmd,
            static_cast<unsigned long>(size), Checksum(data, size), static_cast<unsigned long>(ReadBufferCapacity()));
        BeforeReceive(pid, cmd, data, size);
        const std::string answer = CallAnswer(cmd);
        answer.copy(reinterpret_cast<char*>(data), answer.size());
        return 0;
    }
    bool ConnectionAccepted(DWORD pid) override {
        Say("accepted %lu", static_cast<unsigned long>(pid));
        return NtLpcBase::ConnectionAccepted(pid);
    }
    bool ConnectionClosed(DWORD pid) override {
        Say("closed %lu", static_cast<unsigned long>(pid));
        return NtLpcBase::ConnectionClosed(pid);
    }
    bool ProcessTermination(DWORD pid) override {
        Say("died %lu", static_cast<unsigned long>(pid));
        return NtLpcBase::ProcessTermination(pid);
    }

    template <class... Args>
    static void Say(const char* format, Args... args) {
        static std::mutex lock;
        std::lock_guard<std::mutex> guard(lock);
        std::printf(format, args...);
        std::printf("\n");
        std::fflush(stdout);
    }
};

std::mutex g_releaseLock;
std::condition_variable g_releaseChanged;
bool g_released = false;

// Waits until the process has ended (or a minute has passed).
void AwaitProcessEnd(DWORD pid) {
    const int fd = static_cast<int>(syscall(SYS_pidfd_open, static_cast<pid_t>(pid), 0));
    if (fd < 0) return;  // already gone
    pollfd p{fd, POLLIN, 0};
    poll(&p, 1, 60000);
    close(fd);
}

// The serving side: holds messages with cmd 50 until its standard input
// closes and messages with cmd 60 until their sender has died.
class ServingEndpoint : public LpcEndpoint {
public:
    using LpcEndpoint::LpcEndpoint;
    void BeforeReceive(DWORD pid, INT cmd, BYTE*, DWORD) override {
        if (cmd == 50) {
            Say("holding");
            std::unique_lock<std::mutex> lock(g_releaseLock);
            g_releaseChanged.wait_for(lock, std::chrono::seconds(60), [] { return g_released; });
            Say("released");
        } else if (cmd == 60) {
            Say("pending %lu", static_cast<unsigned long>(pid));
            AwaitProcessEnd(pid);
        }
    }
};

}  // namespace

// Serves the group's port until its standard input closes.
ZR_CHILD_MAIN(LpcServer) {
    SetLogLevel(LOG_WARNING);
    ServingEndpoint endpoint(Wide(zrtest::ChildArgs().at(0)));
    if (!endpoint.Load()) return 2;
    const INT started = endpoint.StartServer();
    if (started != 0) {
        std::printf("start failed %d\n", started);
        return 3;
    }
    LpcEndpoint::Say("ready");
    char buffer[64];
    while (read(0, buffer, sizeof buffer) > 0) {
    }
    {
        std::lock_guard<std::mutex> lock(g_releaseLock);
        g_released = true;
    }
    g_releaseChanged.notify_all();
    endpoint.StopServer();
    return 0;
}

// Sends one Sync request that the server holds until this process is gone.
ZR_CHILD_MAIN(LpcDyingClient) {
    LpcEndpoint endpoint(Wide(zrtest::ChildArgs().at(0)));
    if (!endpoint.Load()) return 2;
    std::string data = "last words";
    const NTSTATUS status = endpoint.SendMessage(static_cast<DWORD>(std::stoul(zrtest::ChildArgs().at(1))), 60,
                                                 reinterpret_cast<BYTE*>(data.data()), 10, LPC_TYPE_SYNC);
    std::printf("returned %d\n", static_cast<int>(status));
    return 0;
}

namespace {

class LpcTransport : public testing::Test {
protected:
    void SetUp() override {
        SetLogLevel(LOG_WARNING);
        group_ = std::string("Lpc") + testing::UnitTest::GetInstance()->current_test_info()->name();
        client_ = std::make_unique<LpcEndpoint>(Wide(group_));
        ASSERT_TRUE(client_->Load());
    }
    void TearDown() override { SetLogLevel(LOG_WARNING); }

    // A server process for the test's group, ready to serve.
    zrtest::ChildProcess& StartServer() {
        server_ = std::make_unique<zrtest::ChildProcess>(zrtest::SelfPath(),
                                                         std::vector<std::string>{"--zr-child=LpcServer", group_});
        EXPECT_EQ(server_->Line(), "ready");
        return *server_;
    }

    NTSTATUS Send(const zrtest::ChildProcess& to, INT cmd, std::string& data, DWORD type) {
        return client_->SendMessage(static_cast<DWORD>(to.Pid()), cmd, reinterpret_cast<BYTE*>(data.data()),
                                    static_cast<DWORD>(data.size()), type);
    }

    // The next line that is not a connection notice.
    static std::string NextEvent(zrtest::ChildProcess& child) {
        std::string line;
        do {
            line = child.Line();
        } while (line.rfind("accepted ", 0) == 0);
        return line;
    }

    static std::string Received(INT cmd, const std::string& data, DWORD capacity) {
        char text[128];
        std::snprintf(text, sizeof text, "recv pid=%lu cmd=%d size=%zu sum=%08x cap=%lu",
                      static_cast<unsigned long>(getpid()), cmd, data.size(),
                      Checksum(reinterpret_cast<const BYTE*>(data.data()), data.size()),
                      static_cast<unsigned long>(capacity));
        return text;
    }

    std::string group_;
    std::unique_ptr<LpcEndpoint> client_;
    std::unique_ptr<zrtest::ChildProcess> server_;
};

TEST_F(LpcTransport, EveryTypeArrivesWholeInlineAndIndirect) {
    zrtest::ChildProcess& server = StartServer();
    DWORD capacity = 0;
    INT cmd = 0;
    for (DWORD type : {LPC_TYPE_ASYNC, LPC_TYPE_SYNC, LPC_TYPE_CALL}) {
        // Across the inline limit, then growing the server's read buffer
        // twice; smaller messages after larger ones reuse it.
        for (size_t size : {size_t{0}, size_t{231}, size_t{232}, size_t{5000}, size_t{4} << 20}) {
            SCOPED_TRACE("type " + std::to_string(type) + ", " + std::to_string(size) + " bytes");
            ++cmd;
            const std::string sent = Payload(size, static_cast<uint32_t>(cmd));
            std::string buffer = sent + "guard";  // the tail shows a copy-back beyond the length
            ASSERT_EQ(client_->SendMessage(static_cast<DWORD>(server.Pid()), cmd,
                                           reinterpret_cast<BYTE*>(buffer.data()), static_cast<DWORD>(size), type),
                      0);
            if (size >= kLpcInlineLimit) capacity = std::max<DWORD>(capacity, static_cast<DWORD>(size));
            EXPECT_EQ(NextEvent(server), Received(cmd, sent, capacity));

            std::string expected = sent;
            if (type == LPC_TYPE_CALL) {
                // Inline: exactly as many bytes come back as were sent; indirect: the 232-byte answer.
                const std::string answer = CallAnswer(cmd);
                expected.replace(0, std::min(size, answer.size()), answer.substr(0, std::min(size, answer.size())));
            }
            EXPECT_EQ(buffer, expected + "guard");
        }
    }
}

TEST_F(LpcTransport, IndirectAsyncReleasesTheSenderOnceItsDataIsRead) {
    zrtest::ChildProcess& server = StartServer();
    std::string data = Payload(5000, 50);
    const std::string sent = data;
    // The server holds this message until its input closes, which happens only after the send returned.
    ASSERT_EQ(Send(server, 50, data, LPC_TYPE_ASYNC), 0);
    EXPECT_EQ(NextEvent(server), Received(50, sent, 5000));
    EXPECT_EQ(NextEvent(server), "holding");
    EXPECT_EQ(server.Out().find("released"), std::string::npos);
    server.CloseStdin();
    EXPECT_EQ(NextEvent(server), "released");
    EXPECT_EQ(server.Wait(), 0) << server.Err();
}

TEST_F(LpcTransport, ClientThatDiesWithARequestPendingIsReportedDeadThenClosed) {
    zrtest::ChildProcess& server = StartServer();
    zrtest::ChildProcess dying = zrtest::SpawnChild("LpcDyingClient", {group_, std::to_string(server.Pid())});
    const std::string pid = std::to_string(dying.Pid());
    const std::string closedError =
        "NtLpcServer::ServerThread: [E] Client died: error handling Connection closed event (pid:" + pid + ")";
    const size_t before = utiltest::CountLines(closedError);
    EXPECT_EQ(server.Line(), "accepted " + pid);
    EXPECT_EQ(server.Line().rfind("recv pid=" + pid + " cmd=60 size=10 ", 0), 0u);
    EXPECT_EQ(server.Line(), "pending " + pid);
    dying.Signal(SIGKILL);
    EXPECT_EQ(dying.Wait(), 128 + SIGKILL);
    EXPECT_EQ(server.Line(), "died " + pid);
    EXPECT_EQ(server.Line(), "closed " + pid);

    server.CloseStdin();
    EXPECT_EQ(server.Wait(), 0) << server.Err();
    // The server had no connection of its own back to the dead client.
    EXPECT_EQ(utiltest::CountLines(closedError), before + 1);
}

TEST_F(LpcTransport, SendsReuseTheConnectionUntilAnOrderlyCloseAndThenConnectAgain) {
    SetLogLevel(LOG_INFO);
    zrtest::ChildProcess& server = StartServer();
    const std::string self = std::to_string(getpid());
    const std::string connecting = "NtLpcClient::ConnectDestinationPort: Connecting to port '\\RPC Control\\" +
                                   group_ + std::to_string(server.Pid()) + "'";
    std::string data = "one";
    ASSERT_EQ(Send(server, 1, data, LPC_TYPE_SYNC), 0);
    EXPECT_EQ(server.Line(), "accepted " + self);
    EXPECT_EQ(server.Line(), Received(1, "one", 0));
    ASSERT_EQ(Send(server, 1, data, LPC_TYPE_SYNC), 0);
    EXPECT_EQ(server.Line(), Received(1, "one", 0)) << "no second connection";
    EXPECT_EQ(utiltest::CountLines(connecting), 1u);

    EXPECT_TRUE(client_->CloseDestinationPort(static_cast<DWORD>(server.Pid())));
    EXPECT_FALSE(client_->CloseDestinationPort(static_cast<DWORD>(server.Pid())));
    EXPECT_EQ(server.Line(), "closed " + self);

    data = "two";
    ASSERT_EQ(Send(server, 2, data, LPC_TYPE_SYNC), 0);
    EXPECT_EQ(server.Line(), "accepted " + self);
    EXPECT_EQ(server.Line(), Received(2, "two", 0));
    EXPECT_EQ(utiltest::CountLines(connecting), 2u);
}

TEST_F(LpcTransport, SendsToAPortNobodyServesOrCannotBeNamedFailWithTheirReason) {
    const DWORD pid = static_cast<DWORD>(getpid());  // this process serves no port of this group
    const std::string port = "\\RPC Control\\" + group_ + std::to_string(pid);
    const std::string connectLine = "NtLpcClient::ConnectDestinationPort: [E] Could not connect to port '" + port + "'";
    const std::string sendLine = "NtLpcClient::SendMessageA: [E] ConnectDestinationPort to pid " + std::to_string(pid);
    const std::string tooLong = "NtLpcClient::ConnectDestinationPort: [E] Port name for '" + group_;
    const std::string serverTooLong = "NtLpcServer::InitializeServer: [E] Port name for '" + group_;
    const size_t connectBefore = utiltest::CountStartingWith(connectLine);
    const size_t sendBefore = utiltest::CountStartingWith(sendLine);
    const size_t tooLongBefore = utiltest::CountStartingWith(tooLong);
    const size_t serverTooLongBefore = utiltest::CountStartingWith(serverTooLong);

    std::string data = "lost";
    const NTSTATUS status = client_->SendMessage(pid, 1, reinterpret_cast<BYTE*>(data.data()), 4, LPC_TYPE_SYNC);
    EXPECT_LT(status, 0);
    EXPECT_EQ(data, "lost");
    char hex[16];
    std::snprintf(hex, sizeof hex, "%X", static_cast<unsigned>(status));
    EXPECT_EQ(utiltest::CountLines(connectLine + ". err:0x" + hex), connectBefore + 1);
    EXPECT_EQ(utiltest::CountLines(sendLine + " failed. err:0x" + hex), sendBefore + 1);

    // A group name too long for a port name is refused on both sides.
    LpcEndpoint endpoint(Wide(group_ + std::string(200, 'x')));
    ASSERT_TRUE(endpoint.Load());
    EXPECT_EQ(endpoint.SendMessage(1234, 1, reinterpret_cast<BYTE*>(data.data()), 1, LPC_TYPE_SYNC),
              kLpcStatusNameTooLong);
    EXPECT_EQ(endpoint.StartServer(), kLpcStatusNameTooLong);
    EXPECT_FALSE(endpoint.IsRunning());
    EXPECT_EQ(utiltest::CountStartingWith(tooLong), tooLongBefore + 1);
    EXPECT_EQ(utiltest::CountStartingWith(serverTooLong), serverTooLongBefore + 1);
}

}  // namespace
