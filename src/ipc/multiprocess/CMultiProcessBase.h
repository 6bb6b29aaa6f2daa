// The messaging endpoint of a process: request-and-answer messaging between
// processes over the LPC transport. Sends commands with or without waiting
// for the answer, matches answers (MModuleDataAsyncEnd) to the threads that
// wait for them, runs data requests on worker threads, and hands every other
// command to the derived class.
//
// Threads: ReceiveMessage, ProcessTermination and ReceiveMsg run on the LPC
// listener thread; ProcessMessage runs on worker threads (up to 25 at once);
// any thread may send. A waiting sender holds no lock. The worker lock and
// the request manager's lock are never held together.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>

#include "ipc/lpc/NtLpcBase.h"
#include "ipc/messages/WindowMessageDataMultiProcess.h"
#include "ipc/multiprocess/CEMRequestManager.h"
#include "ipc/multiprocess/CWorker.h"
#include "platform/platform.h"
#include "util/CriticalSection.h"

// Endpoint message types: how long a sender waits for the answer.
enum EndpointMessageType : DWORD {
    MP_SYNC = 10,   // up to 10 s
    MP_ASYNC = 20,  // no wait
    MP_CALL = 30,   // up to callTimeout (no limit)
};

class CMultiProcessBase : protected NtLpcBase {
public:
    static constexpr size_t kWorkerCount = 25;
    static constexpr DWORD kSyncTimeout = 10000;
    // The result of a send whose wait for the answer failed.
    static constexpr DWORD kWaitFailed = 1460;

    CMultiProcessBase(const wchar_t* groupName, DWORD receiveTimeout);
    ~CMultiProcessBase() override;
    CMultiProcessBase(const CMultiProcessBase&) = delete;
    CMultiProcessBase& operator=(const CMultiProcessBase&) = delete;

    // Listener thread. Routes a received command: 3, 5 and 6 to a worker,
    // 7 to the waiting sender, the rest to ReceiveMsg. Always 0.
    INT ReceiveMessage(DWORD pid, INT cmd, BYTE* data, DWORD size) override;
    // Listener thread: aborts the wait for an answer from the dead peer, then
    // OnProcessTerminated.
    bool ProcessTermination(DWORD pid) override;

    // One message, no request id; the transport type follows `type`, and for
    // a Call the reply is written into `data`. The transport's NTSTATUS, 13
    // when an exception was caught. (The endpoint type is an enum so that this
    // never overrides the transport's own SendMessage.)
    DWORD SendMessage(DWORD pid, INT cmd, BYTE* data, DWORD size, EndpointMessageType type);
    // A request with a request id; unless Async, waits for the answer, which
    // replaces the message. 0, the transport's status, 1460 when the wait
    // failed, 87 when nothing was sent (invalid id, or the peer is gone).
    DWORD SendMessage(DWORD pid, INT cmd, WindowMessageDataMultiProcess& message, DWORD type);
    DWORD SendMessageCommon(DWORD pid, INT cmd, int32_t id, const std::string& data, std::string& answer,
                            DWORD type);
    bool WaitForResponseCommon(DWORD pid, int32_t id, INT cmd, DWORD type, std::string& answer);
    bool StartNewWorker(DWORD cmd, DWORD pid, const std::string& data);

    // The derived class's side.
    // Listener thread: every command the endpoint does not route itself. An
    // answer for a Sync or Call message is written into `data` (up to 232
    // bytes). The result is not used.
    virtual INT ReceiveMsg(DWORD pid, INT cmd, BYTE* data, DWORD size) = 0;
    virtual bool OnProcessTerminated(DWORD pid) = 0;
    // Worker threads, several at once: runs a data request; the answer must
    // begin with the request's id (its first four bytes). Null: no answer.
    virtual std::unique_ptr<BYTE[]> ProcessMessage(DWORD pid, DWORD cmd, const BYTE* data, DWORD size,
                                                   DWORD& answerSize) = 0;
    virtual void QuitProcessMessage() = 0;

    static LpcMessageType ConvertMessageType(DWORD type);

    // For tests and dumps.
    CEMRequestManager& Requests() { return requests_; }
    std::string DumpWorkers() const;

protected:
    IIPCBridgeInterface& Bridge() { return *this; }
    // Stops the listener and then every worker slot in order (each waits up
    // to 30 s). A derived class calls it first in its own destructor, so that
    // no hook or ProcessMessage reaches its half-destroyed part; the
    // destructor here calls it again.
    void StopMessaging();

private:
    std::string SlotText(size_t slot) const;

    std::array<CWorker, kWorkerCount> workers_;
    CEMRequestManager requests_;
    CriticalSection workerLock_;
    const DWORD callTimeout_ = INFINITE;
};
