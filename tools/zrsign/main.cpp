// zrsign: signs module files for the host and shows how the host judges them.
#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "SignCore.h"
#include "platform/platform.h"
#include "security/Signature.h"
#include "util/Conversions.h"

namespace {

// Command-line text is UTF-8 on POSIX systems and in the ANSI code page on Windows.
#ifdef _WIN32
constexpr UINT kArgumentCodePage = CP_ACP;
#else
constexpr UINT kArgumentCodePage = CP_UTF8;
#endif

// Exit codes (also in docs/signing.md).
constexpr int kExitOk = 0;         // signed / listed / the host would accept the module
constexpr int kExitRefused = 1;    // verify: the host would refuse the module
constexpr int kExitUsage = 2;      // bad command line
constexpr int kExitFailure = 3;    // a file, certificate or key could not be used

const char kUsage[] =
    "usage: zrsign sign --cert CERT --key KEY [--chain FILE] [--replace] MODULE\n"
    "       zrsign verify MODULE\n"
    "       zrsign list MODULE\n"
    "       zrsign --help\n"
    "\n"
    "sign    appends a signature entry to MODULE's certificate table: a PKCS#7\n"
    "        SignedData by CERT (PEM or DER) and KEY (unencrypted PEM) over the\n"
    "        SHA-256 digest of the module's content, carrying the certificates of\n"
    "        FILE (PEM, intermediates). The host accepts only files with exactly\n"
    "        one entry: --replace drops the entries already there.\n"
    "verify  judges MODULE as the host does before loading it: the trust\n"
    "        verdict, the signer's display name and the expected publisher.\n"
    "        The host's log lines go to kvlzrmodproc.log in the current folder.\n"
    "list    shows the entries of MODULE's certificate table.\n"
    "\n"
    "exit status: 0 done (verify: the host accepts the module), 1 the host would\n"
    "refuse the module, 2 bad command line, 3 a file, certificate or key could\n"
    "not be used.\n"
    "Trusted roots: the system store plus ZRWIN_TRUST_ROOTS (a PEM file or a\n"
    "folder of PEM files).\n";

int Usage(const char* problem) {
    if (!problem) {
        std::fputs(kUsage, stdout);
        return kExitOk;
    }
    std::fprintf(stderr, "zrsign: %s\n", problem);
    // The synopsis only: the first four lines.
    const char* end = kUsage;
    for (int lines = 0; lines < 4 && (end = std::strchr(end, '\n')) != nullptr; ++lines) ++end;
    std::fwrite(kUsage, 1, end ? size_t(end - kUsage) : std::strlen(kUsage), stderr);
    return kExitUsage;
}

const char* TrustCodeName(LONG code) {
    switch (static_cast<DWORD>(code)) {
        case 0: return "ERROR_SUCCESS";
        case 0x800B0100: return "TRUST_E_NOSIGNATURE";
        case 0x80096010: return "TRUST_E_BAD_DIGEST";
        case 0x800B0101: return "CERT_E_EXPIRED";
        case 0x800B010A: return "CERT_E_CHAINING";
        case 0x800B0110: return "CERT_E_WRONG_USAGE";
        case 0x80096004: return "TRUST_E_CERT_SIGNATURE";
        case 0x800B0004: return "TRUST_E_SUBJECT_NOT_TRUSTED";
        case 0x80096002: return "TRUST_E_NO_SIGNER_CERT";
        case 0x80092003: return "CRYPT_E_FILE_ERROR";
        case 0x800B0002: return "TRUST_E_ACTION_UNKNOWN";
        default: return "";
    }
}

std::string SystemText(LONG code) {
    char text[512] = {};
    DWORD length = FormatMessageA(FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_MAX_WIDTH_MASK,
                                  nullptr, static_cast<DWORD>(code), 0, text, sizeof text, nullptr);
    std::string result(text, length);
    while (!result.empty() && (result.back() == ' ' || result.back() == '\r' || result.back() == '\n'))
        result.pop_back();
    return result;
}

// A module argument the tools cannot use names the file and why, before any
// work: exit status 3, as for any unusable file.
bool UsableModuleFile(const std::string& module) {
    struct stat info{};
    if (::stat(module.c_str(), &info) != 0) {
        std::fprintf(stderr, "zrsign: %s: %s\n", module.c_str(),
                     errno == ENOENT ? "no such file" : std::strerror(errno));
        return false;
    }
    if (S_ISDIR(info.st_mode)) {
        std::fprintf(stderr, "zrsign: %s: is a folder, not a module file\n", module.c_str());
        return false;
    }
    if (!S_ISREG(info.st_mode)) {
        std::fprintf(stderr, "zrsign: %s: not a regular file\n", module.c_str());
        return false;
    }
    return true;
}

// An interrupted signing removes its temporary file; the module stays as it was.
void OnInterrupt(int signal) {
    zrsign::RemoveTemporaryOnSignal();
    ::signal(signal, SIG_DFL);
    ::raise(signal);
}

void RemoveTemporaryWhenInterrupted() {
    struct sigaction action{};
    action.sa_handler = OnInterrupt;
    sigemptyset(&action.sa_mask);
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) ::sigaction(signal, &action, nullptr);
}

int Sign(const std::vector<std::string>& args) {
    std::string cert, key, chain, module;
    bool replace = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        auto value = [&](std::string& into) {
            if (i + 1 >= args.size()) return false;
            into = args[++i];
            return true;
        };
        if (arg == "--cert") {
            if (!value(cert)) return Usage("--cert needs a file");
        } else if (arg == "--key") {
            if (!value(key)) return Usage("--key needs a file");
        } else if (arg == "--chain") {
            if (!value(chain)) return Usage("--chain needs a file");
        } else if (arg == "--replace") {
            replace = true;
        } else if (!arg.empty() && arg[0] == '-') {
            return Usage(("unknown option " + arg).c_str());
        } else if (module.empty()) {
            module = arg;
        } else {
            return Usage("sign takes one module");
        }
    }
    if (cert.empty() || key.empty() || module.empty()) return Usage("sign needs --cert, --key and a module");
    if (!UsableModuleFile(module)) return kExitFailure;
    // A link is signed where it points: replacing the link itself would leave its target unsigned.
    char resolved[PATH_MAX];
    const std::string target = ::realpath(module.c_str(), resolved) ? std::string(resolved) : module;

    std::string error;
    std::vector<zrsign::CertificatePtr> signer, extra;
    zrsign::KeyPtr privateKey;
    if (!zrsign::LoadCertificates(cert, signer, error) || !zrsign::LoadPrivateKey(key, privateKey, error) ||
        (!chain.empty() && !zrsign::LoadCertificates(chain, extra, error))) {
        std::fprintf(stderr, "zrsign: %s\n", error.c_str());
        return kExitFailure;
    }
    // Further certificates in the signer's file travel along as its chain.
    std::vector<X509*> carried;
    for (size_t i = 1; i < signer.size(); ++i) carried.push_back(signer[i].get());
    for (const auto& certificate : extra) carried.push_back(certificate.get());

    RemoveTemporaryWhenInterrupted();
    zrsign::SignResult result = zrsign::SignModule(target, signer[0].get(), privateKey.get(), carried, replace);
    if (!result.ok) {
        std::fprintf(stderr, "zrsign: %s\n", result.error.c_str());
        return kExitFailure;
    }
    std::printf("%s: signed, %zu entr%s in the certificate table\n", module.c_str(), result.entriesAfter,
                result.entriesAfter == 1 ? "y" : "ies");
    if (result.entriesAfter > 1)
        std::fprintf(stderr,
                     "zrsign: warning: %s now has %zu signature entries; the host refuses modules with more than "
                     "one (sign again with --replace)\n",
                     module.c_str(), result.entriesAfter);
    return kExitOk;
}

int List(const std::string& module) {
    if (!UsableModuleFile(module)) return kExitFailure;
    zrsign::ModuleInfo info;
    std::string error;
    if (!zrsign::InspectModule(module, info, error)) {
        std::fprintf(stderr, "zrsign: %s\n", error.c_str());
        return kExitFailure;
    }
    std::printf("module:  %s\ncontent: %llu bytes, sha256 %s\n", module.c_str(),
                static_cast<unsigned long long>(info.contentSize), info.contentDigest.c_str());
    if (info.entries.empty()) {
        std::printf("no certificate table entries (unsigned)\n");
        return kExitOk;
    }
    for (size_t i = 0; i < info.entries.size(); ++i) {
        const auto& entry = info.entries[i];
        std::printf("entry %zu: length %u, revision 0x%04X, type 0x%04X, signer %s, signature %s, digest %s\n", i,
                    entry.length, entry.revision, entry.type, entry.signer.empty() ? "(none)" : entry.signer.c_str(),
                    entry.signatureOk ? "ok" : "BAD", entry.digestOk ? "ok" : "BAD");
    }
    return kExitOk;
}

int Verify(const std::string& module) {
    if (!UsableModuleFile(module)) return kExitFailure;
    // The host holds the path as wide text and hands the signature check its
    // ANSI code page form: follow the same two steps from the command line's
    // own encoding, so every path gets the host's verdict.
    const std::wstring widePath = Utils_Conversions::Conversion::toWstring(module, kArgumentCodePage);
    const std::string ansiPath = Utils_Conversions::Conversion::toString(widePath, CP_ACP);
    std::printf("module:    %s\n", module.c_str());
    if (widePath.empty() || Utils_Conversions::Conversion::toWstring(ansiPath, CP_ACP) != widePath) {
        std::printf("trust:     not checked: the path has characters outside the ANSI code page (%u), which the\n"
                    "           host's signature check cannot open\n"
                    "verdict:   refused\n",
                    GetACP());
        return kExitRefused;
    }
    WINTRUST_FILE_INFO file = {};
    file.cbStruct = sizeof file;
    file.pcwszFilePath = widePath.c_str();
    WINTRUST_DATA data = {};
    data.cbStruct = sizeof data;
    data.dwUIChoice = WTD_UI_NONE;
    data.dwUnionChoice = WTD_CHOICE_FILE;
    data.pFile = &file;
    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    LONG code = WinVerifyTrust(static_cast<HWND>(INVALID_HANDLE_VALUE), &action, &data);
    bool trustAccepted = code == 0 || code == static_cast<LONG>(CERT_E_EXPIRED) || code == static_cast<LONG>(CERT_E_CHAINING);
    std::printf("trust:     0x%08X %s: %s (%s)\n", static_cast<unsigned>(code), TrustCodeName(code),
                SystemText(code).c_str(), trustAccepted ? "accepted" : "refused");

    std::string name;
    if (GetSubjectName(ansiPath.c_str(), name)) {
        bool matches = MatchLetters(name.c_str(), kExpectedPublisher, kExpectedPublisherLetters, false);
        std::printf("signer:    \"%s\"\npublisher: %s \"%s\"\n", name.c_str(), matches ? "matches" : "does not match",
                    kExpectedPublisher);
    } else {
        zrsign::ModuleInfo info;
        std::string error;
        if (zrsign::InspectModule(module, info, error) && info.entries.size() != 1)
            std::printf("signer:    unknown: the file has %zu signature entries, the host needs exactly one\n",
                        info.entries.size());
        else
            std::printf("signer:    unknown: the signature entry cannot be read\n");
    }
    bool accepted = CheckSignature(ansiPath.c_str());
    std::printf("verdict:   %s\n", accepted ? "accepted" : "refused");
    return accepted ? kExitOk : kExitRefused;
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty()) return Usage("no command");
    const std::string command = args[0];
    args.erase(args.begin());
    if (command == "--help" || command == "-h" || command == "help") return Usage(nullptr);
    if (command == "sign") return Sign(args);
    if (command == "verify" || command == "list") {
        for (const auto& arg : args)
            if (arg.size() > 1 && arg[0] == '-') return Usage(("unknown option " + arg).c_str());
        if (args.size() != 1) return Usage((command + " takes one module").c_str());
        return command == "verify" ? Verify(args[0]) : List(args[0]);
    }
    return Usage(("unknown command " + command).c_str());
}
