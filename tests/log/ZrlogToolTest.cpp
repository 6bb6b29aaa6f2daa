// The operators' tool, run as a program for its output and exit codes.
#include <signal.h>

#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "LogTestUtil.h"
#include "support/ChildProcess.h"

namespace {

using logtest::kLogFile;

zrtest::Ran Zrlog(const std::vector<std::string>& args) { return zrtest::Run(logtest::ZrlogPath(), args); }

// A log of five records beside damaged, renamed and converted copies of it.
class ZrlogTool : public logtest::FiveRecordLog {
protected:
    void TearDown() override { zrtest::UnsetEnv("ZRWIN_REGISTRY"); }
};

TEST_F(ZrlogTool, ExitCodesNameTheRealProblem) {
    auto swapped = texts_;
    std::swap(swapped[3], swapped[4]);
    logtest::WriteBytes("bad.log", logtest::Join(swapped));
    logtest::WriteBytes("text.txt", "just some text\nnot a log\n");
    std::string lf = bytes_;
    for (size_t at; (at = lf.find("\r\n")) != std::string::npos;) lf.erase(at, 1);
    logtest::WriteBytes("converted.log", lf);
    logtest::WriteBytes("renamed.log", bytes_);
    logtest::WriteBytes("empty.log", "");
    const struct { std::vector<std::string> args; int code; const char* out; const char* err; } cases[] = {
        {{"verify", kLogFile}, 0, "5 records", ""},
        {{"show", kLogFile}, 0, "] record 1 with a message", ""},
        {{"verify", "empty.log"}, 0, "empty (no records)", ""},
        {{"--help"}, 0, "Exit codes", ""},
        {{"verify", "bad.log", "--name", kLogFile}, 1, "record 4: chain hash does not match", ""},
        {{"verify", "converted.log", "--name", kLogFile}, 1, "", "line-ending conversion"},
        {{"show", "converted.log", "--name", kLogFile}, 1, "", "line-ending conversion"},
        {{"verify", "renamed.log"}, 1, "does not decrypt", "renamed from kvlzrmodproc.log: run again with --name"},
        {{"show", "renamed.log"}, 1, "", "renamed from kvlzrmodproc.log"},
        {{"show", "renamed.log", "--name", "other.log"}, 1, "", "is it the file's original name?"},
        {{"verify", "text.txt"}, 2, "", "not a log file"},
        {{"follow", "text.txt"}, 2, "", "not a log file"},
        {{"show", "missing.log"}, 2, "", "no such file"},
        {{"verify", kLogFile, "--last", "xyz"}, 2, "", "32 hexadecimal digits"},
        {{"show", kLogFile, "--last", std::string(32, '0')}, 2, "", "unknown option --last"},
        {{}, 2, "", ""},
        {{"verify"}, 2, "", ""},
        {{"frobnicate", kLogFile}, 2, "", ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::PrintToString(c.args));
        const auto ran = Zrlog(c.args);
        EXPECT_EQ(c.code, ran.code) << ran.out << ran.err;
        EXPECT_NE(std::string::npos, ran.out.find(c.out)) << ran.out;
        EXPECT_NE(std::string::npos, ran.err.find(c.err)) << ran.err;
    }
    const auto shown = Zrlog({"show", kLogFile}).out;
    EXPECT_NE(std::string::npos, shown.find("] record 5 with a message"));
    EXPECT_EQ(bytes_.substr(0, 24), shown.substr(0, 24)) << "each line starts with its time stamp";
}

TEST_F(ZrlogTool, KeptChainHashShowsRecordsCutOffTheEnd) {
    const auto verified = Zrlog({"verify", kLogFile});
    const size_t at = verified.out.find("last chain hash: ");
    ASSERT_NE(std::string::npos, at) << verified.out;
    const std::string kept = verified.out.substr(at + 17, 32);

    Log(LOG_ERROR, "appended after the hash was kept");
    auto ran = Zrlog({"verify", kLogFile, "--last", kept});
    EXPECT_EQ(0, ran.code) << ran.out;
    EXPECT_NE(std::string::npos, ran.out.find("record 5 carries the kept chain hash; 1 records were appended"));

    // The chain of what is left still verifies on its own: only the kept hash shows the cut.
    logtest::WriteBytes("cut.log", logtest::Join({texts_.begin(), texts_.begin() + 4}));
    EXPECT_EQ(0, Zrlog({"verify", "cut.log", "--name", kLogFile}).code);
    ran = Zrlog({"verify", "cut.log", "--name", kLogFile, "--last", kept});
    EXPECT_EQ(1, ran.code);
    EXPECT_NE(std::string::npos, ran.out.find("records were cut off the end")) << ran.out;
}

TEST_F(ZrlogTool, ShowEscapesControlCharactersSoOneLineIsOneRecord) {
    Log(LOG_ERROR, "first\r\nThu Jan  1 00:00:00 1970 [0001.0001] forged\ttab\x01");
    const auto ran = Zrlog({"show", kLogFile});
    ASSERT_EQ(0, ran.code) << ran.err;
    EXPECT_EQ(6, std::count(ran.out.begin(), ran.out.end(), '\n')) << ran.out;
    EXPECT_NE(std::string::npos, ran.out.find("first\\r\\nThu Jan  1 00:00:00 1970 [0001.0001] forged\\ttab\\x01"))
        << ran.out;
}

TEST_F(ZrlogTool, AppendHonoursTheConfiguredLevelAndTheLineLimit) {
    logtest::UseRegistry(dir_.File("hklm.reg"), "\"debug\"=dword:00000001");
    auto ran = Zrlog({"append", "default level 2 is filtered"});
    EXPECT_EQ(0, ran.code);
    EXPECT_NE(std::string::npos, ran.err.find("not written")) << ran.err;
    EXPECT_EQ(0, Zrlog({"append", "--level", "1", "error line 100%s"}).code);
    EXPECT_EQ(0, Zrlog({"append", "--level", "0", "critical line"}).code);
    EXPECT_EQ(2, Zrlog({"append", "--level", "9", "x"}).code);
    zrtest::UnsetEnv("ZRWIN_REGISTRY");
    EXPECT_EQ(0, Zrlog({"append", "default level written"}).code);
    // The longest line the facility logs whole is accepted; one byte more is refused up front.
    const std::string longest(2047, 'x');
    EXPECT_EQ(0, Zrlog({"append", longest}).code);
    const auto tooLong = Zrlog({"append", longest + "y"});
    EXPECT_EQ(2, tooLong.code);
    EXPECT_NE(std::string::npos, tooLong.err.find("at most 2047")) << tooLong.err;
    const auto messages = logtest::Messages();
    EXPECT_EQ((std::vector<std::string>{"error line 100%s", "critical line", "default level written", longest}),
              std::vector<std::string>(messages.begin() + 5, messages.end()));
}

TEST_F(ZrlogTool, FollowPrintsNewRecordsAndFollowsARestart) {
    zrtest::ChildProcess follow(logtest::ZrlogPath(), {"follow", kLogFile});
    ASSERT_TRUE(follow.Started());
    EXPECT_TRUE(follow.WaitForOutput("] record 5 with"));
    Log(LOG_ERROR, "appended while following");
    EXPECT_TRUE(follow.WaitForOutput("] appended while following"));

    // The facility restarts an oversized file; follow starts again at its top.
    const std::string filler(1500, 'f');
    while (logtest::ReadBytes(kLogFile).size() <= 6000) ASSERT_TRUE(logtest::LogWithLimit(6000, "%s", filler.c_str()));
    ASSERT_TRUE(logtest::LogWithLimit(6000, "first after restart"));
    EXPECT_TRUE(follow.WaitForOutput("] first after restart"));

    follow.Signal(SIGTERM);
    EXPECT_EQ(0, follow.Wait());
}

}  // namespace
