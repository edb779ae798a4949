// The console run the way a person uses it: through a pseudo-terminal in raw
// mode, and as a script through pipes.
#include <gtest/gtest.h>

#include <csignal>
#include <string>

#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include "rux_cli_xface.h"

using namespace rux;

namespace {

std::shared_ptr<cliMenuT> tree() {
    auto root = cliMenuT::create("/", "root");
    auto ping = cliCmdT::create("ping", "check liveness");
    ping->action(cliActionT::create(
        [](const cliArgsT&, std::shared_ptr<cliOutputT> out) { out->text("pong\n"); }));
    root->add(ping);
    auto show = cliCmdT::create("show", "show state");
    auto what = cliParamT::create("what", "what to show");
    what->add(cliValT::create("all", "everything"));
    show->add(what);
    show->action(cliActionT::create([](const cliArgsT& a, std::shared_ptr<cliOutputT> out) {
        cliOutputT::streamT os(out);
        os << "showing [" << (a.set("what") ? a["what"] : std::string("-")) << "]\n";
    }));
    root->add(show);
    return root;
}

// Runs the console in a child whose standard input and output are in and out.
pid_t console(int in, int out) {
    pid_t pid = fork();
    if (pid == 0) {
        dup2(in, STDIN_FILENO);
        dup2(out, STDOUT_FILENO);
        cliStart(tree(), true);
        _exit(3); // only "quit" ends the child well
    }
    return pid;
}

// Reads from fd until the text seen so far contains want; generous bound.
bool await(int fd, std::string& seen, const std::string& want) {
    for (int rounds = 0; rounds < 300; ++rounds) {
        if (seen.find(want) != std::string::npos)
            return true;
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 100) <= 0)
            continue;
        char buf[256];
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0)
            return seen.find(want) != std::string::npos;
        seen.append(buf, n);
    }
    return false;
}

void send(int fd, const std::string& keys) {
    ASSERT_EQ(write(fd, keys.data(), keys.size()), static_cast<ssize_t>(keys.size()));
}

int exitOf(pid_t pid) {
    int st = 0;
    EXPECT_EQ(waitpid(pid, &st, 0), pid);
    return st;
}

struct ptyT {
    int master = -1;
    int slave = -1;
    termios before{};
    ptyT() {
        EXPECT_EQ(openpty(&master, &slave, nullptr, nullptr, nullptr), 0);
        tcgetattr(slave, &before);
    }
    ~ptyT() {
        close(master);
        close(slave);
    }
    tcflag_t lflag() {
        termios t{};
        tcgetattr(slave, &t);
        return t.c_lflag;
    }
};

const std::string kPrompt = "\33[2K\r\33[J/ > ";

} // namespace

TEST(cliStart, RunsARawTerminalSessionAndRestoresTheModesAtExit) {
    ptyT t;
    ASSERT_TRUE(t.before.c_lflag & ICANON);
    ASSERT_TRUE(t.before.c_lflag & ECHO);
    pid_t pid = console(t.slave, t.slave);
    std::string seen;
    ASSERT_TRUE(await(t.master, seen, kPrompt)) << seen;
    EXPECT_FALSE(t.lflag() & (ICANON | ECHO));

    // Only the editor echoes, key by key.
    seen.clear();
    send(t.master, "pi");
    ASSERT_TRUE(await(t.master, seen, "i\33[J"));
    EXPECT_EQ(seen, "p\33[Ji\33[J");
    send(t.master, "\t\r");
    ASSERT_TRUE(await(t.master, seen, "pong")) << seen;
    ASSERT_TRUE(await(t.master, seen, kPrompt));

    // Ctrl-C is a key of the editor, not a signal.
    seen.clear();
    send(t.master, "sh\x03");
    ASSERT_TRUE(await(t.master, seen, kPrompt)) << seen;
    send(t.master, "show a\t\r");
    ASSERT_TRUE(await(t.master, seen, "showing [all]")) << seen;

    // Arrow up recalls the line.
    seen.clear();
    send(t.master, "\33[A");
    ASSERT_TRUE(await(t.master, seen, "l\33[J")) << seen;
    send(t.master, "\r");
    ASSERT_TRUE(await(t.master, seen, "showing [all]")) << seen;

    send(t.master, "quit\r");
    ASSERT_TRUE(await(t.master, seen, "see you!")) << seen;
    int st = exitOf(pid);
    ASSERT_TRUE(WIFEXITED(st));
    EXPECT_EQ(WEXITSTATUS(st), 0);
    EXPECT_TRUE(t.lflag() & ICANON);
    EXPECT_TRUE(t.lflag() & ECHO);
}

TEST(cliStart, RestoresTheModesWhenTerminatedBySignal) {
    ptyT t;
    pid_t pid = console(t.slave, t.slave);
    std::string seen;
    ASSERT_TRUE(await(t.master, seen, kPrompt)) << seen;
    ASSERT_FALSE(t.lflag() & ICANON);
    kill(pid, SIGTERM);
    int st = exitOf(pid);
    ASSERT_TRUE(WIFSIGNALED(st));
    EXPECT_EQ(WTERMSIG(st), SIGTERM);
    EXPECT_TRUE(t.lflag() & ICANON);
    EXPECT_TRUE(t.lflag() & ECHO);
}

TEST(cliStart, ReadsLineByLineWhenInputIsNotATerminal) {
    int in[2], out[2];
    ASSERT_EQ(pipe(in), 0);
    ASSERT_EQ(pipe(out), 0);
    pid_t pid = console(in[0], out[1]);
    close(in[0]);
    close(out[1]);
    send(in[1], "ping\nshow all\r\nquit\n");
    std::string seen;
    EXPECT_TRUE(await(out[0], seen, "see you!")) << seen;
    EXPECT_NE(seen.find("pong"), std::string::npos);
    EXPECT_NE(seen.find("showing [all]"), std::string::npos);
    int st = exitOf(pid);
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << st;
    close(in[1]);
    close(out[0]);
}

TEST(cliStart, EndsWhenItsInputEnds) {
    int in[2], out[2];
    ASSERT_EQ(pipe(in), 0);
    ASSERT_EQ(pipe(out), 0);
    pid_t pid = fork();
    if (pid == 0) {
        dup2(in[0], STDIN_FILENO);
        dup2(out[1], STDOUT_FILENO);
        close(in[1]); // or the input never ends
        _exit(cliStart(tree(), false) ? 0 : 1);
    }
    close(in[0]);
    close(out[1]);
    send(in[1], "ping\n");
    close(in[1]);
    std::string seen;
    EXPECT_TRUE(await(out[0], seen, "pong")) << seen;
    int st = exitOf(pid);
    EXPECT_TRUE(WIFEXITED(st) && WEXITSTATUS(st) == 0) << st;
    close(out[0]);
    EXPECT_FALSE(cliStart(nullptr, false));
}
