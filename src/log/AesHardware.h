// AES rounds on the processor's own AES instructions, for processors that
// have them; AesCipher falls back to its tables elsewhere.
#pragma once

#include <cstddef>
#include <cstdint>

namespace aeshw {

// Whether this processor has the AES instructions (asked once).
bool Available();

// roundKeys holds rounds + 1 round keys of 16 bytes each, in the order the
// cipher uses them to encrypt. chain is the vector going in and the last
// cipher block coming out; without chaining (ECB) it is not used.
void Encrypt(const uint8_t* roundKeys, int rounds, bool chained, uint8_t chain[16], const uint8_t* in, size_t blocks,
             uint8_t* out);
void Decrypt(const uint8_t* roundKeys, int rounds, bool chained, uint8_t chain[16], const uint8_t* in, size_t blocks,
             uint8_t* out);

}  // namespace aeshw
