// OS version, version verification, system messages, debugger output and
// shutdown parameters.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <tuple>

#include "support/Environment.h"
#include "SystemTestSupport.h"
#include "support/TestSupport.h"

namespace {

using zrtest::FailsWith;

TEST(OsVersion, ReportsWindows10Workstation) {
    OSVERSIONINFOEXA ex = {};
    ex.dwOSVersionInfoSize = sizeof ex;
    ASSERT_EQ(sizeof ex, 156u);
    ASSERT_TRUE(GetVersionExA(reinterpret_cast<LPOSVERSIONINFOA>(&ex)));
    EXPECT_EQ(std::tuple(ex.dwMajorVersion, ex.dwMinorVersion, ex.dwBuildNumber, ex.dwPlatformId, ex.wProductType),
              std::tuple(10u, 0u, 19045u, (DWORD)VER_PLATFORM_WIN32_NT, (BYTE)VER_NT_WORKSTATION));

    OSVERSIONINFOA basic = {};
    basic.dwOSVersionInfoSize = sizeof basic;
    ASSERT_EQ(sizeof basic, 148u);
    ASSERT_TRUE(GetVersionExA(&basic));
    EXPECT_EQ(basic.dwMajorVersion, 10u);
    basic.dwOSVersionInfoSize = 100;
    EXPECT_FAILS_WITH(GetVersionExA(&basic), FALSE, ERROR_INSUFFICIENT_BUFFER);

    EXPECT_EQ(GetVersion(), (19045u << 16) | 10u);
    BOOL wow64 = TRUE;
    EXPECT_TRUE(IsWow64Process(reinterpret_cast<HANDLE>(-1), &wow64));
    EXPECT_FALSE(wow64);
}

bool AtLeast(DWORD major, DWORD minor, BYTE condition = VER_GREATER_EQUAL) {
    OSVERSIONINFOEXA wanted = {};
    wanted.dwOSVersionInfoSize = sizeof wanted;
    wanted.dwMajorVersion = major;
    wanted.dwMinorVersion = minor;
    ULONGLONG mask = VerSetConditionMask(0, VER_MAJORVERSION, condition);
    mask = VerSetConditionMask(mask, VER_MINORVERSION, condition);
    return VerifyVersionInfoA(&wanted, VER_MAJORVERSION | VER_MINORVERSION, mask) != FALSE;
}

TEST(OsVersion, VerifyVersionInfoComparesMajorThenMinor) {
    EXPECT_TRUE(AtLeast(6, 3));  // 10.0 >= 6.3 although 0 < 3
    EXPECT_TRUE(AtLeast(10, 0));
    EXPECT_FAILS_WITH(AtLeast(10, 1), false, ERROR_OLD_WIN_VERSION);
    EXPECT_FALSE(AtLeast(6, 1, VER_EQUAL));
    EXPECT_TRUE(AtLeast(11, 0, VER_LESS));

    // A type without a condition is a caller error, not an old system; the
    // fields the product never compares are not served.
    OSVERSIONINFOEXA product = {};
    product.dwOSVersionInfoSize = sizeof product;
    const ULONGLONG mask = VerSetConditionMask(0, VER_MINORVERSION, VER_EQUAL);
    EXPECT_FAILS_WITH(VerifyVersionInfoA(&product, VER_MAJORVERSION, mask), FALSE, ERROR_INVALID_PARAMETER);
    EXPECT_FAILS_WITH(VerifyVersionInfoA(&product, VER_PRODUCT_TYPE, VerSetConditionMask(0, VER_PRODUCT_TYPE, VER_EQUAL)),
                      FALSE, ERROR_NOT_SUPPORTED);
}

std::string SystemText(DWORD code, DWORD flags = FORMAT_MESSAGE_IGNORE_INSERTS) {
    char buffer[512];
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | flags, nullptr, code,
                                  MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT), buffer, sizeof buffer, nullptr);
    return length ? std::string(buffer, length) : std::string("<none>");
}

TEST(SystemMessages, WindowsTextsWithLineEndsOrBlanks) {
    EXPECT_EQ(SystemText(2), "The system cannot find the file specified.\r\n");
    EXPECT_EQ(SystemText(5), "Access is denied.\r\n");
    EXPECT_EQ(SystemText((DWORD)TRUST_E_NOSIGNATURE), "No signature was present in the subject.\r\n");
    EXPECT_EQ(SystemText((DWORD)TRUST_E_BAD_DIGEST), "The digital signature of the object did not verify.\r\n");
    EXPECT_EQ(SystemText((DWORD)HRESULT_FROM_WIN32(ERROR_ACCESS_DENIED)), "Access is denied.\r\n");
    EXPECT_EQ(SystemText(193), "%1 is not a valid Win32 application.\r\n");
    SetLastError(0);
    EXPECT_EQ(SystemText(0x12345), "<none>");
    EXPECT_EQ(GetLastError(), (DWORD)ERROR_MR_MID_NOT_FOUND);
}

// The host logs the system text of every trust verdict it refuses; a verdict
// without one would end its refusal line in nothing.
TEST(SystemMessages, EveryTrustVerdictHasAText) {
    for (HRESULT verdict : {TRUST_E_NOSIGNATURE, TRUST_E_BAD_DIGEST, CERT_E_EXPIRED, CERT_E_CHAINING,
                            CERT_E_WRONG_USAGE, TRUST_E_ACTION_UNKNOWN, TRUST_E_SUBJECT_FORM_UNKNOWN,
                            CRYPT_E_FILE_ERROR, TRUST_E_CERT_SIGNATURE, E_INVALIDARG})
        EXPECT_NE(SystemText((DWORD)verdict), "<none>") << std::hex << (DWORD)verdict;
}

TEST(SystemMessages, BufferTooSmall) {
    char small[8];
    EXPECT_FAILS_WITH(FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS, nullptr, 5, 0, small,
                                     sizeof small, nullptr),
                      0u, ERROR_INSUFFICIENT_BUFFER);
}

// The layer serves the system table as the product asks for it and nothing
// else: inserts, other widths and allocated buffers are refused.
TEST(SystemMessages, OnlyTheServedFormIsAnswered) {
    char buffer[128];
    for (DWORD flags : {DWORD{FORMAT_MESSAGE_FROM_SYSTEM}, DWORD{FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS |
                                                           FORMAT_MESSAGE_ALLOCATE_BUFFER},
                        DWORD{FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | 40},
                        DWORD{FORMAT_MESSAGE_FROM_STRING | FORMAT_MESSAGE_IGNORE_INSERTS}})
        EXPECT_FAILS_WITH(FormatMessageA(flags, nullptr, 2, 0, buffer, sizeof buffer, nullptr), 0u,
                          ERROR_NOT_SUPPORTED)
            << std::hex << flags;
}

TEST(DebugOutput, AppendsToTheConfiguredFileOrDrops) {
    zrtest::ScopedTempDir dir;
    ASSERT_TRUE(zrtest::SetEnv("ZRWIN_DEBUG_OUTPUT", dir.File("debug.txt").c_str()));
    SetLastError(1234);
    OutputDebugStringA("first\n");
    OutputDebugStringW(L"second \x20AC\n");
    EXPECT_EQ(GetLastError(), 1234u);
    zrtest::UnsetEnv("ZRWIN_DEBUG_OUTPUT");
    OutputDebugStringA("dropped\n");
    std::ifstream in(dir.File("debug.txt"), std::ios::binary);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "first\nsecond \xE2\x82\xAC\n");
}

TEST(ProcessSettings, ShutdownParametersOutOfRangeAreRefused) {
    EXPECT_TRUE(SetProcessShutdownParameters(0x100, SHUTDOWN_NORETRY));
    EXPECT_FAILS_WITH(SetProcessShutdownParameters(0x500, 0), FALSE, ERROR_INVALID_PARAMETER);
    EXPECT_FAILS_WITH(SetProcessShutdownParameters(0x100, 2), FALSE, ERROR_INVALID_PARAMETER);
}

}  // namespace
