// user32: window classes, windows, and the per-thread message queue.
// Window handles are small integers (slot and generation), so they fit the
// 32-bit fields the host hands to its modules.
#pragma once


#include "zrwin/types.h"
#include "zrwin/winerror.h"

// ---- Messages.
#define WM_NULL 0x0000
#define WM_CREATE 0x0001
#define WM_DESTROY 0x0002
#define WM_CLOSE 0x0010
#define WM_QUIT 0x0012
#define WM_SHOWWINDOW 0x0018
#define WM_NCCREATE 0x0081
#define WM_NCDESTROY 0x0082
#define WM_KEYDOWN 0x0100
#define WM_CHAR 0x0102
#define WM_TIMER 0x0113
#define WM_USER 0x0400
#define WM_APP 0x8000

// ---- Show commands.
#define SW_HIDE 0
#define SW_SHOWNORMAL 1
#define SW_NORMAL 1
#define SW_SHOWMINIMIZED 2
#define SW_SHOWMAXIMIZED 3
#define SW_MAXIMIZE 3
#define SW_SHOWNOACTIVATE 4
#define SW_SHOW 5
#define SW_MINIMIZE 6
#define SW_SHOWMINNOACTIVE 7
#define SW_SHOWNA 8
#define SW_RESTORE 9
#define SW_SHOWDEFAULT 10
#define SW_FORCEMINIMIZE 11

// ---- Window styles (only visibility has an effect here).
#define WS_OVERLAPPED 0x00000000L
#define WS_POPUP 0x80000000L
#define WS_CHILD 0x40000000L
#define WS_VISIBLE 0x10000000L
#define WS_DISABLED 0x08000000L
#define WS_CAPTION 0x00C00000L
#define WS_SYSMENU 0x00080000L
#define WS_OVERLAPPEDWINDOW 0x00CF0000L

#define CW_USEDEFAULT ((int)0x80000000)
#define HWND_MESSAGE ((HWND)(LONG_PTR)-3)

// ---- GetQueueStatus kinds.
#define QS_POSTMESSAGE 0x0008
#define QS_SENDMESSAGE 0x0040
#define QS_ALLPOSTMESSAGE 0x0100

#define MAKEINTATOM(i) ((LPSTR)((ULONG_PTR)((WORD)(i))))
#define IS_INTRESOURCE(r) ((((ULONG_PTR)(r)) >> 16) == 0)

typedef LRESULT(CALLBACK* WNDPROC)(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

typedef struct tagWNDCLASSA {
    UINT style;
    WNDPROC lpfnWndProc;
    int cbClsExtra;
    int cbWndExtra;
    HINSTANCE hInstance;
    HICON hIcon;
    HCURSOR hCursor;
    HBRUSH hbrBackground;
    LPCSTR lpszMenuName;
    LPCSTR lpszClassName;
} WNDCLASSA, *PWNDCLASSA, *LPWNDCLASSA;

// The lParam of WM_NCCREATE and WM_CREATE, in the Windows field order.
typedef struct tagCREATESTRUCTA {
    LPVOID lpCreateParams;
    HINSTANCE hInstance;
    HMENU hMenu;
    HWND hwndParent;
    int cy;
    int cx;
    int y;
    int x;
    LONG style;
    LPCSTR lpszName;
    LPCSTR lpszClass;
    DWORD dwExStyle;
} CREATESTRUCTA, *LPCREATESTRUCTA;

typedef struct tagPOINT {
    LONG x;
    LONG y;
} POINT, *PPOINT, *LPPOINT;

typedef struct tagMSG {
    HWND hwnd;
    UINT message;
    WPARAM wParam;
    LPARAM lParam;
    DWORD time;
    POINT pt;
} MSG, *PMSG, *LPMSG;

// ---- Window classes and windows.
ZRWINAPI ATOM WINAPI RegisterClassA(const WNDCLASSA* windowClass);
ZRWINAPI HWND WINAPI CreateWindowExA(DWORD exStyle, LPCSTR className, LPCSTR windowName, DWORD style, int x, int y,
                                    int width, int height, HWND parent, HMENU menu, HINSTANCE instance, LPVOID param);
ZRWINAPI BOOL WINAPI DestroyWindow(HWND window);
ZRWINAPI BOOL WINAPI IsWindow(HWND window);
ZRWINAPI BOOL WINAPI IsWindowVisible(HWND window);
ZRWINAPI BOOL WINAPI ShowWindow(HWND window, int command);
ZRWINAPI DWORD WINAPI GetWindowThreadProcessId(HWND window, LPDWORD processId);
ZRWINAPI LRESULT WINAPI DefWindowProcA(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// ---- The thread's message queue.
ZRWINAPI BOOL WINAPI GetMessageA(LPMSG msg, HWND window, UINT filterMin, UINT filterMax);
ZRWINAPI BOOL WINAPI TranslateMessage(const MSG* msg);
ZRWINAPI LRESULT WINAPI DispatchMessageA(const MSG* msg);
ZRWINAPI BOOL WINAPI PostMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
ZRWINAPI BOOL WINAPI PostThreadMessageA(DWORD threadId, UINT message, WPARAM wParam, LPARAM lParam);
ZRWINAPI void WINAPI PostQuitMessage(int exitCode);
ZRWINAPI LRESULT WINAPI SendMessageA(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
ZRWINAPI DWORD WINAPI GetQueueStatus(UINT flags);
