#include <signal.h>

#include <cstdlib>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "ChildProcess.h"
#include "LogTestUtil.h"

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

TEST_F(DamagedLog, IntactFileVerifiesAndShows) {
    const auto result = zrlog::VerifyLogFile(kLogFile);
    EXPECT_TRUE(result.ok) << result.reason;
    EXPECT_EQ(5u, result.records);
    EXPECT_EQ(0u, result.badRecord);
    const auto messages = logtest::Messages();
    ASSERT_EQ(5u, messages.size());
    EXPECT_EQ("record 3 with a message long enough for several cipher blocks of text", messages[2]);
}

TEST_F(DamagedLog, OneChangedCiphertextByteBreaksThatRecord) {
    // A byte in the second cipher block: the line decrypts to other text.
    std::string& text = texts_[2];
    char& c = text[25 + 40];
    c = c == 'A' ? 'B' : 'A';
    const auto result = VerifyCopy(logtest::Join(texts_));
    EXPECT_FALSE(result.ok);
    EXPECT_EQ(3u, result.badRecord);
    EXPECT_TRUE(StartsWith(result.reason, "chain hash does not match")) << result.reason;

    // The last byte of the block before the last flips the padding byte.
    texts_ = logtest::RecordTexts(bytes_);
    char& last = texts_[3][texts_[3].size() - 65];
    last = last == 'A' ? 'B' : 'A';
    const auto padding = VerifyCopy(logtest::Join(texts_));
    EXPECT_EQ(4u, padding.badRecord);
    EXPECT_TRUE(StartsWith(padding.reason, "does not decrypt")) << padding.reason;
}

TEST_F(DamagedLog, ChangedChainHashChangesTheKey) {
    char& c = texts_[1][texts_[1].size() - 5];
    c = c == '0' ? '1' : '0';
    const auto result = VerifyCopy(logtest::Join(texts_));
    EXPECT_EQ(2u, result.badRecord);
    EXPECT_FALSE(result.reason.empty());
}

TEST_F(DamagedLog, RemovedOrSwappedRecordsBreakTheChain) {
    std::vector<std::string> removed = texts_;
    removed.erase(removed.begin() + 2);
    auto result = VerifyCopy(logtest::Join(removed));
    EXPECT_EQ(3u, result.badRecord);
    EXPECT_TRUE(StartsWith(result.reason, "chain hash does not match")) << result.reason;

    std::vector<std::string> swapped = texts_;
    std::swap(swapped[1], swapped[2]);
    result = VerifyCopy(logtest::Join(swapped));
    EXPECT_EQ(2u, result.badRecord);
    EXPECT_TRUE(StartsWith(result.reason, "chain hash does not match")) << result.reason;

    // Removing the first record breaks the chain at the new first record.
    std::vector<std::string> headless(texts_.begin() + 1, texts_.end());
    result = VerifyCopy(logtest::Join(headless));
    EXPECT_EQ(1u, result.badRecord);
}

TEST_F(DamagedLog, TruncatedLastRecordIsReported) {
    auto result = VerifyCopy(bytes_.substr(0, bytes_.size() - 10));
    EXPECT_EQ(5u, result.badRecord);
    EXPECT_TRUE(StartsWith(result.reason, "truncated record")) << result.reason;
    result = VerifyCopy(bytes_.substr(0, bytes_.size() - 1));
    EXPECT_EQ(5u, result.badRecord);

    std::vector<zrlog::Record> records;
    std::string error;
    logtest::WriteBytes(dir_.File("copy.log"), bytes_.substr(0, bytes_.size() - 10));
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
TEST_F(DamagedLog, ToolExitCodes) {
    std::string out, err;
    EXPECT_EQ(0, logtest::Run({logtest::ZrlogPath(), "verify", kLogFile}, &out, &err)) << err;
    EXPECT_NE(std::string::npos, out.find("5 records"));

    EXPECT_EQ(0, logtest::Run({logtest::ZrlogPath(), "show", kLogFile}, &out, &err)) << err;
    EXPECT_NE(std::string::npos, out.find("] record 1 with a message"));
    EXPECT_NE(std::string::npos, out.find("] record 5 with a message"));
    EXPECT_EQ(texts_[0].substr(0, 24), out.substr(0, 24)) << "each line starts with its time stamp";

    std::vector<std::string> swapped = texts_;
    std::swap(swapped[3], swapped[4]);
    logtest::WriteBytes(dir_.File("bad.log"), logtest::Join(swapped));
    EXPECT_EQ(1, logtest::Run({logtest::ZrlogPath(), "verify", "bad.log", "--name", kLogFile}, &out, &err));
    EXPECT_NE(std::string::npos, out.find("record 4: chain hash does not match")) << out;

    logtest::WriteBytes(dir_.File("text.txt"), "just some text\nnot a log\n");
    EXPECT_EQ(2, logtest::Run({logtest::ZrlogPath(), "verify", "text.txt"}, &out, &err));
    EXPECT_NE(std::string::npos, err.find("not a log file")) << err;
    EXPECT_EQ(2, logtest::Run({logtest::ZrlogPath(), "show", "missing.log"}, &out, &err));
    EXPECT_NE(std::string::npos, err.find("no such file")) << err;
    EXPECT_EQ(2, logtest::Run({logtest::ZrlogPath()}, &out, &err));
    EXPECT_EQ(2, logtest::Run({logtest::ZrlogPath(), "verify"}, &out, &err));
    EXPECT_EQ(2, logtest::Run({logtest::ZrlogPath(), "frobnicate", kLogFile}, &out, &err));
    EXPECT_EQ(0, logtest::Run({logtest::ZrlogPath(), "--help"}, &out, &err));
    EXPECT_NE(std::string::npos, out.find("Exit codes"));
}

TEST(ZrlogAppend, HonoursTheConfiguredLevel) {
    zrtest::ScopedTempDir dir;
    logtest::WriteBytes("hklm.reg", "Windows Registry Editor Version 5.00\r\n\r\n"
                                    "[HKEY_LOCAL_MACHINE\\SOFTWARE\\KVL\\zrmodproc]\r\n\"debug\"=dword:00000001\r\n");
    setenv("ZRWIN_REGISTRY", dir.File("hklm.reg").c_str(), 1);
    std::string out, err;
    EXPECT_EQ(0, logtest::Run({logtest::ZrlogPath(), "append", "default level 2 is filtered"}, &out, &err));
    EXPECT_NE(std::string::npos, err.find("not written")) << err;
    EXPECT_EQ(0, logtest::Run({logtest::ZrlogPath(), "append", "--level", "1", "error line 100%s"}, &out, &err)) << err;
    EXPECT_EQ(0, logtest::Run({logtest::ZrlogPath(), "append", "--level", "0", "critical line"}, &out, &err)) << err;
    EXPECT_EQ(2, logtest::Run({logtest::ZrlogPath(), "append", "--level", "9", "x"}, &out, &err));
    unsetenv("ZRWIN_REGISTRY");
    EXPECT_EQ(0, logtest::Run({logtest::ZrlogPath(), "append", "default level written"}, &out, &err)) << err;
    EXPECT_EQ((std::vector<std::string>{"error line 100%s", "critical line", "default level written"}),
              logtest::Messages());
}

TEST(ZrlogFollow, PrintsNewRecordsAndFollowsARestart) {
    zrtest::ScopedTempDir dir;
    SetLogLevel(LOG_WARNING);
    Log(LOG_ERROR, "before follow");
    logtest::ChildProcess follow({logtest::ZrlogPath(), "follow", kLogFile});
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
