// SPDX-License-Identifier: GPL-3.0-or-later
#include "notify.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <thread>
#include <tuple>

#include "program_trust.h"

namespace tavikctl {

namespace {

void note(int priority, const char *fmt, ...) __attribute__((format(printf, 2, 3)));
void note(int priority, const char *fmt, ...) {
    char text[1024];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(text, sizeof text, fmt, ap);
    va_end(ap);
    std::fprintf(stderr, "tavikctl run[%d]: %s\n", static_cast<int>(getpid()), text);
    syslog(priority, "%s", text);
}

std::string now_text() {
    timespec ts{};
    clock_gettime(CLOCK_REALTIME, &ts);
    return wall_time_text(ts.tv_sec * 1000000000LL + ts.tv_nsec);
}

std::string describe(const std::map<std::string, std::string> &env) {
    auto get = [&](const char *key) {
        auto it = env.find(key);
        return it != env.end() ? it->second : std::string();
    };
    std::string text = get("TAVIK_EVENT");
    if (!get("TAVIK_RESOURCE").empty()) {
        text += " " + get("TAVIK_RESOURCE");
    }
    if (!get("TAVIK_NODE").empty()) {
        text += " on " + get("TAVIK_NODE");
    }
    if (!get("TAVIK_NEW").empty()) {
        text += " " + get("TAVIK_OLD") + " -> " + get("TAVIK_NEW");
    }
    return text;
}

}  // namespace

Notifier::Notifier(std::string program, double timeout_s, std::string ns)
    : program_(std::move(program)), timeout_(static_cast<long>(timeout_s * 1000)), ns_(std::move(ns)) {}

Notifier::~Notifier() {
    if (running_ > 0) {
        kill(-running_, SIGKILL);
        waitpid(running_, nullptr, 0);
        kill_leftovers();
    }
}

namespace {

// This process's children but `keep`, from /proc.
std::vector<pid_t> children_but(pid_t keep) {
    std::vector<pid_t> found;
    std::unique_ptr<DIR, int (*)(DIR *)> proc(opendir("/proc"), &closedir);
    if (!proc) {
        return found;
    }
    const pid_t self = getpid();
    // NOLINTNEXTLINE(concurrency-mt-unsafe): run is single-threaded, and the stream is its own
    while (const dirent *e = readdir(proc.get())) {
        char *end = nullptr;
        const long pid = std::strtol(e->d_name, &end, 10);
        if (*end != '\0' || pid <= 0 || pid == keep) {
            continue;
        }
        char path[64];
        (void)std::snprintf(path, sizeof path, "/proc/%ld/stat", pid);
        FILE *f = std::fopen(path, "re");
        if (f == nullptr) {
            continue;
        }
        char line[512] = {};
        const bool read = std::fgets(line, sizeof line, f) != nullptr;
        (void)std::fclose(f);
        // "pid (comm) state ppid ...": comm may hold anything, so after its last ')'.
        const char *close = read ? std::strrchr(line, ')') : nullptr;
        long ppid = -1;
        if (close != nullptr && std::sscanf(close + 1, " %*c %ld", &ppid) == 1 && ppid == self) {
            found.push_back(static_cast<pid_t>(pid));
        }
    }
    return found;
}

}  // namespace

// Between hooks no child but the daemon belongs here: every other one is something a
// hook left behind (handed to this subreaper when its parent ended). Killing one can
// orphan its own children to us in turn, hence the rounds.
void Notifier::kill_leftovers() {
    constexpr int kRounds = 16;
    for (int round = 0; round < kRounds; ++round) {
        std::vector<pid_t> left = children_but(daemon_child_);
        if (left.empty()) {
            return;
        }
        for (pid_t pid : left) {
            kill(pid, SIGKILL);
            waitpid(pid, nullptr, 0);
        }
        note(LOG_WARNING, "killed %zu process%s a hook left running", left.size(),
             left.size() == 1 ? "" : "es");
    }
}

void Notifier::queue(Env env) {
    if (queue_.size() >= kQueueLimit) {
        ++dropped_;
        note(LOG_WARNING, "hook queue full (%zu waiting): dropped %s (%llu dropped in all)", queue_.size(),
             describe(env).c_str(), dropped_);
        return;
    }
    env["TAVIK_SEQUENCE"] = std::to_string(++sequence_);
    env["TAVIK_NAMESPACE"] = ns_;
    if (env.find("TAVIK_TIME") == env.end()) {
        env["TAVIK_TIME"] = now_text();
    }
    if (daemon_pid_ > 0 && env.find("TAVIK_DAEMON_PID") == env.end()) {
        env["TAVIK_DAEMON_PID"] = std::to_string(daemon_pid_);
    }
    queue_.push_back(std::move(env));
}

void Notifier::daemon_event(const std::string &event, int pid, const std::string &detail) {
    if (!active()) {
        return;
    }
    daemon_pid_ = pid;
    // Changes the namespace holds before this event are announced before it.
    look_for_changes();
    queue({{"TAVIK_EVENT", event}, {"TAVIK_DAEMON_PID", std::to_string(pid)}, {"TAVIK_DETAIL", detail}});
    check_running();
}

void Notifier::look_for_changes() {
    last_poll_ = Clock::now();
    if (handle_ && ipc_check(handle_->get()) != ZVRIPC_OK) {
        handle_.reset();  // removed or replaced: start again from what the new one holds
    }
    bool baseline = false;
    if (!handle_) {
        try {
            handle_ = std::make_unique<IpcHandle>(ns_);
        } catch (const std::exception &) {
            return;
        }
        baseline = true;
    }
    zvripc_snapshot *raw = nullptr;
    if (ipc_snapshot(handle_->get(), &raw) != ZVRIPC_OK) {
        return;
    }
    Snapshot snap(raw);
    const std::size_t pairs = static_cast<std::size_t>(snap->rsc_count) * snap->node_count;
    if (baseline || states_.size() != pairs ||
        statuses_.size() != static_cast<std::size_t>(snap->rsc_count)) {
        states_.assign(snap->states, snap->states + pairs);
        statuses_.assign(snap->resources == nullptr ? 0 : snap->rsc_count, 0);
        state_counts_.assign(pairs, 0);
        status_counts_.assign(snap->rsc_count, 0);
        for (int r = 0; r < snap->rsc_count; ++r) {
            statuses_[r] = snap->resources[r].status;
            status_counts_[r] = snap->status_history[r].changes;
        }
        for (std::size_t i = 0; i < pairs; ++i) {
            state_counts_[i] = snap->state_history[i].changes;
        }
        return;
    }
    // Every value whose change count moved, in the order of the last changes.
    std::vector<std::tuple<long long, int, int>> changed;  // (mono, resource, node or -1)
    for (int r = 0; r < snap->rsc_count; ++r) {
        if (snap->status_history[r].changes != status_counts_[r]) {
            changed.emplace_back(snap->status_history[r].last_mono_ns, r, -1);
        }
        for (int n = 0; n < snap->node_count; ++n) {
            const std::size_t i = static_cast<std::size_t>(r) * snap->node_count + n;
            if (snap->state_history[i].changes != state_counts_[i]) {
                changed.emplace_back(snap->state_history[i].last_mono_ns, r, n);
            }
        }
    }
    std::stable_sort(changed.begin(), changed.end(),
                     [](const auto &a, const auto &b) { return std::get<0>(a) < std::get<0>(b); });
    for (const auto &[mono, r, n] : changed) {
        const zvripc_snap_rsc &rsc = snap->resources[r];
        Env env = {{"TAVIK_RESOURCE", rsc.name}, {"TAVIK_RESOURCE_TYPE", rsc.type}};
        if (n < 0) {
            env["TAVIK_EVENT"] = "status";
            env["TAVIK_OLD"] = status_name(statuses_[r]);
            env["TAVIK_NEW"] = status_name(rsc.status);
            env["TAVIK_CHANGES"] = std::to_string(snap->status_history[r].changes - status_counts_[r]);
            env["TAVIK_TIME"] = wall_time_text(snap->status_history[r].last_wall_ns);
            statuses_[r] = rsc.status;
            status_counts_[r] = snap->status_history[r].changes;
        } else {
            const std::size_t i = static_cast<std::size_t>(r) * snap->node_count + n;
            env["TAVIK_EVENT"] = "state";
            env["TAVIK_NODE"] = snap->nodes[n].name;
            env["TAVIK_NODE_ID"] = std::to_string(snap->nodes[n].priority);
            env["TAVIK_OLD"] = state_name(states_[i]);
            env["TAVIK_NEW"] = state_name(snap->states[i]);
            env["TAVIK_CHANGES"] = std::to_string(snap->state_history[i].changes - state_counts_[i]);
            env["TAVIK_TIME"] = wall_time_text(snap->state_history[i].last_wall_ns);
            states_[i] = snap->states[i];
            state_counts_[i] = snap->state_history[i].changes;
        }
        queue(std::move(env));
    }
}

void Notifier::start_next() {
    if (running_ > 0 || queue_.empty()) {
        return;
    }
    running_env_ = std::move(queue_.front());
    queue_.pop_front();
    int fd = -1;
    try {
        fd = open_trusted_program(program_, "hook");
    } catch (const std::exception &e) {
        note(LOG_ERR, "%s; not run for %s", e.what(), describe(running_env_).c_str());
        return;
    }
    pid_t pid = fork();
    if (pid < 0) {
        note(LOG_ERR, "hook %s: cannot fork for %s: %s", program_.c_str(), describe(running_env_).c_str(),
             std::strerror(errno));
        close(fd);
        return;
    }
    if (pid == 0) {
        // A group of its own, so that a hung hook is killed with whatever it started.
        setpgid(0, 0);
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        int devnull = open("/dev/null", O_RDONLY);
        if (devnull >= 0) {
            dup2(devnull, STDIN_FILENO);
        }
        for (const auto &[key, value] : running_env_) {
            setenv(key.c_str(), value.c_str(), 1);
        }
        char *const argv[] = {const_cast<char *>(program_.c_str()), nullptr};
        exec_program(fd, argv);
        std::fprintf(stderr, "tavikctl run: hook %s cannot start: %s\n", program_.c_str(),
                     std::strerror(errno));
        _exit(127);
    }
    setpgid(pid, pid);  // also here, so that a kill right away reaches the group
    close(fd);
    running_ = pid;
    started_ = Clock::now();
}

void Notifier::check_running() {
    for (;;) {
        if (running_ > 0) {
            int status = 0;
            pid_t done = waitpid(running_, &status, WNOHANG);
            if (done == running_) {
                if (WIFSIGNALED(status) || WEXITSTATUS(status) != 0) {
                    note(LOG_WARNING, "hook %s for %s failed (%s %d)", program_.c_str(),
                         describe(running_env_).c_str(), WIFSIGNALED(status) ? "signal" : "status",
                         WIFSIGNALED(status) ? WTERMSIG(status) : WEXITSTATUS(status));
                }
                running_ = -1;
                kill_leftovers();
            } else if (Clock::now() - started_ >= timeout_) {
                kill(-running_, SIGKILL);
                waitpid(running_, nullptr, 0);
                note(LOG_WARNING, "hook %s for %s did not end within %lld ms: killed", program_.c_str(),
                     describe(running_env_).c_str(), static_cast<long long>(timeout_.count()));
                running_ = -1;
                kill_leftovers();
            } else {
                return;
            }
        }
        if (queue_.empty()) {
            return;
        }
        start_next();
    }
}

void Notifier::tick() {
    if (!active()) {
        return;
    }
    if (Clock::now() >= next_tick()) {
        look_for_changes();
    }
    check_running();
}

void Notifier::finish(std::chrono::milliseconds max_wait) {
    if (!active()) {
        return;
    }
    look_for_changes();
    const auto until = Clock::now() + max_wait;
    check_running();
    while ((running_ > 0 || !queue_.empty()) && Clock::now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        check_running();
    }
    if (running_ > 0 || !queue_.empty()) {
        note(LOG_WARNING, "stopping: %zu hook run%s not made", queue_.size() + (running_ > 0 ? 1 : 0),
             queue_.size() + (running_ > 0 ? 1 : 0) == 1 ? "" : "s");
    }
}

}  // namespace tavikctl
