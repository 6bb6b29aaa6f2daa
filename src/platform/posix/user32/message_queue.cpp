// Message queues: one per thread that uses user32, created on first use and
// ended by a thread-local owner when the thread ends.
#include "user32/message_queue.h"

#include <time.h>

#include <unordered_map>

#include "user32/window_table.h"
#include "zrwin/sync.h"

namespace zrwin::user32 {
namespace {

// Windows refuses more than this many posted messages in one queue.
constexpr size_t kPostedLimit = 10000;
// Windows' default quota of window-manager objects per process.
constexpr uint32_t kWindowLimit = 10000;

HWND ToHwnd(uintptr_t value) { return reinterpret_cast<HWND>(value); }
uintptr_t FromHwnd(HWND window) { return reinterpret_cast<uintptr_t>(window); }

// Process-wide tables are never destroyed: detached threads may still post or
// end while the process exits, after static destructors have run.
struct Globals {
    std::mutex queuesLock;
    std::unordered_map<DWORD, std::shared_ptr<MessageQueue>> queues;
    WindowTable<Window> windows{kWindowLimit};
};

Globals& G() {
    static Globals* globals = new Globals;
    return *globals;
}

// Ends the thread's queue with the thread. The windows go with it, as on
// Windows; their procedures are not called, since what they use may already
// be gone by then.
class ThreadQueueOwner {
public:
    ~ThreadQueueOwner() {
        if (!queue_) return;
        {
            std::lock_guard<std::mutex> guard(G().queuesLock);
            G().queues.erase(queue_->ThreadId());
        }
        queue_->Shutdown(RemoveWindowFromTable);
    }
    const std::shared_ptr<MessageQueue>& Get() {
        if (!queue_) {
            queue_ = std::make_shared<MessageQueue>(GetCurrentThreadId());
            std::lock_guard<std::mutex> guard(G().queuesLock);
            G().queues[queue_->ThreadId()] = queue_;
        }
        return queue_;
    }

private:
    std::shared_ptr<MessageQueue> queue_;
};

thread_local ThreadQueueOwner t_queue;

}  // namespace

bool MessageQueue::Post(const MSG& msg, DWORD goneError) {
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (ended_) {
            SetLastError(goneError);
            return false;
        }
        if (posted_.size() >= kPostedLimit) {
            SetLastError(ERROR_NOT_ENOUGH_QUOTA);
            return false;
        }
        posted_.push_back(msg);
        newKinds_ |= QS_POSTMESSAGE | QS_ALLPOSTMESSAGE;
    }
    changed_.notify_all();
    return true;
}

bool MessageQueue::QueueSent(const std::shared_ptr<SentMessage>& message) {
    {
        std::lock_guard<std::mutex> guard(lock_);
        if (ended_) return false;
        sent_.push_back(message);
        newKinds_ |= QS_SENDMESSAGE;
    }
    changed_.notify_all();
    return true;
}

void MessageQueue::Complete(SentMessage& message, SentMessage::State state, LRESULT result) {
    MessageQueue& sender = *message.sender;
    {
        std::lock_guard<std::mutex> guard(sender.lock_);
        message.result = result;
        message.state = state;
    }
    sender.changed_.notify_all();
}

void MessageQueue::PostQuit(int exitCode) {
    std::lock_guard<std::mutex> guard(lock_);
    quitPending_ = true;
    quitCode_ = exitCode;
    newKinds_ |= QS_POSTMESSAGE | QS_ALLPOSTMESSAGE;
}

// Handles the oldest incoming sent message with the lock released, as the
// window procedure may post, send or wait itself.
void MessageQueue::HandleSentLocked(std::unique_lock<std::mutex>& guard) {
    std::shared_ptr<SentMessage> message = std::move(sent_.front());
    sent_.pop_front();
    guard.unlock();
    LRESULT result = HandleSentMessage(*message);
    Complete(*message, SentMessage::State::Handled, result);
    guard.lock();
}

void MessageQueue::Get(MSG* msg) {
    std::unique_lock<std::mutex> guard(lock_);
    newKinds_ = 0;
    for (;;) {
        // Sent messages go ahead of posted ones, and are never returned.
        if (!sent_.empty()) {
            HandleSentLocked(guard);
            continue;
        }
        if (!posted_.empty()) {
            *msg = posted_.front();
            posted_.pop_front();
            return;
        }
        // The quit flag of PostQuitMessage comes after every posted message.
        if (quitPending_) {
            *msg = MSG{};
            msg->message = WM_QUIT;
            msg->wParam = static_cast<WPARAM>(quitCode_);
            msg->time = MessageTime();
            quitPending_ = false;
            return;
        }
        changed_.wait(guard);
    }
}

bool MessageQueue::WaitForReply(const std::shared_ptr<SentMessage>& message, LRESULT* result) {
    std::unique_lock<std::mutex> guard(lock_);
    for (;;) {
        if (message->state != SentMessage::State::Pending) {
            *result = message->result;
            return message->state == SentMessage::State::Handled;
        }
        // A receiver that sends back to us while we wait must not deadlock.
        if (!sent_.empty()) {
            HandleSentLocked(guard);
            continue;
        }
        changed_.wait(guard);
    }
}

void MessageQueue::AddWindow(HWND window) {
    std::lock_guard<std::mutex> guard(lock_);
    windows_.push_back(window);
}

void MessageQueue::RemoveWindow(HWND window) {
    std::lock_guard<std::mutex> guard(lock_);
    std::erase(windows_, window);
}

DWORD MessageQueue::Status(UINT flags) {
    std::lock_guard<std::mutex> guard(lock_);
    DWORD present = 0;
    if (!posted_.empty() || quitPending_) present |= QS_POSTMESSAGE | QS_ALLPOSTMESSAGE;
    if (!sent_.empty()) present |= QS_SENDMESSAGE;
    DWORD fresh = newKinds_ & flags;
    newKinds_ &= ~flags;
    return ((present & flags) << 16) | fresh;
}

void MessageQueue::Shutdown(void (*removeWindow)(HWND)) {
    std::deque<std::shared_ptr<SentMessage>> waiting;
    std::vector<HWND> windows;
    {
        std::lock_guard<std::mutex> guard(lock_);
        ended_ = true;
        waiting.swap(sent_);
        windows.swap(windows_);
        posted_.clear();
    }
    for (HWND window : windows) removeWindow(window);
    for (auto& message : waiting) Complete(*message, SentMessage::State::Failed, 0);
}

std::shared_ptr<MessageQueue> CurrentQueue() { return t_queue.Get(); }

std::shared_ptr<MessageQueue> FindQueue(DWORD threadId) {
    std::lock_guard<std::mutex> guard(G().queuesLock);
    auto it = G().queues.find(threadId);
    return it == G().queues.end() ? nullptr : it->second;
}

std::shared_ptr<Window> LookupWindow(HWND window) { return G().windows.Lookup(FromHwnd(window)); }

HWND AddWindowToTable(const std::shared_ptr<Window>& window) { return ToHwnd(G().windows.Insert(window)); }

void RemoveWindowFromTable(HWND window) { G().windows.Remove(FromHwnd(window)); }

DWORD MessageTime() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<DWORD>(static_cast<uint64_t>(now.tv_sec) * 1000u + static_cast<uint64_t>(now.tv_nsec) / 1000000u);
}

}  // namespace zrwin::user32
