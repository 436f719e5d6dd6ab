// SPDX-License-Identifier: GPL-3.0-or-later
// The test's side of a daemon process.
#include "daemon_runner.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <thread>

namespace {

sigset_t usr1_set() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGUSR1);
    return set;
}

// The daemon cannot build its table without a node named after the host it runs on, so
// a scenario that names no nodes gets the host alone, with priority 1.
nlohmann::json with_own_host(nlohmann::json scenario) {
    if (!scenario.contains("nodes")) {
        scenario["nodes"] = nlohmann::json::array({nlohmann::json::array({DaemonRunner::host_name(), 1})});
    }
    return scenario;
}

}  // namespace

std::string DaemonRunner::host_name() {
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    std::string name = host;
    return name.substr(0, name.find('.'));
}

DaemonRunner::DaemonRunner(const nlohmann::json &scenario) {
    char tmpl[] = "/tmp/tavik-process-XXXXXX";
    if (mkdtemp(tmpl) == nullptr) {
        throw std::runtime_error("mkdtemp failed");
    }
    dir_ = tmpl;
    scenario_path_ = dir_ + "/scenario.json";
    trace_path_ = dir_ + "/trace";
    std::ofstream(scenario_path_) << with_own_host(scenario).dump(2);
    sigset_t set = usr1_set();
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    drain_usr1();
}

DaemonRunner::~DaemonRunner() {
    if (pid_ > 0) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
    }
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
}

void DaemonRunner::start() {
    pid_ = fork();
    if (pid_ < 0) {
        throw std::runtime_error("fork failed");
    }
    if (pid_ == 0) {
        // The daemon sets its own signal mask; it must not inherit the test's.
        sigset_t none;
        sigemptyset(&none);
        pthread_sigmask(SIG_SETMASK, &none, nullptr);
        setenv("TAVIK_FAKE_SCENARIO", scenario_path_.c_str(), 1);
        setenv("TAVIK_FAKE_TRACE", trace_path_.c_str(), 1);
        execl(TAVIK_FAKE_DAEMON, "tavik", static_cast<char *>(nullptr));
        _exit(127);
    }
    child_ = pid_;
}

bool DaemonRunner::await_usr1(int timeout_ms) {
    sigset_t set = usr1_set();
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (std::chrono::steady_clock::now() < deadline) {
        timespec slice{0, 20 * 1000 * 1000};
        siginfo_t info;
        if (sigtimedwait(&set, &info, &slice) == SIGUSR1 && info.si_pid == child_) {
            return true;
        }
    }
    return false;
}

int DaemonRunner::drain_usr1() {
    sigset_t set = usr1_set();
    timespec zero{0, 0};
    siginfo_t info;
    int n = 0;
    while (sigtimedwait(&set, &info, &zero) == SIGUSR1) {
        n += info.si_pid == child_;
    }
    return n;
}

void DaemonRunner::signal(int signo) {
    kill(pid_, signo);
}

int DaemonRunner::wait_exit(int timeout_ms) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (std::chrono::steady_clock::now() < deadline) {
        int status = 0;
        pid_t done = waitpid(pid_, &status, WNOHANG);
        if (done == pid_) {
            pid_ = -1;
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
    pid_ = -1;
    return -1;
}

bool DaemonRunner::await_trace(const std::string &part, int timeout_ms) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (std::chrono::steady_clock::now() < deadline) {
        if (find(part) >= 0) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return false;
}

std::vector<std::string> DaemonRunner::trace() const {
    std::vector<std::string> lines;
    std::ifstream in(trace_path_);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    return lines;
}

int DaemonRunner::find(const std::string &part, int from) const {
    auto lines = trace();
    for (int i = from; i < static_cast<int>(lines.size()); ++i) {
        if (lines[static_cast<size_t>(i)].find(part) != std::string::npos) {
            return i;
        }
    }
    return -1;
}

int DaemonRunner::count(const std::string &part) const {
    int n = 0;
    for (const auto &line : trace()) {
        n += line.find(part) != std::string::npos;
    }
    return n;
}
