// AES block cipher (FIPS-197) with padded ECB and CBC modes, as the log
// records use it: a fresh object and key for every record.
#pragma once

#include <cstddef>
#include <cstdint>

class AesCipher {
public:
    enum Mode { ECB = 0, CBC = 1, CFB = 2 };
    enum Direction { Encrypt = 0, Decrypt = 1 };
    enum KeyLength { Key128 = 0, Key192 = 1, Key256 = 2 };

    AesCipher() = default;
    ~AesCipher();
    AesCipher(const AesCipher&) = delete;
    AesCipher& operator=(const AesCipher&) = delete;

    // 0 success, -1 unsupported mode, -2 unsupported direction,
    // -3 unsupported key length, -4 null key. A null vector means zeros.
    int Initialize(int mode, int direction, const uint8_t* key, int keyLength, const uint8_t* initVector);

    // Encrypts with 1 to 16 bytes of padding (each holding the pad length).
    // Returns the output length 16 * (inputLength / 16 + 1), 0 for empty
    // input, -5 when not initialised for encryption, -1 for a mode other than
    // ECB and CBC. output must hold inputLength + 16 bytes.
    int EncryptPadded(const uint8_t* input, size_t inputLength, uint8_t* output);

    // The reverse of EncryptPadded: returns the unpadded length, -5 when not
    // initialised for decryption, -1 for a mode other than ECB and CBC, -6 when
    // the input is empty or not whole blocks, -7 when the padding is invalid.
    // output must hold inputLength bytes.
    int DecryptPadded(const uint8_t* input, size_t inputLength, uint8_t* output);

    // Whether ciphers initialised from now on use the processor's AES
    // instructions when it has them (the default). Tests turn it off to run
    // the table code on the same processor.
    static void AllowProcessorInstructions(bool allow);
    // Whether this object, as last initialised, runs on those instructions.
    bool UsesProcessorInstructions() const { return hardware_; }

    // One raw block with the expanded key (no chaining), for known-answer use.
    void EncryptBlock(const uint8_t in[16], uint8_t out[16]) const;
    void DecryptBlock(const uint8_t in[16], uint8_t out[16]) const;

private:
    int state_ = 1;  // 0 valid, 1 not initialised
    int mode_ = ECB;
    int direction_ = Encrypt;
    uint8_t iv_[16] = {};
    int rounds_ = 0;
    uint32_t roundKeys_[60] = {};  // (rounds + 1) * 4 big-endian words
    bool hardware_ = false;
    uint8_t keyBytes_[240] = {};  // the same round keys as bytes, for the processor
};
