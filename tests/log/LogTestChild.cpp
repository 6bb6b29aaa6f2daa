// Helper process for the log tests:
//   log_test_child append COUNT TAG [FILE]   logs COUNT lines "TAG line i"
//                                            (into FILE instead of the host's log)
//   log_test_child hold NAME          owns the named mutex NAME until stdin closes
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "log/Log.h"
#include "log/LogConfig.h"
#include "platform/platform.h"

int main(int argc, char** argv) {
    if ((argc == 4 || argc == 5) && std::strcmp(argv[1], "append") == 0) {
        if (argc == 5) LogConfig::Instance()->SetFileName(argv[4]);
        const int count = std::atoi(argv[2]);
        for (int i = 0; i < count; ++i) LogAlways("%s line %d", argv[3], i);
        return 0;
    }
    if (argc == 3 && std::strcmp(argv[1], "hold") == 0) {
        HANDLE mutex = CreateMutexA(nullptr, TRUE, argv[2]);
        if (!mutex) return 3;
        if (GetLastError() == ERROR_ALREADY_EXISTS && WaitForSingleObject(mutex, 10000) != WAIT_OBJECT_0) return 4;
        std::printf("held\n");
        std::fflush(stdout);
        char buffer[64];
        while (std::fread(buffer, 1, sizeof(buffer), stdin) > 0) {
        }
        ReleaseMutex(mutex);
        CloseHandle(mutex);
        return 0;
    }
    std::fprintf(stderr, "usage: log_test_child append COUNT TAG [FILE] | hold NAME\n");
    return 2;
}
