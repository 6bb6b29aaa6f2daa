// Posting, sending, getting and dispatching messages.
#include "user32/message_queue.h"
#include "zrwin/sync.h"

namespace zrwin::user32 {
namespace {

MSG MakeMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    MSG msg{};
    msg.hwnd = window;
    msg.message = message;
    msg.wParam = wParam;
    msg.lParam = lParam;
    msg.time = MessageTime();
    return msg;
}

// Only the whole queue is ever read: a filter by window or message range is
// refused rather than waited on (ERROR_INVALID_PARAMETER).
BOOL GetMessageCommon(LPMSG msg, HWND window, UINT first, UINT last) {
    if (!msg) {
        SetLastError(ERROR_NOACCESS);
        return -1;
    }
    if (window || first || last) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return -1;
    }
    CurrentQueue()->Get(msg);
    return msg->message == WM_QUIT ? FALSE : TRUE;
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
    if (!handle) return PostThreadMessageA(GetCurrentThreadId(), message, wParam, lParam);
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
    return window->procedure(message.window, message.message, message.wParam, message.lParam);
}

}  // namespace zrwin::user32

using namespace zrwin::user32;

// GetMessageA (user32): blocks for the next posted message of the thread, handling sent messages first;
// 0 for WM_QUIT, -1 (ERROR_INVALID_PARAMETER) for any filter.
ZRWINAPI BOOL WINAPI GetMessageA(LPMSG msg, HWND window, UINT filterMin, UINT filterMax) {
    return GetMessageCommon(msg, window, filterMin, filterMax);
}

// TranslateMessage (user32): there is no keyboard, so nothing is ever translated (FALSE).
ZRWINAPI BOOL WINAPI TranslateMessage(const MSG*) { return FALSE; }

// DispatchMessageA (user32): the window procedure's result; 0 for thread messages, dead windows and
// windows of other threads (ERROR_WINDOW_OF_OTHER_THREAD).
ZRWINAPI LRESULT WINAPI DispatchMessageA(const MSG* msg) { return DispatchCommon(msg); }

// PostMessageA (user32): queues to the window's thread and returns at once; a null window posts to the
// calling thread; a full queue fails with ERROR_NOT_ENOUGH_QUOTA.
ZRWINAPI BOOL WINAPI PostMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    return PostCommon(window, message, wParam, lParam);
}

// PostThreadMessageA (user32): ERROR_INVALID_THREAD_ID for a thread without a queue (never used user32,
// ended, or no such thread).
ZRWINAPI BOOL WINAPI PostThreadMessageA(DWORD threadId, UINT message, WPARAM wParam, LPARAM lParam) {
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

// GetQueueStatus (user32): HIWORD the kinds of message waiting (only QS_POSTMESSAGE, QS_ALLPOSTMESSAGE and
// QS_SENDMESSAGE exist here), LOWORD those that arrived since the last GetQueueStatus or GetMessage.
ZRWINAPI DWORD WINAPI GetQueueStatus(UINT flags) { return CurrentQueue()->Status(flags); }
