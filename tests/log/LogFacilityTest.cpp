#include <cstdio>
#include <cstdlib>
#include <regex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "LogTestUtil.h"
#include "log/LogConfig.h"
#include "log/LogSeal.h"
#include "platform/platform.h"
#include "support/MultiProcessTest.h"
#include "util/ScopedHandle.h"

namespace {

// Logs <count> lines "<tag> line <i>" and returns those the facility reports
// written (it drops a line when the log mutex stays busy for 250 ms).
std::vector<std::string> AppendLines(const std::string& tag, int count) {
    std::vector<std::string> written;
    for (int i = 0; i < count; ++i) {
        const std::string line = tag + " line " + std::to_string(i);
        if (logtest::LogWithLimit(kLogFileSizeLimit, "%s", line.c_str())) written.push_back(line);
    }
    return written;
}

// AppendLines <count> <tag> <file>: the same into <file>, printing each line written.
ZR_CHILD_MAIN(AppendLines) {
    const auto& args = zrtest::ChildArgs();
    LogConfig::Instance()->SetFileName(args.at(2).c_str());
    for (const auto& line : AppendLines(args.at(1), std::atoi(args.at(0).c_str()))) std::printf("%s\n", line.c_str());
    return 0;
}

using logtest::kLogFile;
using logtest::Messages;

// Restores the level, the registry variable and the log name a test changes.
class LogFacility : public ::testing::Test {
protected:
    void SetUp() override { SetLogLevel(LOG_WARNING); }
    void TearDown() override {
        zrtest::UnsetEnv("ZRWIN_REGISTRY");
        SetLogLevel(LOG_WARNING);
        if (LogConfig::Exists()) LogConfig::Instance()->SetFileName(kLogFile);
    }
    // The log mutex is machine-wide, named after the file; tests that hold it
    // or log heavily use a name of their own so that other test processes
    // running at the same time keep their lines.
    std::string UsePrivateLogName(const char* purpose) {
        const std::string name = std::string("kvl") + purpose + "-" + std::to_string(GetCurrentProcessId()) + ".log";
        LogConfig::Instance()->SetFileName(name);
        return name;
    }
    void UseRegistry(const std::string& values) { logtest::UseRegistry(dir_.File("hklm.reg"), values); }
    zrtest::ScopedTempDir dir_;
};

TEST_F(LogFacility, WritesLinesUpToTheCurrentLevelWithProcessAndThreadPrefix) {
    for (int level = -1; level <= 4; ++level) Log(level, "level %d", level);
    LogAlways("always %s", "written");
    SetLogLevel(LOG_CRITICAL_ERROR);
    Log(LOG_ERROR, "now filtered");
    Log(LOG_CRITICAL_ERROR, "critical");
    EXPECT_EQ((std::vector<std::string>{"level -1", "level 0", "level 1", "level 2", "always written", "critical"}),
              Messages());
    std::vector<zrlog::Record> records;
    std::string error;
    ASSERT_TRUE(zrlog::ReadLogFile(kLogFile, records, error)) << error;
    char prefix[32];
    std::snprintf(prefix, sizeof(prefix), "[%.4u.%.4u] ", static_cast<unsigned>(GetCurrentProcessId()),
                  static_cast<unsigned>(GetCurrentThreadId()));
    EXPECT_EQ(prefix + std::string("level -1"), records[0].line);
}

TEST_F(LogFacility, EmptyFormatWritesNothingAndCreatesNoConfig) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    // A fresh process, so that no earlier line created the configuration.
    EXPECT_EXIT(
        {
            Log(LOG_CRITICAL_ERROR, "");
            LogAlways("");
            LogAlways(nullptr);
            Log(-1, nullptr);
            const bool created = LogConfig::Exists();
            const bool file = GetFileAttributesA(kLogFile) != INVALID_FILE_ATTRIBUTES;
            std::exit((created ? 1 : 0) | (file ? 2 : 0));
        },
        ::testing::ExitedWithCode(0), "");
}

TEST_F(LogFacility, LongAndWideMessagesKeepTheirText) {
    for (size_t length : {127u, 128u, 2047u, 2048u}) Log(LOG_ERROR, "%s", std::string(length, 'm').c_str());
    Log(LOG_ERROR, "name %ws", L"Gr\u00FC\u00DFe \u20AC \u4E2D");
    Log(LOG_ERROR, "%ws", std::wstring(1100, L'\u4E2D').c_str());  // too long for the wide attempt too
    EXPECT_EQ((std::vector<std::string>{std::string(127, 'm'), std::string(128, 'm'), std::string(2047, 'm'),
                                        "%s [LOG ERROR: unicode sequence could not be converted]",
                                        "name Gr\xFC\xDF" "e \x80 ?",
                                        "%ws [LOG ERROR: unicode sequence could not be converted]"}),
              Messages());
}

TEST_F(LogFacility, ReadsTheLevelFromTheRegistryAndAnnouncesIt) {
    const char* names[] = {"LOG_CRITICAL_ERROR", "LOG_ERROR", "LOG_WARNING", "LOG_INFO", "LOG_OTHER"};
    SetLogLevel(LOG_CRITICAL_ERROR);  // the announcement is written whatever the level
    for (int value = 0; value <= 4; ++value) {
        UseRegistry("\"debug\"=dword:0000000" + std::to_string(value));
        int level = -5;
        ASSERT_TRUE(ReadLogLevel("zrmodproc", &level, true));
        EXPECT_EQ(value, level);
        EXPECT_EQ(std::string("[LOG] Log level set to ") + names[value], Messages().back());
    }
    ASSERT_EQ(5u, Messages().size());

    // Read but out of range, no value, not asked to announce, another product.
    const struct { const char* values; const char* product; bool announce, read; int level; } quiet[] = {
        {"\"debug\"=dword:00000007", "zrmodproc", true, true, 2},
        {"\"other\"=dword:00000001", "zrmodproc", true, false, 2},
        {"\"debug\"=dword:00000000", "zrmodproc", false, true, 0},
        {"\"debug\"=dword:00000000", "nosuchproduct", true, false, 2},
    };
    for (const auto& c : quiet) {
        UseRegistry(c.values);
        int level = 2;
        EXPECT_EQ(c.read, ReadLogLevel(c.product, &level, c.announce)) << c.values << c.product;
        EXPECT_EQ(c.level, level) << c.values << c.product;
    }
    EXPECT_EQ(5u, Messages().size()) << "no announcement for an out-of-range value or when not asked";
}

TEST_F(LogFacility, ShortFilesStartTheChainAfresh) {
    // Under 34 bytes there is no previous hash to read.
    logtest::WriteBytes(kLogFile, "0123456789012345678901234567890\r\n");
    ASSERT_TRUE(logtest::LogWithLimit(1000, "after a short file"));
    const std::string bytes = logtest::ReadBytes(kLogFile);
    const auto texts = logtest::RecordTexts(bytes);
    ASSERT_EQ(2u, texts.size());
    zrlog::Record record;
    std::string hashed, error;
    ASSERT_TRUE(zrlog::DecodeRecord(texts[1], kLogFile, record, hashed, error)) << error;
    EXPECT_EQ(ComputeChainHash(hashed, ""), record.chainHash);
    EXPECT_EQ("after a short file", zrlog::MessageOf(record));

    // From 34 bytes on the 32 characters before the final CR LF are chained.
    const std::string tail = bytes.substr(bytes.size() - 34, 32);
    ASSERT_TRUE(logtest::LogWithLimit(1000, "second"));
    const auto after = logtest::RecordTexts(logtest::ReadBytes(kLogFile));
    ASSERT_EQ(3u, after.size());
    ASSERT_TRUE(zrlog::DecodeRecord(after[2], kLogFile, record, hashed, error)) << error;
    EXPECT_EQ(ComputeChainHash(hashed, tail), record.chainHash);
}

// A log grown past the limit restarts by itself, unless it cannot be deleted;
// one at the limit is appended to.
TEST_F(LogFacility, RestartsTheFileOnlyAboveTheSizeLimitAndWhenItCanBeDeleted) {
    const unsigned limit = 4000;
    logtest::WriteBytes(kLogFile, std::string(limit, 'x'));
    ASSERT_TRUE(logtest::LogWithLimit(limit, "appended at the limit"));
    const size_t size = logtest::ReadBytes(kLogFile).size();
    EXPECT_EQ(std::string(limit, 'x'), logtest::ReadBytes(kLogFile).substr(0, limit));
    {
        // Another reader that does not share deletion keeps the file alive.
        ScopedKernelHandle reader(CreateFileA(kLogFile, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
        ASSERT_TRUE(reader.IsValid());
        ASSERT_TRUE(logtest::LogWithLimit(limit, "appended to a file that stays"));
    }
    EXPECT_EQ(std::string(limit, 'x'), logtest::ReadBytes(kLogFile).substr(0, limit));
    EXPECT_GT(logtest::ReadBytes(kLogFile).size(), size);
    ASSERT_TRUE(logtest::LogWithLimit(limit, "first of a new file"));
    EXPECT_EQ(std::vector<std::string>{"first of a new file"}, Messages());
    EXPECT_TRUE(zrlog::VerifyLogFile(kLogFile).ok) << "the chain starts again";
}

// Every line the facility reports written is there once, in one chain. (Under
// Wine a line takes tens of milliseconds, so four writers can wait out the
// mutex and lose lines, as designed; on the layer none is lost.)
TEST_F(LogFacility, ThreadsAndProcessesLoggingAtOnceKeepEveryLineWrittenAndTheChain) {
    const std::string name = UsePrivateLogName("shared");
    auto a = zrtest::SpawnChild("AppendLines", {"100", "A", name});
    auto b = zrtest::SpawnChild("AppendLines", {"100", "B", name});
    ASSERT_TRUE(a.Started() && b.Started());
    std::vector<std::string> written[2];
    std::vector<std::thread> threads;
    for (int t = 0; t < 2; ++t) threads.emplace_back([t, &written] { written[t] = AppendLines(std::to_string(t), 25); });
    for (auto& thread : threads) thread.join();
    std::multiset<std::string> expected;
    for (const auto& lines : written) {
        EXPECT_FALSE(lines.empty());
        expected.insert(lines.begin(), lines.end());
    }
    for (auto* child : {&a, &b}) {
        EXPECT_EQ(0, child->Wait()) << child->Err();
        EXPECT_FALSE(child->Out().empty());
        for (std::string line; !(line = child->Line()).empty();) expected.insert(line);
    }
#ifndef _WIN32
    // A line costs microseconds here: none may wait out the mutex.
    EXPECT_EQ(250u, expected.size());
#endif
    const auto result = zrlog::VerifyLogFile(name);
    EXPECT_TRUE(result.ok) << result.badRecord << ": " << result.reason;
    const auto messages = Messages(name);
    EXPECT_EQ(expected, std::multiset<std::string>(messages.begin(), messages.end()));
}

TEST_F(LogFacility, ABusyMutexLosesTheLineAndTheCallerGoesOn) {
    const std::string name = UsePrivateLogName("held");
    ScopedKernelHandle held(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    ScopedKernelHandle release(CreateEventA(nullptr, TRUE, FALSE, nullptr));
    std::thread holder([&] {  // another owner of the log mutex, as another process would be
        HANDLE mutex = CreateMutexA(nullptr, TRUE, ("Global\\" + name).c_str());
        SetEvent(held.Get());
        WaitForSingleObject(release.Get(), 30000);
        ReleaseMutex(mutex);
        CloseHandle(mutex);
    });
    ASSERT_EQ(WAIT_OBJECT_0, WaitForSingleObject(held.Get(), 30000));
    EXPECT_FALSE(logtest::LogWithLimit(kLogFileSizeLimit, "lost while the mutex is held"));
    Log(LOG_CRITICAL_ERROR, "also lost");
    SetEvent(release.Get());
    holder.join();
    Log(LOG_CRITICAL_ERROR, "written after the release");
    EXPECT_EQ(std::vector<std::string>{"written after the release"}, Messages(name));
}

TEST(LogFacilityParts, TimestampHasTheCtimeShape) {
    EXPECT_TRUE(std::regex_match(MakeLogTimestamp(), std::regex("(Sun|Mon|Tue|Wed|Thu|Fri|Sat) "
                                                                "(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) "
                                                                "\\d\\d \\d\\d:\\d\\d:\\d\\d \\d{4}")))
        << MakeLogTimestamp();
    EXPECT_EQ("Global\\kvlzrmodproc.log", LogMutexName("kvlzrmodproc.log")) << "the system is Windows 10";
}

}  // namespace
