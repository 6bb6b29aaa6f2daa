// Shared pieces of the decoder fuzz targets.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "log/Log.h"

// A broken round trip is a finding: stop the run where it happened.
#define FUZZ_CHECK(condition)                                                                   \
    do {                                                                                        \
        if (!(condition)) {                                                                     \
            std::fprintf(stderr, "%s:%d: round trip check failed: %s\n", __FILE__, __LINE__,    \
                         #condition);                                                           \
            std::abort();                                                                       \
        }                                                                                       \
    } while (0)

// Decoders log every refusal; at level -1 nothing reaches a log file.
#define FUZZ_QUIET_LOG()                                          \
    extern "C" int LLVMFuzzerInitialize(int*, char***) {          \
        SetLogLevel(-1);                                          \
        return 0;                                                 \
    }

inline std::string FuzzInput(const uint8_t* data, size_t size) {
    return std::string(reinterpret_cast<const char*>(data), size);
}
