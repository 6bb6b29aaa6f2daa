// Conformance of the layer's user32 with Windows: classes, windows, the
// per-thread message queue, and SendMessage across threads. A window's
// creation parameter and a send on the owner's thread are the hidden window's
// tests.
#include <gtest/gtest.h>

#include <atomic>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "platform/platform.h"
#include "support/FailsWith.h"

namespace {

constexpr DWORD kLongWait = 10000;
constexpr UINT kPing = WM_USER + 1;
constexpr UINT kAsk = WM_USER + 2;
const HWND kBadWindow = reinterpret_cast<HWND>(static_cast<uintptr_t>(0x7FFE));

struct Seen {
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    DWORD threadId;
};

// What one window saw, reached from its procedure through the creation
// parameter of WM_NCCREATE.
struct Recorder {
    std::mutex lock;
    std::vector<Seen> seen;
    // Optional behaviour for the private messages; by default they answer wParam * 2.
    std::function<LRESULT(UINT, WPARAM)> onPrivate;

    std::vector<Seen> Private() {
        std::lock_guard<std::mutex> guard(lock);
        std::vector<Seen> out;
        for (const auto& s : seen)
            if (s.message >= WM_USER) out.push_back(s);
        return out;
    }
    std::vector<UINT> Messages() {
        std::lock_guard<std::mutex> guard(lock);
        std::vector<UINT> messages;
        for (const auto& s : seen) messages.push_back(s.message);
        return messages;
    }
};

std::mutex g_recordersLock;
std::map<HWND, Recorder*> g_recorders;

LRESULT CALLBACK RecordingProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    auto* create = reinterpret_cast<CREATESTRUCTA*>(lParam);
    Recorder* recorder = nullptr;
    {
        std::lock_guard<std::mutex> guard(g_recordersLock);
        if (message == WM_NCCREATE) g_recorders[window] = static_cast<Recorder*>(create->lpCreateParams);
        recorder = g_recorders.count(window) ? g_recorders[window] : nullptr;
        if (message == WM_NCDESTROY) g_recorders.erase(window);
    }
    if (!recorder) return message == WM_CREATE ? -1 : DefWindowProcA(window, message, wParam, lParam);
    {
        std::lock_guard<std::mutex> guard(recorder->lock);
        recorder->seen.push_back({message, wParam, lParam, GetCurrentThreadId()});
    }
    if (message == WM_CREATE) return 0;
    if (message >= WM_USER)
        return recorder->onPrivate ? recorder->onPrivate(message, wParam) : static_cast<LRESULT>(wParam * 2);
    return DefWindowProcA(window, message, wParam, lParam);
}

HINSTANCE TestInstance() { return reinterpret_cast<HINSTANCE>(static_cast<uintptr_t>(0x400000)); }

const char* TestClass() {
    static const ATOM atom = [] {
        WNDCLASSA wc{};
        wc.lpfnWndProc = RecordingProc;
        wc.hInstance = TestInstance();
        wc.lpszClassName = "User32TestClass";
        return RegisterClassA(&wc);
    }();
    return atom ? "User32TestClass" : nullptr;
}

HWND MakeWindow(Recorder* recorder, DWORD style = 0) {
    return CreateWindowExA(0, TestClass(), "", style, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT,
                           nullptr, nullptr, TestInstance(), recorder);
}

// An owned manual-reset event of the layer.
struct Event {
    HANDLE handle = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    ~Event() { CloseHandle(handle); }
    void Set() { SetEvent(handle); }
    bool WaitFor(DWORD ms = kLongWait) { return WaitForSingleObject(handle, ms) == WAIT_OBJECT_0; }
};

// A thread that owns one window and runs the message loop until the quit
// it is sent when the object goes.
class WindowThread {
public:
    WindowThread() {
        thread_ = std::thread([this] {
            window_ = MakeWindow(&recorder);
            threadId_ = GetCurrentThreadId();
            created_.Set();
            MSG msg;
            while (GetMessageA(&msg, nullptr, 0, 0) > 0) DispatchMessageA(&msg);
        });
        created_.WaitFor();
    }
    ~WindowThread() {
        PostThreadMessageA(threadId_, WM_QUIT, 0, 0);
        thread_.join();
    }
    HWND Window() const { return window_; }

    Recorder recorder;

private:
    Event created_;
    HWND window_ = nullptr;
    DWORD threadId_ = 0;
    std::thread thread_;
};

// Whether a posted message (or the quit flag) waits in this thread's queue.
bool PostedWaiting() { return (HIWORD(GetQueueStatus(QS_POSTMESSAGE)) & QS_POSTMESSAGE) != 0; }

// Waits, without taking anything, until a message sent from another thread
// is waiting in this thread's queue.
bool WaitForIncomingSend() {
    for (int i = 0; i < 10000; ++i) {
        if (HIWORD(GetQueueStatus(QS_SENDMESSAGE)) & QS_SENDMESSAGE) return true;
        Sleep(1);
    }
    return false;
}

TEST(User32Classes, ASecondClassOfTheSameNameAndInstanceFailsWithClassAlreadyExists) {
    WNDCLASSA wc{};
    wc.lpfnWndProc = DefWindowProcA;
    wc.hInstance = TestInstance();
    wc.lpszClassName = "User32TestOnce";
    EXPECT_GE(RegisterClassA(&wc), 0xC000);
    wc.lpszClassName = "USER32TESTONCE";
    EXPECT_FAILS_WITH(RegisterClassA(&wc), 0, ERROR_CLASS_ALREADY_EXISTS);
    wc.hInstance = nullptr;
    EXPECT_NE(RegisterClassA(&wc), 0) << "another instance may use the name";
    EXPECT_FAILS_WITH(RegisterClassA(nullptr), 0, ERROR_INVALID_PARAMETER);
}

TEST(User32Windows, HandlesShowingAndDestructionAsWindowsHasThem) {
    Recorder recorder;
    HWND window = MakeWindow(&recorder);
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(recorder.Messages(), (std::vector<UINT>{WM_NCCREATE, WM_CREATE}));
    const auto value = reinterpret_cast<uintptr_t>(window);
    EXPECT_LT(value, 0x80000000u) << "fits the 32-bit window field of a module";
    EXPECT_EQ(value % 2, 0u);
    DWORD pid = 0;
    EXPECT_EQ(GetWindowThreadProcessId(window, &pid), GetCurrentThreadId());
    EXPECT_EQ(pid, GetCurrentProcessId());

    EXPECT_FALSE(ShowWindow(window, SW_SHOW)) << "was not visible";
    EXPECT_TRUE(ShowWindow(window, SW_HIDE)) << "was visible";
    EXPECT_EQ(recorder.Messages().back(), static_cast<UINT>(WM_SHOWWINDOW));

    EXPECT_TRUE(DestroyWindow(window));
    const auto messages = recorder.Messages();
    EXPECT_EQ(std::vector<UINT>(messages.end() - 2, messages.end()), (std::vector<UINT>{WM_DESTROY, WM_NCDESTROY}));
    EXPECT_FALSE(IsWindow(window));
    EXPECT_FAILS_WITH(DestroyWindow(window), FALSE, ERROR_INVALID_WINDOW_HANDLE);
    EXPECT_FAILS_WITH(SendMessageA(window, kPing, 1, 0), 0, ERROR_INVALID_WINDOW_HANDLE);
    HWND next = MakeWindow(&recorder, WS_VISIBLE);
    EXPECT_NE(next, window) << "a reused slot gets a new handle";
    EXPECT_TRUE(IsWindowVisible(next));
    DestroyWindow(next);
}

TEST(User32Windows, RefusedCreationsAndCallsLeaveWindowsAlone) {
    EXPECT_FAILS_WITH(CreateWindowExA(0, "NoSuchClass", "", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr),
                      nullptr, ERROR_CANNOT_FIND_WND_CLASS);
    Recorder recorder;
    EXPECT_FAILS_WITH(
        CreateWindowExA(0, TestClass(), "", 0, 0, 0, 0, 0, kBadWindow, nullptr, TestInstance(), &recorder), nullptr,
        ERROR_INVALID_WINDOW_HANDLE);
    for (uintptr_t bad : {uintptr_t{0}, uintptr_t{1}, uintptr_t{0x7FFE}, uintptr_t{0x12345678}}) {
        SCOPED_TRACE(bad);
        HWND window = reinterpret_cast<HWND>(bad);
        EXPECT_FALSE(IsWindow(window));
        EXPECT_FAILS_WITH(ShowWindow(window, SW_SHOW), FALSE, ERROR_INVALID_WINDOW_HANDLE);
        EXPECT_FAILS_WITH(GetWindowThreadProcessId(window, nullptr), 0u, ERROR_INVALID_WINDOW_HANDLE);
    }
    // Only the owning thread destroys or dispatches to a window.
    WindowThread owner;
    EXPECT_FAILS_WITH(DestroyWindow(owner.Window()), FALSE, ERROR_ACCESS_DENIED);
    MSG msg{owner.Window(), kPing, 0, 0, 0, {}};
    EXPECT_FAILS_WITH(DispatchMessageA(&msg), 0, ERROR_WINDOW_OF_OTHER_THREAD);
    EXPECT_TRUE(IsWindow(owner.Window()));
}

// Only the whole queue is read: any filter is refused, never waited on.
TEST(User32Queue, GetMessageRefusesFiltersAndEndsWithZeroOnQuit) {
    Recorder recorder;
    HWND window = MakeWindow(&recorder);
    MSG msg{};
    for (auto [filter, first, last] : {std::tuple{window, 0u, 0u}, {kBadWindow, 0u, 0u}, {nullptr, kPing, kPing}})
        EXPECT_FAILS_WITH(GetMessageA(&msg, filter, first, last), -1, ERROR_INVALID_PARAMETER);
    EXPECT_FAILS_WITH(GetMessageA(nullptr, nullptr, 0, 0), -1, ERROR_NOACCESS);
    ASSERT_TRUE(PostThreadMessageA(GetCurrentThreadId(), WM_QUIT, 42, 0));
    EXPECT_EQ(GetMessageA(&msg, nullptr, 0, 0), 0);
    EXPECT_EQ(std::pair(msg.message, msg.wParam), std::pair(UINT{WM_QUIT}, WPARAM{42}));

    // PostQuitMessage's quit comes after what is already posted, and is taken once.
    ASSERT_TRUE(PostMessageA(window, kPing, 1, 0));
    PostQuitMessage(7);
    ASSERT_TRUE(PostThreadMessageA(GetCurrentThreadId(), kPing, 2, 0));
    for (auto [result, wParam, hwnd] : {std::tuple{1, 1u, window}, {1, 2u, HWND{}}, {0, 7u, HWND{}}}) {
        EXPECT_EQ(GetMessageA(&msg, nullptr, 0, 0), result);
        EXPECT_EQ(std::pair(msg.wParam, msg.hwnd), std::pair(WPARAM{wParam}, hwnd));
    }
    EXPECT_FALSE(PostedWaiting());
    DestroyWindow(window);
}

TEST(User32Queue, DispatchCallsTheProcedureOfALiveWindow) {
    Recorder recorder;
    HWND window = MakeWindow(&recorder);
    ASSERT_TRUE(PostMessageA(window, kPing, 1, 0));
    MSG msg{};
    ASSERT_EQ(GetMessageA(&msg, nullptr, 0, 0), 1);
    EXPECT_FALSE(TranslateMessage(&msg));
    EXPECT_EQ(DispatchMessageA(&msg), 2) << "the procedure's result";

    // A message posted to a window destroyed before it is dispatched goes nowhere.
    ASSERT_TRUE(PostMessageA(window, kPing, 4, 0));
    DestroyWindow(window);
    ASSERT_EQ(GetMessageA(&msg, nullptr, 0, 0), 1);
    EXPECT_FAILS_WITH(DispatchMessageA(&msg), 0, ERROR_INVALID_WINDOW_HANDLE);
    EXPECT_FAILS_WITH(PostMessageA(window, kPing, 5, 0), FALSE, ERROR_INVALID_WINDOW_HANDLE);
}

TEST(User32Queue, AFullQueueRefusesPostsWithNotEnoughQuota) {
    std::thread([] {
        int posted = 0;
        while (posted < 20000 && PostThreadMessageA(GetCurrentThreadId(), kPing, 0, 0)) ++posted;
        EXPECT_EQ(posted, 10000);
        EXPECT_FAILS_WITH(PostMessageA(nullptr, kPing, 0, 0), FALSE, ERROR_NOT_ENOUGH_QUOTA);
        MSG msg;
        ASSERT_EQ(GetMessageA(&msg, nullptr, 0, 0), 1);
        EXPECT_TRUE(PostThreadMessageA(GetCurrentThreadId(), kPing, 0, 0)) << "room again";
    }).join();
}

TEST(User32Queue, PostThreadMessageNeedsAThreadWithAQueue) {
    EXPECT_FAILS_WITH(PostThreadMessageA(0x7FFFFFF0u, kPing, 0, 0), FALSE, ERROR_INVALID_THREAD_ID);
    Event ready, touched, release;
    std::atomic<DWORD> id{0};
    std::thread worker([&] {
        id = GetCurrentThreadId();
        ready.Set();
        touched.WaitFor();
        MSG msg;
        GetQueueStatus(0);  // creates the queue
        release.Set();
        GetMessageA(&msg, nullptr, 0, 0);
    });
    ASSERT_TRUE(ready.WaitFor());
    EXPECT_FAILS_WITH(PostThreadMessageA(id, kPing, 0, 0), FALSE, ERROR_INVALID_THREAD_ID) << "never used a queue";
    touched.Set();
    ASSERT_TRUE(release.WaitFor());
    EXPECT_TRUE(PostThreadMessageA(id, WM_QUIT, 0, 0));
    worker.join();
}

// A send from another thread waits for the window's thread, which handles it
// inside GetMessage, ahead of what was posted.
TEST(User32Send, SentMessagesWaitForTheOwnersLoopAndAreHandledAheadOfPostedOnes) {
    Recorder recorder;
    HWND window = MakeWindow(&recorder);
    ASSERT_TRUE(PostMessageA(window, kPing, 1, 0));
    std::atomic<LRESULT> result{-1};
    std::thread sender([&] { result = SendMessageA(window, kAsk, 2, 7); });
    ASSERT_TRUE(WaitForIncomingSend());
    EXPECT_EQ(result.load(), -1) << "not answered before the window's thread asks for messages";
    MSG msg;
    ASSERT_EQ(GetMessageA(&msg, nullptr, 0, 0), 1);
    sender.join();  // the sent message was handled inside GetMessage
    EXPECT_EQ(result.load(), 4);
    EXPECT_EQ(msg.wParam, 1u) << "the posted message comes out after";
    DispatchMessageA(&msg);
    const auto privates = recorder.Private();
    ASSERT_EQ(privates.size(), 2u);
    EXPECT_EQ(std::tuple(privates[0].message, privates[0].lParam, privates[0].threadId),
              std::tuple(kAsk, LPARAM{7}, GetCurrentThreadId()));
    EXPECT_EQ(privates[1].message, kPing);
    DestroyWindow(window);
}

TEST(User32Send, AThreadWaitingForItsOwnSendHandlesMessagesSentBack) {
    Recorder here;
    HWND local = MakeWindow(&here);
    WindowThread remote;
    // The remote window asks back before it answers: wParam 3 comes back as 3 * 2 + 1.
    remote.recorder.onPrivate = [local](UINT message, WPARAM wParam) -> LRESULT {
        return message == kAsk ? SendMessageA(local, kPing, wParam, 0) + 1 : static_cast<LRESULT>(wParam * 2);
    };
    EXPECT_EQ(SendMessageA(remote.Window(), kAsk, 3, 0), 7);
    const auto privates = here.Private();
    ASSERT_EQ(privates.size(), 1u);
    EXPECT_EQ(privates[0].threadId, GetCurrentThreadId());
    DestroyWindow(local);
}

TEST(User32Send, ManyThreadsSendingToOneWindowEachGetTheirOwnAnswer) {
    WindowThread owner;
    std::atomic<int> wrong{0};
    std::vector<std::thread> senders;
    for (int t = 0; t < 4; ++t) {
        senders.emplace_back([&, t] {
            for (int i = 0; i < 300; ++i) {
                const WPARAM value = static_cast<WPARAM>(t * 100000 + i);
                if (i % 3 == 0) PostMessageA(owner.Window(), kPing, value, 0);
                if (SendMessageA(owner.Window(), kPing, value, 0) != static_cast<LRESULT>(value * 2)) ++wrong;
            }
        });
    }
    for (auto& s : senders) s.join();
    EXPECT_EQ(wrong.load(), 0);
}

TEST(User32Send, AWindowWhoseThreadEndedFailsTheSend) {
    Recorder recorder;
    HWND window = nullptr;
    DWORD threadId = 0;
    std::thread([&] {
        window = MakeWindow(&recorder);
        threadId = GetCurrentThreadId();
        PostMessageA(window, kPing, 1, 0);  // never taken
    }).join();
    ASSERT_NE(window, nullptr);
    EXPECT_FAILS_WITH(SendMessageA(window, kPing, 1, 0), 0, ERROR_INVALID_WINDOW_HANDLE);
    EXPECT_FALSE(IsWindow(window)) << "the windows go with their thread";
    EXPECT_FAILS_WITH(PostMessageA(window, kPing, 1, 0), FALSE, ERROR_INVALID_WINDOW_HANDLE);
    EXPECT_FAILS_WITH(PostThreadMessageA(threadId, kPing, 0, 0), FALSE, ERROR_INVALID_THREAD_ID);

    // A thread that ends with a send waiting fails that send.
    std::atomic<HWND> waiting{nullptr};
    Event created;
    std::thread owner([&] {
        waiting = MakeWindow(&recorder);
        created.Set();
        WaitForIncomingSend();  // and end without ever taking it
    });
    ASSERT_TRUE(created.WaitFor());
    EXPECT_FAILS_WITH(SendMessageA(waiting, kPing, 9, 0), 0, ERROR_INVALID_WINDOW_HANDLE);
    owner.join();
    EXPECT_TRUE(recorder.Private().empty()) << "the procedure never saw either";
}

}  // namespace
