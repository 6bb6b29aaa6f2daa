// zragent: the reference parent of the host. Serves its own port, starts the
// host as a process of its own, and drives it over the product's messaging
// classes (see docs/agent.md).
#include <cstdio>
#include <string>

#include "AgentOptions.h"
#include "AgentSession.h"
#include "EventWriter.h"

int main(int argc, char** argv) {
    zragent::AgentOptions options;
    std::string error;
    if (!zragent::ParseCommandLine(argc, argv, options, error)) {
        std::fprintf(stderr, "zragent: %s\n\n%s", error.c_str(), zragent::UsageText());
        return zragent::kExitUsage;
    }
    if (options.command == zragent::Command::Help) {
        std::fputs(zragent::UsageText(), stdout);
        return zragent::kExitOk;
    }
    zragent::EventWriter events(stdout, options.json);
    zragent::AgentSession session(options, events);
    switch (options.command) {
        case zragent::Command::Run: return session.Run();
        case zragent::Command::Shell: return session.Shell(stdin);
        case zragent::Command::Bench: return session.Bench();
        case zragent::Command::Help: break;
    }
    return zragent::kExitOk;
}
