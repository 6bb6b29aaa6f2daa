// What a module runner result code means, for people reading tool output.
#pragma once

namespace clib {
namespace os {
namespace modules {

// A short text for a result code of the module facade or its strategies;
// never null ("unknown result code" for codes it does not know).
const char* ResultText(int code);

}  // namespace modules
}  // namespace os
}  // namespace clib
