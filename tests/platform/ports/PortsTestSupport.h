// Helpers of the NT port tests: port names, message records, handles that
// close themselves, and the server's side of a connection.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "MultiProcessTest.h"
#include "util/ScopedHandle.h"
#include "zrwin/ntport.h"
#include "zrwin/windows.h"

namespace porttest {

constexpr ULONG kMaxMessage = 304;

// Names unique to this test process, since test processes run side by side.
inline std::string UniqueName(const char* what) {
    static std::atomic<int> counter{0};
    return std::string("\\RPC Control\\zrwin-ports-") + what + "-" + std::to_string(getpid()) + "-" +
           std::to_string(counter++);
}

// A port handle closed with NtClose when the test is done with it.
struct PortTraits {
    using Handle = HANDLE;
    static Handle Null() { return nullptr; }
    static bool IsValid(Handle h) { return h != nullptr; }
    static void Close(Handle h) { NtClose(h); }
};
using Port = ScopedHandle<PortTraits>;

// Serves `name` (connect == false) or connects to it, into `port`.
inline NTSTATUS OpenPort(const std::string& name, Port& port, bool connect, ULONG maxMessage = kMaxMessage) {
    const std::wstring wide(name.begin(), name.end());
    UNICODE_STRING text;
    RtlInitUnicodeString(&text, wide.c_str());
    OBJECT_ATTRIBUTES attributes{24, nullptr, &text, 0, nullptr, nullptr};
    SECURITY_QUALITY_OF_SERVICE qos{12, SecurityAnonymous, 0, 0};
    HANDLE handle = nullptr;
    const NTSTATUS status = connect ? NtConnectPort(&handle, &text, &qos, nullptr, nullptr, nullptr, nullptr, nullptr)
                                    : NtCreatePort(&handle, &attributes, 0, maxMessage, 0);
    port.Reset(handle);
    return status;
}
inline NTSTATUS CreatePort(const std::string& name, Port& port, ULONG maxMessage = kMaxMessage) {
    return OpenPort(name, port, false, maxMessage);
}
inline NTSTATUS ConnectPort(const std::string& name, Port& port) { return OpenPort(name, port, true); }

// A message the way the transport builds one: inline data at offset 56.
inline PORT_MESSAGE_RECORD Inline(const std::string& data) {
    PORT_MESSAGE_RECORD record{};
    record.Header.DataLength = static_cast<USHORT>(32 + data.size());
    record.Header.TotalLength = 304;
    std::memcpy(record.Payload, data.data(), data.size());
    return record;
}

inline std::string PayloadText(const PORT_MESSAGE_RECORD& record) {
    return std::string(reinterpret_cast<const char*>(record.Payload));
}

inline NTSTATUS Receive(HANDLE server, PORT_MESSAGE_RECORD& record, int milliseconds = 20000) {
    LARGE_INTEGER timeout;
    timeout.QuadPart = -static_cast<LONGLONG>(milliseconds) * 10000;
    return NtReplyWaitReceivePortEx(server, nullptr, nullptr, &record.Header, &timeout);
}

// Receives the next message, which must be of the given type.
inline PORT_MESSAGE_RECORD Expect(HANDLE server, USHORT type) {
    PORT_MESSAGE_RECORD record{};
    EXPECT_EQ(Receive(server, record), STATUS_SUCCESS);
    EXPECT_EQ(record.Header.Type, type);
    return record;
}

// Accepts and completes the connection the request asks for.
inline Port Accept(PORT_MESSAGE_RECORD& request) {
    HANDLE handle = nullptr;
    EXPECT_EQ(NtAcceptConnectPort(&handle, nullptr, &request.Header, TRUE, nullptr, nullptr), STATUS_SUCCESS);
    EXPECT_EQ(NtCompleteConnectPort(handle), STATUS_SUCCESS);
    return Port(handle);
}

// Receives a connection request, accepts and completes it.
inline Port AcceptNext(HANDLE server) {
    PORT_MESSAGE_RECORD request = Expect(server, LPC_CONNECTION_REQUEST);
    return Accept(request);
}

// A client connected from a thread of this process, for tests that need no
// second process.
struct LocalConnection {
    Port client;
    Port communication;
};

inline LocalConnection ConnectLocally(HANDLE server, const std::string& name) {
    LocalConnection pair;
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    std::thread client([&] { status = ConnectPort(name, pair.client); });
    pair.communication = AcceptNext(server);
    client.join();
    EXPECT_EQ(status, STATUS_SUCCESS);
    return pair;
}

// A line for the test on the child's standard output.
inline void Say(const std::string& line) { std::fputs((line + "\n").c_str(), stdout), std::fflush(stdout); }

// Blocks the child until the test closes its standard input.
inline void AwaitStdinClosed() {
    char c;
    while (read(0, &c, 1) > 0) {
    }
}

// Each test serves a port of a name of its own.
class ServedPort : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(CreatePort(name, server), STATUS_SUCCESS); }
    const std::string name = UniqueName("served");
    Port server;
};

}  // namespace porttest
