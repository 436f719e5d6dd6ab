// SPDX-License-Identifier: GPL-3.0-or-later
// The ipmi_sim process tavik-bmcsim runs: whether its addresses are free and then bound,
// starting it as a child that dies with the launcher, and stopping it.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "launcher.h"

// tavik-bmcsim is single-threaded: the C library's shared buffers (strerror, strsignal)
// and process-wide calls are safe here.
// NOLINTBEGIN(concurrency-mt-unsafe)
namespace tavik::bmcsim::launcher {

// Binds a socket of the type for a moment to see whether the address can be ours.
bool check_free(const Ip4 &ip, unsigned port, const char *what, int type) {
    int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        fail("cannot create a socket: %s", std::strerror(errno));
        return false;
    }
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    std::memcpy(&a.sin_addr, ip.data(), 4);
    int rc = bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a);
    int e = errno;
    close(fd);
    if (rc == 0) {
        return true;
    }
    const std::string where = tavik::bmcsim::format_ip(ip) + ":" + std::to_string(port);
    if (e == EADDRINUSE) {
        fail("%s %s is busy (another program uses it)", what, where.c_str());
    } else if (e == EADDRNOTAVAIL) {
        fail("%s %s: the address is not on this machine", what, where.c_str());
    } else {
        fail("%s %s cannot be bound: %s", what, where.c_str(), std::strerror(e));
    }
    return false;
}

namespace {

// Whether a line of the kernel's socket table (/proc/net/udp, /proc/net/tcp) has ip:port
// as its local address and, unless state is empty, that state.
bool in_socket_table(const char *table, const Ip4 &ip, unsigned port, const std::string &state) {
    std::uint32_t raw = 0;
    std::memcpy(&raw, ip.data(), 4);
    char want[32];
    (void)std::snprintf(want, sizeof want, "%08X:%04X", raw, port);
    std::ifstream in(table);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream ss(line);
        std::string sl, local, remote, st;
        if (ss >> sl >> local >> remote >> st && local == want && (state.empty() || st == state)) {
            return true;
        }
    }
    return false;
}

}  // namespace

bool udp_bound(const Ip4 &ip, unsigned port) {
    return in_socket_table("/proc/net/udp", ip, port, "");
}

// 0A is TCP_LISTEN in the kernel's table.
bool tcp_listening(const Ip4 &ip, unsigned port) {
    return in_socket_table("/proc/net/tcp", ip, port, "0A");
}

// ipmi_sim binds its ports before it has run its command file and entered its loop; until
// then a session request waits unanswered, and a library that logs in at once times out.
bool answers(tavik::bmc::Pinger &pinger, const Ip4 &ip, unsigned port, std::uint8_t tag) {
    std::uint32_t raw = 0;
    std::memcpy(&raw, ip.data(), 4);
    const auto port16 = static_cast<std::uint16_t>(port);
    if (!pinger.ping(raw, port16, tag)) {
        return false;
    }
    const auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(50);
    for (;;) {
        const auto left =
            std::chrono::duration_cast<std::chrono::milliseconds>(until - std::chrono::steady_clock::now())
                .count();
        pollfd pfd{pinger.fd(), POLLIN, 0};
        if (left <= 0 || poll(&pfd, 1, static_cast<int>(left)) <= 0) {
            return false;
        }
        bool more = true;
        while (more) {
            std::uint32_t from = 0;
            std::uint16_t from_port = 0;
            if (pinger.receive(tag, from, from_port, more) == tavik::bmc::Pinger::kPong && from == raw &&
                from_port == port16) {
                return true;
            }
        }
    }
}

std::string describe_status(int status) {
    if (WIFEXITED(status)) {
        return "exited with status " + std::to_string(WEXITSTATUS(status));
    }
    if (WIFSIGNALED(status)) {
        return std::string("was killed by signal ") + strsignal(WTERMSIG(status));
    }
    return "stopped";
}

// Starts ipmi_sim; a failing exec is reported back through a close-on-exec pipe.
pid_t start_simulator(const std::vector<std::string> &argv, const sigset_t &old_mask) {
    int pipefd[2];
    if (pipe2(pipefd, O_CLOEXEC) != 0) {
        fail("cannot create a pipe: %s", std::strerror(errno));
        return -1;
    }
    const pid_t parent = getpid();
    pid_t pid = fork();
    if (pid < 0) {
        fail("cannot fork: %s", std::strerror(errno));
        close(pipefd[0]);
        close(pipefd[1]);
        return -1;
    }
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) {
            _exit(127);
        }
        // ipmi_sim -n does not read stdin, but it must be a valid descriptor.
        int null = ::open("/dev/null", O_RDONLY);
        if (null >= 0 && null != STDIN_FILENO) {
            dup2(null, STDIN_FILENO);
            close(null);
        }
        (void)signal(SIGPIPE, SIG_DFL);
        sigprocmask(SIG_SETMASK, &old_mask, nullptr);
        std::vector<char *> args;
        args.reserve(argv.size() + 1);
        for (const auto &s : argv) {
            args.push_back(const_cast<char *>(s.c_str()));
        }
        args.push_back(nullptr);
        execvp(args[0], args.data());
        int e = errno;
        ssize_t ignored = write(pipefd[1], &e, sizeof e);
        (void)ignored;
        _exit(127);
    }
    close(pipefd[1]);
    int e = 0;
    ssize_t n;
    do {
        n = read(pipefd[0], &e, sizeof e);
    } while (n < 0 && errno == EINTR);
    close(pipefd[0]);
    if (n == static_cast<ssize_t>(sizeof e)) {
        waitpid(pid, nullptr, 0);
        fail("cannot run %s: %s", argv[0].c_str(), std::strerror(e));
        return -1;
    }
    return pid;
}

// Stops the child: SIGTERM, then SIGKILL after two seconds.
void stop_simulator(pid_t pid) {
    kill(pid, SIGTERM);
    const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(2);
    while (std::chrono::steady_clock::now() < until) {
        if (waitpid(pid, nullptr, WNOHANG) == pid) {
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
}

}  // namespace tavik::bmcsim::launcher
// NOLINTEND(concurrency-mt-unsafe)
