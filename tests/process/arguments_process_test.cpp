// SPDX-License-Identifier: GPL-3.0-or-later
// The daemon run by hand with arguments: a usage line naming its supervisor and exit
// status 2, before it signals its parent (which would take the signal as readiness, or
// die of it).
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

namespace {

struct Ended {
    int status = -1;
    std::string err;
    bool signalled_parent = false;
};

Ended run_with(const std::vector<std::string> &args) {
    sigset_t usr;
    sigemptyset(&usr);
    sigaddset(&usr, SIGUSR1);
    sigaddset(&usr, SIGUSR2);
    sigset_t old;
    sigprocmask(SIG_BLOCK, &usr, &old);
    int pipefd[2];
    Ended out;
    if (pipe(pipefd) != 0) {
        return out;
    }
    pid_t pid = fork();
    if (pid == 0) {
        dup2(pipefd[1], STDERR_FILENO);
        std::vector<char *> argv = {const_cast<char *>("tavik")};
        for (const std::string &a : args) {
            argv.push_back(const_cast<char *>(a.c_str()));
        }
        argv.push_back(nullptr);
        execv(TAVIK_FAKE_DAEMON, argv.data());
        _exit(127);
    }
    close(pipefd[1]);
    char buf[512];
    for (ssize_t n; (n = read(pipefd[0], buf, sizeof buf)) > 0;) {
        out.err.append(buf, static_cast<std::size_t>(n));
    }
    close(pipefd[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    out.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    sigset_t pending;
    sigpending(&pending);
    out.signalled_parent = sigismember(&pending, SIGUSR1) == 1 || sigismember(&pending, SIGUSR2) == 1;
    timespec none{0, 0};
    while (sigtimedwait(&usr, nullptr, &none) > 0) {
    }
    sigprocmask(SIG_SETMASK, &old, nullptr);
    return out;
}

TEST(DaemonArguments, AnyArgumentGivesTheUsageAndStatus2WithoutSignallingTheParent) {
    for (const std::vector<std::string> &args :
         std::vector<std::vector<std::string>>{{"--help"}, {"-h"}, {"start"}, {"a", "b"}, {""}}) {
        Ended e = run_with(args);
        EXPECT_EQ(e.status, 2) << args[0] << ": " << e.err;
        EXPECT_NE(e.err.find("usage: "), std::string::npos) << e.err;
        EXPECT_NE(e.err.find("`tavikctl run`"), std::string::npos) << e.err;
        EXPECT_FALSE(e.signalled_parent) << args[0];
    }
}

}  // namespace
