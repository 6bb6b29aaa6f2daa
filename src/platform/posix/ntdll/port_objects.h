// The kernel objects behind port handles: a server's connection port, the
// server's end of one accepted connection (its communication port), and a
// client's connected port.
//
// There are no threads of the layer's own: a server port reads its sockets
// when a thread of the owner receives on it (or waits on its handle), and a
// client port reads when one of its threads waits for a reply.
#pragma once

#include <sys/epoll.h>

#include <condition_variable>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "core/handle_table.h"
#include "core/scoped_fd.h"
#include "ntdll/port_io.h"

namespace zrwin::ntport {

class PortObject : public KernelObject {
public:
    enum class Role { Server, Communication, Client };
    explicit PortObject(Role role) : KernelObject(ObjectKind::Port), role_(role) {}
    Role PortRole() const { return role_; }

private:
    Role role_;
};

// One accepted socket on the server side.
struct Connection {
    enum class State { AwaitingConnect, Requested, Accepted, Active, Closed };

    ScopedFd fd;
    std::mutex sendLock;  // serialises the frames written to fd, by any thread
    uint32_t pid = 0;     // from the socket's peer credentials
    // Guarded by the owning server port's lock:
    uint32_t tid = 0;  // the connecting thread
    State state = State::AwaitingConnect;
    FrameReader reader;
    uint32_t connectMessageId = 0;
    void* context = nullptr;
    bool diedDelivered = false;  // a client-died message already went out for it
    bool peerGone = false;       // the client went before the connection was completed
};

class ServerPort : public PortObject, public std::enable_shared_from_this<ServerPort> {
public:
    static NTSTATUS Create(const std::string& name, ULONG maxConnectionInfo, ULONG maxMessage,
                           std::shared_ptr<ServerPort>& out);
    ServerPort(ScopedFd listener, ScopedFd epoll, ULONG maxConnectionInfo, ULONG maxMessage);
    ~ServerPort() override;

    // Readable while a message may be waiting; TryAcquire reads the sockets
    // and tells whether one is (the message stays queued).
    int PollFd() const override { return epoll_.Get(); }
    bool TryAcquire() override;

    ULONG MaxMessageLength() const { return maxMessage_; }

    // Any thread. timeoutNs < 0 waits without limit.
    NTSTATUS Receive(Record& out, void** context, int64_t timeoutNs);
    NTSTATUS Reply(const Record& reply);
    NTSTATUS ReadData(uint32_t messageId, ULONG index, void* buffer, SIZE_T size, SIZE_T* done);
    NTSTATUS WriteData(uint32_t messageId, ULONG index, const void* buffer, SIZE_T size, SIZE_T* done);

    // The connection that sent the connection request with this id, if it is
    // still waiting for an answer (then it is taken: answered once).
    std::shared_ptr<Connection> TakeConnectionRequest(uint32_t messageId, uint32_t pid);
    void Accepted(const std::shared_ptr<Connection>& connection, void* context);
    NTSTATUS Complete(const std::shared_ptr<Connection>& connection);
    void Refuse(const std::shared_ptr<Connection>& connection);
    // The server closed its communication port: the client sees the end.
    void Drop(const std::shared_ptr<Connection>& connection);

private:
    struct Delivery {
        Record record;
        std::shared_ptr<Connection> connection;
    };
    struct Pending {  // a request waiting for its reply
        std::shared_ptr<Connection> connection;
        uint32_t token = 0;
        uint32_t count = 0;  // entries of its descriptor
        bool hasData = false;
        std::vector<uint8_t> data;
        std::vector<uint8_t> written;
    };

    // Reads what epoll found ready, up to the first whole frame of each
    // socket; the rest stays in the socket, which stays ready.
    void PumpLocked(const epoll_event* ready, int count);
    // Waits at most waitMs for a ready descriptor and reads it. The lock is
    // held on return; it is let go while waiting.
    void WaitAndPump(std::unique_lock<std::mutex>& guard, int waitMs);
    void ReadConnectionLocked(const std::shared_ptr<Connection>& connection);
    void AcceptNewLocked();
    void HandleFrameLocked(const std::shared_ptr<Connection>& connection, OwnedFrame& frame);
    // Queues the record as the kernel delivers it; returns its message id.
    uint32_t DeliverLocked(const std::shared_ptr<Connection>& connection, Record record, uint16_t type, uint32_t tid);
    // notify: queue port-closed (orderly) or client-died for an active one.
    void EndConnectionLocked(const std::shared_ptr<Connection>& connection, bool orderly, bool notify = true);
    void UpdateSignalLocked();
    NTSTATUS FindPendingLocked(uint32_t messageId, ULONG index, Pending*& pending);

    const ScopedFd listener_;
    const ScopedFd epoll_;
    const ULONG maxConnectionInfo_;
    const ULONG maxMessage_;
    std::mutex lock_;  // guards everything below
    // In the epoll set; set while deliveries_ is not empty and another thread
    // may be waiting for them. A lone receiver that takes what it read never
    // touches it.
    SignalFd queued_;
    bool signalled_ = false;
    int waitingReceivers_ = 0;  // threads in Receive's epoll_wait
    bool waitedOn_ = false;     // a wait on the handle happened: it may poll at any time
    std::map<int, std::shared_ptr<Connection>> connections_;  // by descriptor
    std::deque<Delivery> deliveries_;
    std::map<uint32_t, Pending> pending_;                              // by message id
    std::map<uint32_t, std::shared_ptr<Connection>> connectRequests_;  // by message id
};

// The server's handle on one accepted connection.
class CommunicationPort : public PortObject {
public:
    CommunicationPort(std::weak_ptr<ServerPort> server, std::shared_ptr<Connection> connection)
        : PortObject(Role::Communication), server_(std::move(server)), connection_(std::move(connection)) {}
    ~CommunicationPort() override;

    std::shared_ptr<ServerPort> Server() const { return server_.lock(); }
    const std::shared_ptr<Connection>& GetConnection() const { return connection_; }

private:
    std::weak_ptr<ServerPort> server_;
    std::shared_ptr<Connection> connection_;
};

class ClientPort : public PortObject, public std::enable_shared_from_this<ClientPort> {
public:
    // Blocks until the server accepted and completed, or refused.
    static NTSTATUS Connect(const std::string& name, const void* info, ULONG infoLength,
                            std::shared_ptr<ClientPort>& out);
    ClientPort(ScopedFd socket, FrameReader reader, ULONG maxMessage);
    // An orderly close: the server receives port-closed.
    ~ClientPort() override;

    ULONG MaxMessageLength() const { return maxMessage_; }

    // Any thread, several at once.
    NTSTATUS Datagram(const Record& message);
    NTSTATUS RequestWaitReply(const Record& request, Record& reply);
    NTSTATUS RegisterThreadTerminate();
    // Called on the registered thread as it ends.
    void SendThreadEnded(uint32_t tid);

private:
    // One per thread in RequestWaitReply, on its stack. Each has its own wake
    // so a reply wakes only the thread it is for, not every waiter.
    struct ReplyWaiter {
        std::condition_variable wake;
        OwnedFrame reply;
        bool arrived = false;
    };

    NTSTATUS Send(const FrameHeader& header, const void* record, const void* data, int timeoutMs = -1);
    NTSTATUS AwaitReply(uint32_t token, ReplyWaiter& self, OwnedFrame& reply);
    // Hands the reader's part to one waiter still without its reply; caller
    // holds readLock_.
    void WakeNextReader();

    ScopedFd socket_;
    const ULONG maxMessage_;
    std::mutex sendLock_;  // serialises frames written to socket_

    std::mutex readLock_;  // guards the fields below
    uint32_t nextToken_ = 1;
    bool readerActive_ = false;  // one waiting thread reads for all
    bool disconnected_ = false;
    std::map<uint32_t, ReplyWaiter*> waiting_;  // by token
    FrameReader reader_;                        // only the active reader touches it
};

// Every live server port of the process, for NtAcceptConnectPort, which names
// the connection only by its request message.
void RegisterServerPort(const std::shared_ptr<ServerPort>& port);
std::shared_ptr<Connection> FindConnectionRequest(uint32_t messageId, uint32_t pid,
                                                  std::shared_ptr<ServerPort>& server);

uint32_t NextMessageId();

}  // namespace zrwin::ntport
