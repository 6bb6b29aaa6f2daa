// The window messages a module sends to the host's hidden window and their
// form as MWindowMessage records for the parent.
#pragma once

#include <cstddef>
#include <cstdint>

#include "ipc/messages/WindowMessageDataMultiProcess.h"
#include "platform/platform.h"

// wParam: address of a NUL-terminated 8-bit option name; lParam: address of
// a RelayBufferDescriptor.
constexpr UINT GETSRVOPTION = 3025;
constexpr UINT SETSRVOPTION = 3026;
// wParam and lParam are plain numbers.
constexpr UINT WM_RUNJOB = 3027;

// What a module hands with GETSRVOPTION and SETSRVOPTION, in the host's own
// address space. Only the address at offset 0 and the count at offset 8 are
// read; the union keeps the count at 8 on 32- and 64-bit builds alike, as
// the module SDK lays it out.
struct RelayBufferDescriptor {
    union {
        const void* data;
        uint64_t reserved0;
    } address;
    DWORD count;
    DWORD reserved1;
};
static_assert(sizeof(RelayBufferDescriptor) == 16, "descriptor layout shared with the modules");
static_assert(offsetof(RelayBufferDescriptor, count) == 8, "modules write the count at offset 8");

// The name of a relayed message for log lines, or null for any other number.
const char* RelayedMessageName(UINT message);

// Fills record with uMsg and both parameters of a relayed message; false,
// record untouched, for a message that is not relayed. A null option name
// or descriptor travels as an empty parameter.
bool BuildWindowMessageRecord(UINT message, WPARAM wParam, LPARAM lParam, WindowMessageDataMultiProcess& record);
