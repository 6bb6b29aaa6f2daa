// How the server handles one received message: what reaches the hook, what
// goes back to the client and in which order, with the native port calls
// answered from memory.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "ScriptedPorts.h"
#include "log/Log.h"
#include "util/LogLines.h"

namespace {

using lpctest::ReceivedMessage;
using lpctest::ScriptedLpcServer;
using Events = std::vector<std::string>;

TEST(NtLpcServerRequest, InlineCallIsAnsweredInPlaceWithTheFullReplyArea) {
    ScriptedLpcServer server;
    server.hookAnswer = std::string(232, 'A');
    LpcPortMessage message = ReceivedMessage(LPC_DELIVERED_REQUEST, LPC_TYPE_CALL, 7, "0123456789", 10, false);
    message.data[kLpcMessageSize - 2 - kLpcDataOffset] = 0x55;  // stale bytes the reply must clear
    message.data[kLpcMessageSize - 1 - kLpcDataOffset] = 0x66;

    EXPECT_EQ(server.ProcessRequest(&message), 0);

    EXPECT_EQ(server.events, (Events{"hook", "reply"}));
    ASSERT_EQ(server.replies.size(), 1u);
    const LpcPortMessage& reply = server.replies[0];
    EXPECT_EQ(reply.header.DataLength, 264);
    EXPECT_EQ(reply.header.TotalLength, 304);
    EXPECT_EQ(reply.info.type, LPC_TYPE_CALL);
    EXPECT_EQ(reply.info.cmd, 7);
    EXPECT_EQ(reply.info.size, 10u);
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(reply.data), 232), std::string(232, 'A'));
    EXPECT_EQ(reply.data[kLpcMessageSize - 2 - kLpcDataOffset], 0);
    EXPECT_EQ(reply.data[kLpcMessageSize - 1 - kLpcDataOffset], 0);
}

// A Sync sender is released only once its message was handled; a datagram
// gets no reply. (Calls: above and below; an indirect Async: the transport test.)
TEST(NtLpcServerRequest, SyncRepliesFollowTheHookAndDatagramsGetNone) {
    const struct {
        uint16_t delivered;
        uint32_t type;
        bool indirect;
        Events events;
    } cases[] = {{LPC_DELIVERED_DATAGRAM, LPC_TYPE_ASYNC, false, {"hook"}},
                 {LPC_DELIVERED_REQUEST, LPC_TYPE_SYNC, false, {"hook", "reply"}},
                 {LPC_DELIVERED_REQUEST, LPC_TYPE_SYNC, true, {"read", "hook", "reply"}}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.events.size());
        ScriptedLpcServer server;
        server.indirectData = std::string(600, 'i');
        LpcPortMessage message = ReceivedMessage(c.delivered, c.type, 3, "d", c.indirect ? 600 : 1, c.indirect);
        server.ProcessRequest(&message);
        EXPECT_EQ(server.events, c.events);
    }
}

TEST(NtLpcServerRequest, ATinyIndirectCallStillGetsAFull232ByteAnswerFromTheServersMemory) {
    ScriptedLpcServer server;
    server.indirectData = "tiny";
    server.hookAnswer = "answer";
    LpcPortMessage message = ReceivedMessage(LPC_DELIVERED_REQUEST, LPC_TYPE_CALL, 1, "", 4, true);
    EXPECT_EQ(server.ProcessRequest(&message), 0);
    EXPECT_EQ(server.events, (Events{"read", "hook", "write", "reply"}));
    ASSERT_EQ(server.written.size(), 232u);
    EXPECT_EQ(server.written.substr(0, 6), "answer");
    EXPECT_GE(server.ReadBufferCapacity(), 232u);
}

// A message that cannot be handled is logged and its sender still released.
TEST(NtLpcServerRequest, UnreadableOversizedOrFailingMessagesAreLoggedAndTheirSenderStillReleased) {
    SetLogLevel(LOG_WARNING);
    const std::string p = "NtLpcServer::ProcessRequest: ";
    const struct {
        const char* name;
        NTSTATUS readStatus;
        INT hookResult;
        uint32_t size;
        bool indirect;
        Events events;
        std::vector<std::string> lines;
    } cases[] = {
        {"unreadable indirect data", static_cast<NTSTATUS>(0xC0000702u), 1, 3000, true, {"read", "reply"},
         {p + "[W] Previous Read operation failed, received message will be discarded.",
          p + "[E] NtReadRequestData failed. error: 0xC0000702 (STATUS_INVALID_MESSAGE)"}},
        {"inline size beyond the message", 0, 1, 100000, false, {"reply"}, {}},
        // No answer is written back after a failure.
        {"failing hook, inline", 0, -7, 3, false, {"hook", "reply"},
         {p + "[E] ReceiveMessage failed. status: 0xFFFFFFF9 (ERROR code)"}},
        {"failing hook, indirect", 0, -7, 300, true, {"read", "hook", "reply"},
         {p + "[E] ReceiveMessage failed. status: 0xFFFFFFF9 (ERROR code)"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::vector<size_t> before;
        for (const auto& line : c.lines) before.push_back(utiltest::CountLines(line));
        ScriptedLpcServer server;
        server.readStatus = c.readStatus;
        server.hookResult = c.hookResult;
        server.indirectData = std::string(c.size, 'x');
        LpcPortMessage message =
            ReceivedMessage(LPC_DELIVERED_REQUEST, LPC_TYPE_CALL, 1, "abc", c.size, c.indirect);
        EXPECT_EQ(server.ProcessRequest(&message), 0);  // the reply's status
        EXPECT_EQ(server.events, c.events);
        for (size_t i = 0; i < c.lines.size(); ++i) EXPECT_EQ(utiltest::CountLines(c.lines[i]), before[i] + 1);
    }
}

}  // namespace

// The listener's life with a scripted port: what ends it and what starts it again.
#include <condition_variable>
#include <mutex>

namespace {

class ScriptedListener : public lpctest::ScriptedLpcServer {
public:
    NTSTATUS receiveStatus = kLpcStatusTimeout;  // what every receive returns

    ScriptedListener() {
        listener_ = this;
        NtCreatePort = &Create;
        NtReplyWaitReceivePortEx = &Receive;
        RtlInitUnicodeString = &InitString;
        NtClose = &Close;
    }
    ~ScriptedListener() override {
        StopServer();
        listener_ = nullptr;
    }

    int Created() {
        std::lock_guard<std::mutex> lock(mutex_);
        return created_;
    }
    // Waits until the listener has closed the server port after its loop.
    bool AwaitPortClosed(int count) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, std::chrono::seconds(30), [&] { return portsClosed_ >= count; });
    }
    void SetReceiveStatus(NTSTATUS status) {
        std::lock_guard<std::mutex> lock(mutex_);
        receiveStatus = status;
    }

private:
    static inline ScriptedListener* listener_ = nullptr;
    static constexpr uintptr_t kServerPort = 0x5150;

    static NTSTATUS NTAPI Create(HANDLE* port, OBJECT_ATTRIBUTES*, ULONG, ULONG maxMessageLength, ULONG) {
        std::lock_guard<std::mutex> lock(listener_->mutex_);
        ++listener_->created_;
        *port = reinterpret_cast<HANDLE>(kServerPort);
        return maxMessageLength == kLpcTotalLength ? 0 : kLpcStatusInvalidParameter;
    }
    static NTSTATUS NTAPI Receive(HANDLE, void**, LpcPortMessage*, LpcPortMessage*, LARGE_INTEGER* timeout) {
        std::unique_lock<std::mutex> lock(listener_->mutex_);
        const NTSTATUS status = listener_->receiveStatus;
        if (status == kLpcStatusTimeout) {
            // Wait out the relative time-out the listener asked for, unless the script changes.
            listener_->changed_.wait_for(lock, std::chrono::microseconds(-timeout->QuadPart / 10));
        }
        return status;
    }
    static void NTAPI InitString(UNICODE_STRING* target, const WCHAR* source) {
        target->Buffer = const_cast<WCHAR*>(source);
        target->Length = 0;
        target->MaximumLength = 0;
    }
    static NTSTATUS NTAPI Close(HANDLE handle) {
        std::lock_guard<std::mutex> lock(listener_->mutex_);
        if (reinterpret_cast<uintptr_t>(handle) == kServerPort) ++listener_->portsClosed_;
        listener_->changed_.notify_all();
        return 0;
    }

    std::mutex mutex_;
    std::condition_variable changed_;
    int created_ = 0;
    int portsClosed_ = 0;
};

TEST(NtLpcServerListener, EndsOnAReceiveErrorAndStartsAgainOnlyAfterAStop) {
    SetLogLevel(LOG_WARNING);
    const std::string line =
        "NtLpcServer::ServerThread: [E] NtReplyWaitReceivePortEx failed. error: 0xC0000008 (STATUS_INVALID_HANDLE)";
    const size_t before = utiltest::CountLines(line);

    ScriptedListener server;
    server.SetReceiveStatus(static_cast<NTSTATUS>(0xC0000008u));
    EXPECT_EQ(server.StartServer(), 0);
    ASSERT_TRUE(server.AwaitPortClosed(1));
    EXPECT_EQ(utiltest::CountLines(line), before + 1);

    // The flag is still set: a start does nothing until the server is stopped.
    EXPECT_TRUE(server.IsRunning());
    EXPECT_EQ(server.StartServer(), 0);
    EXPECT_EQ(server.Created(), 1);

    server.SetReceiveStatus(kLpcStatusTimeout);
    EXPECT_EQ(server.StopServer(), 0);
    EXPECT_EQ(server.StartServer(), 0);
    EXPECT_EQ(server.Created(), 2);
    EXPECT_TRUE(server.IsRunning());

    // An abort only clears the flag; the listener ends within one receive time-out.
    server.AbortServer();
    EXPECT_FALSE(server.IsRunning());
    ASSERT_TRUE(server.AwaitPortClosed(2));
    EXPECT_EQ(server.StopServer(), 0);
}

}  // namespace
