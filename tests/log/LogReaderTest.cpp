#include <algorithm>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "LogTestUtil.h"

namespace {

using logtest::kLogFile;

// A log of five records; each test damages a copy of it.
class DamagedLog : public logtest::FiveRecordLog {
protected:
    zrlog::VerifyResult VerifyCopy(const std::string& bytes) {
        logtest::WriteBytes(dir_.File("copy.log"), bytes);
        return zrlog::VerifyLogFile(dir_.File("copy.log"), kLogFile);
    }
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

}  // namespace
