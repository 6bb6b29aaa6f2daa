// Sealing one log record: the chain hash over the line and the previous
// record's hash, and AES-256-CBC encryption under a key derived from the
// record's own hash, time stamp and the log file's name.
#pragma once

#include <cstddef>
#include <string>

// MD5 of the bytes as 32 lower-case hexadecimal digits, through the
// platform's hash service. Empty when the hash service fails.
std::string Md5Hex(const void* bytes, size_t length);

// MD5 over text followed by previous (the previous record's 32-character
// hash, or empty). Empty when the hash service fails.
std::string ComputeChainHash(const std::string& text, const std::string& previous);

// The record key: the 32 lower-case hex characters of MD5 over the password
// as UTF-16LE (converted from the ANSI code page). Empty on failure.
std::string DeriveRecordKey(const std::string& password);

// Encrypts the 8-bit line, as UTF-16LE, with AES-256-CBC (zero vector,
// padded) under the key derived from password; hex is the ciphertext in
// upper-case hexadecimal. False when there is nothing to encrypt or no key.
bool EncryptLineToHex(const std::string& line, const std::string& password, std::string& hex);

// payload = hex ciphertext of line followed by its chain hash. prevCRC,
// timestamp and fileName may be null (they then count as empty).
bool SealLogRecord(const std::string& line, const char* timestamp, const char* prevCRC, const char* fileName,
                   std::string& payload);
