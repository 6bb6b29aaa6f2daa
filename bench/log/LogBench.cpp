#include <openssl/evp.h>
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "log/AesCipher.h"
#include "log/Log.h"
#include "log/LogConfig.h"
#include "log/LogReader.h"
#include "log/LogSeal.h"

namespace {

const char kTimestamp[] = "Sat Dec 05 15:54:04 2026";
const char kFileName[] = "kvlzrmodproc.log";
const char kPrevious[] = "0123456789abcdef0123456789abcdef";

// A line as the facility builds it: salt, prefix, message of n characters.
std::string MakeLine(size_t n) {
    std::string line = "\x11\x22\x33\x44[1234.5678] ";
    for (size_t i = 0; i < n; ++i) line.push_back(static_cast<char>('a' + i % 26));
    return line + "\r\n";
}

void BM_SealLogRecord(benchmark::State& state) {
    const std::string line = MakeLine(static_cast<size_t>(state.range(0)));
    std::string payload;
    for (auto _ : state) {
        SealLogRecord(line, kTimestamp, kPrevious, kFileName, payload);
        benchmark::DoNotOptimize(payload.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * line.size()));
}
BENCHMARK(BM_SealLogRecord)->Arg(60)->Arg(200)->Arg(1000);

std::string Hex(const unsigned char* bytes, size_t n, const char* alphabet) {
    std::string hex(2 * n, '0');
    for (size_t i = 0; i < n; ++i) {
        hex[2 * i] = alphabet[bytes[i] >> 4];
        hex[2 * i + 1] = alphabet[bytes[i] & 15];
    }
    return hex;
}

std::string Widen(const std::string& text) {
    std::string wide;
    wide.reserve(2 * text.size());
    for (unsigned char c : text) {
        wide.push_back(static_cast<char>(c));
        wide.push_back('\0');
    }
    return wide;
}

// The same work done by OpenSSL: MD5 of the chain input, MD5 of the UTF-16
// password, AES-256-CBC of the UTF-16 line, hexadecimal output.
void BM_SealWithOpenSsl(benchmark::State& state) {
    const std::string line = MakeLine(static_cast<size_t>(state.range(0)));
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    std::vector<unsigned char> cipher(2 * line.size() + 64);
    std::string payload;
    for (auto _ : state) {
        unsigned char digest[16];
        unsigned int length = 0;
        const std::string chainInput = line.substr(4) + kPrevious;
        EVP_Digest(chainInput.data(), chainInput.size(), digest, &length, EVP_md5(), nullptr);
        const std::string chainHash = Hex(digest, 16, "0123456789abcdef");
        const std::string password = Widen(chainHash + kTimestamp + kFileName);
        EVP_Digest(password.data(), password.size(), digest, &length, EVP_md5(), nullptr);
        const std::string key = Hex(digest, 16, "0123456789abcdef");
        const std::string plain = Widen(line);
        const unsigned char iv[16] = {};
        int n1 = 0, n2 = 0;
        EVP_EncryptInit_ex(ctx, EVP_aes_256_cbc(), nullptr, reinterpret_cast<const unsigned char*>(key.data()), iv);
        EVP_EncryptUpdate(ctx, cipher.data(), &n1, reinterpret_cast<const unsigned char*>(plain.data()),
                          static_cast<int>(plain.size()));
        EVP_EncryptFinal_ex(ctx, cipher.data() + n1, &n2);
        payload = Hex(cipher.data(), static_cast<size_t>(n1 + n2), "0123456789ABCDEF") + chainHash;
        benchmark::DoNotOptimize(payload.data());
    }
    EVP_CIPHER_CTX_free(ctx);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * line.size()));
}
BENCHMARK(BM_SealWithOpenSsl)->Arg(60)->Arg(200)->Arg(1000);

// Opening one record again, as zrlog show and verify do.
void BM_DecodeRecord(benchmark::State& state) {
    const std::string line = MakeLine(static_cast<size_t>(state.range(0)));
    std::string payload;
    SealLogRecord(line, kTimestamp, kPrevious, kFileName, payload);
    const std::string text = std::string(kTimestamp) + " " + payload;
    zrlog::Record record;
    std::string hashed, error;
    for (auto _ : state) {
        zrlog::DecodeRecord(text, kFileName, record, hashed, error);
        benchmark::DoNotOptimize(record.line.data());
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * text.size()));
}
BENCHMARK(BM_DecodeRecord)->Arg(200);

// The cipher alone, per UTF-16 line of 1,000 characters (2 KB).
void BM_AesCipherCbc(benchmark::State& state) {
    std::vector<uint8_t> plain(2048, 0x41), out(2048 + 16);
    const uint8_t key[32] = {1, 2, 3};
    for (auto _ : state) {
        AesCipher cipher;
        cipher.Initialize(AesCipher::CBC, AesCipher::Encrypt, key, AesCipher::Key256, nullptr);
        benchmark::DoNotOptimize(cipher.EncryptPadded(plain.data(), plain.size(), out.data()));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * plain.size()));
}
BENCHMARK(BM_AesCipherCbc);

void BM_OpenSslAesCbc(benchmark::State& state) {
    std::vector<uint8_t> plain(2048, 0x41), out(2048 + 32);
    const uint8_t key[32] = {1, 2, 3};
    const uint8_t iv[16] = {};
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    for (auto _ : state) {
        int n1 = 0, n2 = 0;
        EVP_EncryptInit_ex(ctx, EVP_aes_256_cbc(), nullptr, key, iv);
        EVP_EncryptUpdate(ctx, out.data(), &n1, plain.data(), static_cast<int>(plain.size()));
        EVP_EncryptFinal_ex(ctx, out.data() + n1, &n2);
        benchmark::DoNotOptimize(out.data());
    }
    EVP_CIPHER_CTX_free(ctx);
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * plain.size()));
}
BENCHMARK(BM_OpenSslAesCbc);

// Whole Log() calls into one file: format, mutex, open, tail read, seal,
// write, close.
void BM_LogCall(benchmark::State& state) {
    int i = 0;
    for (auto _ : state) Log(LOG_ERROR, "CBench::LogCall: [E] line %d from thread %d of the benchmark", ++i, state.thread_index());
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_LogCall)->Threads(1)->Threads(4)->UseRealTime();

// A line filtered by its level.
void BM_LogFiltered(benchmark::State& state) {
    for (auto _ : state) Log(LOG_OTHER, "CBench::LogFiltered: %d", 1);
}
BENCHMARK(BM_LogFiltered);

}  // namespace

int main(int argc, char** argv) {
    // The log file goes into a folder of its own, removed afterwards.
    std::string pattern = (std::filesystem::temp_directory_path() / "zrlogbench-XXXXXX").string();
    const char* dir = mkdtemp(pattern.data());
    if (!dir || chdir(dir) != 0) return 1;
    SetLogLevel(LOG_WARNING);
    // A name of its own keeps the machine-wide log mutex free of other users.
    LogConfig::Instance()->SetFileName("kvlbench-" + std::to_string(getpid()) + ".log");
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::error_code ec;
    std::filesystem::current_path(std::filesystem::temp_directory_path(), ec);
    std::filesystem::remove_all(dir, ec);
    return 0;
}
