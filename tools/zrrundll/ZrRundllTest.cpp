// zrrundll: calls a library's entry in the rundll32 form, with clear exit
// statuses for everything that keeps it from getting there.
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "support/ChildProcess.h"
#include "support/TestSupport.h"

namespace {

const std::string kTool = ZRRUNDLL_PATH;
const std::string kEcho = ZRRUNDLL_ECHO;

zrtest::Ran Rundll(const std::vector<std::string>& arguments) { return zrtest::Run(kTool, arguments); }

TEST(ZrRundll, CallsTheEntryWithTheArgumentsAsOneCommandLine) {
    zrtest::ScopedTempDir dir;
    std::filesystem::copy_file(kEcho, dir.File("zrrundll_echo.so"));
    const std::string shown = "window=0 instance=zrrundll_echo.so show=10 cmdline=";
    const std::pair<std::vector<std::string>, std::string> cases[] = {
        {{kEcho + ",Echo", "PID(1234)", "LPCNAME(Agent)"}, shown + "[PID(1234) LPCNAME(Agent)]\n"},
        {{kEcho + ",Echo"}, shown + "[]\n"},
        {{kEcho + ",", "Echo", "x"}, shown + "[x]\n"},                 // a blank after the comma is tolerated
        {{"zrrundll_echo.so,Echo", "a"}, shown + "[a]\n"},             // from the current directory
        {{kEcho + ",Loop"}, "answer=42 loop=0 quit=3\n"},  // another thread sends to the entry's message loop
    };
    for (const auto& [arguments, out] : cases) {
        SCOPED_TRACE(arguments[0]);
        const auto ran = Rundll(arguments);
        EXPECT_EQ(ran.code, 0) << ran.err;
        EXPECT_EQ(ran.out, out);
    }
}

TEST(ZrRundll, EachFailureHasItsOwnExitStatusAndMessage) {
    zrtest::ScopedTempDir dir;
    std::ofstream(dir.File("text.so")) << "not a library\n";
    struct Case {
        std::vector<std::string> arguments;
        int code;
        std::string message;
    } cases[] = {
        {{}, 2, "expected LIBRARY,ENTRY"},
        {{"nocomma"}, 2, "expected LIBRARY,ENTRY"},
        {{",Echo"}, 2, "expected LIBRARY,ENTRY"},
        {{kEcho + ","}, 2, "expected LIBRARY,ENTRY"},
        {{dir.File("missing.so") + ",Echo"}, 3, "error 126"},
        {{dir.File("text.so") + ",Echo"}, 3, "error 193"},
        {{kEcho + ",NoSuchEntry"}, 4, "error 127"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.arguments.empty() ? "(none)" : c.arguments[0]);
        auto ran = Rundll(c.arguments);
        EXPECT_EQ(ran.code, c.code);
        EXPECT_NE(ran.err.find(c.message), std::string::npos) << ran.err;
        EXPECT_EQ(ran.out, "") << "the entry was not called";
    }
}

TEST(ZrRundll, HelpListsTheExitStatuses) {
    auto ran = Rundll({"--help"});
    EXPECT_EQ(ran.code, 0);
    for (const char* line : {"usage: zrrundll LIBRARY,ENTRY", "  3  the library could not be loaded",
                             "  4  the library has no export named ENTRY"}) {
        EXPECT_NE(ran.out.find(line), std::string::npos) << line;
    }
}

}  // namespace
