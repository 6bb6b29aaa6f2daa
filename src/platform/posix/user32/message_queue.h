// The per-thread message queue of user32 and the window objects it serves.
//
// Threading: a queue is read only by its own thread (GetMessage,
// the wait of a cross-thread send); any thread may post to it or queue a sent
// message on it. Each queue has one lock, and no code path holds two queue
// locks at once: a reply is delivered under the sender's lock only.
#pragma once

#include <atomic>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "zrwin/winuser.h"

namespace zrwin::user32 {

class MessageQueue;

struct WindowClass {
    std::wstring name;  // as registered; compared without case
    WNDPROC procedure = nullptr;
    HINSTANCE instance = nullptr;
    ATOM atom = 0;
};

struct Window {
    HWND handle = nullptr;
    DWORD threadId = 0;
    WNDPROC procedure = nullptr;
    std::shared_ptr<WindowClass> windowClass;
    std::weak_ptr<MessageQueue> queue;
    std::atomic<LONG> style{0};
    std::atomic<bool> destroying{false};
};

// A message sent from another thread, waiting in the receiver's queue.
struct SentMessage {
    HWND window;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    std::shared_ptr<MessageQueue> sender;  // woken when the message is handled
    // Guarded by the sender's queue lock.
    enum class State { Pending, Handled, Failed } state = State::Pending;
    LRESULT result = 0;
};

class MessageQueue {
public:
    explicit MessageQueue(DWORD threadId) : threadId_(threadId) {}
    MessageQueue(const MessageQueue&) = delete;
    MessageQueue& operator=(const MessageQueue&) = delete;

    DWORD ThreadId() const { return threadId_; }

    // Called on: any thread. FALSE with the last error when the queue's thread
    // has ended (ERROR_INVALID_THREAD_ID) or the queue is full.
    bool Post(const MSG& msg, DWORD goneError);
    // Called on: any thread. False when the queue's thread has ended.
    bool QueueSent(const std::shared_ptr<SentMessage>& message);
    // Called on: the receiving thread, after handling; wakes the sender.
    static void Complete(SentMessage& message, SentMessage::State state, LRESULT result);

    // Called on: this queue's thread only.
    void PostQuit(int exitCode);
    // Handles incoming sent messages, then takes the oldest posted message,
    // blocking until one arrives.
    void Get(MSG* msg);
    // Blocks until the message is handled, handling messages sent to this
    // thread meanwhile; the handled message's result, or false when it failed.
    bool WaitForReply(const std::shared_ptr<SentMessage>& message, LRESULT* result);

    void AddWindow(HWND window);
    void RemoveWindow(HWND window);

    // Called on: this queue's thread. GetQueueStatus: HIWORD the kinds of
    // message waiting, LOWORD the kinds that arrived since the last look.
    DWORD Status(UINT flags);

    // Called on: this queue's thread, as it ends. Refuses everything from now
    // on, hands each window the thread owned to removeWindow, then fails the
    // sends that wait (so a failed sender finds the window gone).
    void Shutdown(void (*removeWindow)(HWND));

private:
    void HandleSentLocked(std::unique_lock<std::mutex>& guard);

    const DWORD threadId_;
    std::mutex lock_;
    std::condition_variable changed_;  // only this queue's thread waits on it
    std::deque<MSG> posted_;
    std::deque<std::shared_ptr<SentMessage>> sent_;
    std::vector<HWND> windows_;
    bool quitPending_ = false;
    int quitCode_ = 0;
    bool ended_ = false;
    DWORD newKinds_ = 0;  // QS_ bits that arrived since the last look
};

// The calling thread's queue, created on first use; it ends with the thread.
std::shared_ptr<MessageQueue> CurrentQueue();
// The queue of that thread, or null when it has none (never used user32, or ended).
std::shared_ptr<MessageQueue> FindQueue(DWORD threadId);

// Windows of the process, by handle.
std::shared_ptr<Window> LookupWindow(HWND window);
// Null when the table is full.
HWND AddWindowToTable(const std::shared_ptr<Window>& window);
void RemoveWindowFromTable(HWND window);

// Calls the window's procedure for a message sent from another thread.
LRESULT HandleSentMessage(const SentMessage& message);

// Milliseconds since boot, the time stamp of queued messages.
DWORD MessageTime();

}  // namespace zrwin::user32
