// One slot of the endpoint's worker pool: runs one data request on a thread
// of its own, sends the answer back as MModuleDataAsyncEnd and frees itself.
//
// Threads: the endpoint starts a slot under its worker lock; the worker thread
// frees the slot at its end; the endpoint's destructor stops every slot. A
// small lock of the slot's own orders those three.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "util/ScopedHandle.h"

class CMultiProcessBase;

class CWorker {
public:
    static constexpr DWORD kStopWait = 30000;

    CWorker() = default;
    virtual ~CWorker();
    CWorker(const CWorker&) = delete;
    CWorker& operator=(const CWorker&) = delete;

    // Takes a copy of the message and starts the thread; a busy slot refuses
    // (logged) and keeps its message. A slot whose work is done and which is
    // only delivering its answer counts as free: its thread finishes beside
    // the new one (see IsFree).
    void StartWorking(DWORD cmd, DWORD pid, const std::string& data, CMultiProcessBase* owner);
    // The thread's start routine; `worker` is the CWorker.
    static DWORD WINAPI WorkerThread(LPVOID worker);
    // Runs on the worker thread: 0 answered, -2 no owner, -3 no answer.
    INT DoWork();
    // Waits up to the stop wait for a running thread (and for any thread of
    // the slot still delivering an answer), then frees the slot.
    void StopWorking();
    // Frees the slot: pid 0, no owner, no data, no thread (cmd is kept).
    void Reset();

    // True while no work runs: no thread, or only one delivering its answer.
    // The requester is woken by that answer before the delivering send
    // returns, so a slot held until then would turn away its next request.
    bool IsFree() const;
    HANDLE ThreadHandle() const;
    std::string ToString() const;

private:
    // What the thread and the slot share for one run. Once the slot gave up
    // waiting (abandoned), the thread touches neither the slot nor the owner.
    struct Run {
        std::mutex lock;
        bool abandoned = false;     // under lock
        bool delivering = false;    // under the slot's lock_: the work is done
        ScopedKernelHandle thread;  // closed when the last holder lets go
    };

    mutable std::mutex lock_;  // held by StartWorking until the handle is stored
    DWORD cmd_ = 0;
    DWORD pid_ = 0;
    std::string data_;
    CMultiProcessBase* owner_ = nullptr;
    DWORD stopWait_ = kStopWait;
    std::shared_ptr<Run> run_;  // null: the slot is free
    // Earlier runs of this slot still delivering their answers; the owner
    // must outlive them as it outlives run_.
    std::vector<std::shared_ptr<Run>> delivering_;

    // The end of one run, from its own thread: frees the slot only if the
    // run still holds it.
    void EndRun(const std::shared_ptr<Run>& run);
    void ResetLocked();
    std::string ToStringLocked() const;
};
