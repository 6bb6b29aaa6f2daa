// zrlog: the operators' tool for sealed log files.
//
//   zrlog show FILE [--name NAME]     decrypt and print every record
//   zrlog verify FILE [--name NAME]   check decryption, padding and the chain
//   zrlog follow FILE [--name NAME]   print records as they are appended
//   zrlog append [--level N] TEXT     write one line into kvlzrmodproc.log
//
// Exit codes: 0 success, 1 a bad record (or a dropped line), 2 usage errors,
// missing or unreadable files and files that are not log files.
#include <sys/stat.h>

#include <csignal>
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
#include "log/LogReader.h"

namespace {

constexpr int kExitOk = 0;
constexpr int kExitBad = 1;
constexpr int kExitUsage = 2;

const char kUsage[] =
    "usage:\n"
    "  zrlog show FILE [--name NAME]     print each record: time stamp, blank, line\n"
    "  zrlog verify FILE [--name NAME]   check every record and the hash chain\n"
    "  zrlog follow FILE [--name NAME]   print records as they are appended (Ctrl-C ends)\n"
    "  zrlog append [--level N] TEXT     log TEXT at level N (default 2) into kvlzrmodproc.log\n"
    "                                    in the current directory, if the configured level allows\n"
    "  zrlog --help\n"
    "NAME is the log file's original name when FILE was renamed (record keys include it).\n"
    "Exit codes: 0 success; 1 a bad record, or the line could not be written;\n"
    "            2 usage error, missing or unreadable file, or not a log file.\n";

int Usage(const char* problem) {
    if (problem) std::fprintf(stderr, "zrlog: %s\n", problem);
    std::fputs(kUsage, stderr);
    return kExitUsage;
}

volatile std::sig_atomic_t g_stop = 0;

void OnStopSignal(int) { g_stop = 1; }

struct FileArguments {
    std::string path;
    std::string name;
};

// FILE [--name NAME]
bool ParseFileArguments(int argc, char** argv, int first, FileArguments& out, std::string& problem) {
    for (int i = first; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--name") {
            if (i + 1 >= argc || !*argv[i + 1]) {
                problem = "--name needs a file name";
                return false;
            }
            out.name = argv[++i];
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

bool ReadAll(const std::string& path, std::string& content) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return false;
    content.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    return !in.bad();
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

void PrintRecord(const zrlog::Record& record) {
    std::fwrite(record.timestamp.data(), 1, record.timestamp.size(), stdout);
    std::fputc(' ', stdout);
    std::fwrite(record.line.data(), 1, record.line.size(), stdout);
    std::fputc('\n', stdout);
}

int Show(const FileArguments& args) {
    if (!CheckReadable(args.path) || NotALogFile(args.path)) return kExitUsage;
    std::string content;
    if (!ReadAll(args.path, content)) {
        std::fprintf(stderr, "zrlog: %s: cannot be read\n", args.path.c_str());
        return kExitUsage;
    }
    int status = kExitOk;
    size_t position = 0;
    for (size_t number = 1; position < content.size(); ++number) {
        const size_t end = content.find("\r\n", position);
        if (end == std::string::npos) {
            std::fprintf(stderr, "zrlog: record %zu: truncated record (no CR LF at the end of the file)\n", number);
            return kExitBad;
        }
        const std::string text = content.substr(position, end - position);
        position = end + 2;
        zrlog::Record record;
        std::string hashed, error;
        if (!zrlog::DecodeRecord(text, args.name, record, hashed, error)) {
            if (number == 1 && IsMalformed(error)) {
                std::fprintf(stderr, "zrlog: %s: not a log file (record 1: %s)\n", args.path.c_str(), error.c_str());
                return kExitUsage;
            }
            std::fflush(stdout);
            std::fprintf(stderr, "zrlog: record %zu: %s\n", number, error.c_str());
            status = kExitBad;
            continue;
        }
        PrintRecord(record);
    }
    return status;
}

int Verify(const FileArguments& args) {
    if (!CheckReadable(args.path) || NotALogFile(args.path)) return kExitUsage;
    const zrlog::VerifyResult result = zrlog::VerifyLogFile(args.path, args.name);
    if (result.ok) {
        std::printf("%s: %zu records, all sealed and chained\n", args.path.c_str(), result.records);
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
    return kExitBad;
}

struct FileIdentity {
    bool exists = false;
    dev_t device = 0;
    ino_t inode = 0;
    off_t size = 0;
};

FileIdentity Identify(const std::string& path) {
    FileIdentity id;
    struct stat info{};
    if (stat(path.c_str(), &info) == 0) {
        id.exists = true;
        id.device = info.st_dev;
        id.inode = info.st_ino;
        id.size = info.st_size;
    }
    return id;
}

// Polls the file; a file that shrank or was replaced is read again from its
// beginning (the log restarts above its size limit).
int Follow(const FileArguments& args) {
    if (!CheckReadable(args.path)) return kExitUsage;
    struct sigaction action{};
    action.sa_handler = OnStopSignal;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);

    FileIdentity current = Identify(args.path);
    off_t offset = 0;
    size_t number = 0;
    std::string pending;  // bytes of a record not yet complete
    std::string firstRecord;
    while (!g_stop) {
        const FileIdentity now = Identify(args.path);
        if (now.exists) {
            bool restarted = now.device != current.device || now.inode != current.inode || now.size < offset;
            // A file recreated and grown back past our offset between two polls
            // shows itself by a different first record.
            if (!restarted && !firstRecord.empty()) {
                std::ifstream in(args.path, std::ios::binary);
                std::string head(firstRecord.size(), '\0');
                if (in.read(head.data(), static_cast<std::streamsize>(head.size())) && head != firstRecord) restarted = true;
            }
            if (restarted) {
                std::fprintf(stderr, "zrlog: %s was restarted; reading it from its beginning\n", args.path.c_str());
                offset = 0;
                number = 0;
                pending.clear();
                firstRecord.clear();
            }
            current = now;
            if (now.size > offset) {
                std::ifstream in(args.path, std::ios::binary);
                in.seekg(offset);
                std::string chunk(static_cast<size_t>(now.size - offset), '\0');
                in.read(chunk.data(), static_cast<std::streamsize>(chunk.size()));
                chunk.resize(static_cast<size_t>(in.gcount()));
                offset += static_cast<off_t>(chunk.size());
                pending += chunk;
                size_t end;
                while ((end = pending.find("\r\n")) != std::string::npos) {
                    const std::string text = pending.substr(0, end);
                    if (firstRecord.empty()) firstRecord = pending.substr(0, end + 2);
                    pending.erase(0, end + 2);
                    ++number;
                    zrlog::Record record;
                    std::string hashed, error;
                    if (zrlog::DecodeRecord(text, args.name, record, hashed, error))
                        PrintRecord(record);
                    else
                        std::fprintf(stderr, "zrlog: record %zu: %s\n", number, error.c_str());
                }
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    return kExitOk;
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
    if (!ParseFileArguments(argc, argv, 2, args, problem)) return Usage(problem.c_str());
    if (command == "show") return Show(args);
    if (command == "verify") return Verify(args);
    return Follow(args);
}
