#include "SignCore.h"

#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/pem.h>
#include <openssl/pkcs7.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "zrwin/cert_table.h"

namespace zrsign {

namespace certtable = zrwin::certtable;

namespace {

// The temporary file of the signing in progress, for a signal handler to remove.
char g_temporary[PATH_MAX + 32];

// Holds off the interrupting signals while the temporary file's name is
// recorded or cleared, so a handler never sees it half written.
class BlockInterrupts {
public:
    BlockInterrupts() {
        sigset_t set;
        sigemptyset(&set);
        for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&set, signal);
        blocked_ = ::sigprocmask(SIG_BLOCK, &set, &previous_) == 0;
    }
    ~BlockInterrupts() { Release(); }
    BlockInterrupts(const BlockInterrupts&) = delete;
    BlockInterrupts& operator=(const BlockInterrupts&) = delete;
    void Release() {
        if (blocked_) ::sigprocmask(SIG_SETMASK, &previous_, nullptr);
        blocked_ = false;
    }

private:
    sigset_t previous_;
    bool blocked_ = false;
};

struct BioDeleter { void operator()(BIO* p) const { BIO_free_all(p); } };
struct Pkcs7Deleter { void operator()(PKCS7* p) const { PKCS7_free(p); } };
struct StackDeleter { void operator()(STACK_OF(X509)* p) const { sk_X509_free(p); } };
using BioPtr = std::unique_ptr<BIO, BioDeleter>;
using Pkcs7Ptr = std::unique_ptr<PKCS7, Pkcs7Deleter>;
using StackPtr = std::unique_ptr<STACK_OF(X509), StackDeleter>;

std::string OpenSslError() {
    unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0) return "unknown OpenSSL error";
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    return text;
}

// The file's table and the SHA-256 digest of its content.
bool ReadModule(const certtable::ReadOnlyFile& file, uint64_t& size, certtable::Table& table, unsigned char digest[32],
                std::string& error) {
    if (!file.Size(size)) {
        error = "not a regular file";
        return false;
    }
    auto read = [&file](uint64_t offset, void* buffer, size_t length) { return file.ReadAt(offset, buffer, length); };
    switch (certtable::Parse(size, read, table)) {
        case certtable::ParseResult::ReadError:
            error = "cannot read the file";
            return false;
        case certtable::ParseResult::Malformed:
            error = "the file ends in a damaged certificate table";
            return false;
        case certtable::ParseResult::Ok:
            break;
    }
    EVP_MD_CTX* context = EVP_MD_CTX_new();
    bool ok = context && EVP_DigestInit_ex(context, EVP_sha256(), nullptr) == 1;
    std::vector<unsigned char> buffer(1 << 16);
    for (uint64_t at = 0; ok && at < table.contentSize;) {
        size_t chunk = size_t(std::min<uint64_t>(buffer.size(), table.contentSize - at));
        ok = file.ReadAt(at, buffer.data(), chunk) && EVP_DigestUpdate(context, buffer.data(), chunk) == 1;
        at += chunk;
    }
    unsigned int length = 0;
    ok = ok && EVP_DigestFinal_ex(context, digest, &length) == 1 && length == 32;
    EVP_MD_CTX_free(context);
    if (!ok) error = "cannot read the file";
    return ok;
}

bool WriteAll(int fd, const void* data, size_t length) {
    auto* cursor = static_cast<const unsigned char*>(data);
    while (length > 0) {
        ssize_t put = ::write(fd, cursor, length);
        if (put < 0 && errno == EINTR) continue;
        if (put <= 0) return false;
        cursor += put;
        length -= size_t(put);
    }
    return true;
}

std::string Hex(const unsigned char* data, size_t length) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    for (size_t i = 0; i < length; ++i) {
        text.push_back(digits[data[i] >> 4]);
        text.push_back(digits[data[i] & 15]);
    }
    return text;
}

}  // namespace

bool LoadCertificates(const std::string& path, std::vector<CertificatePtr>& certificates, std::string& error) {
    certificates.clear();
    BioPtr bio(BIO_new_file(path.c_str(), "rb"));
    if (!bio) {
        error = "cannot open " + path;
        ERR_clear_error();
        return false;
    }
    while (X509* certificate = PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr))
        certificates.emplace_back(certificate);
    ERR_clear_error();
    if (certificates.empty()) {
        BIO_reset(bio.get());
        if (X509* certificate = d2i_X509_bio(bio.get(), nullptr)) certificates.emplace_back(certificate);
        ERR_clear_error();
    }
    if (certificates.empty()) {
        error = "no certificate in " + path;
        return false;
    }
    return true;
}

bool LoadPrivateKey(const std::string& path, KeyPtr& key, std::string& error) {
    BioPtr bio(BIO_new_file(path.c_str(), "rb"));
    if (!bio) {
        error = "cannot open " + path;
        ERR_clear_error();
        return false;
    }
    key.reset(PEM_read_bio_PrivateKey(bio.get(), nullptr, nullptr, nullptr));
    if (!key) {
        error = "no private key in " + path + " (PEM, unencrypted)";
        ERR_clear_error();
        return false;
    }
    return true;
}

SignResult SignModule(const std::string& modulePath, X509* certificate, EVP_PKEY* key,
                      const std::vector<X509*>& chain, bool replace) {
    SignResult result;
    if (!certificate || !key) {
        result.error = "a certificate and its key are needed";
        return result;
    }
    if (X509_check_private_key(certificate, key) != 1) {
        ERR_clear_error();
        result.error = "the key does not belong to the certificate";
        return result;
    }
    certtable::ReadOnlyFile file(modulePath);
    if (!file.IsOpen()) {
        result.error = "cannot open " + modulePath + ": " + std::strerror(errno);
        return result;
    }
    uint64_t size = 0;
    certtable::Table table;
    unsigned char digest[32];
    if (!ReadModule(file, size, table, digest, result.error)) return result;
    result.entriesBefore = table.entries.size();

    StackPtr carried(sk_X509_new_null());
    for (X509* extra : chain)
        if (!carried || !sk_X509_push(carried.get(), extra)) {
            result.error = "out of memory";
            return result;
        }
    BioPtr content(BIO_new_mem_buf(digest, sizeof digest));
    Pkcs7Ptr message(content ? PKCS7_sign(certificate, key, carried.get(), content.get(),
                                          PKCS7_BINARY | PKCS7_NOSMIMECAP)
                             : nullptr);
    if (!message) {
        result.error = "signing failed: " + OpenSslError();
        return result;
    }
    int derLength = i2d_PKCS7(message.get(), nullptr);
    if (derLength <= 0 || size_t(derLength) + certtable::kEntryHeaderSize > certtable::kMaxEntrySize) {
        result.error = "the signed message is too large";
        return result;
    }
    std::string der(size_t(derLength), '\0');
    auto* cursor = reinterpret_cast<unsigned char*>(der.data());
    i2d_PKCS7(message.get(), &cursor);

    // The new file: content, the entries kept, the new entry, the trailer.
    std::string kept;
    if (!replace && table.present) {
        kept.resize(table.tableSize);
        if (!kept.empty() && !file.ReadAt(table.contentSize, kept.data(), kept.size())) {
            result.error = "cannot read the file";
            return result;
        }
    }
    std::string entry = certtable::BuildEntry(der);
    uint32_t count = uint32_t((replace ? 0 : table.entries.size()) + 1);
    if (count > certtable::kMaxEntries) {
        result.error = "the certificate table is full";
        return result;
    }
    std::string tail = kept + entry + certtable::BuildTrailer(uint32_t(kept.size() + entry.size()), count);

    struct stat info;
    ::fstat(file.Fd(), &info);
    std::string temporary = modulePath + ".zrsign-XXXXXX";
    if (temporary.size() >= sizeof g_temporary) {
        result.error = "the path is too long: " + modulePath;
        return result;
    }
    BlockInterrupts blocked;  // the name is recorded before a handler can look for it
    int out = ::mkstemp(temporary.data());
    if (out < 0) {
        result.error = "cannot create a temporary file beside " + modulePath + ": " + std::strerror(errno);
        return result;
    }
    std::memcpy(g_temporary, temporary.c_str(), temporary.size() + 1);
    blocked.Release();
    bool written = true;
    std::vector<unsigned char> buffer(1 << 16);
    for (uint64_t at = 0; written && at < table.contentSize;) {
        size_t chunk = size_t(std::min<uint64_t>(buffer.size(), table.contentSize - at));
        written = file.ReadAt(at, buffer.data(), chunk) && WriteAll(out, buffer.data(), chunk);
        at += chunk;
    }
    written = written && WriteAll(out, tail.data(), tail.size()) && ::fchmod(out, info.st_mode & 07777) == 0 &&
              ::fsync(out) == 0;
    written = (::close(out) == 0) && written;
    BlockInterrupts finishing;
    const bool renamed = written && ::rename(temporary.c_str(), modulePath.c_str()) == 0;
    const int renameError = errno;
    if (!renamed) ::unlink(temporary.c_str());
    g_temporary[0] = '\0';
    if (!renamed) {
        result.error = "cannot write " + modulePath + ": " + std::strerror(renameError);
        return result;
    }
    result.entriesAfter = count;
    result.ok = true;
    return result;
}

bool InspectModule(const std::string& modulePath, ModuleInfo& info, std::string& error) {
    info = ModuleInfo{};
    certtable::ReadOnlyFile file(modulePath);
    if (!file.IsOpen()) {
        error = "cannot open " + modulePath + ": " + std::strerror(errno);
        return false;
    }
    uint64_t size = 0;
    certtable::Table table;
    unsigned char digest[32];
    if (!ReadModule(file, size, table, digest, error)) return false;
    info.hasTable = table.present;
    info.contentSize = table.contentSize;
    info.contentDigest = Hex(digest, sizeof digest);
    for (const auto& entry : table.entries) {
        EntryInfo item;
        item.length = entry.length;
        item.revision = entry.revision;
        item.type = entry.type;
        std::string der(entry.length - certtable::kEntryHeaderSize, '\0');
        if (!file.ReadAt(entry.offset + certtable::kEntryHeaderSize, der.data(), der.size())) {
            error = "cannot read the file";
            return false;
        }
        const auto* cursor = reinterpret_cast<const unsigned char*>(der.data());
        Pkcs7Ptr message(d2i_PKCS7(nullptr, &cursor, long(der.size())));
        if (message && PKCS7_type_is_signed(message.get())) {
            StackPtr signers(PKCS7_get0_signers(message.get(), nullptr, 0));
            if (signers && sk_X509_num(signers.get()) > 0) {
                char* line = X509_NAME_oneline(X509_get_subject_name(sk_X509_value(signers.get(), 0)), nullptr, 0);
                if (line) item.signer = line;
                OPENSSL_free(line);
            }
            BioPtr out(BIO_new(BIO_s_mem()));
            item.signatureOk = out && PKCS7_verify(message.get(), nullptr, nullptr, nullptr, out.get(),
                                                   PKCS7_NOVERIFY | PKCS7_BINARY) == 1;
            if (item.signatureOk) {
                char* data = nullptr;
                long length = BIO_get_mem_data(out.get(), &data);
                item.digestOk = length == 32 && std::memcmp(data, digest, 32) == 0;
            }
        }
        ERR_clear_error();
        info.entries.push_back(item);
    }
    return true;
}

void RemoveTemporaryOnSignal() {
    if (g_temporary[0]) ::unlink(g_temporary);
}

}  // namespace zrsign
