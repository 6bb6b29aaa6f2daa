// The client side of the NT ports: connecting, datagrams, requests that wait
// for their reply (several threads at once on one port), and the
// thread-terminate registration.
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "ntdll/port_objects.h"

namespace zrwin::ntport {
namespace {

// How long an ending thread or a closing port waits to tell the server;
// a server that reads nothing for that long learns it from the socket's end.
constexpr int kNoticeTimeoutMs = 5000;

constexpr size_t kKeptIndirectBytes = 1024 * 1024;

// The ports the thread registered with NtRegisterThreadTerminatePort; the
// server hears of the thread's end when this goes with the thread.
struct ThreadTerminatePorts {
    std::vector<std::weak_ptr<ClientPort>> ports;
    ~ThreadTerminatePorts() {
        const uint32_t tid = CurrentThreadId();
        for (auto& weak : ports) {
            if (auto port = weak.lock()) port->SendThreadEnded(tid);
        }
    }
};

thread_local ThreadTerminatePorts t_terminatePorts;

// A forked child's thread is not the registered thread, and its end must not
// be reported for the parent's.
void ForgetRegistrationsAfterFork() { t_terminatePorts.ports.clear(); }
[[maybe_unused]] const bool kForkHandlerInstalled = pthread_atfork(nullptr, nullptr, ForgetRegistrationsAfterFork) == 0;

PORT_MESSAGE HeaderOf(const Record& record) {
    PORT_MESSAGE header;
    std::memcpy(&header, record.data(), sizeof header);
    return header;
}

}  // namespace

NTSTATUS ClientPort::Connect(const std::string& name, const void* info, ULONG infoLength,
                             std::shared_ptr<ClientPort>& out) {
    ScopedFd socket(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!socket.IsValid()) return StatusFromErrno(errno);
    sockaddr_un address;
    socklen_t length;
    PortAddress(name, address, length);
    // A blocking connect: a full backlog means the server is busy, not absent.
    int connected;
    do {
        connected = ::connect(socket.Get(), reinterpret_cast<sockaddr*>(&address), length);
    } while (connected != 0 && errno == EINTR);
    if (connected != 0) return StatusFromErrno(errno);
    // The socket stays blocking: a thread waiting for its answer sleeps in
    // the read itself. Sends never wait in the kernel (SendFrame).

    const auto hello = MakeFrameHeader(FrameKind::Connect, 0, CurrentThreadId(), infoLength);
    // A failed send is not the answer yet: a server that refuses at once has
    // already closed its end, and its refusal waits to be read.
    SendFrame(socket.Get(), hello, nullptr, info);

    // Blocks until the server answers: accepted and completed, or refused.
    FrameReader reader;
    for (;;) {
        const auto fill = reader.ReadFrames(socket.Get(), FrameReader::Wait::Yes);
        OwnedFrame answer;
        if (reader.Next(answer)) {
            const auto kind = static_cast<FrameKind>(answer.header.kind);
            if (kind == FrameKind::Accepted) {
                out = std::make_shared<ClientPort>(std::move(socket), std::move(reader), answer.header.value);
                return STATUS_SUCCESS;
            }
            if (kind == FrameKind::Refused) {
                const auto refusal = static_cast<NTSTATUS>(answer.header.value);
                return NT_SUCCESS(refusal) ? STATUS_PORT_CONNECTION_REFUSED : refusal;
            }
            return STATUS_PORT_CONNECTION_REFUSED;
        }
        // The server went away before it answered.
        if (fill == FrameReader::Fill::Closed || reader.Broken()) return STATUS_PORT_CONNECTION_REFUSED;
    }
}

ClientPort::ClientPort(ScopedFd socket, FrameReader reader, ULONG maxMessage)
    : PortObject(Role::Client), socket_(std::move(socket)), maxMessage_(maxMessage), reader_(std::move(reader)) {}

ClientPort::~ClientPort() {
    const auto close = MakeFrameHeader(FrameKind::Close, 0, 0, 0);
    std::lock_guard<std::mutex> send(sendLock_);
    SendFrame(socket_.Get(), close, nullptr, nullptr, kNoticeTimeoutMs);
}

NTSTATUS ClientPort::Send(const FrameHeader& header, const void* record, const void* data, int timeoutMs) {
    std::lock_guard<std::mutex> send(sendLock_);
    return SendFrame(socket_.Get(), header, record, data, timeoutMs);
}

NTSTATUS ClientPort::Datagram(const Record& message) {
    const PORT_MESSAGE header = HeaderOf(message);
    const NTSTATUS length = CheckMessageLength(header, maxMessage_);
    if (length != STATUS_SUCCESS) return length;
    // A datagram gets no reply, so nothing could carry written data back.
    if (header.DataInfoOffset != 0) return STATUS_INVALID_PARAMETER;
    return Send(MakeFrameHeader(FrameKind::Datagram, 0, CurrentThreadId(), 0), message.data(), nullptr);
}

NTSTATUS ClientPort::RequestWaitReply(const Record& request, Record& reply) {
    const NTSTATUS length = CheckMessageLength(HeaderOf(request), maxMessage_);
    if (length != STATUS_SUCCESS) return length;
    // Kept per thread, so a sender of large data does not allocate and clear
    // a buffer for each request; an unusually large one is given back.
    thread_local IndirectData indirect;
    struct Trim {
        ~Trim() {
            if (indirect.bytes.capacity() > kKeptIndirectBytes) std::vector<uint8_t>().swap(indirect.bytes);
        }
    } trim;
    const NTSTATUS read = ReadIndirectData(request, indirect);
    if (read != STATUS_SUCCESS) return read;

    uint32_t token;
    ReplyWaiter self;
    {
        std::lock_guard<std::mutex> guard(readLock_);
        if (disconnected_) return STATUS_PORT_DISCONNECTED;
        do {
            token = nextToken_++;
        } while (token == 0 || waiting_.count(token));
        waiting_[token] = &self;
    }
    const auto frame =
        MakeFrameHeader(FrameKind::Request, token, CurrentThreadId(), static_cast<uint32_t>(indirect.bytes.size()));
    const NTSTATUS sent = Send(frame, request.data(), indirect.bytes.data());
    if (sent != STATUS_SUCCESS) {
        std::lock_guard<std::mutex> guard(readLock_);
        waiting_.erase(token);
        return sent;
    }
    OwnedFrame answer;
    const NTSTATUS answered = AwaitReply(token, self, answer);
    if (answered != STATUS_SUCCESS) return answered;
    const auto status = static_cast<NTSTATUS>(answer.header.value);
    if (!NT_SUCCESS(status)) return status;
    reply = answer.record;
    if (indirect.present && !answer.data.empty()) {
        // The server's written bytes land where this side's descriptor points.
        const size_t count = answer.data.size() < indirect.length ? answer.data.size() : indirect.length;
        const NTSTATUS copied = CopyToCallerMemory(indirect.address, answer.data.data(), count);
        if (copied != STATUS_SUCCESS) return copied;
    }
    return status;
}

NTSTATUS ClientPort::AwaitReply(uint32_t token, ReplyWaiter& self, OwnedFrame& reply) {
    std::unique_lock<std::mutex> guard(readLock_);
    for (;;) {
        if (self.arrived) {
            reply = std::move(self.reply);
            waiting_.erase(token);
            if (!readerActive_) WakeNextReader();
            return STATUS_SUCCESS;
        }
        if (disconnected_) {
            waiting_.erase(token);
            return STATUS_PORT_DISCONNECTED;
        }
        if (readerActive_) {
            self.wake.wait(guard);
            continue;
        }
        // This thread reads for every waiter until its own reply came.
        readerActive_ = true;
        guard.unlock();
        std::vector<OwnedFrame> frames;
        bool closed = false;
        for (;;) {
            OwnedFrame frame;
            while (reader_.Next(frame)) frames.push_back(std::move(frame));
            if (!frames.empty() || reader_.Broken()) break;
            if (reader_.ReadFrames(socket_.Get(), FrameReader::Wait::Yes) == FrameReader::Fill::Closed) {
                while (reader_.Next(frame)) frames.push_back(std::move(frame));
                closed = true;
                break;
            }
        }
        closed = closed || reader_.Broken();
        guard.lock();
        readerActive_ = false;
        for (auto& frame : frames) {
            if (static_cast<FrameKind>(frame.header.kind) != FrameKind::Reply) continue;
            auto waiter = waiting_.find(frame.header.token);
            if (waiter == waiting_.end() || waiter->second->arrived) continue;
            waiter->second->reply = std::move(frame);
            waiter->second->arrived = true;
            if (waiter->second != &self) waiter->second->wake.notify_one();
        }
        if (closed) {
            disconnected_ = true;
            for (auto& [_, waiter] : waiting_) waiter->wake.notify_one();
        }
    }
}

void ClientPort::WakeNextReader() {
    for (auto& [_, waiter] : waiting_) {
        if (!waiter->arrived) {
            waiter->wake.notify_one();
            return;
        }
    }
}

NTSTATUS ClientPort::RegisterThreadTerminate() {
    auto& ports = t_terminatePorts.ports;
    for (auto& weak : ports) {
        if (weak.lock().get() == this) return STATUS_SUCCESS;  // one notice per thread and port
    }
    ports.push_back(weak_from_this());
    return STATUS_SUCCESS;
}

void ClientPort::SendThreadEnded(uint32_t tid) {
    Send(MakeFrameHeader(FrameKind::ThreadEnded, 0, tid, 0), nullptr, nullptr, kNoticeTimeoutMs);
}

}  // namespace zrwin::ntport
