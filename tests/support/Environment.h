// Setting and removing environment variables from tests, on every system.
#pragma once

#include <string>

namespace zrtest {

// Returns false when the system refused the change.
bool SetEnv(const std::string& name, const std::string& value);
bool UnsetEnv(const std::string& name);

}  // namespace zrtest
