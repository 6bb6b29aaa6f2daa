// zrlog: the operators' tool for sealed log files.
//
//   zrlog show FILE [--name NAME]     decrypt and print every record
//   zrlog verify FILE [--name NAME] [--last HASH]
//                                     check decryption, padding and the chain
//   zrlog follow FILE [--name NAME]   print records as they are appended
//   zrlog append [--level N] TEXT     write one line into kvlzrmodproc.log
//
// Exit codes: 0 success, 1 a bad record (or a dropped line), 2 usage errors,
// missing or unreadable files and files that are not log files.
#include <strings.h>
#include <sys/stat.h>

#include <csignal>
#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <chrono>
#include <vector>

#include "log/Log.h"
#include "log/LogFormat.h"
#include "log/LogReader.h"
#include "Commands.h"

namespace zrlogtool {

// Missing and unreadable files are usage-level errors.
bool CheckReadable(const std::string& path) {
    struct stat info{};
    if (stat(path.c_str(), &info) != 0) {
        std::fprintf(stderr, "zrlog: %s: no such file\n", path.c_str());
        return false;
    }
    if (!S_ISREG(info.st_mode)) {
        std::fprintf(stderr, "zrlog: %s: not a regular file\n", path.c_str());
        return false;
    }
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "zrlog: %s: cannot be read\n", path.c_str());
        return false;
    }
    return true;
}

bool IsMalformed(const std::string& error) { return error.rfind("malformed record", 0) == 0; }

// Anything that does not even begin with a time stamp is not a log.
bool NotALogFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::string head(64, '\0');
    in.read(head.data(), static_cast<std::streamsize>(head.size()));
    head.resize(static_cast<size_t>(in.gcount()));
    if (head.empty() || zrlog::LooksLikeRecordStart(head)) return false;
    std::fprintf(stderr, "zrlog: %s: not a log file (it does not start with a record)\n", path.c_str());
    return true;
}

namespace {

bool ReadAll(const std::string& path, std::string& content) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    content.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
}

// A logged CR or LF printed as it is would let one record pass for two.
std::string Escaped(const std::string& line) {
    std::string out;
    out.reserve(line.size());
    for (unsigned char c : line) {
        if (c >= 0x20 && c != 0x7F) {
            out.push_back(static_cast<char>(c));
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        }
    }
    return out;
}

}  // namespace

void PrintRecord(const zrlog::Record& record) {
    const std::string line = Escaped(record.line);
    std::fwrite(record.timestamp.data(), 1, record.timestamp.size(), stdout);
    std::fputc(' ', stdout);
    std::fwrite(line.data(), 1, line.size(), stdout);
    std::fputc('\n', stdout);
}

}  // namespace zrlogtool

namespace {

using namespace zrlogtool;

// The name the host gives its log; records are keyed with it.
constexpr char kHostLogName[] = "kvlzrmodproc.log";

const char kUsage[] =
    "usage:\n"
    "  zrlog show FILE [--name NAME]     print each record: time stamp, blank, line\n"
    "  zrlog verify FILE [--name NAME] [--last HASH]\n"
    "                                    check every record and the hash chain; prints the last\n"
    "                                    record's chain hash. Keep it elsewhere: given back with\n"
    "                                    --last, it proves no record was cut off the end since\n"
    "  zrlog follow FILE [--name NAME]   print records as they are appended (Ctrl-C ends)\n"
    "  zrlog append [--level N] TEXT     log TEXT at level N (default 2) into kvlzrmodproc.log\n"
    "                                    in the current directory, if the configured level allows\n"
    "  zrlog --help\n"
    "NAME is the log file's original name when FILE was renamed (record keys include it).\n"
    "Control characters inside a logged line are shown escaped (\\r, \\n, \\t, \\xNN), so one\n"
    "printed line is always one record.\n"
    "Exit codes: 0 success; 1 a bad record, or the line could not be written;\n"
    "            2 usage error, missing or unreadable file, or not a log file.\n";

int Usage(const char* problem) {
    if (problem) std::fprintf(stderr, "zrlog: %s\n", problem);
    std::fputs(kUsage, stderr);
    return kExitUsage;
}

bool IsChainHash(const std::string& text) {
    if (text.size() != 32) return false;
    for (char c : text)
        if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
    return true;
}

// FILE [--name NAME]
bool ParseFileArguments(int argc, char** argv, int first, bool allowLast, FileArguments& out, std::string& problem) {
    for (int i = first; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--name") {
            if (i + 1 >= argc || !*argv[i + 1]) {
                problem = "--name needs a file name";
                return false;
            }
            out.name = argv[++i];
            out.nameGiven = true;
        } else if (arg == "--last" && allowLast) {
            if (i + 1 >= argc || !IsChainHash(argv[i + 1])) {
                problem = "--last needs a chain hash of 32 hexadecimal digits, as verify prints it";
                return false;
            }
            out.last = argv[++i];
        } else if (arg.size() > 1 && arg[0] == '-') {
            problem = "unknown option " + arg;
            return false;
        } else if (out.path.empty()) {
            out.path = arg;
        } else {
            problem = "more than one file given";
            return false;
        }
    }
    if (out.path.empty()) {
        problem = "no log file given";
        return false;
    }
    if (out.name.empty()) out.name = zrlog::LogNameOf(out.path);
    return true;
}

// Under a wrong key a record fails to decrypt, nearly always on its padding
// and now and then on what the padding let through.
bool DoesNotDecrypt(const std::string& error) { return error.rfind("does not decrypt", 0) == 0; }

// Every record failing on its padding is what a renamed file looks like: the
// record keys include the file's name.
void HintRenamed(const FileArguments& args, const std::string& firstRecordText) {
    if (args.nameGiven) {
        std::fprintf(stderr, "zrlog: no record decrypts under the name %s: is it the file's original name?\n",
                     args.name.c_str());
        return;
    }
    zrlog::Record record;
    std::string hashed, error;
    if (args.name != kHostLogName && zrlog::DecodeRecord(firstRecordText, kHostLogName, record, hashed, error)) {
        std::fprintf(stderr, "zrlog: the file was renamed from %s: run again with --name %s\n", kHostLogName,
                     kHostLogName);
        return;
    }
    std::fprintf(stderr,
                 "zrlog: the file may have been renamed: record keys include the file's original name, "
                 "which --name takes\n");
}

// A log copied through a line-ending conversion has lost the CR of each CR LF.
bool ReportLineEndings(const std::string& path, const std::string& content) {
    if (content.find("\r\n") != std::string::npos || content.find('\n') == std::string::npos) return false;
    std::fprintf(stderr,
                 "zrlog: %s: its lines end in LF, not CR LF: the file went through a line-ending conversion; "
                 "convert it back (LF to CR LF) to read it\n",
                 path.c_str());
    return true;
}

int Show(const FileArguments& args) {
    if (!CheckReadable(args.path) || NotALogFile(args.path)) return kExitUsage;
    std::string content;
    if (!ReadAll(args.path, content)) {
        std::fprintf(stderr, "zrlog: %s: cannot be read\n", args.path.c_str());
        return kExitUsage;
    }
    if (ReportLineEndings(args.path, content)) return kExitBad;
    int status = kExitOk;
    size_t position = 0, paddingFailures = 0, number = 1;
    std::string firstText;
    for (; position < content.size(); ++number) {
        const size_t end = content.find("\r\n", position);
        if (end == std::string::npos) {
            std::fprintf(stderr, "zrlog: record %zu: truncated record (no CR LF at the end of the file)\n", number);
            return kExitBad;
        }
        const std::string text = content.substr(position, end - position);
        position = end + 2;
        if (number == 1) firstText = text;
        zrlog::Record record;
        std::string hashed, error;
        if (!zrlog::DecodeRecord(text, args.name, record, hashed, error)) {
            if (number == 1 && IsMalformed(error)) {
                std::fprintf(stderr, "zrlog: %s: not a log file (record 1: %s)\n", args.path.c_str(), error.c_str());
                return kExitUsage;
            }
            std::fflush(stdout);
            std::fprintf(stderr, "zrlog: record %zu: %s\n", number, error.c_str());
            if (DoesNotDecrypt(error)) ++paddingFailures;
            status = kExitBad;
            continue;
        }
        PrintRecord(record);
    }
    if (number > 1 && paddingFailures == number - 1) HintRenamed(args, firstText);
    return status;
}

// --last: the kept hash must still be in the chain. Records appended since
// are fine; a missing one means records were cut off the end (or the log
// restarted, which begins a new chain).
int CheckLast(const FileArguments& args, const std::vector<zrlog::Record>& records) {
    for (size_t i = records.size(); i-- > 0;) {
        if (strcasecmp(records[i].chainHash.c_str(), args.last.c_str()) != 0) continue;
        std::printf("%s: record %zu carries the kept chain hash; %zu records were appended since\n",
                    args.path.c_str(), records[i].number, records.size() - 1 - i);
        return kExitOk;
    }
    std::printf("%s: no record carries the kept chain hash %s: records were cut off the end, or the log was "
                "restarted since\n",
                args.path.c_str(), args.last.c_str());
    return kExitBad;
}

int Verify(const FileArguments& args) {
    if (!CheckReadable(args.path) || NotALogFile(args.path)) return kExitUsage;
    std::string content;
    if (!ReadAll(args.path, content)) {
        std::fprintf(stderr, "zrlog: %s: cannot be read\n", args.path.c_str());
        return kExitUsage;
    }
    if (content.empty()) {
        std::printf("%s: empty (no records)\n", args.path.c_str());
        if (!args.last.empty()) return CheckLast(args, {});
        return kExitOk;
    }
    if (ReportLineEndings(args.path, content)) return kExitBad;
    const zrlog::VerifyResult result = zrlog::VerifyLogFile(args.path, args.name);
    if (result.ok) {
        std::vector<zrlog::Record> records;
        std::string error;
        zrlog::ReadLogFile(args.path, args.name, records, error);
        std::printf("%s: %zu records, all sealed and chained\n", args.path.c_str(), result.records);
        if (!records.empty()) std::printf("last chain hash: %s\n", records.back().chainHash.c_str());
        if (!args.last.empty()) return CheckLast(args, records);
        return kExitOk;
    }
    if (result.badRecord == 0) {
        std::fprintf(stderr, "zrlog: %s\n", result.reason.c_str());
        return kExitUsage;
    }
    if (result.badRecord == 1 && IsMalformed(result.reason)) {
        std::fprintf(stderr, "zrlog: %s: not a log file (record 1: %s)\n", args.path.c_str(), result.reason.c_str());
        return kExitUsage;
    }
    std::printf("record %zu: %s\n", result.badRecord, result.reason.c_str());
    if (result.badRecord == 1 && DoesNotDecrypt(result.reason)) {
        std::fflush(stdout);
        HintRenamed(args, content.substr(0, content.find("\r\n")));
    }
    return kExitBad;
}

bool WriteLine(const char* format, ...) {
    va_list args;
    va_start(args, format);
    const bool written = LogFileCommon(format, args, kLogFileSizeLimit);
    va_end(args);
    return written;
}

bool ParseLevel(const char* text, int& level) {
    char* end = nullptr;
    const long value = std::strtol(text, &end, 10);
    if (!*text || *end || value < -1 || value > 4) return false;
    level = static_cast<int>(value);
    return true;
}

int Append(int argc, char** argv) {
    int lineLevel = LOG_WARNING;
    std::string text;
    bool haveText = false;
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--level") {
            if (i + 1 >= argc || !ParseLevel(argv[i + 1], lineLevel))
                return Usage("--level needs a level from -1 to 4");
            ++i;
        } else if (!haveText) {
            text = arg;
            haveText = true;
        } else {
            return Usage("append takes one TEXT (quote it)");
        }
    }
    if (!haveText || text.empty()) return Usage("append needs a non-empty TEXT");
    if (text.size() > kLogMessageMaxBytes) {
        std::fprintf(stderr, "zrlog: TEXT is %zu bytes; a log line holds at most %zu\n", text.size(),
                     kLogMessageMaxBytes);
        return kExitUsage;
    }

    int level = LOG_WARNING;
    ReadLogLevel("zrmodproc", &level, false);
    SetLogLevel(level);
    if (lineLevel > GetLogLevel()) {
        std::fprintf(stderr, "zrlog: line not written: its level %d is above the configured level %d\n", lineLevel,
                     GetLogLevel());
        return kExitOk;
    }
    if (!WriteLine("%s", text.c_str())) {
        std::fprintf(stderr, "zrlog: line dropped (log mutex busy or log file not writable)\n");
        return kExitBad;
    }
    return kExitOk;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) return Usage("no command given");
    const std::string command = argv[1];
    if (command == "--help" || command == "-h" || command == "help") {
        std::fputs(kUsage, stdout);
        return kExitOk;
    }
    if (command == "append") return Append(argc, argv);
    if (command != "show" && command != "verify" && command != "follow")
        return Usage(("unknown command " + command).c_str());
    FileArguments args;
    std::string problem;
    if (!ParseFileArguments(argc, argv, 2, command == "verify", args, problem)) return Usage(problem.c_str());
    if (command == "show") return Show(args);
    if (command == "verify") return Verify(args);
    return Follow(args);
}
