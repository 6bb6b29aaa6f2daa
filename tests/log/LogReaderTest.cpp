#include <signal.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "LogTestUtil.h"
#include "support/ChildProcess.h"

namespace {

using logtest::kLogFile;

// A log of five records; each test damages a copy of it.
class DamagedLog : public ::testing::Test {
protected:
    void SetUp() override {
        SetLogLevel(LOG_WARNING);
        for (int i = 1; i <= 5; ++i)
            Log(LOG_ERROR, "record %d with a message long enough for several cipher blocks of text", i);
        bytes_ = logtest::ReadBytes(kLogFile);
        texts_ = logtest::RecordTexts(bytes_);
        ASSERT_EQ(5u, texts_.size());
    }

    zrlog::VerifyResult VerifyCopy(const std::string& bytes) {
        logtest::WriteBytes(dir_.File("copy.log"), bytes);
        return zrlog::VerifyLogFile(dir_.File("copy.log"), kLogFile);
    }

    zrtest::ScopedTempDir dir_;
    std::string bytes_;
    std::vector<std::string> texts_;
};

bool StartsWith(const std::string& text, const std::string& prefix) { return text.rfind(prefix, 0) == 0; }

TEST_F(DamagedLog, EachDamageIsFoundAtItsRecord) {
    const auto changed = [&](size_t record, size_t at, char from, char to) {
        auto texts = texts_;
        char& c = texts[record][at];
        c = c == from ? to : from;
        return logtest::Join(texts);
    };
    auto removed = texts_, swapped = texts_;
    removed.erase(removed.begin() + 2);
    std::swap(swapped[1], swapped[2]);
    const std::vector<std::string> headless(texts_.begin() + 1, texts_.end());
    const struct { const char* what; std::string bytes; size_t badRecord; const char* reason; } cases[] = {
        {"a byte of the second cipher block", changed(2, 25 + 40, 'A', 'B'), 3, "chain hash does not match"},
        {"the last byte before the last block: the padding byte", changed(3, texts_[3].size() - 65, 'A', 'B'), 4,
         "does not decrypt"},
        {"the chain hash, which changes the key", changed(1, texts_[1].size() - 5, '0', '1'), 2, ""},
        {"a removed record", logtest::Join(removed), 3, "chain hash does not match"},
        {"swapped records", logtest::Join(swapped), 2, "chain hash does not match"},
        {"the first record removed: the new first breaks", logtest::Join(headless), 1, ""},
        {"the last byte missing", bytes_.substr(0, bytes_.size() - 1), 5, ""},
        {"a truncated last record", bytes_.substr(0, bytes_.size() - 10), 5, "truncated record"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        const auto result = VerifyCopy(c.bytes);
        EXPECT_FALSE(result.ok);
        EXPECT_EQ(c.badRecord, result.badRecord);
        EXPECT_TRUE(StartsWith(result.reason, c.reason) && !result.reason.empty()) << result.reason;
    }

    std::vector<zrlog::Record> records;  // of the truncated copy
    std::string error;
    EXPECT_FALSE(zrlog::ReadLogFile(dir_.File("copy.log"), kLogFile, records, error));
    EXPECT_EQ(4u, records.size()) << "records before the damage are kept";
    EXPECT_NE(std::string::npos, error.find("record 5")) << error;
}

TEST_F(DamagedLog, RenamedFileNeedsItsOriginalName) {
    logtest::WriteBytes(dir_.File("renamed.log"), bytes_);
    const auto wrongName = zrlog::VerifyLogFile(dir_.File("renamed.log"));
    EXPECT_EQ(1u, wrongName.badRecord);
    EXPECT_TRUE(StartsWith(wrongName.reason, "does not decrypt")) << wrongName.reason;
    EXPECT_TRUE(zrlog::VerifyLogFile(dir_.File("renamed.log"), kLogFile).ok);

    const auto missing = zrlog::VerifyLogFile(dir_.File("missing.log"));
    EXPECT_FALSE(missing.ok);
    EXPECT_EQ(0u, missing.badRecord);
    EXPECT_NE(std::string::npos, missing.reason.find("cannot open"));
}

// The operators' tool, run as a program for its output and exit codes.
zrtest::Ran Zrlog(const std::vector<std::string>& args) { return zrtest::Run(logtest::ZrlogPath(), args); }

TEST_F(DamagedLog, ToolExitCodes) {
    std::swap(texts_[3], texts_[4]);
    logtest::WriteBytes(dir_.File("bad.log"), logtest::Join(texts_));
    logtest::WriteBytes(dir_.File("text.txt"), "just some text\nnot a log\n");
    // The expected text is in the standard output for codes 0 and 1, else in the error output.
    const struct { std::vector<std::string> args; int code; const char* output; } cases[] = {
        {{"verify", kLogFile}, 0, "5 records"},
        {{"show", kLogFile}, 0, "] record 1 with a message"},
        {{"verify", "bad.log", "--name", kLogFile}, 1, "record 4: chain hash does not match"},
        {{"verify", "text.txt"}, 2, "not a log file"},
        {{"show", "missing.log"}, 2, "no such file"},
        {{}, 2, ""},
        {{"verify"}, 2, ""},
        {{"frobnicate", kLogFile}, 2, ""},
        {{"--help"}, 0, "Exit codes"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args.empty() ? "" : c.args[0]);
        const auto ran = Zrlog(c.args);
        EXPECT_EQ(c.code, ran.code) << ran.err;
        EXPECT_NE(std::string::npos, (c.code < 2 ? ran.out : ran.err).find(c.output)) << ran.out << ran.err;
    }
    const auto shown = Zrlog({"show", kLogFile}).out;
    EXPECT_NE(std::string::npos, shown.find("] record 5 with a message"));
    EXPECT_EQ(bytes_.substr(0, 24), shown.substr(0, 24)) << "each line starts with its time stamp";
}

// What an operator meets with damaged, renamed, converted or cut logs.
TEST_F(DamagedLog, ToolNamesTheRealProblem) {
    std::string lf = bytes_;
    for (size_t at; (at = lf.find("\r\n")) != std::string::npos;) lf.erase(at, 1);
    logtest::WriteBytes(dir_.File("converted.log"), lf);
    logtest::WriteBytes(dir_.File("renamed.log"), bytes_);
    logtest::WriteBytes(dir_.File("empty.log"), "");
    const struct { std::vector<std::string> args; int code; const char* stdoutText; const char* stderrText; } cases[] = {
        {{"verify", "empty.log"}, 0, "empty (no records)", ""},
        {{"verify", kLogFile}, 0, "last chain hash: ", ""},
        {{"verify", "converted.log", "--name", kLogFile}, 1, "", "line-ending conversion"},
        {{"show", "converted.log", "--name", kLogFile}, 1, "", "line-ending conversion"},
        {{"verify", "renamed.log"}, 1, "does not decrypt", "renamed from kvlzrmodproc.log: run again with --name"},
        {{"show", "renamed.log"}, 1, "", "renamed from kvlzrmodproc.log"},
        {{"show", "renamed.log", "--name", "other.log"}, 1, "", "is it the file's original name?"},
        {{"verify", kLogFile, "--last", "xyz"}, 2, "", "32 hexadecimal digits"},
        {{"show", kLogFile, "--last", std::string(32, '0')}, 2, "", "unknown option --last"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.args[0] + " " + c.args[1]);
        const auto ran = Zrlog(c.args);
        EXPECT_EQ(c.code, ran.code) << ran.out << ran.err;
        EXPECT_NE(std::string::npos, ran.out.find(c.stdoutText)) << ran.out;
        EXPECT_NE(std::string::npos, ran.err.find(c.stderrText)) << ran.err;
    }
}

TEST_F(DamagedLog, KeptChainHashShowsRecordsCutOffTheEnd) {
    const auto verified = Zrlog({"verify", kLogFile});
    const size_t at = verified.out.find("last chain hash: ");
    ASSERT_NE(std::string::npos, at) << verified.out;
    const std::string kept = verified.out.substr(at + 17, 32);

    Log(LOG_ERROR, "appended after the hash was kept");
    auto ran = Zrlog({"verify", kLogFile, "--last", kept});
    EXPECT_EQ(0, ran.code) << ran.out;
    EXPECT_NE(std::string::npos, ran.out.find("record 5 carries the kept chain hash; 1 records were appended"));

    // The chain of what is left still verifies on its own: only the kept hash shows the cut.
    logtest::WriteBytes(dir_.File("cut.log"), logtest::Join({texts_.begin(), texts_.begin() + 4}));
    EXPECT_EQ(0, Zrlog({"verify", "cut.log", "--name", kLogFile}).code);
    ran = Zrlog({"verify", "cut.log", "--name", kLogFile, "--last", kept});
    EXPECT_EQ(1, ran.code);
    EXPECT_NE(std::string::npos, ran.out.find("records were cut off the end")) << ran.out;
}

TEST(ZrlogShow, EscapesControlCharactersSoOneLineIsOneRecord) {
    zrtest::ScopedTempDir dir;
    SetLogLevel(LOG_WARNING);
    Log(LOG_ERROR, "first\r\nThu Jan  1 00:00:00 1970 [0001.0001] forged\ttab\x01");
    Log(LOG_ERROR, "second");
    const auto ran = Zrlog({"show", kLogFile});
    ASSERT_EQ(0, ran.code) << ran.err;
    EXPECT_EQ(2, std::count(ran.out.begin(), ran.out.end(), '\n')) << ran.out;
    EXPECT_NE(std::string::npos, ran.out.find("first\\r\\nThu Jan  1 00:00:00 1970 [0001.0001] forged\\ttab\\x01"))
        << ran.out;
}

TEST(ZrlogFollow, RefusesAFileThatIsNotALog) {
    zrtest::ScopedTempDir dir;
    logtest::WriteBytes(dir.File("notes.txt"), "just some text\nnot a log\n");
    const auto ran = Zrlog({"follow", "notes.txt"});
    EXPECT_EQ(2, ran.code);
    EXPECT_NE(std::string::npos, ran.err.find("not a log file")) << ran.err;
}

TEST(ZrlogAppend, HonoursTheConfiguredLevel) {
    zrtest::ScopedTempDir dir;
    logtest::UseRegistry(dir.File("hklm.reg"), "\"debug\"=dword:00000001");
    auto ran = Zrlog({"append", "default level 2 is filtered"});
    EXPECT_EQ(0, ran.code);
    EXPECT_NE(std::string::npos, ran.err.find("not written")) << ran.err;
    EXPECT_EQ(0, Zrlog({"append", "--level", "1", "error line 100%s"}).code);
    EXPECT_EQ(0, Zrlog({"append", "--level", "0", "critical line"}).code);
    EXPECT_EQ(2, Zrlog({"append", "--level", "9", "x"}).code);
    unsetenv("ZRWIN_REGISTRY");
    EXPECT_EQ(0, Zrlog({"append", "default level written"}).code);
    EXPECT_EQ((std::vector<std::string>{"error line 100%s", "critical line", "default level written"}),
              logtest::Messages());

    // The longest line the facility logs whole is accepted; one byte more is refused up front.
    const std::string longest(2047, 'x');
    EXPECT_EQ(0, Zrlog({"append", longest}).code);
    EXPECT_EQ(longest, logtest::Messages().back());
    const auto tooLong = Zrlog({"append", longest + "y"});
    EXPECT_EQ(2, tooLong.code);
    EXPECT_NE(std::string::npos, tooLong.err.find("at most 2047")) << tooLong.err;
    EXPECT_EQ(4u, logtest::Messages().size());
}
TEST(ZrlogFollow, PrintsNewRecordsAndFollowsARestart) {
    zrtest::ScopedTempDir dir;
    SetLogLevel(LOG_WARNING);
    Log(LOG_ERROR, "before follow");
    zrtest::ChildProcess follow(logtest::ZrlogPath(), {"follow", kLogFile});
    ASSERT_TRUE(follow.Started());
    EXPECT_TRUE(follow.WaitForOutput("] before follow"));
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
