// Connection requests on the server side: finding the port a request came
// to (NtAcceptConnectPort names only the message), answering it, and the
// server's handle on each accepted connection.
#include <sys/socket.h>

#include <atomic>

#include "ntdll/port_objects.h"

namespace zrwin::ntport {
namespace {

struct ServerRegistry {
    std::mutex lock;
    std::vector<std::weak_ptr<ServerPort>> ports;
};

ServerRegistry& Servers() {
    static ServerRegistry* registry = new ServerRegistry;  // ports may close during exit
    return *registry;
}

}  // namespace

uint32_t NextMessageId() {
    static std::atomic<uint32_t> last{0};
    uint32_t id;
    do {
        id = last.fetch_add(1) + 1;
    } while (id == 0);
    return id;
}

void RegisterServerPort(const std::shared_ptr<ServerPort>& port) {
    auto& registry = Servers();
    std::lock_guard<std::mutex> guard(registry.lock);
    std::erase_if(registry.ports, [](const std::weak_ptr<ServerPort>& p) { return p.expired(); });
    registry.ports.push_back(port);
}

std::shared_ptr<Connection> FindConnectionRequest(uint32_t messageId, uint32_t pid,
                                                  std::shared_ptr<ServerPort>& server) {
    std::vector<std::shared_ptr<ServerPort>> live;
    {
        auto& registry = Servers();
        std::lock_guard<std::mutex> guard(registry.lock);
        for (auto& weak : registry.ports) {
            if (auto port = weak.lock()) live.push_back(std::move(port));
        }
    }
    for (auto& port : live) {
        if (auto connection = port->TakeConnectionRequest(messageId, pid)) {
            server = port;
            return connection;
        }
    }
    return nullptr;
}

std::shared_ptr<Connection> ServerPort::TakeConnectionRequest(uint32_t messageId, uint32_t pid) {
    std::lock_guard<std::mutex> guard(lock_);
    auto it = connectRequests_.find(messageId);
    if (it == connectRequests_.end() || it->second->pid != pid) return nullptr;
    auto connection = std::move(it->second);
    connectRequests_.erase(it);
    return connection;
}

void ServerPort::Accepted(const std::shared_ptr<Connection>& connection, void* context) {
    std::lock_guard<std::mutex> guard(lock_);
    if (connection->state != Connection::State::Requested) return;
    connection->state = Connection::State::Accepted;
    connection->context = context;
}

NTSTATUS ServerPort::Complete(const std::shared_ptr<Connection>& connection) {
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (connection->state == Connection::State::Closed) return STATUS_PORT_DISCONNECTED;
        if (connection->state != Connection::State::Accepted) return STATUS_INVALID_PARAMETER;
        // Active before the client hears of it, since it may send at once.
        connection->state = Connection::State::Active;
        if (connection->peerGone) {
            EndConnectionLocked(connection, false);
            UpdateSignalLocked();
            return STATUS_SUCCESS;
        }
    }
    const auto accepted = MakeFrameHeader(FrameKind::Accepted, 0, maxMessage_, 0);
    std::lock_guard<std::mutex> send(connection->sendLock);
    return SendFrame(connection->fd.Get(), accepted, nullptr, nullptr);
}

void ServerPort::Refuse(const std::shared_ptr<Connection>& connection) {
    {
        const auto refused =
            MakeFrameHeader(FrameKind::Refused, 0, static_cast<uint32_t>(STATUS_PORT_CONNECTION_REFUSED), 0);
        std::lock_guard<std::mutex> send(connection->sendLock);
        SendFrame(connection->fd.Get(), refused, nullptr, nullptr, 1000);
    }
    std::lock_guard<std::mutex> guard(lock_);
    EndConnectionLocked(connection, false, false);
}

void ServerPort::Drop(const std::shared_ptr<Connection>& connection) {
    std::lock_guard<std::mutex> guard(lock_);
    EndConnectionLocked(connection, true, false);
}

CommunicationPort::~CommunicationPort() {
    if (auto server = server_.lock()) {
        server->Drop(connection_);
    } else {
        ::shutdown(connection_->fd.Get(), SHUT_RDWR);
    }
}

}  // namespace zrwin::ntport
