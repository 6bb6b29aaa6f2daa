// Field-by-field encoder and decoder of ISerializable bodies. One ordered list
// of field calls serves both directions: in write mode each call appends its
// field, in read mode it reads the field into its argument.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

class SerialStream {
public:
    // Write mode: appends to an empty output.
    SerialStream();
    // Read mode over a copy of `input`, position 0.
    explicit SerialStream(const std::string& input);

    bool IsReading() const { return reading_; }

    // 4 bytes, little-endian.
    bool Int32(int32_t& value);
    bool UInt32(uint32_t& value);
    // 1 byte; booleans are written as 0 or 1 and read as non-zero.
    bool Byte(uint8_t& value);
    bool Bool(bool& value);
    // 32-bit byte count, then the bytes, no terminator.
    bool String(std::string& value);
    // The text as UTF-8, then as String.
    bool WString(std::wstring& value);

    // Read mode: no field failed and the position is at the end of the input.
    // Write mode: the output is intact.
    bool Succeeded() const;

    size_t Position() const { return position_; }
    // The encoded bytes (write mode).
    const std::string& Bytes() const { return data_; }

private:
    // Reads `count` bytes at the position; false (position unchanged) when
    // they are not all there.
    bool Take(size_t count, const char*& bytes);

    std::string data_;
    size_t position_ = 0;
    bool reading_;
    // Set by any failed field; later fields are still read where their bytes
    // are there, but the body as a whole has failed.
    bool failed_ = false;
};
