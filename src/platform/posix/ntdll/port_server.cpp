// The server side of the NT ports: the connection port that listens, accepts
// and queues what its clients send, and the server's end of each connection.
#include <poll.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "ntdll/port_objects.h"

namespace zrwin::ntport {
namespace {

PORT_MESSAGE HeaderOf(const Record& record) {
    PORT_MESSAGE header;
    std::memcpy(&header, record.data(), sizeof header);
    return header;
}

void SetHeader(Record& record, const PORT_MESSAGE& header) { std::memcpy(record.data(), &header, sizeof header); }

// The only connections a port made without a security descriptor admits:
// its own user's and the administrator's.
bool MayConnect(uid_t peer) { return peer == ::geteuid() || peer == 0; }

}  // namespace

NTSTATUS ServerPort::Create(const std::string& name, ULONG maxConnectionInfo, ULONG maxMessage,
                            std::shared_ptr<ServerPort>& out) {
    ScopedFd listener(::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0));
    if (!listener.IsValid()) return StatusFromErrno(errno);
    sockaddr_un address;
    socklen_t length;
    PortAddress(name, address, length);
    if (::bind(listener.Get(), reinterpret_cast<sockaddr*>(&address), length) != 0) return StatusFromErrno(errno);
    if (::listen(listener.Get(), SOMAXCONN) != 0) return StatusFromErrno(errno);
    ScopedFd epoll(::epoll_create1(EPOLL_CLOEXEC));
    if (!epoll.IsValid()) return StatusFromErrno(errno);
    const int listenFd = listener.Get();
    auto port = std::make_shared<ServerPort>(std::move(listener), std::move(epoll), maxConnectionInfo, maxMessage);
    if (!port->queued_.Valid()) return STATUS_INSUFFICIENT_RESOURCES;
    for (int fd : {listenFd, port->queued_.Fd()}) {
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.fd = fd;
        if (::epoll_ctl(port->epoll_.Get(), EPOLL_CTL_ADD, fd, &event) != 0) return StatusFromErrno(errno);
    }
    RegisterServerPort(port);
    out = std::move(port);
    return STATUS_SUCCESS;
}

ServerPort::ServerPort(ScopedFd listener, ScopedFd epoll, ULONG maxConnectionInfo, ULONG maxMessage)
    : PortObject(Role::Server),
      listener_(std::move(listener)),
      epoll_(std::move(epoll)),
      maxConnectionInfo_(maxConnectionInfo),
      maxMessage_(maxMessage) {}

ServerPort::~ServerPort() {
    // Clients of a port that is gone see their connection end.
    std::lock_guard<std::mutex> guard(lock_);
    for (auto& [fd, connection] : connections_) ::shutdown(fd, SHUT_RDWR);
}

bool ServerPort::TryAcquire() {
    std::lock_guard<std::mutex> guard(lock_);
    PumpLocked();
    return !deliveries_.empty();
}

NTSTATUS ServerPort::Receive(Record& out, void** context, int64_t timeoutNs) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::nanoseconds(timeoutNs < 0 ? 0 : timeoutNs);
    for (;;) {
        {
            std::unique_lock<std::mutex> guard(lock_);
            PumpLocked();
            if (!deliveries_.empty()) {
                Delivery delivery = std::move(deliveries_.front());
                deliveries_.pop_front();
                UpdateSignalLocked();
                void* portContext = delivery.connection ? delivery.connection->context : nullptr;
                guard.unlock();
                out = delivery.record;
                if (context) *context = portContext;
                return STATUS_SUCCESS;
            }
        }
        int waitMs = -1;
        if (timeoutNs >= 0) {
            const auto left = deadline - std::chrono::steady_clock::now();
            if (left <= std::chrono::nanoseconds(0)) return STATUS_TIMEOUT;
            // Rounded up, so the wait never ends before the time-out.
            waitMs = static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(left).count());
        }
        pollfd ready{epoll_.Get(), POLLIN, 0};
        ::poll(&ready, 1, waitMs);
    }
}

void ServerPort::PumpLocked() {
    AcceptNewLocked();
    std::vector<std::shared_ptr<Connection>> open;
    open.reserve(connections_.size());
    for (auto& [fd, connection] : connections_) open.push_back(connection);
    for (auto& connection : open) {
        const auto fill = connection->reader.ReadAvailable(connection->fd.Get());
        OwnedFrame frame;
        while (connection->state != Connection::State::Closed && connection->reader.Next(frame)) {
            HandleFrameLocked(connection, frame);
        }
        if (fill == FrameReader::Fill::Closed || connection->reader.Broken()) EndConnectionLocked(connection, false);
    }
    UpdateSignalLocked();
}

void ServerPort::AcceptNewLocked() {
    for (;;) {
        ScopedFd socket(::accept4(listener_.Get(), nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC));
        if (!socket.IsValid()) {
            if (errno == EINTR || errno == ECONNABORTED) continue;
            return;
        }
        ucred peer{};
        socklen_t size = sizeof peer;
        if (::getsockopt(socket.Get(), SOL_SOCKET, SO_PEERCRED, &peer, &size) != 0) continue;
        if (!MayConnect(peer.uid)) {
            // A fresh socket has room for the answer; never wait for it here.
            const auto refused = MakeFrameHeader(FrameKind::Refused, 0, static_cast<uint32_t>(STATUS_ACCESS_DENIED), 0);
            SendFrame(socket.Get(), refused, nullptr, nullptr, 0);
            continue;
        }
        auto connection = std::make_shared<Connection>();
        connection->pid = static_cast<uint32_t>(peer.pid);
        const int fd = socket.Get();
        connection->fd = std::move(socket);
        epoll_event event{};
        event.events = EPOLLIN;
        event.data.fd = fd;
        if (::epoll_ctl(epoll_.Get(), EPOLL_CTL_ADD, fd, &event) != 0) continue;
        connections_[fd] = std::move(connection);
    }
}

void ServerPort::HandleFrameLocked(const std::shared_ptr<Connection>& connection, OwnedFrame& frame) {
    const auto kind = static_cast<FrameKind>(frame.header.kind);
    if (connection->state == Connection::State::AwaitingConnect && kind == FrameKind::Connect) {
        Record request{};
        PORT_MESSAGE header{};
        // Longer connection information is cut to what the port accepts.
        const size_t info = frame.data.size() < maxConnectionInfo_ ? frame.data.size() : maxConnectionInfo_;
        header.DataLength = static_cast<USHORT>(info);
        header.TotalLength = static_cast<USHORT>(sizeof(PORT_MESSAGE) + info);
        SetHeader(request, header);
        if (info) std::memcpy(request.data() + sizeof(PORT_MESSAGE), frame.data.data(), info);
        connection->tid = frame.header.value;
        const uint32_t id = DeliverLocked(connection, request, LPC_CONNECTION_REQUEST, connection->tid);
        connection->state = Connection::State::Requested;
        connection->connectMessageId = id;
        connectRequests_[id] = connection;
        return;
    }
    if (connection->state != Connection::State::Active) {
        EndConnectionLocked(connection, false);  // the peer does not follow the protocol
        return;
    }
    switch (kind) {
        case FrameKind::Request: {
            const NTSTATUS status = CheckMessageLength(HeaderOf(frame.record), maxMessage_);
            if (status != STATUS_SUCCESS) {
                // The sender waits for an answer; give it the refusal.
                const auto refusal =
                    MakeFrameHeader(FrameKind::Reply, frame.header.token, static_cast<uint32_t>(status), 0);
                std::lock_guard<std::mutex> send(connection->sendLock);
                SendFrame(connection->fd.Get(), refusal, frame.record.data(), nullptr, 1000);
                return;
            }
            Pending pending;
            pending.connection = connection;
            pending.token = frame.header.token;
            pending.count = DescriptorCount(frame.record);
            pending.hasData = HeaderOf(frame.record).DataInfoOffset != 0;
            pending.data = std::move(frame.data);
            const uint32_t id = DeliverLocked(connection, frame.record, LPC_REQUEST, frame.header.value);
            pending_[id] = std::move(pending);
            return;
        }
        case FrameKind::Datagram:
            if (CheckMessageLength(HeaderOf(frame.record), maxMessage_) == STATUS_SUCCESS) {
                DeliverLocked(connection, frame.record, LPC_DATAGRAM, frame.header.value);
            }
            return;
        case FrameKind::Close:
            EndConnectionLocked(connection, true);
            return;
        case FrameKind::ThreadEnded:
            DeliverLocked(connection, Record{}, LPC_CLIENT_DIED, frame.header.value);
            connection->diedDelivered = true;
            return;
        default:
            EndConnectionLocked(connection, false);
            return;
    }
}

uint32_t ServerPort::DeliverLocked(const std::shared_ptr<Connection>& connection, Record record, uint16_t type,
                                   uint32_t tid) {
    PORT_MESSAGE header = HeaderOf(record);
    if (type == LPC_PORT_CLOSED || type == LPC_CLIENT_DIED) {
        header = PORT_MESSAGE{};
        header.TotalLength = sizeof(PORT_MESSAGE);
    }
    header.Type = type;
    header.ClientProcessId = connection->pid;
    header.ClientThreadId = tid;
    header.MessageId = NextMessageId();
    header.ClientViewSize = 0;
    SetHeader(record, header);
    deliveries_.push_back(Delivery{record, connection});
    return header.MessageId;
}

void ServerPort::EndConnectionLocked(const std::shared_ptr<Connection>& connection, bool orderly, bool notify) {
    if (connection->state == Connection::State::Closed) return;
    const bool answerPending =
        connection->state == Connection::State::Requested || connection->state == Connection::State::Accepted;
    if (notify && answerPending) {
        // The client went while its request waited for an answer. Answering
        // still works, and completing delivers client-died, so the server
        // hears of this client as of any other.
        connection->peerGone = true;
    } else {
        if (notify && connection->state == Connection::State::Active) {
            if (orderly) {
                DeliverLocked(connection, Record{}, LPC_PORT_CLOSED, connection->tid);
            } else if (!connection->diedDelivered) {
                // The client went without closing its port: its process died.
                DeliverLocked(connection, Record{}, LPC_CLIENT_DIED, connection->tid);
                connection->diedDelivered = true;
            }
        }
        if (connection->state == Connection::State::Requested) connectRequests_.erase(connection->connectMessageId);
        connection->state = Connection::State::Closed;
    }
    const int fd = connection->fd.Get();
    ::epoll_ctl(epoll_.Get(), EPOLL_CTL_DEL, fd, nullptr);
    connections_.erase(fd);
    // The descriptor itself closes with the last owner (a sender may hold it);
    // the peer sees the end now.
    ::shutdown(fd, SHUT_RDWR);
}

void ServerPort::UpdateSignalLocked() {
    const bool waiting = !deliveries_.empty();
    if (waiting && !signalled_) queued_.Set();
    if (!waiting && signalled_) queued_.Clear();
    signalled_ = waiting;
}

NTSTATUS ServerPort::Reply(const Record& reply) {
    PORT_MESSAGE header = HeaderOf(reply);
    const NTSTATUS length = CheckMessageLength(header, maxMessage_);
    if (length != STATUS_SUCCESS) return length;
    Pending pending;
    {
        std::lock_guard<std::mutex> guard(lock_);
        auto it = pending_.find(header.MessageId);
        if (it == pending_.end() || it->second.connection->pid != header.ClientProcessId) {
            return STATUS_REPLY_MESSAGE_MISMATCH;
        }
        pending = std::move(it->second);
        pending_.erase(it);
    }
    Record message = reply;
    header.Type = LPC_REPLY;
    header.ClientProcessId = static_cast<ULONG>(::getpid());
    header.ClientThreadId = CurrentThreadId();
    SetHeader(message, header);
    const auto frame = MakeFrameHeader(FrameKind::Reply, pending.token, static_cast<uint32_t>(STATUS_SUCCESS),
                                       static_cast<uint32_t>(pending.written.size()));
    std::lock_guard<std::mutex> send(pending.connection->sendLock);
    return SendFrame(pending.connection->fd.Get(), frame, message.data(), pending.written.data());
}

NTSTATUS ServerPort::FindPendingLocked(uint32_t messageId, ULONG index, Pending*& pending) {
    auto it = pending_.find(messageId);
    if (it == pending_.end()) return STATUS_REPLY_MESSAGE_MISMATCH;
    // Whichever entry the server names, the data is the one buffer that
    // travelled with the message.
    if (!it->second.hasData || index >= it->second.count || index > 1) return STATUS_INVALID_PARAMETER;
    pending = &it->second;
    return STATUS_SUCCESS;
}

NTSTATUS ServerPort::ReadData(uint32_t messageId, ULONG index, void* buffer, SIZE_T size, SIZE_T* done) {
    std::lock_guard<std::mutex> guard(lock_);
    Pending* pending = nullptr;
    const NTSTATUS found = FindPendingLocked(messageId, index, pending);
    if (found != STATUS_SUCCESS) return found;
    const size_t count = size < pending->data.size() ? size : pending->data.size();
    const NTSTATUS copied = CopyToCallerMemory(reinterpret_cast<uintptr_t>(buffer), pending->data.data(), count);
    if (copied != STATUS_SUCCESS) return copied;
    if (done) *done = count;
    return STATUS_SUCCESS;
}

NTSTATUS ServerPort::WriteData(uint32_t messageId, ULONG index, const void* buffer, SIZE_T size, SIZE_T* done) {
    std::lock_guard<std::mutex> guard(lock_);
    Pending* pending = nullptr;
    const NTSTATUS found = FindPendingLocked(messageId, index, pending);
    if (found != STATUS_SUCCESS) return found;
    // Never more than the client's buffer holds.
    if (size > pending->data.size()) return STATUS_INVALID_PARAMETER;
    if (size > 0 && !buffer) return STATUS_ACCESS_VIOLATION;
    if (pending->written.size() < size) pending->written.resize(size);
    if (size) std::memcpy(pending->written.data(), buffer, size);
    if (done) *done = size;
    return STATUS_SUCCESS;
}

}  // namespace zrwin::ntport
