// zragent's command line: commands, start options, data requests and the
// option names it accepts.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "AgentOptions.h"

using zragent::AgentOptions;
using zragent::Command;
using zragent::DataRequest;
using zragent::ParseCommandLine;
using zragent::StartMode;

namespace {

bool Parse(std::vector<const char*> args, AgentOptions& options, std::string& error) {
    args.insert(args.begin(), "zragent");
    return ParseCommandLine(static_cast<int>(args.size()), args.data(), options, error);
}

}  // namespace

TEST(AgentOptions, OptionCodesAreTakenByNameInAnyCaseOrByNumber) {
    const struct {
        const char* text;
        int32_t code;
    } cases[] = {
        {"ZR_GETOPTION", 2}, {"getoption", 2},       {"zr_run_script_asynch", 18}, {"0", 0},
        {"18", 18},          {"-1", -1},             {"0x11", 17},                 {"ZR_ENABLECHECKCERTIFICATE", 17},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        int32_t code = 99;
        ASSERT_TRUE(zragent::ParseOptionCode(c.text, code));
        EXPECT_EQ(code, c.code);
    }
    for (const char* bad : {"", "ZR_", "unknown", "ZR_GETOPTIONS", "2x"}) {
        SCOPED_TRACE(bad);
        int32_t code = 99;
        EXPECT_FALSE(zragent::ParseOptionCode(bad, code));
    }
}

TEST(AgentOptions, DataRequestSplitsAtTheFirstColonAndKeepsTheRest) {
    DataRequest request;
    ASSERT_TRUE(zragent::ParseDataRequest("ZR_SETOPTION:url=http://a:8080/", request));
    EXPECT_EQ(request.option, 3);
    EXPECT_EQ(request.text, "url=http://a:8080/");
    ASSERT_TRUE(zragent::ParseDataRequest("7:", request));
    EXPECT_EQ(request.text, "");
    EXPECT_FALSE(zragent::ParseDataRequest("nosuch:x", request));
}

// The options the real runs in AgentHostTest and AgentKeepTest do not use.
TEST(AgentOptions, RunTakesTheStartOptionsForTheHost) {
    AgentOptions options;
    std::string error;
    ASSERT_TRUE(Parse({"run", "m.kvl", "--group", "G1", "--threaded", "--options", "1", "--param", "a b"}, options,
                      error))
        << error;
    EXPECT_EQ(options.command, Command::Run);
    EXPECT_EQ(options.module, "m.kvl");
    EXPECT_EQ(options.group, "G1");
    EXPECT_EQ(options.startOptions, 5);
    EXPECT_EQ(options.param, "a b");
}

TEST(AgentOptions, DefaultsMatchTheHostsOwnAndHelpNeedsNoModule) {
    AgentOptions options;
    std::string error;
    ASSERT_TRUE(Parse({"shell", "echo"}, options, error)) << error;
    EXPECT_EQ(options.command, Command::Shell);
    EXPECT_EQ(options.group, "CModule");
    EXPECT_TRUE(options.checkSignature);
    EXPECT_EQ(options.startOptions, 0);
    EXPECT_EQ(options.startMode, StartMode::ArgsThenExec);
    EXPECT_EQ(options.agentLogLevel, -1);
    ASSERT_TRUE(Parse({"run", "--help"}, options, error));
    EXPECT_EQ(options.command, Command::Help);
}

TEST(AgentOptions, BadUsageIsRefusedWithAReason) {
    const struct {
        std::vector<const char*> args;
        const char* reason;
    } cases[] = {
        {{}, "no command"},
        {{"launch", "m"}, "unknown command"},
        {{"run"}, "no module"},
        {{"run", "a", "b"}, "more than one module"},
        {{"run", "m", "--group"}, "needs a value"},
        {{"run", "m", "--group", ""}, "must not be empty"},
        {{"run", "m", "--data", "bogus"}, "bad data request"},
        {{"run", "m", "--options", "x"}, "bad value"},
        {{"bench", "m", "--requests", "0"}, "bad value"},
        {{"run", "m", "--frobnicate"}, "unknown argument"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.reason);
        AgentOptions options;
        std::string error;
        EXPECT_FALSE(Parse(c.args, options, error));
        EXPECT_NE(error.find(c.reason), std::string::npos) << error;
    }
}
