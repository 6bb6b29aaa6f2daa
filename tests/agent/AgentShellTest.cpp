// `zragent shell` on a terminal: a pseudo-terminal stands for the user, keys
// are typed into it as a terminal sends them, and the JSON events show which
// commands ran against a real host.
#include <gtest/gtest.h>
#include <poll.h>
#include <pty.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

#include "TestSupport.h"

namespace fs = std::filesystem;

namespace {

// A program on the slave side of a pseudo-terminal; what it writes is read
// from the master side, what the test types goes in there.
class Terminal {
public:
    Terminal(const std::string& program, const std::vector<std::string>& arguments) {
        std::vector<std::string> words{program};
        words.insert(words.end(), arguments.begin(), arguments.end());
        std::vector<char*> argv;
        for (auto& word : words) argv.push_back(word.data());
        argv.push_back(nullptr);
        winsize size{};
        size.ws_row = 40;
        size.ws_col = 200;
        pid_ = forkpty(&master_, nullptr, nullptr, &size);
        if (pid_ == 0) {
            execv(argv[0], argv.data());
            _exit(127);
        }
    }
    ~Terminal() {
        if (pid_ > 0 && !reaped_) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (master_ >= 0) close(master_);
    }
    Terminal(const Terminal&) = delete;
    Terminal& operator=(const Terminal&) = delete;

    bool Started() const { return pid_ > 0; }
    void Type(const std::string& keys) { (void)!write(master_, keys.data(), keys.size()); }

    // Waits up to 30 s for needle in what the program wrote after the last
    // thing found, and moves past it.
    bool Expect(const std::string& needle) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        size_t at;
        while ((at = screen_.find(needle, seen_)) == std::string::npos) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            if (left.count() <= 0 || !ReadSome(static_cast<int>(left.count()))) return false;
        }
        seen_ = at + needle.size();
        return true;
    }
    // The exit status once the program ends (within 30 s), or -1.
    int Wait() {
        while (ReadSome(30000)) {
        }
        int status = 0;
        if (waitpid(pid_, &status, 0) != pid_) return -1;
        reaped_ = true;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    const std::string& Screen() const { return screen_; }

private:
    // False once the slave side is closed (the master then reads EIO) or
    // nothing came in time.
    bool ReadSome(int timeoutMs) {
        pollfd fd{master_, POLLIN, 0};
        if (poll(&fd, 1, timeoutMs) <= 0) return false;
        char buffer[4096];
        const ssize_t n = read(master_, buffer, sizeof buffer);
        if (n <= 0) return false;
        screen_.append(buffer, static_cast<size_t>(n));
        return true;
    }

    pid_t pid_ = -1;
    bool reaped_ = false;
    int master_ = -1;
    std::string screen_;
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
    Terminal terminal(zragent, {"shell", dir.File("echo.kvl"), "--no-signature-check", "--json"});
    ASSERT_TRUE(terminal.Started());
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
