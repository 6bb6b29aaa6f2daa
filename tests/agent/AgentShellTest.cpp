// `zragent shell` on a terminal: script(1) gives it a pseudo-terminal that
// stands for the user, keys are typed into it as a terminal sends them, and
// the JSON events show which commands ran against a real host.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "ChildProcess.h"
#include "TestSupport.h"

namespace fs = std::filesystem;

namespace {

// A program on a pseudo-terminal of its own; what the test types goes in
// there, what the program writes comes out.
class Terminal {
public:
    explicit Terminal(const std::string& command) : script_("/usr/bin/script", {"-qfec", command, "/dev/null"}) {}
    void Type(const std::string& keys) { script_.Write(keys); }
    // Waits up to 30 s for needle after the last thing found, and moves past it.
    bool Expect(const std::string& needle) {
        for (int waited = 0; waited < 30000; waited += 50) {
            const size_t at = script_.Out().find(needle, seen_);
            if (at != std::string::npos) {
                seen_ = at + needle.size();
                return true;
            }
            script_.WaitForOutput("\x01", 50);  // takes in what came meanwhile
        }
        return false;
    }
    int Wait() { return script_.Wait(); }
    const std::string& Screen() const { return script_.Out(); }

private:
    zrtest::ChildProcess script_;
    size_t seen_ = 0;
};

const std::string kPrompt = "zragent> ";

std::string Answer(const std::string& text) { return "\"text\":\"ZR_GETOPTION:" + text + "\""; }

}  // namespace

TEST(AgentShell, LinesAreEditedOnATerminalBeforeTheyRun) {
    const std::string zragent = zrtest::BinaryDir() + "/tools/zragent/zragent";
    const std::string echo = zrtest::BinaryDir() + "/modules/echo.kvl";
    if (!fs::exists(zrtest::BinaryDir() + "/tools/zrrundll/zrrundll")) GTEST_SKIP() << "no host starter";
    zrtest::ScopedTempDir dir;
    fs::copy_file(echo, dir.File("echo.kvl"));
    if (!fs::exists("/usr/bin/script")) GTEST_SKIP() << "no script(1) to open a terminal";
    Terminal terminal("'" + zragent + "' shell '" + dir.File("echo.kvl") + "' --no-signature-check --json");
    ASSERT_TRUE(terminal.Expect("\"event\":\"started\"")) << terminal.Screen();

    // Each key is the line editor's test; here the editor is wired to the shell.
    const std::string left = "\x1b[D", up = "\x1b[A", backspace = "\x7f";
    const struct {
        const char* what;
        std::string keys;
        std::string ran;  // what the answer shows, or the event the line gives
    } lines[] = {
        {"a typo corrected with backspace", "data getoption onx" + backspace + "e\r", Answer("one")},
        {"a letter put in after moving left", "data getoption to" + left + "w\r", Answer("two")},
        {"the line before last recalled", up + up + "\r", Answer("one")},
        {"Ctrl-C drops a line", "bogus\x03status\r", "\"event\":\"status\""},
    };
    for (const auto& line : lines) {
        SCOPED_TRACE(line.what);
        ASSERT_TRUE(terminal.Expect(kPrompt)) << terminal.Screen();
        terminal.Type(line.keys);
        ASSERT_TRUE(terminal.Expect(line.ran)) << terminal.Screen();
    }
    EXPECT_EQ(terminal.Screen().find("bogus\\\""), std::string::npos) << "the dropped line ran";

    // Ctrl-D on an empty line ends the shell as `stop` does.
    ASSERT_TRUE(terminal.Expect(kPrompt));
    terminal.Type("\x04");
    EXPECT_TRUE(terminal.Expect("\"event\":\"stopped\",\"stopped\":true,\"was_running\":true")) << terminal.Screen();
    EXPECT_TRUE(terminal.Expect("\"event\":\"host-exit\""));
    EXPECT_EQ(terminal.Wait(), 0) << terminal.Screen();
}
