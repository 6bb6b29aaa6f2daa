// The hidden window: created on the calling thread, invisible, handing its
// creation parameter to the window procedure. How a message sent from another
// thread waits for the owner's loop is the layer's user32 test.
#include <gtest/gtest.h>

#include <atomic>
#include <string>

#include "platform/platform.h"
#include "ui/HiddenWindow.h"
#include "util/LogLines.h"

namespace {

using utiltest::CountLines;
using utiltest::CountStartingWith;

constexpr UINT kRunJob = 3027;

// What the window procedure saw; the creation parameter points at it.
struct Target {
    std::atomic<int> creates{0};
};

LRESULT CALLBACK TargetProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    static thread_local Target* target = nullptr;
    if (message == WM_CREATE) {
        target = static_cast<Target*>(reinterpret_cast<CREATESTRUCTA*>(lParam)->lpCreateParams);
        ++target->creates;
        return 1;
    }
    if (message > WM_USER && target) return static_cast<LRESULT>(wParam + 1);
    return DefWindowProcA(window, message, wParam, lParam);
}

LRESULT CALLBACK RefusingProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_CREATE) return -1;
    return DefWindowProcA(window, message, wParam, lParam);
}

// Each test gets its own instance, so each registers its own class.
HINSTANCE InstanceFor(uintptr_t n) { return reinterpret_cast<HINSTANCE>(0x10000000u + n * 0x10000u); }

class HiddenWindowTest : public ::testing::Test {
protected:
    void SetUp() override { SetLogLevel(LOG_OTHER); }
    void TearDown() override { SetLogLevel(LOG_WARNING); }
    zrtest::ScopedTempDir dir_;
};

TEST_F(HiddenWindowTest, CreatesAnInvisibleWindowOfTheCallingThreadWithItsParameterOnceOrTwice) {
    Target target, second;
    HiddenWindow hidden(InstanceFor(1), TargetProc, &target);
    HWND window = hidden.GetWindowHandle();
    ASSERT_NE(window, nullptr);
    EXPECT_EQ(target.creates.load(), 1) << "WM_CREATE arrived during construction";
    EXPECT_FALSE(IsWindowVisible(window));
    EXPECT_EQ(GetWindowThreadProcessId(window, nullptr), GetCurrentThreadId());
    EXPECT_EQ(SendMessageA(window, kRunJob, 41, 0), 42);
    EXPECT_EQ(CountLines("HiddenWindow::Create: Creating hidden window..."), 1u);
    EXPECT_EQ(CountStartingWith("HiddenWindow::Create: [E]"), 0u);
    EXPECT_EQ(CountStartingWith("HiddenWindow::Create: [C]"), 0u);

    // A second window of the same instance finds its class registered, says so, and is still created.
    HiddenWindow two(InstanceFor(1), TargetProc, &second);
    ASSERT_NE(two.GetWindowHandle(), nullptr);
    EXPECT_NE(window, two.GetWindowHandle());
    EXPECT_EQ(second.creates.load(), 1);
    EXPECT_EQ(CountLines("HiddenWindow::Create: [E] Failed to register HiddenWindowClass class. err:1410"), 1u);
    EXPECT_EQ(CountLines("HiddenWindow::Create: Hidden window created. Notifying event: 0x0"), 2u);
}

TEST_F(HiddenWindowTest, AWindowRefusedByItsProcedureLeavesNoHandleAndIsLogged) {
    HiddenWindow hidden(InstanceFor(3), RefusingProc, nullptr);
    EXPECT_EQ(hidden.GetWindowHandle(), nullptr);
    EXPECT_EQ(CountStartingWith("HiddenWindow::Create: [C] Failed to create window. err:"), 1u);
    EXPECT_EQ(CountStartingWith("HiddenWindow::Create: Hidden window created."), 0u);
}

}  // namespace
