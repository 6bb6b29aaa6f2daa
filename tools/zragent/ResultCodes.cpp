#include "ResultCodes.h"

namespace zragent {

const char* StartResultMeaning(int32_t code) {
    switch (code) {
        case 0: return "started";
        case -1: return "module file not found";
        case -2: return "module file could not be opened";
        case -3: return "signature check refused the file";
        case -4: return "the module lacks the Start or Stop export";
        case -5: return "no private copy could be made, or the library could not be loaded";
        case -6: return "a start was already under way";
        case -7: return "the module's thread could not be created or failed";
        case -8: return "empty module name";
        case -9: return "a module is already loaded";
        case -10: return "the module's thread did not end in time";
        case -11: return "the host caught an exception";
        default: return "unknown result code";
    }
}

}  // namespace zragent
