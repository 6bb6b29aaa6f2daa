#include "log/LogReader.h"

#include <cstdint>
#include <fstream>
#include <iterator>
#include <sstream>

#include "log/AesCipher.h"
#include "log/LogSeal.h"
#include "platform/platform.h"
#include "util/Conversions.h"

namespace zrlog {

namespace {

constexpr size_t kTimestampLength = 24;
constexpr size_t kHashLength = 32;

int HexValue(char c, bool upper) {
    if (c >= '0' && c <= '9') return c - '0';
    if (upper && c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (!upper && c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

bool LooksLikeTimestamp(const std::string& t) {
    if (t.size() != kTimestampLength) return false;
    static const char kShape[] = "aaa aaa 99 99:99:99 9999";
    for (size_t i = 0; i < kTimestampLength; ++i) {
        const char c = t[i];
        switch (kShape[i]) {
            case 'a':
                if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'))) return false;
                break;
            case '9':
                if (!((c >= '0' && c <= '9') || (c == ' ' && i == 8))) return false;
                break;
            default:
                if (c != kShape[i]) return false;
        }
    }
    return true;
}

bool ReadWholeFile(const std::string& path, std::string& content, std::string& error) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        error = "cannot open " + path;
        return false;
    }
    std::ostringstream buffer;
    buffer << in.rdbuf();
    if (in.bad()) {
        error = "cannot read " + path;
        return false;
    }
    content = buffer.str();
    return true;
}

// Walks the records of a file's content; the callback gets each record's
// text without CR LF, or reports a truncated tail.
struct Splitter {
    const std::string& content;
    size_t position = 0;
    // 1 record, 0 end, -1 trailing bytes without CR LF.
    int Next(std::string& text) {
        if (position >= content.size()) return 0;
        const size_t end = content.find("\r\n", position);
        if (end == std::string::npos) {
            text = content.substr(position);
            position = content.size();
            return -1;
        }
        text = content.substr(position, end - position);
        position = end + 2;
        return 1;
    }
};

}  // namespace

bool LooksLikeRecordStart(const std::string& text) {
    return text.size() > kTimestampLength && LooksLikeTimestamp(text.substr(0, kTimestampLength)) &&
           text[kTimestampLength] == ' ';
}

std::string LogNameOf(const std::string& path) {
    const size_t slash = path.find_last_of("/\\");
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

namespace {

// Whether "[<digits>.<digits>] " starts at position `at`.
bool PrefixAt(const std::wstring& text, size_t at) {
    size_t i = at;
    if (i >= text.size() || text[i++] != L'[') return false;
    for (int part = 0; part < 2; ++part) {
        const size_t digits = i;
        while (i < text.size() && text[i] >= L'0' && text[i] <= L'9') ++i;
        if (i == digits || i >= text.size() || text[i++] != (part == 0 ? L'.' : L']')) return false;
    }
    return i < text.size() && text[i] == L' ';
}

// The salt is four random bytes of the ANSI code page; they decode to four
// characters in a single-byte page but to one to four in UTF-8 (invalid bytes
// become replacement characters). The line proper starts with its
// "[pppp.tttt] " prefix, which no shorter salt can imitate.
size_t SaltUnits(const std::wstring& text) {
    for (size_t units = 1; units <= 4; ++units)
        if (PrefixAt(text, units)) return units;
    return 4;
}

}  // namespace

bool DecodeRecord(const std::string& text, const std::string& logName, Record& record, std::string& hashedText,
                  std::string& error) {
    if (text.size() < kTimestampLength + 1 + 32 + kHashLength) {
        error = "malformed record: too short";
        return false;
    }
    const std::string timestamp = text.substr(0, kTimestampLength);
    if (!LooksLikeTimestamp(timestamp) || text[kTimestampLength] != ' ') {
        error = "malformed record: no time stamp";
        return false;
    }
    const std::string payload = text.substr(kTimestampLength + 1);
    const size_t cipherHexLength = payload.size() - kHashLength;
    if (cipherHexLength % 32 != 0) {
        error = "malformed record: payload length " + std::to_string(payload.size()) + " is not whole blocks";
        return false;
    }
    const std::string chainHash = payload.substr(cipherHexLength);
    for (char c : chainHash) {
        if (HexValue(c, false) < 0) {
            error = "malformed record: chain hash is not lower-case hexadecimal";
            return false;
        }
    }
    std::string ciphertext(cipherHexLength / 2, '\0');
    for (size_t i = 0; i < ciphertext.size(); ++i) {
        const int hi = HexValue(payload[2 * i], true);
        const int lo = HexValue(payload[2 * i + 1], true);
        if (hi < 0 || lo < 0) {
            error = "malformed record: ciphertext is not upper-case hexadecimal";
            return false;
        }
        ciphertext[i] = static_cast<char>((hi << 4) | lo);
    }

    const std::string key = DeriveRecordKey(chainHash + timestamp + logName);
    if (key.size() != 32) {
        error = "does not decrypt: the hash service failed";
        return false;
    }
    AesCipher cipher;
    cipher.Initialize(AesCipher::CBC, AesCipher::Decrypt, reinterpret_cast<const uint8_t*>(key.data()),
                      AesCipher::Key256, nullptr);
    std::string plain(ciphertext.size(), '\0');
    const int length = cipher.DecryptPadded(reinterpret_cast<const uint8_t*>(ciphertext.data()), ciphertext.size(),
                                            reinterpret_cast<uint8_t*>(plain.data()));
    if (length < 0) {
        error = "does not decrypt: bad padding (wrong key or damaged ciphertext)";
        return false;
    }
    if (length % 2 != 0) {
        error = "does not decrypt: odd plaintext length";
        return false;
    }
    const std::wstring wide = FromUtf16LE(plain.data(), static_cast<size_t>(length));
    const size_t salt = SaltUnits(wide);
    const std::string line =
        Utils_Conversions::Conversion::toString(wide.size() > salt ? wide.substr(salt) : std::wstring(), CP_ACP);
    if (wide.size() < salt + 2 || line.size() < 2 || line.compare(line.size() - 2, 2, "\r\n") != 0) {
        error = "does not decrypt: the plaintext is not a log line";
        return false;
    }
    record.timestamp = timestamp;
    record.chainHash = chainHash;
    hashedText = line;
    record.line = line.substr(0, line.size() - 2);
    return true;
}

bool ReadLogFile(const std::string& path, const std::string& logName, std::vector<Record>& records,
                 std::string& error) {
    std::string content;
    if (!ReadWholeFile(path, content, error)) return false;
    Splitter splitter{content};
    std::string text;
    for (size_t number = 1;; ++number) {
        const int state = splitter.Next(text);
        if (state == 0) return true;
        if (state < 0) {
            error = "record " + std::to_string(number) + ": truncated record (no CR LF at the end of the file)";
            return false;
        }
        Record record;
        std::string hashed;
        if (!DecodeRecord(text, logName, record, hashed, error)) {
            error = (number == 1 ? "not a log file: record 1: " : "record " + std::to_string(number) + ": ") + error;
            return false;
        }
        record.number = number;
        records.push_back(std::move(record));
    }
}

bool ReadLogFile(const std::string& path, std::vector<Record>& records, std::string& error) {
    return ReadLogFile(path, LogNameOf(path), records, error);
}

VerifyResult VerifyLogFile(const std::string& path, const std::string& logName) {
    VerifyResult result;
    std::string content;
    if (!ReadWholeFile(path, content, result.reason)) return result;
    Splitter splitter{content};
    std::string text;
    std::string previous;
    for (size_t number = 1;; ++number) {
        const int state = splitter.Next(text);
        if (state == 0) break;
        result.badRecord = number;
        if (state < 0) {
            result.reason = "truncated record (no CR LF at the end of the file)";
            return result;
        }
        Record record;
        std::string hashed;
        if (!DecodeRecord(text, logName, record, hashed, result.reason)) return result;
        const std::string expected = ComputeChainHash(hashed, previous);
        if (expected != record.chainHash) {
            result.reason = "chain hash does not match the line and the previous record";
            return result;
        }
        previous = record.chainHash;
        result.records = number;
    }
    result.badRecord = 0;
    result.ok = true;
    return result;
}

VerifyResult VerifyLogFile(const std::string& path) { return VerifyLogFile(path, LogNameOf(path)); }

std::string MessageOf(const Record& record) {
    if (!record.line.empty() && record.line[0] == '[') {
        const size_t close = record.line.find("] ");
        if (close != std::string::npos) return record.line.substr(close + 2);
    }
    return record.line;
}

}  // namespace zrlog
