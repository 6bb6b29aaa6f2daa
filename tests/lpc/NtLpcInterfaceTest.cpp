// Binding the native port entry points and naming status codes.
#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "ipc/lpc/NtLpcInterface.h"
#include "log/Log.h"
#include "util/LogLines.h"

namespace {

// Binds from a library of our choosing, to see what a missing entry point does.
class BindingUnderTest : public NtLpcInterface {
public:
    using NtLpcInterface::LoadFrom;
    bool HasClose() const { return NtClose != nullptr; }
};

TEST(NtStatusName, NamesEveryClassAndItsPublishedCodes) {
    struct Case {
        uint32_t status;
        const char* name;
    };
    // Each class's bounds, and for each named table its first and last
    // entries, one between and a miss.
    const Case cases[] = {
        {0x00000000u, "STATUS_WAIT"}, {0x0000003Fu, "STATUS_WAIT"}, {0x00000040u, "reserved"},
        {0x0000007Fu, "reserved"}, {0x00000080u, "STATUS_ABANDONED"}, {0x000000BFu, "STATUS_ABANDONED"},
        {0x000000C0u, "STATUS_USER_APC"}, {0x00000101u, "SUCCESS code"}, {0x00000102u, "STATUS_TIMEOUT"},
        {0x00010002u, "DBG_CONTINUE"}, {0x3FFFFFFFu, "SUCCESS code"}, {0x40000000u, "INFORMATIONAL code"},
        {0x40000005u, "STATUS_SEGMENT_NOTIFICATION"}, {0x40010009u, "DBG_COMMAND_EXCEPTION"},
        {0x7FFFFFFFu, "INFORMATIONAL code"}, {0x80000000u, "reserved"}, {0x80000001u, "STATUS_GUARD_PAGE_VIOLATION"},
        {0x80000006u, "WARNING code"}, {0x80010001u, "DBG_EXCEPTION_NOT_HANDLED"}, {0xBFFFFFFFu, "WARNING code"},
        {0xC0000000u, "ERROR code"}, {0xC0000001u, "STATUS_UNSUCCESSFUL"}, {0xC00000FDu, "STATUS_STACK_OVERFLOW"},
        {0xC0000220u, "ERROR code"}, {0xC0000700u, "STATUS_PORT_CLOSED"}, {0xC0000708u, "STATUS_RESOURCE_IN_USE"},
        {0xC0000709u, "ERROR code"}, {0xFFFFFFFFu, "ERROR code"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.status);
        EXPECT_STREQ(NtStatusName(c.status), c.name);
    }
}

TEST(NtLpcInterface, MissingEntryPointsOrLibraryFailTheLoadAndAreLogged) {
    SetLogLevel(LOG_WARNING);
    const std::string unloadable = "NtLpcInterface::Load: Error, could not load library zr-no-such-ntdll.dll";
    const size_t unloadableBefore = utiltest::CountLines(unloadable);
    BindingUnderTest nothing;
    EXPECT_FALSE(nothing.LoadFrom(L"zr-no-such-ntdll.dll"));
    EXPECT_FALSE(nothing.IsLoaded());
    EXPECT_EQ(utiltest::CountLines(unloadable), unloadableBefore + 1);

    // A library without the entry points stays loaded.
    const std::string prefix =
        "NtLpcInterface::Load : Error loading library kernel32.dll: NtCreatePort (";
    const size_t before = utiltest::CountStartingWith(prefix);

    BindingUnderTest binding;
    EXPECT_FALSE(binding.LoadFrom(L"kernel32.dll"));
    EXPECT_TRUE(binding.IsLoaded());
    EXPECT_FALSE(binding.HasClose());
    EXPECT_EQ(utiltest::CountStartingWith(prefix), before + 1);

    const auto lines = logtest::Messages();
    const auto line = std::find_if(lines.rbegin(), lines.rend(),
                                   [&](const std::string& l) { return l.rfind(prefix, 0) == 0; });
    ASSERT_NE(line, lines.rend());
    for (const char* part : {") NtAcceptConnectPort (", ") NtCompleteConnectPort(", ")NtConnectPort(",
                             ") NtReplyPort(", ")NtRegisterThreadTerminatePort(", ")NtWaitForSingleObject(",
                             ") RtlInitUnicodeString(", ") NtClose("}) {
        SCOPED_TRACE(part);
        EXPECT_NE(line->find(part), std::string::npos);
    }
    EXPECT_EQ(line->substr(line->size() - 2), ") ");
}

}  // namespace
