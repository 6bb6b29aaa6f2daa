#include "ipc/multiprocess/CEMRequestManager.h"

#include <algorithm>
#include <atomic>
#include <sstream>

#include "log/Log.h"
#include "util/Utils_OS_Win32.h"

namespace {

// Ids are unique across every endpoint of the process, never reused in a run.
std::atomic<int32_t> g_nextRequestId{0};

constexpr DWORD kLogEveryInfinite = 1800000;

}  // namespace

CEMRequestManager::CRequest::CRequest(int32_t id, DWORD pid)
    : id_(id), pid_(pid), events_(std::make_shared<Events>()) {
    events_->event.Reset(CreateEventA(nullptr, FALSE, FALSE, nullptr));
    events_->errorEvent.Reset(CreateEventA(nullptr, FALSE, FALSE, nullptr));
}

std::string CEMRequestManager::CRequest::ToString() const {
    std::ostringstream text;
    text << "{id:" << id_ << " pid:" << pid_ << " ref:" << SharingCount() << " ev:" << std::hex
         << reinterpret_cast<uintptr_t>(Event()) << " evErr:" << reinterpret_cast<uintptr_t>(ErrorEvent())
         << " data:[" << data_.size() << "](" << data_ << ")}";
    // A log line ends at its first NUL, and answers begin with binary ids.
    std::string result = text.str();
    std::replace(result.begin(), result.end(), '\0', ' ');
    return result;
}

void CEMRequestManager::CRequest::WakeUp(const BYTE* data, DWORD length) {
    if (data == nullptr || length == 0) {
        data_.clear();
    } else {
        data_.assign(reinterpret_cast<const char*>(data), length);
    }
    if (!SetEvent(Event())) {
        Log(LOG_ERROR, "CEMRequestManager::CRequest::WakeUp: [E] Could not set event for request %s. err:%d",
            ToString().c_str(), static_cast<int>(GetLastError()));
        return;
    }
    Log(LOG_OTHER, "CEMRequestManager::CRequest::WakeUp: Signalled event for request:0%s", ToString().c_str());
}

void CEMRequestManager::CRequest::SetError() {
    if (!SetEvent(ErrorEvent())) {
        Log(LOG_ERROR, "CEMRequestManager::CRequest::SetError: [E] Could not set error event for request %s. err:%d",
            ToString().c_str(), static_cast<int>(GetLastError()));
        return;
    }
    Log(LOG_OTHER, "CEMRequestManager::CRequest::SetError: Signalled error event for request:0%s",
        ToString().c_str());
}

int32_t CEMRequestManager::GetNewRequestId(DWORD pid) {
    CriticalSectionLock guard(&lock_, true);
    if (static_cast<int32_t>(pid) < 0) {
        Log(LOG_ERROR, "CEMRequestManager::GetNewRequestId: [E] Invalid data: pid=%lu", static_cast<uint32_t>(pid));
        return -1;
    }
    const int32_t id = g_nextRequestId.fetch_add(1);
    requests_.emplace(id, CRequest(id, pid));
    pending_.emplace(pid, id);  // only the first outstanding request is recorded
    return id;
}

bool CEMRequestManager::Wait(int32_t id, DWORD pid, DWORD timeout) {
    // Opened before the lock: it may take a while and needs no table.
    ScopedKernelHandle process(OpenProcess(SYNCHRONIZE, FALSE, pid));
    const DWORD openError = GetLastError();

    CriticalSectionLock guard(&lock_, true);
    auto found = requests_.find(id);
    if (found == requests_.end()) {
        Log(LOG_ERROR, "CEMRequestManager::Wait: [E] Request %d not found in the Request manager", id);
        return false;
    }
    if (found->second.Pid() != pid) {
        Log(LOG_ERROR, "CEMRequestManager::Wait: [E] Request %d found, but pid (%u) does not match remote process (%i)",
            id, static_cast<unsigned>(found->second.Pid()), static_cast<int>(pid));
        return false;
    }
    if (!process.IsValid()) {
        Log(LOG_ERROR, "CEMRequestManager::Wait: [E] Could not find process with pid %d. err:%lu",
            static_cast<int>(pid), static_cast<uint32_t>(openError));
        return false;
    }

    // The copy keeps both events open even if the request is deleted meanwhile.
    const CRequest request = found->second;
    const HANDLE handles[3] = {request.Event(), request.ErrorEvent(), process.Get()};
    const DWORD toLog = timeout == INFINITE ? kLogEveryInfinite : timeout / 10;
    DWORD object = 0;
    DWORD result;
    {
        CriticalSectionUnlock unlocked(&lock_);
        result = Utils_OS_Win32::WaitAndLog(3, handles, &object, toLog, timeout);
    }

    bool answered = false;
    if (result == WAIT_TIMEOUT) {
        Log(LOG_WARNING, "CEMRequestManager::Wait: [W] Time Out (%u ms) waiting for request %d, process %d.",
            static_cast<unsigned>(timeout), id, static_cast<int>(pid));
    } else if (result == WAIT_ABANDONED_0) {
        Log(LOG_ERROR, "CEMRequestManager::Wait: [E] Event %u abandoned on req %d, for pid: %u",
            static_cast<unsigned>(object), id, static_cast<unsigned>(pid));
    } else if (result != WAIT_OBJECT_0) {
        Log(LOG_ERROR, "CEMRequestManager::Wait: [E] Wait failed (%d) on req %d, for pid: %u", static_cast<int>(result),
            id, static_cast<unsigned>(pid));
    } else if (object == 1) {
        Log(LOG_OTHER, "CEMRequestManager::Wait: Event (0x%x) signaled OK",
            static_cast<unsigned>(reinterpret_cast<uintptr_t>(handles[0])));
        answered = true;
    } else if (object == 2) {
        Log(LOG_ERROR, "CEMRequestManager::Wait: [E] Error event (0x%X) signaled on req %d, for pid: %u",
            static_cast<unsigned>(reinterpret_cast<uintptr_t>(handles[1])), id, static_cast<unsigned>(pid));
    } else {
        Log(LOG_ERROR, "CEMRequestManager::Wait: [E] Exiting request %d, because process %d ended.", id,
            static_cast<int>(pid));
    }
    process.Reset();
    return answered;
}

bool CEMRequestManager::GetRequestData(int32_t id, DWORD pid, std::string& out) {
    CriticalSectionLock guard(&lock_, true);
    auto found = requests_.find(id);
    if (found == requests_.end()) {
        Log(LOG_ERROR, "CEMRequestManager::GetRequestData: [E] Request %d not found in the Request manager", id);
        return false;
    }
    if (found->second.Pid() != pid) {
        Log(LOG_ERROR,
            "CEMRequestManager::GetRequestData: [E] Request %d found, but pid (%u) does not match argument (%i)", id,
            static_cast<unsigned>(found->second.Pid()), static_cast<int>(pid));
        return false;
    }
    out = found->second.Data();
    return true;
}

void CEMRequestManager::WakeUp(int32_t id, DWORD pid, const BYTE* data, DWORD length) {
    CriticalSectionLock guard(&lock_, true);
    auto found = requests_.find(id);
    if (found == requests_.end()) {
        Log(LOG_OTHER, "CEMRequestManager::WakeUp: Request %d (from pid %d) not found. Probably asynch request.", id,
            static_cast<int>(pid));
        return;
    }
    if (found->second.Pid() != pid) {
        Log(LOG_ERROR, "CEMRequestManager::WakeUp: [E] Request %d found, but pid (%u) does not match argument (%i)", id,
            static_cast<unsigned>(found->second.Pid()), static_cast<int>(pid));
        return;
    }
    found->second.WakeUp(data, length);
    pending_.erase(pid);
}

void CEMRequestManager::WakeUpWaitingProcess(DWORD pid) {
    CriticalSectionLock guard(&lock_, true);
    auto pending = pending_.find(pid);
    if (pending == pending_.end()) {
        Log(LOG_INFO, "CEMRequestManager::WakeUpWaitingProcess: No request with pid %d pending.", static_cast<int>(pid));
        return;
    }
    const int32_t id = pending->second;
    auto found = requests_.find(id);
    if (found == requests_.end()) {
        Log(LOG_ERROR, "CEMRequestManager::WakeUpWaitingProcess: [E] Request %d not found in the Request manager", id);
        return;
    }
    if (found->second.Pid() != pid) {
        Log(LOG_ERROR,
            "CEMRequestManager::WakeUpWaitingProcess: [E] Request %u found, but pid (%u) does not match argument (%i)",
            static_cast<unsigned>(id), static_cast<unsigned>(found->second.Pid()), static_cast<int>(pid));
        return;
    }
    Log(LOG_WARNING, "CEMRequestManager::WakeUpWaitingProcess: [W] Request %d from pid %d pending. Raising error event...",
        id, static_cast<int>(pid));
    found->second.SetError();
}

void CEMRequestManager::DeleteRequest(int32_t id, DWORD pid) {
    CriticalSectionLock guard(&lock_, true);
    if (requests_.erase(id) == 0) {
        Log(LOG_ERROR, "CEMRequestManager::DeleteRequest: [E] Could not find request id %d for process %d", id,
            static_cast<int>(pid));
        return;
    }
    Log(LOG_OTHER, "CEMRequestManager::DeleteRequest: Deleted request {req:%d, pid:%d}", id, static_cast<int>(pid));
    if (pending_.erase(pid) != 0) {
        Log(LOG_OTHER, "CEMRequestManager::DeleteRequest: Removed process %ld from list of pending responses",
            static_cast<int32_t>(pid));
    } else {
        Log(LOG_OTHER,
            "CEMRequestManager::DeleteRequest: Could not find process %d in the list of pending responses (request %d)",
            static_cast<int>(pid), id);
    }
}

size_t CEMRequestManager::RequestCount() {
    CriticalSectionLock guard(&lock_, true);
    return requests_.size();
}

int32_t CEMRequestManager::PendingRequestOf(DWORD pid) {
    CriticalSectionLock guard(&lock_, true);
    auto pending = pending_.find(pid);
    return pending == pending_.end() ? -1 : pending->second;
}
