// The host's command line (where PID(...) and LPCNAME(...) are found and
// what they give) and the library handle its attach routine records.
#include <gtest/gtest.h>

#include <string>

#include "host/GetParams.h"
#include "host/LibraryHandle.h"

namespace {

struct Case {
    const char* commandLine;
    DWORD notifyPid;
    const wchar_t* groupName;
};

TEST(GetParams, FindsBothKeysWhereTheyCount) {
    const Case cases[] = {
        {"x PID(1234) lpcname(Agent_A)", 1234, L"Agent_A"},
        {"", 0, L"CModule"},
        {"XPID(5)", 0, L"CModule"},                     // a letter before the key
        {"MYPID(3) PID(4)", 4, L"CModule"},             // the first occurrence does not count
        {"9PID(3) _PID(8)", 8, L"CModule"},             // a digit does not separate, '_' does
        {"PID(12", 12, L"CModule"},                     // no ')': the value runs to the end
        {"PID(abc) LPCNAME()", 0, L"CModule"},          // letters, and an empty name
        {"PID( -7)", static_cast<DWORD>(-7), L"CModule"},
        {"PID(+15x)", 15, L"CModule"},
        {"PID(99999999999)", 0x7fffffff, L"CModule"},  // saturates as a 32-bit long does
        {"LPCNAME(a b(c) PID(6)", 6, L"a b(c"},         // the value stops at the first ')'
        {"lpcName(MiXeD)", 0, L"MiXeD"},                // the key in any case, the value as written
        {"PID(1)PID(2)", 1, L"CModule"},                // ')' separates; only the first one counts
        {"LPCNAME(x)LPCNAME(y)", 0, L"x"},
        {"pid()pid(3)", 0, L"CModule"},                 // the first counting occurrence is empty
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.commandLine);
        ModuleStartParams params;
        params.notifyPid = 77;
        params.groupName = L"stale";
        EXPECT_FALSE(GetParams(c.commandLine, params));
        EXPECT_EQ(c.notifyPid, params.notifyPid);
        EXPECT_EQ(std::wstring(c.groupName), params.groupName);
    }
}

TEST(GetParams, NullTextOrKeyFindsNothingAndNamesAreReadInTheAnsiCodePage) {
    std::string value = "stale";
    EXPECT_FALSE(FindCommandLineValue(nullptr, "PID", value));
    EXPECT_TRUE(value.empty());
    EXPECT_FALSE(FindCommandLineValue("PID(1)", nullptr, value));
    EXPECT_FALSE(FindCommandLineValue("PID(1)", "", value));
    ModuleStartParams params;
    GetParams(nullptr, params);
    EXPECT_EQ(0u, params.notifyPid);
    EXPECT_EQ(L"CModule", params.groupName);
    GetParams("LPCNAME(Gr\xe9n)", params);  // e acute in Windows-1252
    EXPECT_EQ(L"Gr\u00e9n", params.groupName);
}

TEST(LibraryAttach, OnlyTheProcessAttachRecordsTheHandle) {
    auto* const first = reinterpret_cast<HINSTANCE>(0x10000);
    auto* const other = reinterpret_cast<HINSTANCE>(0x20000);
    struct Case {
        HINSTANCE instance;
        DWORD reason;
        HINSTANCE recorded;
    };
    const Case cases[] = {{first, DLL_PROCESS_ATTACH, first},
                          {other, DLL_THREAD_ATTACH, first},
                          {other, DLL_THREAD_DETACH, first},
                          {other, DLL_PROCESS_DETACH, first},
                          {other, DLL_PROCESS_ATTACH, other}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reason);
        EXPECT_EQ(TRUE, HostLibraryAttach(c.instance, c.reason));
        EXPECT_EQ(c.recorded, HostModuleHandle());
    }
}

}  // namespace
