// Test helper: holds a file open without any sharing until its standard input
// ends. Prints "held" once it holds the file, "failed <error>" otherwise.
#include <cstdio>
#include <string>

#include "platform/platform.h"

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: zrmod_holdfile PATH\n");
        return 2;
    }
    std::wstring path = L"C:";
    for (const char* p = argv[1]; *p; ++p) path += *p == '/' ? L'\\' : static_cast<wchar_t>(static_cast<unsigned char>(*p));
    HANDLE file = CreateFileW(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file == INVALID_HANDLE_VALUE) {
        std::printf("failed %u\n", static_cast<unsigned>(GetLastError()));
        std::fflush(stdout);
        return 1;
    }
    std::printf("held\n");
    std::fflush(stdout);
    while (std::getchar() != EOF) {
    }
    CloseHandle(file);
    return 0;
}
