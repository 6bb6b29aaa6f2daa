#include "log/AesHardware.h"

#if defined(__x86_64__) || defined(__i386__)

#include <cpuid.h>
#include <wmmintrin.h>

#include <cstring>

#define ZR_AES_TARGET __attribute__((target("aes,sse2")))

namespace aeshw {

bool Available() {
    static const bool available = [] {
        unsigned eax = 0, ebx = 0, ecx = 0, edx = 0;
        return __get_cpuid(1, &eax, &ebx, &ecx, &edx) && (ecx & bit_AES) != 0 && (edx & bit_SSE2) != 0;
    }();
    return available;
}

namespace {
constexpr int kMostRounds = 14;
}  // namespace

ZR_AES_TARGET void Encrypt(const uint8_t* roundKeys, int rounds, bool chained, uint8_t chain[16], const uint8_t* in,
                           size_t blocks, uint8_t* out) {
    __m128i keys[kMostRounds + 1];
    for (int r = 0; r <= rounds; ++r) keys[r] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(roundKeys + 16 * r));
    __m128i last = _mm_loadu_si128(reinterpret_cast<const __m128i*>(chain));
    for (size_t b = 0; b < blocks; ++b) {
        __m128i state = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 16 * b));
        if (chained) state = _mm_xor_si128(state, last);
        state = _mm_xor_si128(state, keys[0]);
        for (int r = 1; r < rounds; ++r) state = _mm_aesenc_si128(state, keys[r]);
        state = _mm_aesenclast_si128(state, keys[rounds]);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 16 * b), state);
        last = state;
    }
    _mm_storeu_si128(reinterpret_cast<__m128i*>(chain), last);
}

ZR_AES_TARGET void Decrypt(const uint8_t* roundKeys, int rounds, bool chained, uint8_t chain[16], const uint8_t* in,
                           size_t blocks, uint8_t* out) {
    // The equivalent inverse cipher: the keys in reverse order, the inner
    // ones through InvMixColumns.
    __m128i keys[kMostRounds + 1];
    keys[0] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(roundKeys + 16 * rounds));
    for (int r = 1; r < rounds; ++r)
        keys[r] = _mm_aesimc_si128(_mm_loadu_si128(reinterpret_cast<const __m128i*>(roundKeys + 16 * (rounds - r))));
    keys[rounds] = _mm_loadu_si128(reinterpret_cast<const __m128i*>(roundKeys));
    __m128i previous = _mm_loadu_si128(reinterpret_cast<const __m128i*>(chain));
    for (size_t b = 0; b < blocks; ++b) {
        const __m128i cipher = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in + 16 * b));
        __m128i state = _mm_xor_si128(cipher, keys[0]);
        for (int r = 1; r < rounds; ++r) state = _mm_aesdec_si128(state, keys[r]);
        state = _mm_aesdeclast_si128(state, keys[rounds]);
        if (chained) state = _mm_xor_si128(state, previous);
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + 16 * b), state);
        previous = cipher;
    }
    _mm_storeu_si128(reinterpret_cast<__m128i*>(chain), previous);
}

}  // namespace aeshw

#else

namespace aeshw {

bool Available() { return false; }
void Encrypt(const uint8_t*, int, bool, uint8_t*, const uint8_t*, size_t, uint8_t*) {}
void Decrypt(const uint8_t*, int, bool, uint8_t*, const uint8_t*, size_t, uint8_t*) {}

}  // namespace aeshw

#endif
