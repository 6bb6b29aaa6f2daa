// Costs of the layer's user32: a send on the window's own thread, a send from
// another thread (a module's relay to the host's window), and a post taken by
// the owner's loop.
#include <benchmark/benchmark.h>

#include <thread>
#include <vector>

#include "platform/platform.h"

namespace {

constexpr UINT kPing = WM_USER + 1;

LRESULT CALLBACK Echo(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == kPing) return static_cast<LRESULT>(wParam);
    return DefWindowProcA(window, message, wParam, lParam);
}

HWND MakeWindow() {
    static const bool registered = [] {
        WNDCLASSA wc{};
        wc.lpfnWndProc = Echo;
        wc.lpszClassName = "User32BenchClass";
        return RegisterClassA(&wc) != 0;
    }();
    if (!registered) return nullptr;
    return CreateWindowExA(0, "User32BenchClass", "", 0, 0, 0, 0, 0, nullptr, nullptr, nullptr, nullptr);
}

// A thread owning one window and running its message loop until WM_QUIT.
class LoopThread {
public:
    LoopThread() : ready_(CreateEventA(nullptr, TRUE, FALSE, nullptr)) {
        thread_ = std::thread([this] {
            window_ = MakeWindow();
            threadId_ = GetCurrentThreadId();
            SetEvent(ready_);
            MSG msg;
            while (GetMessageA(&msg, nullptr, 0, 0) > 0) DispatchMessageA(&msg);
        });
        WaitForSingleObject(ready_, INFINITE);
    }
    ~LoopThread() {
        PostThreadMessageA(threadId_, WM_QUIT, 0, 0);
        thread_.join();
        CloseHandle(ready_);
    }
    HWND Window() const { return window_; }

private:
    HANDLE ready_;
    HWND window_ = nullptr;
    DWORD threadId_ = 0;
    std::thread thread_;
};

void BM_SendOnOwnThread(benchmark::State& state) {
    HWND window = MakeWindow();
    WPARAM i = 0;
    for (auto _ : state) benchmark::DoNotOptimize(SendMessageA(window, kPing, ++i, 0));
    DestroyWindow(window);
}
BENCHMARK(BM_SendOnOwnThread);

void BM_SendAcrossThreads(benchmark::State& state) {
    LoopThread owner;
    WPARAM i = 0;
    for (auto _ : state) {
        ++i;
        if (SendMessageA(owner.Window(), kPing, i, 0) != static_cast<LRESULT>(i)) state.SkipWithError("wrong answer");
    }
}
BENCHMARK(BM_SendAcrossThreads)->UseRealTime();

void BM_PostAndGet(benchmark::State& state) {
    HWND window = MakeWindow();
    MSG msg;
    for (auto _ : state) {
        PostMessageA(window, kPing, 1, 0);
        GetMessageA(&msg, nullptr, 0, 0);  // the message is waiting: no block
        benchmark::DoNotOptimize(DispatchMessageA(&msg));
    }
    DestroyWindow(window);
}
BENCHMARK(BM_PostAndGet);

// The window table's insert and remove, with `open` other windows alive.
void BM_CreateAndDestroyWindow(benchmark::State& state) {
    std::vector<HWND> others;
    for (int64_t i = 0; i < state.range(0); ++i) others.push_back(MakeWindow());
    for (auto _ : state) DestroyWindow(MakeWindow());
    for (HWND other : others) DestroyWindow(other);
}
BENCHMARK(BM_CreateAndDestroyWindow)->ArgName("open")->Arg(0)->Arg(1000);

}  // namespace

BENCHMARK_MAIN();
