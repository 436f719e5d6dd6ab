// SPDX-License-Identifier: GPL-3.0-or-later
// Process and file helpers for the BMC tests (see sim_harness.h). One test thread.
#include "sim_harness.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#ifndef TAVIK_TEST_LAUNCHER
#error "TAVIK_TEST_LAUNCHER must name the tavik-bmcsim program"
#endif

namespace tavik::test {

using namespace std::chrono;

TempDir::TempDir() {
    char tmpl[] = "/tmp/tavik-bmc-test-XXXXXX";
    if (mkdtemp(tmpl) == nullptr) {
        throw std::runtime_error(std::string("mkdtemp: ") + std::strerror(errno));
    }
    path_ = tmpl;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

void write_text(const std::string &path, const std::string &text, unsigned mode) {
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out << text;
        if (!out) {
            throw std::runtime_error("cannot write " + path);
        }
    }
    ::chmod(path.c_str(), mode);
}

std::string read_text(const std::string &path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

namespace {

pid_t spawn(const std::vector<std::string> &argv, const std::string &out_path) {
    const pid_t parent = getpid();
    pid_t pid = fork();
    if (pid == 0) {
        // A test that aborts must not leave a simulator behind: the launcher stops with it.
        prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (getppid() != parent) {
            _exit(127);
        }
        int fd = ::open(out_path.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0644);
        int null = ::open("/dev/null", O_RDONLY);
        if (fd >= 0) {
            dup2(fd, STDOUT_FILENO);
            dup2(fd, STDERR_FILENO);
        }
        if (null >= 0) {
            dup2(null, STDIN_FILENO);
        }
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        std::vector<char *> args;
        for (const auto &a : argv) {
            args.push_back(const_cast<char *>(a.c_str()));
        }
        args.push_back(nullptr);
        execvp(args[0], args.data());
        _exit(127);
    }
    return pid;
}

// Gone, or a zombie that nobody has reaped yet: either way it holds no socket.
bool process_gone(pid_t pid) {
    if (kill(pid, 0) != 0 && errno == ESRCH) {
        return true;
    }
    const std::string stat = read_text("/proc/" + std::to_string(pid) + "/stat");
    const auto paren = stat.rfind(')');
    return paren != std::string::npos && paren + 2 < stat.size() && stat[paren + 2] == 'Z';
}

int decode(int status) {
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// Waits for `pid` up to `limit`; -1 when it is still running.
int wait_exit(pid_t pid, milliseconds limit) {
    const auto until = steady_clock::now() + limit;
    for (;;) {
        int status = 0;
        pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid) {
            return decode(status);
        }
        if (r < 0 && errno != EINTR) {
            return -1;
        }
        if (steady_clock::now() > until) {
            return -1;
        }
        std::this_thread::sleep_for(milliseconds(5));
    }
}

bool port_free(const char *addr, unsigned port) {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(port));
    inet_pton(AF_INET, addr, &a.sin_addr);
    bool ok = bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
    close(fd);
    return ok;
}

}  // namespace

RunResult run_program(const std::vector<std::string> &argv, const std::string &work, milliseconds timeout) {
    static unsigned serial = 0;
    const std::string out = work + "/run-" + std::to_string(++serial) + ".out";
    RunResult r;
    pid_t pid = spawn(argv, out);
    if (pid < 0) {
        r.out = "fork failed";
        return r;
    }
    r.status = wait_exit(pid, timeout);
    if (r.status < 0) {
        kill(pid, SIGKILL);
        waitpid(pid, nullptr, 0);
        r.status = -1;
    }
    r.out = read_text(out);
    ::unlink(out.c_str());
    return r;
}

unsigned free_port_base(unsigned count) {
    // Below the ephemeral range, so that no client socket takes one of them meanwhile.
    const unsigned slots = (32000 - 10000) / count;
    for (unsigned k = 0; k < 64; ++k) {
        const unsigned base = 10000 + ((static_cast<unsigned>(getpid()) + k * 7919u) % slots) * count;
        bool ok = true;
        for (unsigned p = base; ok && p < base + count; ++p) {
            for (int x = 1; ok && x <= 9; ++x) {
                ok = port_free(("127.0.1." + std::to_string(x)).c_str(), p);
            }
        }
        if (ok) {
            return base;
        }
    }
    throw std::runtime_error("no free UDP ports for the test");
}

bool wait_for(const std::function<bool()> &done, milliseconds limit, milliseconds step) {
    const auto until = steady_clock::now() + limit;
    for (;;) {
        if (done()) {
            return true;
        }
        if (steady_clock::now() > until) {
            return done();
        }
        std::this_thread::sleep_for(step);
    }
}

std::string launcher_path() {
    return TAVIK_TEST_LAUNCHER;
}

SimBmc::SimBmc(std::string addr, unsigned port, unsigned hb_port, std::string dir,
               std::vector<std::string> extra)
    : addr_(std::move(addr)),
      port_(port),
      hb_port_(hb_port),
      dir_(std::move(dir)),
      extra_(std::move(extra)) {}

SimBmc::~SimBmc() {
    if (launcher_ > 0) {
        kill_hard();
    }
}

std::string SimBmc::output() const {
    return read_text(dir_ + ".out");
}

bool SimBmc::start(std::string &why) {
    std::vector<std::string> argv = {launcher_path(),         "--addr", addr_, "--port",
                                     std::to_string(port_),   "--dir",  dir_,  "--hb-port",
                                     std::to_string(hb_port_)};
    argv.insert(argv.end(), extra_.begin(), extra_.end());
    const std::string out = dir_ + ".out";
    ::unlink(out.c_str());
    launcher_ = spawn(argv, out);
    const bool ready = wait_for(
        [&] {
            if (read_text(out).find(" ready, ") != std::string::npos) {
                return true;
            }
            int status = 0;
            if (waitpid(launcher_, &status, WNOHANG) == launcher_) {
                launcher_ = -1;
                return true;
            }
            return false;
        },
        seconds(8), milliseconds(5));
    if (!ready || launcher_ < 0) {
        why = "launcher for " + addr_ + " did not get ready: " + read_text(out);
        if (launcher_ > 0) {
            kill_hard();
        }
        return false;
    }
    return true;
}

pid_t SimBmc::simulator_pid() const {
    return static_cast<pid_t>(std::atol(read_text(dir_ + "/ipmi_sim.pid").c_str()));
}

std::string SimBmc::password() const {
    std::string pw = read_text(dir_ + "/password");
    return pw.substr(0, pw.find('\n'));
}

int SimBmc::stop() {
    if (launcher_ <= 0) {
        return -1;
    }
    kill(launcher_, SIGTERM);
    int status = wait_exit(launcher_, seconds(5));
    if (status < 0) {
        kill_hard();
        return -1;
    }
    launcher_ = -1;
    return status;
}

void SimBmc::kill_hard() {
    if (launcher_ <= 0) {
        return;
    }
    const pid_t sim = simulator_pid();
    kill(launcher_, SIGKILL);
    waitpid(launcher_, nullptr, 0);
    launcher_ = -1;
    // The simulator is not our child; it goes with its parent-death signal.
    if (sim > 0) {
        wait_for([&] { return process_gone(sim); }, seconds(5), milliseconds(2));
    }
}

}  // namespace tavik::test
