#include "clib/os/modules/ResultText.h"

namespace clib {
namespace os {
namespace modules {

const char* ResultText(int code) {
    switch (code) {
        case 0: return "success";
        case -1: return "module file not found";
        case -2: return "module file could not be opened";
        case -3: return "the signature check refused the module file";
        case -4: return "Start or Stop export missing, or no strategy could be created";
        case -5: return "no private copy could be made, the library could not be loaded, or the module is not running";
        case -6: return "an export needed for the call is missing";
        case -7: return "the module thread could not be created or failed";
        case -8: return "empty module name";
        case -9: return "a module is already loaded";
        case -10: return "the module thread did not end in time";
        case -11: return "an unexpected failure was caught";
        default: return "unknown result code";
    }
}

}  // namespace modules
}  // namespace os
}  // namespace clib
