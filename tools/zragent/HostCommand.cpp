#include "HostProcess.h"

namespace zragent {

std::string HostEntryArgument(const std::string& library) { return library + ",Module"; }

std::string HostParameters(uint32_t parentPid, const std::string& group) {
    return "PID(" + std::to_string(parentPid) + ") LPCNAME(" + group + ")";
}

std::string WindowsCommandLine(const std::string& rundll, const std::string& library, uint32_t parentPid,
                               const std::string& group) {
    return "\"" + rundll + "\" " + HostEntryArgument("\"" + library + "\"") + " " + HostParameters(parentPid, group);
}

}  // namespace zragent
