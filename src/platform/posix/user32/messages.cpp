// Posting, sending, getting and dispatching messages.
#include "user32/message_queue.h"
#include "zrwin/sync.h"

namespace zrwin::user32 {
namespace {

// Depth of cross-thread sent messages being handled on this thread.
thread_local int t_inSend = 0;

const HWND kThreadMessagesOnly = reinterpret_cast<HWND>(static_cast<LONG_PTR>(-1));

MSG MakeMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    MSG msg{};
    msg.hwnd = window;
    msg.message = message;
    msg.wParam = wParam;
    msg.lParam = lParam;
    msg.time = MessageTime();
    return msg;
}

// -1 with the last error for a filter that names no window; 1 otherwise.
int CheckFilter(LPMSG msg, HWND window) {
    if (!msg) {
        SetLastError(ERROR_NOACCESS);
        return -1;
    }
    if (window && window != kThreadMessagesOnly) {
        // Another thread's window could never match: refused, not waited on.
        auto found = LookupWindow(window);
        if (!found || found->threadId != GetCurrentThreadId()) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return -1;
        }
    }
    return 1;
}

BOOL GetMessageCommon(LPMSG msg, HWND window, UINT first, UINT last) {
    if (CheckFilter(msg, window) < 0) return -1;
    CurrentQueue()->Retrieve(msg, MessageFilter{window, first, last}, true, true);
    return msg->message == WM_QUIT ? FALSE : TRUE;
}

BOOL PeekMessageCommon(LPMSG msg, HWND window, UINT first, UINT last, UINT removeMessage) {
    if (CheckFilter(msg, window) < 0) return FALSE;
    return CurrentQueue()->Retrieve(msg, MessageFilter{window, first, last}, false, (removeMessage & PM_REMOVE) != 0)
               ? TRUE
               : FALSE;
}

LRESULT DispatchCommon(const MSG* msg) {
    if (!msg || !msg->hwnd) return 0;  // a thread message has no procedure to go to
    auto window = LookupWindow(msg->hwnd);
    if (!window) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    if (window->threadId != GetCurrentThreadId()) {
        SetLastError(ERROR_WINDOW_OF_OTHER_THREAD);
        return 0;
    }
    return window->procedure(msg->hwnd, msg->message, msg->wParam, msg->lParam);
}

BOOL PostCommon(HWND handle, UINT message, WPARAM wParam, LPARAM lParam) {
    if (!handle) return PostThreadMessageW(GetCurrentThreadId(), message, wParam, lParam);
    auto window = LookupWindow(handle);
    std::shared_ptr<MessageQueue> queue = window ? window->queue.lock() : nullptr;
    if (!queue) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    return queue->Post(MakeMessage(handle, message, wParam, lParam), ERROR_INVALID_WINDOW_HANDLE) ? TRUE : FALSE;
}

BOOL PostThreadCommon(DWORD threadId, UINT message, WPARAM wParam, LPARAM lParam) {
    // Calling user32 gives the caller a queue, so posting to itself always finds one.
    std::shared_ptr<MessageQueue> queue = threadId == GetCurrentThreadId() ? CurrentQueue() : FindQueue(threadId);
    if (!queue) {
        SetLastError(ERROR_INVALID_THREAD_ID);
        return FALSE;
    }
    return queue->Post(MakeMessage(nullptr, message, wParam, lParam), ERROR_INVALID_THREAD_ID) ? TRUE : FALSE;
}

LRESULT SendCommon(HWND handle, UINT message, WPARAM wParam, LPARAM lParam) {
    auto window = LookupWindow(handle);
    if (!window) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    if (window->threadId == GetCurrentThreadId()) return window->procedure(handle, message, wParam, lParam);

    std::shared_ptr<MessageQueue> target = window->queue.lock();
    auto sent = std::make_shared<SentMessage>();
    sent->window = handle;
    sent->message = message;
    sent->wParam = wParam;
    sent->lParam = lParam;
    sent->sender = CurrentQueue();
    LRESULT result = 0;
    if (!target || !target->QueueSent(sent) || !sent->sender->WaitForReply(sent, &result)) {
        // The window's thread ended before it handled the message.
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return 0;
    }
    return result;
}

}  // namespace

LRESULT HandleSentMessage(const SentMessage& message) {
    auto window = LookupWindow(message.window);
    if (!window) return 0;  // destroyed while the message waited
    ++t_inSend;
    LRESULT result = window->procedure(message.window, message.message, message.wParam, message.lParam);
    --t_inSend;
    return result;
}

}  // namespace zrwin::user32

using namespace zrwin::user32;

// GetMessageA (user32): blocks for the next posted message of the thread, handling sent messages first;
// 0 for WM_QUIT, -1 (ERROR_INVALID_WINDOW_HANDLE) for a filter window that is not the thread's own.
ZRWINAPI BOOL WINAPI GetMessageA(LPMSG msg, HWND window, UINT filterMin, UINT filterMax) {
    return GetMessageCommon(msg, window, filterMin, filterMax);
}

// GetMessageW (user32): as GetMessageA.
ZRWINAPI BOOL WINAPI GetMessageW(LPMSG msg, HWND window, UINT filterMin, UINT filterMax) {
    return GetMessageCommon(msg, window, filterMin, filterMax);
}

// PeekMessageA (user32): as GetMessageA without waiting; FALSE when nothing matches. PM_REMOVE takes it.
ZRWINAPI BOOL WINAPI PeekMessageA(LPMSG msg, HWND window, UINT filterMin, UINT filterMax, UINT removeMessage) {
    return PeekMessageCommon(msg, window, filterMin, filterMax, removeMessage);
}

// TranslateMessage (user32): there is no keyboard, so nothing is ever translated (FALSE).
ZRWINAPI BOOL WINAPI TranslateMessage(const MSG*) { return FALSE; }

// DispatchMessageA (user32): the window procedure's result; 0 for thread messages, dead windows and
// windows of other threads (ERROR_WINDOW_OF_OTHER_THREAD).
ZRWINAPI LRESULT WINAPI DispatchMessageA(const MSG* msg) { return DispatchCommon(msg); }

// DispatchMessageW (user32): as DispatchMessageA.
ZRWINAPI LRESULT WINAPI DispatchMessageW(const MSG* msg) { return DispatchCommon(msg); }

// PostMessageA (user32): queues to the window's thread and returns at once; a null window posts to the
// calling thread; a full queue fails with ERROR_NOT_ENOUGH_QUOTA.
ZRWINAPI BOOL WINAPI PostMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    return PostCommon(window, message, wParam, lParam);
}

// PostMessageW (user32): as PostMessageA.
ZRWINAPI BOOL WINAPI PostMessageW(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    return PostCommon(window, message, wParam, lParam);
}

// PostThreadMessageA (user32): ERROR_INVALID_THREAD_ID for a thread without a queue (never used user32,
// ended, or no such thread).
ZRWINAPI BOOL WINAPI PostThreadMessageA(DWORD threadId, UINT message, WPARAM wParam, LPARAM lParam) {
    return PostThreadCommon(threadId, message, wParam, lParam);
}

// PostThreadMessageW (user32): as PostThreadMessageA.
ZRWINAPI BOOL WINAPI PostThreadMessageW(DWORD threadId, UINT message, WPARAM wParam, LPARAM lParam) {
    return PostThreadCommon(threadId, message, wParam, lParam);
}

// PostQuitMessage (user32): WM_QUIT with the code comes after every message already posted.
ZRWINAPI void WINAPI PostQuitMessage(int exitCode) { CurrentQueue()->PostQuit(exitCode); }

// SendMessageA (user32): on the window's thread calls the procedure directly; from another thread blocks
// until the window's thread has handled it (handling messages sent back meanwhile); 0 with
// ERROR_INVALID_WINDOW_HANDLE when the window is gone or its thread ends first.
ZRWINAPI LRESULT WINAPI SendMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    return SendCommon(window, message, wParam, lParam);
}

// SendMessageW (user32): as SendMessageA.
ZRWINAPI LRESULT WINAPI SendMessageW(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    return SendCommon(window, message, wParam, lParam);
}

// InSendMessage (user32): TRUE while the thread handles a message sent from another thread.
ZRWINAPI BOOL WINAPI InSendMessage(void) { return t_inSend > 0 ? TRUE : FALSE; }

// GetQueueStatus (user32): HIWORD the kinds of message waiting (only QS_POSTMESSAGE, QS_ALLPOSTMESSAGE and
// QS_SENDMESSAGE exist here), LOWORD those that arrived since the last GetQueueStatus, GetMessage or PeekMessage.
ZRWINAPI DWORD WINAPI GetQueueStatus(UINT flags) { return CurrentQueue()->Status(flags); }
