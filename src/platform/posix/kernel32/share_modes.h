// Windows share modes across the threads and processes that use the layer.
//
// Each open that asks for read, write or delete access is recorded with its
// access and share mask in a table in shared memory keyed by (device, inode);
// a new open that conflicts with a live one is refused. Records of processes
// that have ended are purged before they are held against anyone.
#pragma once

#include <sys/types.h>

#include <cstdint>

#include "zrwin/types.h"

namespace zrwin {

class ShareRegistration {
public:
    ShareRegistration() = default;
    ~ShareRegistration() { Release(); }
    ShareRegistration(const ShareRegistration&) = delete;
    ShareRegistration& operator=(const ShareRegistration&) = delete;
    ShareRegistration(ShareRegistration&& other) noexcept : ticket_(other.ticket_) { other.ticket_ = 0; }
    ShareRegistration& operator=(ShareRegistration&& other) noexcept;

    // ERROR_SUCCESS, ERROR_SHARING_VIOLATION, or ERROR_NO_SYSTEM_RESOURCES
    // when the table is full. Opens without read, write or delete access are
    // not recorded, as on Windows.
    DWORD Register(dev_t device, ino_t inode, DWORD access, DWORD shareMode);
    void Release();

private:
    uint64_t ticket_ = 0;
};

}  // namespace zrwin
