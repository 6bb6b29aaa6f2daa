#include "Environment.h"

#include <cstdlib>

namespace zrtest {

bool SetEnv(const std::string& name, const std::string& value) { return setenv(name.c_str(), value.c_str(), 1) == 0; }

bool UnsetEnv(const std::string& name) { return unsetenv(name.c_str()) == 0; }

}  // namespace zrtest
