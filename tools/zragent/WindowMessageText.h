// What a relayed window message says, decoded from its record: the option
// name and bytes of GETSRVOPTION / SETSRVOPTION, the two numbers of WM_RUNJOB.
#pragma once

#include <cstdint>
#include <string>

class WindowMessageDataMultiProcess;

namespace zragent {

constexpr uint32_t kGetSrvOption = 3025;
constexpr uint32_t kSetSrvOption = 3026;
constexpr uint32_t kRunJob = 3027;

struct DecodedWindowMessage {
    uint32_t message = 0;
    std::string name;    // "GETSRVOPTION", "SETSRVOPTION", "WM_RUNJOB" or "WM_<number>"
    std::string option;  // the option name of GET/SETSRVOPTION
    std::string bytes;   // the option's bytes
    bool hasNumbers = false;
    long long wParam = 0;  // the numbers of WM_RUNJOB
    long long lParam = 0;
};

DecodedWindowMessage DecodeWindowMessage(const WindowMessageDataMultiProcess& record);

// One line for people: GETSRVOPTION option "proxy" bytes "8080" (4)
std::string DescribeWindowMessage(const DecodedWindowMessage& message);

// Bytes as readable text: printable ASCII kept, '"' and '\' escaped, others as \xNN.
std::string Printable(const std::string& bytes);

}  // namespace zragent
