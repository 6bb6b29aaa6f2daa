// zrrundll: calls one export of a library in the form the Windows rundll32
// host uses, so a parent can start the host library as a process of its own:
//   zrrundll libzrmodproc.so,Module PID(1234) LPCNAME(Agent)
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/platform.h"

namespace {

// Exit statuses, listed in --help.
constexpr int kExitReturned = 0;
constexpr int kExitUsage = 2;
constexpr int kExitNoLibrary = 3;
constexpr int kExitNoEntry = 4;

typedef void(CALLBACK* RundllEntry)(HWND window, HINSTANCE instance, LPSTR commandLine, int show);

void Usage(FILE* out) {
    std::fprintf(out,
                 "usage: zrrundll LIBRARY,ENTRY [ARGUMENTS...]\n"
                 "\n"
                 "Loads LIBRARY, finds its export ENTRY and calls it as the Windows rundll32\n"
                 "host does: ENTRY(window, instance, command line, show) with a null window,\n"
                 "the library's instance handle, the ARGUMENTS joined by single blanks as\n"
                 "8-bit text, and SW_SHOWDEFAULT (10). zrrundll exits when ENTRY returns.\n"
                 "A relative LIBRARY is taken from the current directory.\n"
                 "\n"
                 "  example: zrrundll libzrmodproc.so,Module PID(1234) LPCNAME(Agent)\n"
                 "\n"
                 "exit status:\n"
                 "  0  ENTRY was called and returned (also for --help)\n"
                 "  2  bad arguments: no LIBRARY,ENTRY, or an empty library or entry name\n"
                 "  3  the library could not be loaded (missing, not a library, or a\n"
                 "     dependency missing)\n"
                 "  4  the library has no export named ENTRY\n");
}

std::string ErrorText(DWORD error) {
    char text[512] = {0};
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS |
                                      FORMAT_MESSAGE_MAX_WIDTH_MASK,
                                  nullptr, error, 0, text, sizeof text, nullptr);
    std::string message(text, length);
    while (!message.empty() && message.back() == ' ') message.pop_back();
    return message.empty() ? "unknown error" : message;
}

// "LIBRARY,ENTRY" splits at its last comma. As with rundll32, a blank after
// the comma is tolerated: "LIBRARY," ENTRY.
bool SplitTarget(std::vector<std::string>& arguments, std::string& library, std::string& entry) {
    if (arguments.empty()) return false;
    const std::string target = arguments.front();
    arguments.erase(arguments.begin());
    const size_t comma = target.rfind(',');
    if (comma == std::string::npos) return false;
    library = target.substr(0, comma);
    entry = target.substr(comma + 1);
    if (entry.empty() && !arguments.empty()) {
        entry = arguments.front();
        arguments.erase(arguments.begin());
    }
    return !library.empty() && !entry.empty();
}

// The layer opens libraries by absolute path; a Windows path with a drive
// letter is left to it.
std::string AbsoluteLibrary(const std::string& library) {
    const bool drive = library.size() >= 2 && library[1] == ':';
    if (drive || library[0] == '/' || library[0] == '\\') return library;
    std::error_code error;
    std::filesystem::path absolute = std::filesystem::absolute(library, error);
    return error ? library : absolute.lexically_normal().string();
}

std::wstring FromUtf8(const std::string& text) {
    int length = MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, nullptr, 0);
    if (length <= 0) return std::wstring();
    std::wstring wide(static_cast<size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.c_str(), -1, wide.data(), length);
    wide.resize(static_cast<size_t>(length - 1));
    return wide;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> arguments(argv + 1, argv + argc);
    if (!arguments.empty() && (arguments[0] == "--help" || arguments[0] == "-h")) {
        Usage(stdout);
        return kExitReturned;
    }
    std::string library, entry;
    if (!SplitTarget(arguments, library, entry)) {
        std::fprintf(stderr, "zrrundll: expected LIBRARY,ENTRY as the first argument\n");
        Usage(stderr);
        return kExitUsage;
    }

    const std::string path = AbsoluteLibrary(library);
    // File names are UTF-8 here; the wide call keeps them intact.
    HMODULE module = LoadLibraryW(FromUtf8(path).c_str());
    if (!module) {
        const DWORD error = GetLastError();
        std::fprintf(stderr, "zrrundll: cannot load library %s: error %lu (%s)\n", path.c_str(),
                     static_cast<unsigned long>(error), ErrorText(error).c_str());
        return kExitNoLibrary;
    }
    auto proc = GetProcAddress(module, entry.c_str());
    if (!proc) {
        const DWORD error = GetLastError();
        std::fprintf(stderr, "zrrundll: %s has no entry %s: error %lu (%s)\n", path.c_str(), entry.c_str(),
                     static_cast<unsigned long>(error), ErrorText(error).c_str());
        FreeLibrary(module);
        return kExitNoEntry;
    }

    std::string commandLine;
    for (const auto& argument : arguments) {
        if (!commandLine.empty()) commandLine += ' ';
        commandLine += argument;
    }
    std::vector<char> text(commandLine.begin(), commandLine.end());
    text.push_back('\0');
    auto call = reinterpret_cast<RundllEntry>(reinterpret_cast<void*>(proc));
    call(nullptr, reinterpret_cast<HINSTANCE>(module), text.data(), SW_SHOWDEFAULT);
    // The library stays loaded: threads it started may still run while the
    // process ends, as under rundll32.
    return kExitReturned;
}
