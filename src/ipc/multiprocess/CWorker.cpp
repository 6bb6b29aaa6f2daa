#include "ipc/multiprocess/CWorker.h"

#include <algorithm>
#include <cstdint>
#include <sstream>

#include "ipc/messages/Commands.h"
#include "ipc/multiprocess/CMultiProcessBase.h"
#include "log/Log.h"
#include "util/PathUtils.h"
#include "util/Utils_OS_Win32.h"

namespace {
unsigned HandleValue(const void* handle) { return static_cast<unsigned>(reinterpret_cast<uintptr_t>(handle)); }
}  // namespace

CWorker::~CWorker() { StopWorking(); }

void CWorker::StartWorking(DWORD cmd, DWORD pid, const std::string& data, CMultiProcessBase* owner) {
    // Held until the handle is in the slot: the thread waits for it before it
    // can free the slot, so even a very short piece of work leaves it free.
    std::lock_guard<std::mutex> guard(lock_);
    if (run_ && !run_->delivering) {
        Log(LOG_ERROR, "CWorker::StartWorking: [E] This worker is not free. Thread: 0x%X", HandleValue(run_->thread.Get()));
        return;
    }
    if (run_) delivering_.push_back(std::move(run_));
    owner_ = owner;
    pid_ = pid;
    cmd_ = cmd;
    data_ = data;
    Log(LOG_OTHER, "CWorker::StartWorking: Creating worker thread...");
    auto run = std::make_shared<Run>();
    DWORD threadId = 0;
    run->thread.Reset(CreateThread(nullptr, 0, &CWorker::WorkerThread, this, 0, &threadId));
    if (!run->thread.IsValid()) {
        Log(LOG_ERROR, "CWorker::StartWorking: [E] Error creating Worker thread: %d", static_cast<int>(GetLastError()));
        ResetLocked();
        return;
    }
    run_ = std::move(run);
    Log(LOG_INFO, "CWorker::StartWorking: Created working thread %d (0x%X)", static_cast<int>(threadId),
        HandleValue(run_->thread.Get()));
}

DWORD WINAPI CWorker::WorkerThread(LPVOID worker) {
    Log(LOG_OTHER, "CWorker::WorkerThread: param:%p", worker);
    if (worker == nullptr) {
        Log(LOG_CRITICAL_ERROR, "CWorker::WorkerThread: [C] null pointer");
        return 0xFFFFFFFF;
    }
    auto* self = static_cast<CWorker*>(worker);
    { std::lock_guard<std::mutex> started(self->lock_); }  // StartWorking has stored the handle
    return static_cast<DWORD>(self->DoWork());
}

INT CWorker::DoWork() {
    std::shared_ptr<Run> run;
    DWORD cmd, pid;
    std::string data;
    CMultiProcessBase* owner;
    {
        std::lock_guard<std::mutex> guard(lock_);
        run = run_;
        cmd = cmd_;
        pid = pid_;
        data = data_;
        owner = owner_;
    }

    // Held from the answer's send to the slot's release, so that a stop that
    // gave up waiting either sees the slot free or marks the run abandoned
    // before the owner is touched again.
    std::unique_lock<std::mutex> runGuard;
    INT result;
    if (owner == nullptr) {
        Log(LOG_ERROR, "CWorker::DoWork: [E] Could not process message (%d by): %.90s", static_cast<int>(data.size()),
            AbbreviateForLog(data, 80).c_str());
        result = -2;
        if (run) runGuard = std::unique_lock<std::mutex>(run->lock);
    } else {
        try {
            DWORD answerSize = 0;
            std::unique_ptr<BYTE[]> answer = owner->ProcessMessage(
                pid, cmd, reinterpret_cast<const BYTE*>(data.data()), static_cast<DWORD>(data.size()), answerSize);
            if (run) {
                runGuard = std::unique_lock<std::mutex>(run->lock);
                if (run->abandoned) {
                    // The owner and this slot may be gone: only the answer is ours.
                    Log(LOG_WARNING, "CWorker::DoWork: [W] Worker was stopped meanwhile. Answer for pid:%d dropped.",
                        static_cast<int>(pid));
                    return -4;
                }
                std::lock_guard<std::mutex> guard(lock_);
                if (run_ == run) run->delivering = true;
            }
            Log(LOG_OTHER, "CWorker::DoWork: Message processed. Sending back response (%p) to %d...",
                static_cast<const void*>(answer.get()), static_cast<int>(pid));
            if (answer) {
                owner->SendMessage(pid, MModuleDataAsyncEnd, answer.get(), answerSize, MP_SYNC);
                result = 0;
            } else {
                result = -3;
            }
        } catch (...) {
            Log(LOG_CRITICAL_ERROR, "CWorker::DoWork: [C] Exception detected.");
            result = -1;
            if (run && !runGuard.owns_lock()) runGuard = std::unique_lock<std::mutex>(run->lock);
            if (run && run->abandoned) return result;
        }
    }
    Log(LOG_OTHER, "CWorker::DoWork: Freeing worker thread (h:0x%X)", HandleValue(run ? run->thread.Get() : nullptr));
    if (run) {
        EndRun(run);
    } else {
        Reset();
    }
    // The slot is free and may be destroyed from here on: only the value it
    // now holds is logged.
    Log(LOG_INFO, "CWorker::DoWork: Ending worker thread (h:0x%X)", 0u);
    return result;
}

void CWorker::StopWorking() {
    std::shared_ptr<Run> run;
    std::vector<std::shared_ptr<Run>> delivering;
    std::string text;
    {
        std::lock_guard<std::mutex> guard(lock_);
        delivering = delivering_;
        run = run_;
        text = ToStringLocked();
    }
    // Earlier runs only send an answer; the owner must outlive that too.
    for (const auto& earlier : delivering) {
        if (WaitForSingleObject(earlier->thread.Get(), stopWait_) != WAIT_OBJECT_0) {
            std::lock_guard<std::mutex> runGuard(earlier->lock);
            earlier->abandoned = true;
        }
    }
    {
        std::lock_guard<std::mutex> guard(lock_);
        for (const auto& earlier : delivering)
            delivering_.erase(std::remove(delivering_.begin(), delivering_.end(), earlier), delivering_.end());
    }
    if (!run) return;
    Log(LOG_INFO, "CWorker::StopWorking: Waiting for worker:{%s}", text.c_str());
    const HANDLE thread = run->thread.Get();
    const DWORD waited = WaitForSingleObject(thread, stopWait_);
    if (waited != WAIT_OBJECT_0) {
        const DWORD error = GetLastError();
        Log(LOG_CRITICAL_ERROR,
            "CWorker::StopWorking: [C] Waiting for thread to end failed. res: %d, err:%d, thread:{h:%X, id:%u}",
            static_cast<int>(waited), static_cast<int>(error), HandleValue(thread),
            static_cast<unsigned>(Utils_OS_Win32::GetThreadID(thread)));
        std::lock_guard<std::mutex> runGuard(run->lock);
        run->abandoned = true;
    } else {
        DWORD code = 0;
        if (GetExitCodeThread(thread, &code)) {
            Log(LOG_INFO, "CWorker::StopWorking: Thread 0x%X exit code: %d", HandleValue(thread), static_cast<int>(code));
        }
    }
    std::lock_guard<std::mutex> guard(lock_);
    if (run_ == run) ResetLocked();
}

void CWorker::EndRun(const std::shared_ptr<Run>& run) {
    std::lock_guard<std::mutex> guard(lock_);
    if (run_ == run) {
        ResetLocked();
    } else {
        delivering_.erase(std::remove(delivering_.begin(), delivering_.end(), run), delivering_.end());
    }
}

void CWorker::Reset() {
    std::lock_guard<std::mutex> guard(lock_);
    ResetLocked();
}

void CWorker::ResetLocked() {
    pid_ = 0;
    owner_ = nullptr;
    data_.clear();
    run_.reset();
}

bool CWorker::IsFree() const {
    std::lock_guard<std::mutex> guard(lock_);
    return !run_ || run_->delivering;
}

HANDLE CWorker::ThreadHandle() const {
    std::lock_guard<std::mutex> guard(lock_);
    return run_ ? run_->thread.Get() : nullptr;
}

std::string CWorker::ToString() const {
    std::lock_guard<std::mutex> guard(lock_);
    return ToStringLocked();
}

std::string CWorker::ToStringLocked() const {
    std::ostringstream text;
    text << "pid:" << pid_ << ", cmd:" << cmd_ << ", thread: 0x" << std::hex
         << reinterpret_cast<uintptr_t>(run_ ? run_->thread.Get() : nullptr) << ", wait:" << stopWait_ << ", mp*: 0x"
         << reinterpret_cast<uintptr_t>(owner_) << ", data[" << data_.size() << "]:'" << AbbreviateForLog(data_, 100)
         << "'";
    // A log line ends at its first NUL; the binary fields of a request would
    // cut off everything after them.
    std::string result = text.str();
    std::replace(result.begin(), result.end(), '\0', ' ');
    return result;
}
