// A second process for the share-mode tests.
//   hold <path> <access> <share>   open the file, print "ready", keep it open until stdin ends
//   open <path> <access> <share>   try to open it; exit status is GetLastError() (0 on success)
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "zrwin/windows.h"

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr, "usage: %s hold|open <path> <access> <share>\n", argv[0]);
        return 100;
    }
    auto access = static_cast<DWORD>(std::strtoul(argv[3], nullptr, 0));
    auto share = static_cast<DWORD>(std::strtoul(argv[4], nullptr, 0));
    HANDLE file = CreateFileA(argv[2], access, share, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        DWORD error = GetLastError();
        std::printf("error %u\n", static_cast<unsigned>(error));
        return static_cast<int>(error);
    }
    if (std::strcmp(argv[1], "hold") == 0) {
        std::printf("ready\n");
        std::fflush(stdout);
        char buffer[64];
        while (::read(0, buffer, sizeof buffer) > 0) {
        }
    }
    CloseHandle(file);
    return 0;
}
