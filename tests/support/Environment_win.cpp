#include "Environment.h"

#include <cstdlib>

namespace zrtest {

bool SetEnv(const std::string& name, const std::string& value) { return _putenv_s(name.c_str(), value.c_str()) == 0; }

// The C run-time removes a variable set to the empty text.
bool UnsetEnv(const std::string& name) { return _putenv_s(name.c_str(), "") == 0; }

}  // namespace zrtest
