// MD5 (RFC 1321), the hash of every sealed log record. Built in rather than
// taken from OpenSSL, whose provider set-up for a first digest leaves about
// 2 MB resident in a process that otherwise never needs it (a host whose
// module is not signature-checked), and whose hash objects each cost a fetch.
#pragma once

#include <cstddef>
#include <cstdint>

namespace zrwin {

class Md5 {
public:
    static constexpr size_t kSize = 16;

    void Update(const unsigned char* data, size_t length);
    // Ends the hash; Update after it starts nothing new.
    void Final(unsigned char digest[kSize]);

private:
    void Block(const unsigned char* block);

    uint32_t state_[4] = {0x67452301u, 0xefcdab89u, 0x98badcfeu, 0x10325476u};
    uint64_t length_ = 0;  // bytes hashed
    unsigned char pending_[64] = {};
    size_t used_ = 0;  // bytes in pending_
};

}  // namespace zrwin
