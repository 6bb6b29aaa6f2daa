// zrlog follow: polls the log file and prints each record once it is whole.
#include <sys/stat.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <string>
#include <thread>

#include "Commands.h"

namespace zrlogtool {
namespace {

volatile std::sig_atomic_t g_stop = 0;

void OnStopSignal(int) { g_stop = 1; }

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

}  // namespace

// Polls the file; a file that shrank or was replaced is read again from its
// beginning (the log restarts above its size limit).
int Follow(const FileArguments& args) {
    if (!CheckReadable(args.path) || NotALogFile(args.path)) return kExitUsage;
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
                if (number == 0 && !pending.empty() && !zrlog::LooksLikeRecordStart(pending.substr(0, 64)) &&
                    pending.size() >= 25) {
                    std::fprintf(stderr, "zrlog: %s: not a log file (it does not start with a record)\n",
                                 args.path.c_str());
                    return kExitUsage;
                }
                size_t end;
                while ((end = pending.find("\r\n")) != std::string::npos) {
                    const std::string text = pending.substr(0, end);
                    if (firstRecord.empty()) firstRecord = pending.substr(0, end + 2);
                    pending.erase(0, end + 2);
                    ++number;
                    zrlog::Record record;
                    std::string hashed, error;
                    if (zrlog::DecodeRecord(text, args.name, record, hashed, error)) {
                        PrintRecord(record);
                    } else if (number == 1 && IsMalformed(error)) {
                        std::fprintf(stderr, "zrlog: %s: not a log file (record 1: %s)\n", args.path.c_str(),
                                     error.c_str());
                        return kExitUsage;
                    } else {
                        std::fprintf(stderr, "zrlog: record %zu: %s\n", number, error.c_str());
                    }
                }
            }
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(200));
    }
    return kExitOk;
}

}  // namespace zrlogtool
