// What the host's start result codes mean, for people reading zragent's
// errors.
#pragma once

#include <cstdint>

namespace zragent {

// "module file not found", "signature check refused the file", ...;
// "unknown result code" for codes the host does not give.
const char* StartResultMeaning(int32_t code);

}  // namespace zragent
