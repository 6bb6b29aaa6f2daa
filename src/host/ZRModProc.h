// The host's controller: the messaging endpoint that turns the parent's
// commands into actions on the one module runner and answers them.
//
// Threads: constructed, destroyed and quit-targeted on the entry thread,
// which also runs the hidden window's procedure (WindowProc, WindowMessage).
// ReceiveMsg and ProcessTermination run on the LPC listener thread, one
// command at a time; ProcessMessage on up to 25 worker threads at once.
// The controller has no lock: startArgs_ is touched only by the listener,
// and the module runner keeps its own rules for overlapping calls. The
// destructor ends the listener and the workers before the module runner goes.
#pragma once

#include <cstdint>
#include <memory>

#include "clib/os/modules/Module.h"
#include "ipc/messages/MsgStartArguments.h"
#include "ipc/multiprocess/CMultiProcessBase.h"
#include "platform/platform.h"

class HiddenWindow;

class ZRModProc : public CMultiProcessBase {
public:
    // Start attempts of one start request and the pause between them.
    static constexpr int kStartAttempts = 5;
    static constexpr DWORD kStartRetryPauseMs = 1000;
    // How long the module may take to stop when the host quits.
    static constexpr int kQuitStopTimeoutMs = 120000;

    // Starts the server, creates the hidden window and announces the host to
    // parentPid; IsInitialized tells whether that all worked.
    ZRModProc(const wchar_t* groupName, DWORD parentPid, HINSTANCE instance);
    ~ZRModProc() override;
    ZRModProc(const ZRModProc&) = delete;
    ZRModProc& operator=(const ZRModProc&) = delete;

    bool IsInitialized() const { return initialized_; }
    // Posts the quit message to the entry thread. Called on: any thread.
    void Quit();

    // Called on: the LPC listener thread. Always 0; answers go into the body.
    INT ReceiveMsg(DWORD pid, INT cmd, BYTE* data, DWORD size) override;
    // Called on: the LPC listener thread, when a connected client dies.
    bool ProcessTermination(DWORD pid) override;
    bool OnProcessTerminated(DWORD pid) override;
    // Called on: a worker thread. The answer record to send back as
    // MModuleDataAsyncEnd, or null for none.
    std::unique_ptr<BYTE[]> ProcessMessage(DWORD pid, DWORD cmd, const BYTE* data, DWORD size,
                                           DWORD& answerSize) override;
    // Called on: the entry thread, from the destructor.
    void QuitProcessMessage() override;

    // Start arguments from a raw start body; null (logged) when it is
    // missing, short or invalid.
    std::unique_ptr<MsgStartArguments> GetStartParameters(const BYTE* body, DWORD size);
    // Starts the module, up to five attempts a second apart.
    bool StartModuleExec(const MsgStartArguments& arguments);

    // Relays a module's window message to the parent. Called on: the entry
    // thread, inside the hidden window's procedure. Always true.
    bool WindowMessage(UINT message, WPARAM wParam, LPARAM lParam);

private:
    void OnReady(DWORD pid);
    void OnStartModule(BYTE* data, DWORD size);
    void OnStopModule(BYTE* data, DWORD size);
    void OnStartModuleArgs(const BYTE* data, DWORD size);
    void OnStartModuleExec(BYTE* data, DWORD size);
    std::unique_ptr<BYTE[]> AnswerDataRequest(DWORD pid, DWORD cmd, const BYTE* data, DWORD size, DWORD& answerSize);

    const DWORD parentPid_;
    const DWORD mainThreadId_;
    clib::os::modules::Module module_;
    std::unique_ptr<HiddenWindow> window_;
    bool initialized_ = false;
    MsgStartArguments startArgs_;
};

// The hidden window's procedure: relays messages above WM_USER to the
// controller named at WM_CREATE. Called on: the entry thread.
LRESULT CALLBACK WindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
