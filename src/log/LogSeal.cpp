#include "log/LogSeal.h"

#include <cstdint>
#include <vector>

#include "log/AesCipher.h"
#include "platform/platform.h"
#include "util/Conversions.h"
#include "util/ScopedHandle.h"

namespace {

struct CryptProviderTraits {
    using Handle = HCRYPTPROV;
    static Handle Null() { return 0; }
    static bool IsValid(Handle h) { return h != 0; }
    static void Close(Handle h) { CryptReleaseContext(h, 0); }
};

struct CryptHashTraits {
    using Handle = HCRYPTHASH;
    static Handle Null() { return 0; }
    static bool IsValid(Handle h) { return h != 0; }
    static void Close(Handle h) { CryptDestroyHash(h); }
};

// One CryptoAPI context and hash for the length of one digest.
bool Md5Digest(const void* bytes, size_t length, BYTE (&value)[16]) {
    HCRYPTPROV rawProvider = 0;
    const DWORD flags = CRYPT_VERIFYCONTEXT | CRYPT_MACHINE_KEYSET;
    if (!CryptAcquireContextA(&rawProvider, nullptr, nullptr, PROV_RSA_FULL, flags)) return false;
    const ScopedHandle<CryptProviderTraits> provider(rawProvider);
    HCRYPTHASH rawHash = 0;
    if (!CryptCreateHash(provider.Get(), CALG_MD5, 0, 0, &rawHash)) return false;
    const ScopedHandle<CryptHashTraits> hash(rawHash);  // destroyed before its provider
    if (!CryptHashData(hash.Get(), static_cast<const BYTE*>(bytes), static_cast<DWORD>(length), 0)) return false;
    DWORD size = sizeof(value);
    return CryptGetHashParam(hash.Get(), HP_HASHVAL, value, &size, 0) && size == sizeof(value);
}

std::string ToUtf16Bytes(const std::string& ansi) {
    if (ansi.empty()) return std::string();
    return ToUtf16LE(Utils_Conversions::Conversion::toWstring(ansi, CP_ACP));
}

}  // namespace

// A failed digest yields no text at all: a record sealed with a made-up hash
// would break the chain for every reader, so the caller drops the line.
std::string Md5Hex(const void* bytes, size_t length) {
    static const char kHex[] = "0123456789abcdef";
    BYTE value[16];
    if (!Md5Digest(length ? bytes : "", length, value)) return std::string();
    std::string hex(32, '0');
    for (int i = 0; i < 16; ++i) {
        hex[2 * i] = kHex[value[i] >> 4];
        hex[2 * i + 1] = kHex[value[i] & 0x0f];
    }
    return hex;
}

std::string ComputeChainHash(const std::string& text, const std::string& previous) {
    std::string joined;
    joined.reserve(text.size() + previous.size() + 20);
    joined.append(text);
    joined.append(previous);
    return Md5Hex(joined.data(), joined.size());
}

std::string DeriveRecordKey(const std::string& password) {
    const std::string bytes = ToUtf16Bytes(password);
    return Md5Hex(bytes.data(), bytes.size());
}

bool EncryptLineToHex(const std::string& line, const std::string& password, std::string& hex) {
    static const char kHex[] = "0123456789ABCDEF";
    hex.clear();
    const std::string plaintext = ToUtf16Bytes(line);
    const std::string key = DeriveRecordKey(password);
    if (key.size() != 32) return false;

    AesCipher cipher;
    if (cipher.Initialize(AesCipher::CBC, AesCipher::Encrypt, reinterpret_cast<const uint8_t*>(key.data()),
                          AesCipher::Key256, nullptr) != 0)
        return false;
    std::vector<uint8_t> output(2 * plaintext.size() + 64);
    const int length =
        cipher.EncryptPadded(reinterpret_cast<const uint8_t*>(plaintext.data()), plaintext.size(), output.data());
    if (length <= 0) return false;

    hex.resize(2 * static_cast<size_t>(length));
    for (int i = 0; i < length; ++i) {
        hex[2 * i] = kHex[output[i] >> 4];
        hex[2 * i + 1] = kHex[output[i] & 0x0f];
    }
    return !hex.empty();
}

bool SealLogRecord(const std::string& line, const char* timestamp, const char* prevCRC, const char* fileName,
                   std::string& payload) {
    payload.clear();
    const std::string text = line.size() > 4 ? line.substr(4) : std::string();
    const std::string chainHash = ComputeChainHash(text, prevCRC ? prevCRC : "");
    if (chainHash.size() != 32) return false;

    std::string password = chainHash;
    password.append(timestamp ? timestamp : "");
    password.append(fileName ? fileName : "");

    std::string hex;
    if (!EncryptLineToHex(line, password, hex)) return false;
    payload.reserve(hex.size() + chainHash.size());
    payload = hex;
    payload.append(chainHash);
    return true;
}
