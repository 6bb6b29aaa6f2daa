// OpenSSL as the independent reference for the log's cipher and hashes.
#pragma once

#include <openssl/evp.h>

#include <cstdint>
#include <string>
#include <vector>

namespace logtest {

inline std::vector<uint8_t> FromHex(const std::string& hex) {
    std::vector<uint8_t> bytes;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) bytes.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return bytes;
}

// AES-256-CBC with a zero vector and standard padding; empty when the padding
// does not decrypt.
inline std::vector<uint8_t> OpenSslCbc256(bool encrypt, const void* key, const std::vector<uint8_t>& in) {
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    const uint8_t iv[16] = {};
    std::vector<uint8_t> out(in.size() + 32);
    int n1 = 0, n2 = 0;
    EVP_CipherInit_ex(ctx, EVP_aes_256_cbc(), nullptr, static_cast<const uint8_t*>(key), iv, encrypt ? 1 : 0);
    EVP_CipherUpdate(ctx, out.data(), &n1, in.data(), static_cast<int>(in.size()));
    const int ok = EVP_CipherFinal_ex(ctx, out.data() + n1, &n2);
    EVP_CIPHER_CTX_free(ctx);
    out.resize(ok ? static_cast<size_t>(n1 + n2) : 0);
    return out;
}

inline std::string OpenSslMd5Hex(const std::string& bytes) {
    unsigned char digest[16];
    unsigned int length = 0;
    EVP_Digest(bytes.data(), bytes.size(), digest, &length, EVP_md5(), nullptr);
    std::string hex;
    for (unsigned i = 0; i < length; ++i) hex += {"0123456789abcdef"[digest[i] >> 4], "0123456789abcdef"[digest[i] & 15]};
    return hex;
}

}  // namespace logtest
