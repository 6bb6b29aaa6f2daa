// Helper process for the cross-process tests of the synchronisation layer.
//
//   sync_child wait-stdin <code>      exits with <code> once stdin closes
//   sync_child hold-and-die <mutex>   takes the named mutex, prints "ready",
//                                     then dies without releasing it
//   sync_child hold-then-die <mutex>  as hold-and-die, but dies only once stdin closes
//   sync_child hold <mutex>           takes the named mutex, prints "ready", holds it
//                                     until stdin closes, releases it and exits 0
//   sync_child count <mutex> <file> <rounds>
//       once stdin closes, each round creates the named mutex owning it (waiting when it
//       existed), adds one to the number in <file> by read and write,
//       releases and closes it, as the log does for every record
//   sync_child try <mutex> <milliseconds>
//       opens the existing named mutex (exit 200 when the create did not
//       report ERROR_ALREADY_EXISTS) and waits for it: exit 0 when it got
//       it, 128 when abandoned, 58 on time-out, 103 when the wait failed
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "platform/platform.h"

namespace {

constexpr int kUsage = 100;

void WaitForStdinClose() {
    char buffer[16];
    while (read(0, buffer, sizeof buffer) > 0) {
    }
}

bool Got(DWORD result) { return result == WAIT_OBJECT_0 || result == WAIT_ABANDONED; }

// Lost updates show when two processes were inside at once.
bool AddOne(const char* path) {
    int fd = open(path, O_RDWR);
    if (fd < 0) return false;
    unsigned value = 0;
    bool ok = pread(fd, &value, sizeof value, 0) == static_cast<ssize_t>(sizeof value);
    ++value;
    usleep(20);  // widens the window a second owner would hit
    ok = ok && pwrite(fd, &value, sizeof value, 0) == static_cast<ssize_t>(sizeof value);
    close(fd);
    return ok;
}

int Count(const char* name, const char* path, int rounds) {
    WaitForStdinClose();  // all helpers start together
    for (int i = 0; i < rounds; ++i) {
        HANDLE mutex = CreateMutexA(nullptr, TRUE, name);
        if (!mutex) return 101;
        if (GetLastError() == ERROR_ALREADY_EXISTS && !Got(WaitForSingleObject(mutex, 30000))) return 102;
        bool added = AddOne(path);
        bool released = ReleaseMutex(mutex) != FALSE;
        CloseHandle(mutex);
        if (!added) return 104;
        if (!released) return 105;
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) return kUsage;
    std::string command = argv[1];
    if (command == "wait-stdin") {
        WaitForStdinClose();
        return std::atoi(argv[2]);
    }
    if (command == "hold-and-die" || command == "hold-then-die" || command == "hold") {
        HANDLE mutex = CreateMutexA(nullptr, FALSE, argv[2]);
        if (!mutex) return 101;
        if (!Got(WaitForSingleObject(mutex, 30000))) return 102;
        (void)!write(1, "ready\n", 6);
        if (command == "hold-and-die") _exit(7);
        WaitForStdinClose();
        if (command == "hold-then-die") _exit(7);
        ReleaseMutex(mutex);
        CloseHandle(mutex);
        return 0;
    }
    if (command == "count" && argc >= 5) return Count(argv[2], argv[3], std::atoi(argv[4]));
    if (command == "try" && argc >= 4) {
        HANDLE mutex = CreateMutexA(nullptr, FALSE, argv[2]);
        if (!mutex) return 101;
        if (GetLastError() != ERROR_ALREADY_EXISTS) return 200;
        DWORD result = WaitForSingleObject(mutex, static_cast<DWORD>(std::atoi(argv[3])));
        if (Got(result)) ReleaseMutex(mutex);
        CloseHandle(mutex);
        return result == WAIT_OBJECT_0 ? 0 : result == WAIT_ABANDONED ? 128 : result == WAIT_TIMEOUT ? 58 : 103;
    }
    return kUsage;
}
