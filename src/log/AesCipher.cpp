#include "log/AesCipher.h"

#include <array>
#include <atomic>
#include <cstring>

#include "log/AesHardware.h"

namespace {

// The S-box and its inverse as published in FIPS-197 (figures 7 and 14).
constexpr uint8_t kSbox[256] = {
    0x63, 0x7c, 0x77, 0x7b, 0xf2, 0x6b, 0x6f, 0xc5, 0x30, 0x01, 0x67, 0x2b, 0xfe, 0xd7, 0xab, 0x76,
    0xca, 0x82, 0xc9, 0x7d, 0xfa, 0x59, 0x47, 0xf0, 0xad, 0xd4, 0xa2, 0xaf, 0x9c, 0xa4, 0x72, 0xc0,
    0xb7, 0xfd, 0x93, 0x26, 0x36, 0x3f, 0xf7, 0xcc, 0x34, 0xa5, 0xe5, 0xf1, 0x71, 0xd8, 0x31, 0x15,
    0x04, 0xc7, 0x23, 0xc3, 0x18, 0x96, 0x05, 0x9a, 0x07, 0x12, 0x80, 0xe2, 0xeb, 0x27, 0xb2, 0x75,
    0x09, 0x83, 0x2c, 0x1a, 0x1b, 0x6e, 0x5a, 0xa0, 0x52, 0x3b, 0xd6, 0xb3, 0x29, 0xe3, 0x2f, 0x84,
    0x53, 0xd1, 0x00, 0xed, 0x20, 0xfc, 0xb1, 0x5b, 0x6a, 0xcb, 0xbe, 0x39, 0x4a, 0x4c, 0x58, 0xcf,
    0xd0, 0xef, 0xaa, 0xfb, 0x43, 0x4d, 0x33, 0x85, 0x45, 0xf9, 0x02, 0x7f, 0x50, 0x3c, 0x9f, 0xa8,
    0x51, 0xa3, 0x40, 0x8f, 0x92, 0x9d, 0x38, 0xf5, 0xbc, 0xb6, 0xda, 0x21, 0x10, 0xff, 0xf3, 0xd2,
    0xcd, 0x0c, 0x13, 0xec, 0x5f, 0x97, 0x44, 0x17, 0xc4, 0xa7, 0x7e, 0x3d, 0x64, 0x5d, 0x19, 0x73,
    0x60, 0x81, 0x4f, 0xdc, 0x22, 0x2a, 0x90, 0x88, 0x46, 0xee, 0xb8, 0x14, 0xde, 0x5e, 0x0b, 0xdb,
    0xe0, 0x32, 0x3a, 0x0a, 0x49, 0x06, 0x24, 0x5c, 0xc2, 0xd3, 0xac, 0x62, 0x91, 0x95, 0xe4, 0x79,
    0xe7, 0xc8, 0x37, 0x6d, 0x8d, 0xd5, 0x4e, 0xa9, 0x6c, 0x56, 0xf4, 0xea, 0x65, 0x7a, 0xae, 0x08,
    0xba, 0x78, 0x25, 0x2e, 0x1c, 0xa6, 0xb4, 0xc6, 0xe8, 0xdd, 0x74, 0x1f, 0x4b, 0xbd, 0x8b, 0x8a,
    0x70, 0x3e, 0xb5, 0x66, 0x48, 0x03, 0xf6, 0x0e, 0x61, 0x35, 0x57, 0xb9, 0x86, 0xc1, 0x1d, 0x9e,
    0xe1, 0xf8, 0x98, 0x11, 0x69, 0xd9, 0x8e, 0x94, 0x9b, 0x1e, 0x87, 0xe9, 0xce, 0x55, 0x28, 0xdf,
    0x8c, 0xa1, 0x89, 0x0d, 0xbf, 0xe6, 0x42, 0x68, 0x41, 0x99, 0x2d, 0x0f, 0xb0, 0x54, 0xbb, 0x16,
};

constexpr uint8_t kInvSbox[256] = {
    0x52, 0x09, 0x6a, 0xd5, 0x30, 0x36, 0xa5, 0x38, 0xbf, 0x40, 0xa3, 0x9e, 0x81, 0xf3, 0xd7, 0xfb,
    0x7c, 0xe3, 0x39, 0x82, 0x9b, 0x2f, 0xff, 0x87, 0x34, 0x8e, 0x43, 0x44, 0xc4, 0xde, 0xe9, 0xcb,
    0x54, 0x7b, 0x94, 0x32, 0xa6, 0xc2, 0x23, 0x3d, 0xee, 0x4c, 0x95, 0x0b, 0x42, 0xfa, 0xc3, 0x4e,
    0x08, 0x2e, 0xa1, 0x66, 0x28, 0xd9, 0x24, 0xb2, 0x76, 0x5b, 0xa2, 0x49, 0x6d, 0x8b, 0xd1, 0x25,
    0x72, 0xf8, 0xf6, 0x64, 0x86, 0x68, 0x98, 0x16, 0xd4, 0xa4, 0x5c, 0xcc, 0x5d, 0x65, 0xb6, 0x92,
    0x6c, 0x70, 0x48, 0x50, 0xfd, 0xed, 0xb9, 0xda, 0x5e, 0x15, 0x46, 0x57, 0xa7, 0x8d, 0x9d, 0x84,
    0x90, 0xd8, 0xab, 0x00, 0x8c, 0xbc, 0xd3, 0x0a, 0xf7, 0xe4, 0x58, 0x05, 0xb8, 0xb3, 0x45, 0x06,
    0xd0, 0x2c, 0x1e, 0x8f, 0xca, 0x3f, 0x0f, 0x02, 0xc1, 0xaf, 0xbd, 0x03, 0x01, 0x13, 0x8a, 0x6b,
    0x3a, 0x91, 0x11, 0x41, 0x4f, 0x67, 0xdc, 0xea, 0x97, 0xf2, 0xcf, 0xce, 0xf0, 0xb4, 0xe6, 0x73,
    0x96, 0xac, 0x74, 0x22, 0xe7, 0xad, 0x35, 0x85, 0xe2, 0xf9, 0x37, 0xe8, 0x1c, 0x75, 0xdf, 0x6e,
    0x47, 0xf1, 0x1a, 0x71, 0x1d, 0x29, 0xc5, 0x89, 0x6f, 0xb7, 0x62, 0x0e, 0xaa, 0x18, 0xbe, 0x1b,
    0xfc, 0x56, 0x3e, 0x4b, 0xc6, 0xd2, 0x79, 0x20, 0x9a, 0xdb, 0xc0, 0xfe, 0x78, 0xcd, 0x5a, 0xf4,
    0x1f, 0xdd, 0xa8, 0x33, 0x88, 0x07, 0xc7, 0x31, 0xb1, 0x12, 0x10, 0x59, 0x27, 0x80, 0xec, 0x5f,
    0x60, 0x51, 0x7f, 0xa9, 0x19, 0xb5, 0x4a, 0x0d, 0x2d, 0xe5, 0x7a, 0x9f, 0x93, 0xc9, 0x9c, 0xef,
    0xa0, 0xe0, 0x3b, 0x4d, 0xae, 0x2a, 0xf5, 0xb0, 0xc8, 0xeb, 0xbb, 0x3c, 0x83, 0x53, 0x99, 0x61,
    0x17, 0x2b, 0x04, 0x7e, 0xba, 0x77, 0xd6, 0x26, 0xe1, 0x69, 0x14, 0x63, 0x55, 0x21, 0x0c, 0x7d,
};

constexpr uint8_t Xtime(uint8_t b) { return static_cast<uint8_t>((b << 1) ^ ((b & 0x80) ? 0x1b : 0x00)); }

constexpr uint8_t Mul(uint8_t a, uint8_t b) {
    uint8_t result = 0;
    while (b) {
        if (b & 1) result ^= a;
        a = Xtime(a);
        b >>= 1;
    }
    return result;
}

// The combined SubBytes/MixColumns tables, derived from the S-box at compile
// time; Te[n] is Te[0] rotated right by n bytes.
struct EncryptTables {
    std::array<uint32_t, 256> te[4];
};

constexpr uint32_t RotateRight8(uint32_t w) { return (w >> 8) | (w << 24); }

constexpr EncryptTables MakeEncryptTables() {
    EncryptTables t{};
    for (int i = 0; i < 256; ++i) {
        const uint8_t s = kSbox[i];
        const uint32_t w = (uint32_t(Mul(s, 2)) << 24) | (uint32_t(s) << 16) | (uint32_t(s) << 8) | uint32_t(Mul(s, 3));
        t.te[0][i] = w;
        t.te[1][i] = RotateRight8(w);
        t.te[2][i] = RotateRight8(RotateRight8(w));
        t.te[3][i] = RotateRight8(RotateRight8(RotateRight8(w)));
    }
    return t;
}

constexpr EncryptTables kTables = MakeEncryptTables();

// GF(2^8) products by the InvMixColumns coefficients.
struct InverseMixTables {
    std::array<uint8_t, 256> m9, m11, m13, m14;
};

constexpr InverseMixTables MakeInverseMixTables() {
    InverseMixTables t{};
    for (int i = 0; i < 256; ++i) {
        const uint8_t b = static_cast<uint8_t>(i);
        t.m9[i] = Mul(b, 9);
        t.m11[i] = Mul(b, 11);
        t.m13[i] = Mul(b, 13);
        t.m14[i] = Mul(b, 14);
    }
    return t;
}

constexpr InverseMixTables kInverseMix = MakeInverseMixTables();

uint32_t LoadBE(const uint8_t* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

void StoreBE(uint8_t* p, uint32_t w) {
    p[0] = uint8_t(w >> 24);
    p[1] = uint8_t(w >> 16);
    p[2] = uint8_t(w >> 8);
    p[3] = uint8_t(w);
}

std::atomic<bool> g_allowProcessorInstructions{true};

uint32_t SubWord(uint32_t w) {
    return (uint32_t(kSbox[w >> 24]) << 24) | (uint32_t(kSbox[(w >> 16) & 0xff]) << 16) |
           (uint32_t(kSbox[(w >> 8) & 0xff]) << 8) | uint32_t(kSbox[w & 0xff]);
}

}  // namespace

AesCipher::~AesCipher() {
    // Key material does not outlive the object.
    volatile uint8_t* p = reinterpret_cast<volatile uint8_t*>(roundKeys_);
    for (size_t i = 0; i < sizeof(roundKeys_); ++i) p[i] = 0;
    volatile uint8_t* bytes = keyBytes_;
    for (size_t i = 0; i < sizeof(keyBytes_); ++i) bytes[i] = 0;
}

void AesCipher::AllowProcessorInstructions(bool allow) { g_allowProcessorInstructions.store(allow); }

int AesCipher::Initialize(int mode, int direction, const uint8_t* key, int keyLength, const uint8_t* initVector) {
    state_ = 1;
    if (mode != ECB && mode != CBC && mode != CFB) return -1;
    if (direction != Encrypt && direction != Decrypt) return -2;
    if (keyLength < Key128 || keyLength > Key256) return -3;
    if (!key) return -4;

    mode_ = mode;
    direction_ = direction;
    if (initVector)
        std::memcpy(iv_, initVector, sizeof(iv_));
    else
        std::memset(iv_, 0, sizeof(iv_));

    // FIPS-197 key expansion: Nk words of key, Nr + 1 round keys.
    const int nk = 4 + 2 * keyLength;
    rounds_ = nk + 6;
    const int total = 4 * (rounds_ + 1);
    for (int i = 0; i < nk; ++i) roundKeys_[i] = LoadBE(key + 4 * i);
    uint8_t rcon = 0x01;
    for (int i = nk; i < total; ++i) {
        uint32_t temp = roundKeys_[i - 1];
        if (i % nk == 0) {
            temp = SubWord((temp << 8) | (temp >> 24)) ^ (uint32_t(rcon) << 24);
            rcon = Xtime(rcon);
        } else if (nk > 6 && i % nk == 4) {
            temp = SubWord(temp);
        }
        roundKeys_[i] = roundKeys_[i - nk] ^ temp;
    }
    hardware_ = g_allowProcessorInstructions.load() && aeshw::Available();
    if (hardware_) {
        for (int i = 0; i < total; ++i) StoreBE(keyBytes_ + 4 * i, roundKeys_[i]);
    }
    state_ = 0;
    return 0;
}

void AesCipher::EncryptBlock(const uint8_t in[16], uint8_t out[16]) const {
    if (hardware_) {
        uint8_t unused[16] = {};
        aeshw::Encrypt(keyBytes_, rounds_, false, unused, in, 1, out);
        return;
    }
    const uint32_t* rk = roundKeys_;
    uint32_t s0 = LoadBE(in) ^ rk[0];
    uint32_t s1 = LoadBE(in + 4) ^ rk[1];
    uint32_t s2 = LoadBE(in + 8) ^ rk[2];
    uint32_t s3 = LoadBE(in + 12) ^ rk[3];
    const auto& t0 = kTables.te[0];
    const auto& t1 = kTables.te[1];
    const auto& t2 = kTables.te[2];
    const auto& t3 = kTables.te[3];
    for (int round = 1; round < rounds_; ++round) {
        rk += 4;
        const uint32_t n0 = t0[s0 >> 24] ^ t1[(s1 >> 16) & 0xff] ^ t2[(s2 >> 8) & 0xff] ^ t3[s3 & 0xff] ^ rk[0];
        const uint32_t n1 = t0[s1 >> 24] ^ t1[(s2 >> 16) & 0xff] ^ t2[(s3 >> 8) & 0xff] ^ t3[s0 & 0xff] ^ rk[1];
        const uint32_t n2 = t0[s2 >> 24] ^ t1[(s3 >> 16) & 0xff] ^ t2[(s0 >> 8) & 0xff] ^ t3[s1 & 0xff] ^ rk[2];
        const uint32_t n3 = t0[s3 >> 24] ^ t1[(s0 >> 16) & 0xff] ^ t2[(s1 >> 8) & 0xff] ^ t3[s2 & 0xff] ^ rk[3];
        s0 = n0;
        s1 = n1;
        s2 = n2;
        s3 = n3;
    }
    rk += 4;
    // Last round: SubBytes and ShiftRows without MixColumns.
    auto last = [](uint32_t a, uint32_t b, uint32_t c, uint32_t d, uint32_t k) {
        return ((uint32_t(kSbox[a >> 24]) << 24) | (uint32_t(kSbox[(b >> 16) & 0xff]) << 16) |
                (uint32_t(kSbox[(c >> 8) & 0xff]) << 8) | uint32_t(kSbox[d & 0xff])) ^
               k;
    };
    StoreBE(out, last(s0, s1, s2, s3, rk[0]));
    StoreBE(out + 4, last(s1, s2, s3, s0, rk[1]));
    StoreBE(out + 8, last(s2, s3, s0, s1, rk[2]));
    StoreBE(out + 12, last(s3, s0, s1, s2, rk[3]));
}

void AesCipher::DecryptBlock(const uint8_t in[16], uint8_t out[16]) const {
    if (hardware_) {
        uint8_t unused[16] = {};
        aeshw::Decrypt(keyBytes_, rounds_, false, unused, in, 1, out);
        return;
    }
    // Straightforward inverse cipher (FIPS-197 section 5.3); reading logs back
    // is not on the hot path.
    uint8_t s[16];
    auto addRoundKey = [&](int round) {
        for (int c = 0; c < 4; ++c) {
            const uint32_t k = roundKeys_[4 * round + c];
            s[4 * c] ^= uint8_t(k >> 24);
            s[4 * c + 1] ^= uint8_t(k >> 16);
            s[4 * c + 2] ^= uint8_t(k >> 8);
            s[4 * c + 3] ^= uint8_t(k);
        }
    };
    std::memcpy(s, in, 16);
    addRoundKey(rounds_);
    for (int round = rounds_ - 1; round >= 0; --round) {
        // InvShiftRows: row r moves right by r columns.
        uint8_t t[16];
        for (int c = 0; c < 4; ++c)
            for (int r = 0; r < 4; ++r) t[4 * ((c + r) % 4) + r] = s[4 * c + r];
        for (int i = 0; i < 16; ++i) s[i] = kInvSbox[t[i]];
        addRoundKey(round);
        if (round == 0) break;
        const auto& m9 = kInverseMix.m9;
        const auto& m11 = kInverseMix.m11;
        const auto& m13 = kInverseMix.m13;
        const auto& m14 = kInverseMix.m14;
        for (int c = 0; c < 4; ++c) {
            const uint8_t a0 = s[4 * c], a1 = s[4 * c + 1], a2 = s[4 * c + 2], a3 = s[4 * c + 3];
            s[4 * c] = m14[a0] ^ m11[a1] ^ m13[a2] ^ m9[a3];
            s[4 * c + 1] = m9[a0] ^ m14[a1] ^ m11[a2] ^ m13[a3];
            s[4 * c + 2] = m13[a0] ^ m9[a1] ^ m14[a2] ^ m11[a3];
            s[4 * c + 3] = m11[a0] ^ m13[a1] ^ m9[a2] ^ m14[a3];
        }
    }
    std::memcpy(out, s, 16);
}

int AesCipher::EncryptPadded(const uint8_t* input, size_t inputLength, uint8_t* output) {
    if (state_ != 0 || direction_ != Encrypt) return -5;
    if (mode_ != ECB && mode_ != CBC) return -1;
    if (!input || inputLength == 0) return 0;

    uint8_t chain[16];
    std::memcpy(chain, iv_, 16);
    uint8_t block[16];
    const size_t whole = inputLength / 16;
    if (hardware_) {
        const size_t rest = inputLength - 16 * whole;
        const uint8_t pad = static_cast<uint8_t>(16 - rest);
        std::memset(block, pad, 16);
        if (rest) std::memcpy(block, input + 16 * whole, rest);
        aeshw::Encrypt(keyBytes_, rounds_, mode_ == CBC, chain, input, whole, output);
        aeshw::Encrypt(keyBytes_, rounds_, mode_ == CBC, chain, block, 1, output + 16 * whole);
        return static_cast<int>(16 * (whole + 1));
    }
    for (size_t b = 0; b < whole; ++b) {
        for (int i = 0; i < 16; ++i) block[i] = input[16 * b + i] ^ (mode_ == CBC ? chain[i] : 0);
        EncryptBlock(block, output + 16 * b);
        std::memcpy(chain, output + 16 * b, 16);
    }
    const size_t rest = inputLength - 16 * whole;
    const uint8_t pad = static_cast<uint8_t>(16 - rest);
    for (size_t i = 0; i < 16; ++i) {
        const uint8_t v = i < rest ? input[16 * whole + i] : pad;
        block[i] = v ^ (mode_ == CBC ? chain[i] : 0);
    }
    EncryptBlock(block, output + 16 * whole);
    return static_cast<int>(16 * (whole + 1));
}

int AesCipher::DecryptPadded(const uint8_t* input, size_t inputLength, uint8_t* output) {
    if (state_ != 0 || direction_ != Decrypt) return -5;
    if (mode_ != ECB && mode_ != CBC) return -1;
    if (!input || inputLength == 0 || inputLength % 16 != 0) return -6;

    uint8_t chain[16];
    std::memcpy(chain, iv_, 16);
    if (hardware_) {
        aeshw::Decrypt(keyBytes_, rounds_, mode_ == CBC, chain, input, inputLength / 16, output);
    }
    for (size_t b = 0; !hardware_ && b < inputLength / 16; ++b) {
        uint8_t plain[16];
        DecryptBlock(input + 16 * b, plain);
        for (int i = 0; i < 16; ++i) output[16 * b + i] = plain[i] ^ (mode_ == CBC ? chain[i] : 0);
        std::memcpy(chain, input + 16 * b, 16);
    }
    const uint8_t pad = output[inputLength - 1];
    if (pad < 1 || pad > 16) return -7;
    for (size_t i = inputLength - pad; i < inputLength; ++i)
        if (output[i] != pad) return -7;
    return static_cast<int>(inputLength - pad);
}
