// Cross-process tests: the helper process of a test is a function defined in
// the same file as the test, registered by name, and started by that name as
// a second run of the same test binary. One main (MultiProcessMain.cpp) runs
// either the tests or the one named child.
//
//   ZR_CHILD_MAIN(EchoServer) {          // the child's side, in the test file
//       ... return 0;                    // the child's exit status
//   }
//   TEST(Port, Echoes) {
//       auto child = zrtest::SpawnChild("EchoServer", {"arg"});
//       ...                              // child.Line(), child.Wait(), ...
//   }
//
// Inside the child, zrtest::ChildArgs() holds the extra arguments.
#pragma once

#include <string>
#include <vector>

#include "ChildProcess.h"

namespace zrtest {

using ChildMainFn = int (*)();

// Registers a child entry point; used by ZR_CHILD_MAIN at static
// initialisation. Returns true so it can initialise a namespace-scope flag.
bool RegisterChildMain(const char* name, ChildMainFn main);

// The arguments given to SpawnChild after the name, inside the child.
const std::vector<std::string>& ChildArgs();

// This test binary's own path.
std::string SelfPath();

// Starts this binary as the named child, with pipes on its standard streams
// (see ChildProcess).
inline ChildProcess SpawnChild(const std::string& name, std::vector<std::string> arguments = {}) {
    arguments.insert(arguments.begin(), "--zr-child=" + name);
    return ChildProcess(SelfPath(), std::move(arguments));
}

}  // namespace zrtest

#define ZR_CHILD_MAIN(Name)                                                                        \
    static int ZrChildMain_##Name();                                                               \
    [[maybe_unused]] static const bool zr_child_registered_##Name =                                \
        ::zrtest::RegisterChildMain(#Name, &ZrChildMain_##Name);                                   \
    static int ZrChildMain_##Name()
