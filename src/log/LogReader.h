// Reading sealed log files back: decrypting records and checking the chain.
// Used by the zrlog tool and by tests that look at what was logged.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

namespace zrlog {

struct Record {
    size_t number = 0;        // 1-based position in the file
    std::string timestamp;    // the 24-character time stamp
    std::string line;         // decrypted line without its salt and CR LF: "[pppp.tttt] message"
    std::string chainHash;    // the stored 32-character chain hash
};

struct VerifyResult {
    bool ok = false;
    size_t badRecord = 0;     // 1-based number of the first bad record, 0 when ok
    std::string reason;       // why it is bad
    size_t records = 0;       // records read
};

// Decrypts every record of the file. False with a reason when the file cannot
// be read or a record does not decrypt; records before it are kept.
bool ReadLogFile(const std::string& path, std::vector<Record>& records, std::string& error);
// The same for a file renamed from its original name logName.
bool ReadLogFile(const std::string& path, const std::string& logName, std::vector<Record>& records,
                 std::string& error);

// Checks every record: decrypts, unpads, and matches its chain hash against
// its line and the record before it.
VerifyResult VerifyLogFile(const std::string& path);
VerifyResult VerifyLogFile(const std::string& path, const std::string& logName);

// The message part of a record's line (what follows "[pppp.tttt] ").
std::string MessageOf(const Record& record);

// One record's text (without its CR LF) of a file called logName: fills
// record (all but number) and hashedText, the 8-bit line without its salt but
// with its CR LF, which is what the chain hash covers. False with a reason
// that starts with "malformed record" or "does not decrypt".
bool DecodeRecord(const std::string& text, const std::string& logName, Record& record, std::string& hashedText,
                  std::string& error);

// Whether text begins like a record: a time stamp and a blank.
bool LooksLikeRecordStart(const std::string& text);

// The file name part of a path ('/' or '\' separated).
std::string LogNameOf(const std::string& path);

}  // namespace zrlog
