// Outstanding requests of one messaging endpoint: request ids, the events a
// sending thread waits on for the answer, and the answer itself.
//
// Threads: any sending thread calls GetNewRequestId, Wait, GetRequestData and
// DeleteRequest; the LPC listener calls WakeUp and WakeUpWaitingProcess. One
// lock guards both tables; Wait releases it while it waits.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "platform/platform.h"
#include "util/CriticalSection.h"
#include "util/ScopedHandle.h"

class CEMRequestManager {
public:
    // One outstanding request. Copies share the two events, which close with
    // the last copy, so a waiter keeps them open after the table dropped the
    // request.
    class CRequest {
    public:
        CRequest(int32_t id, DWORD pid);
        CRequest(const CRequest&) = default;
        CRequest& operator=(const CRequest&) = default;
        virtual ~CRequest() = default;

        // Stores the answer (empty for null or 0 bytes) and sets the event.
        void WakeUp(const BYTE* data, DWORD length);
        // Sets the error event, which aborts the wait.
        void SetError();

        int32_t Id() const { return id_; }
        DWORD Pid() const { return pid_; }
        HANDLE Event() const { return events_->event.Get(); }
        HANDLE ErrorEvent() const { return events_->errorEvent.Get(); }
        const std::string& Data() const { return data_; }
        long SharingCount() const { return events_.use_count(); }
        std::string ToString() const;

    private:
        struct Events {
            ScopedKernelHandle event;
            ScopedKernelHandle errorEvent;
        };
        int32_t id_;
        DWORD pid_;
        std::shared_ptr<Events> events_;
        std::string data_;
    };

    CEMRequestManager() = default;
    virtual ~CEMRequestManager() = default;
    CEMRequestManager(const CEMRequestManager&) = delete;
    CEMRequestManager& operator=(const CEMRequestManager&) = delete;

    // A new request to `pid`; -1 for a pid that reads as negative.
    int32_t GetNewRequestId(DWORD pid);
    // True only when the answer arrived; ends early on the error event and
    // when the process `pid` ends. The request stays; the caller deletes it.
    bool Wait(int32_t id, DWORD pid, DWORD timeout);
    bool GetRequestData(int32_t id, DWORD pid, std::string& out);
    void WakeUp(int32_t id, DWORD pid, const BYTE* data, DWORD length);
    // Aborts the wait of the first outstanding request to `pid`.
    void WakeUpWaitingProcess(DWORD pid);
    void DeleteRequest(int32_t id, DWORD pid);

    // For tests and dumps: how many requests are outstanding, and the request
    // recorded as pending for `pid` (-1 when none).
    size_t RequestCount();
    int32_t PendingRequestOf(DWORD pid);

private:
    std::map<int32_t, CRequest> requests_;
    std::map<DWORD, int32_t> pending_;
    CriticalSection lock_;
};
