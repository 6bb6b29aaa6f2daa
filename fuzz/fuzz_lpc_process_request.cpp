// NtLpcServer::ProcessRequest over arbitrary received port messages: the
// first 328 bytes are the message as delivered, the rest the client's
// indirect data. The message lives in a heap block of exactly its size and
// the hook reads every byte it is told is there, so a read past the message
// or the read buffer is caught by the address sanitizer; every Sync and Call
// must get exactly one reply.
#include <cstring>
#include <memory>

#include "FuzzCheck.h"
#include "lpc/ScriptedPorts.h"

FUZZ_QUIET_LOG()

namespace {

// One server for the whole run, so the read buffer grows and is reused as in service.
lpctest::ScriptedLpcServer& Server() {
    static lpctest::ScriptedLpcServer server;
    return server;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto message = std::make_unique<LpcPortMessage>();
    std::memset(message.get(), 0, sizeof(LpcPortMessage));
    std::memcpy(message.get(), data, std::min(size, sizeof(LpcPortMessage)));
    if (message->info.indirect) {
        // The peer chooses the size; keep allocations inside the fuzzer's memory limit.
        message->info.size &= 0xFFFFF;
    }

    lpctest::ScriptedLpcServer& server = Server();
    server.indirectData = size > sizeof(LpcPortMessage)
                              ? std::string(reinterpret_cast<const char*>(data) + sizeof(LpcPortMessage),
                                            size - sizeof(LpcPortMessage))
                              : std::string();
    server.hookAnswer = std::string(kLpcReplyDataSize, 'a');
    server.replies.clear();
    server.events.clear();
    server.hookCalls.clear();

    const MessageInfo info = message->info;
    server.ProcessRequest(message.get());

    const bool wantsReply = info.type == LPC_TYPE_SYNC || info.type == LPC_TYPE_CALL;
    const bool releasesEarly = info.indirect && info.type == LPC_TYPE_ASYNC;
    FUZZ_CHECK(server.replies.size() == (wantsReply || releasesEarly ? 1u : 0u));
    FUZZ_CHECK(server.hookCalls.size() <= 1);
    if (!server.hookCalls.empty()) FUZZ_CHECK(server.hookCalls[0].size == info.size);
    FUZZ_CHECK(server.ReadBufferCapacity() == 0 || server.ReadBufferCapacity() >= kLpcReplyDataSize);
    return 0;
}
