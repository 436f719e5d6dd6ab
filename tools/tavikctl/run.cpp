// SPDX-License-Identifier: GPL-3.0-or-later
// `tavikctl run`: the daemon's parent. Starts the daemon, waits for its SIGUSR1, starts
// heartbeat checking with SIGUSR2, turns SIGTERM and SIGINT into the daemon's orderly
// stop, and restarts a daemon that died abnormally in resume mode, with back-off and a
// limit. Single-threaded: every signal is taken synchronously with sigtimedwait. Under
// systemd (Type=notify) it reports the daemon's readiness and the start of a stop.
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <stdexcept>
#include <string>

#include "command.h"
#include "daemon_path.h"
#include "ipc_cli.h"
#include "notify.h"
#include "program_trust.h"
#include "supervisor_record.h"

namespace tavikctl {
namespace {

// The daemon's status after a segment of its namespace changed under it.
constexpr int kExitNamespaceChanged = 11;

struct RunOptions {
    std::string daemon;
    std::string ns;
    double start_after = 0;
    int max_restarts = 5;
    int ready_timeout = 30;
    std::string notify;  // hook program; $TAVIK_NOTIFY when not given
    double notify_timeout = 10;
};

void say(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
void say(const char *fmt, ...) {
    char stamp[32];
    std::time_t now = std::time(nullptr);
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", std::localtime(&now));
    std::fprintf(stderr, "%s tavikctl run[%d]: ", stamp, static_cast<int>(getpid()));
    va_list ap;
    va_start(ap, fmt);
    std::vfprintf(stderr, fmt, ap);
    va_end(ap);
    std::fputc('\n', stderr);
}

// Tells the next daemon whether it is being restarted (1) or starts fresh (0).
bool set_waitstat(const std::string &ns, int waitstat, std::string &err) {
    try {
        IpcHandle handle(ns);
        if (int rc = ipc_set_waitstat(handle.get(), waitstat); rc != 0) {
            throw_ipc(ns, "cannot set the wait status", rc);
        }
        return true;
    } catch (const std::exception &e) {
        err = e.what();
        return false;
    }
}

sigset_t handled_signals() {
    sigset_t set;
    sigemptyset(&set);
    for (int s : {SIGUSR1, SIGTERM, SIGINT, SIGCHLD}) {
        sigaddset(&set, s);
    }
    return set;
}

// How one run of the daemon ended.
struct Outcome {
    pid_t pid = -1;
    bool stopped_by_us = false;  // SIGTERM/SIGINT was turned into SIGUSR1
    int status = 0;              // exit status, or 128 + signal
    bool abnormal = false;       // killed by a signal or a non-zero status
};

// Starts the daemon from the descriptor its checks were made on.
pid_t spawn(const RunOptions &opt, int fd) {
    pid_t pid = fork();
    if (pid == 0) {
        sigset_t none;
        sigemptyset(&none);
        sigprocmask(SIG_SETMASK, &none, nullptr);
        char name[] = "tavik";
        char *const argv[] = {name, nullptr};
        exec_program(fd, argv);
        std::fprintf(stderr, "tavikctl run: cannot start %s: %s\n", opt.daemon.c_str(), std::strerror(errno));
        _exit(127);
    }
    return pid;
}

// The daemon as it is now, checked again at every start: it may have been replaced.
int open_daemon(const RunOptions &opt) {
    try {
        return open_trusted_program(opt.daemon, "daemon");
    } catch (const std::exception &e) {
        say("%s", e.what());
        return -1;
    }
}

Outcome reap(pid_t pid, bool stopped_by_us) {
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    Outcome out;
    out.pid = pid;
    out.stopped_by_us = stopped_by_us;
    if (WIFSIGNALED(status)) {
        out.status = 128 + WTERMSIG(status);
        out.abnormal = true;
        say("daemon %d killed by signal %d (%s)", static_cast<int>(pid), WTERMSIG(status),
            strsignal(WTERMSIG(status)));
    } else {
        out.status = WEXITSTATUS(status);
        out.abnormal = out.status != 0;
        say("daemon %d exited with status %d", static_cast<int>(pid), out.status);
    }
    return out;
}

// Waits for the next handled signal until the deadline (steady clock); 0 on time-out.
int next_signal(const sigset_t &set, std::chrono::steady_clock::time_point deadline, siginfo_t &info) {
    for (;;) {
        auto left = deadline - std::chrono::steady_clock::now();
        if (left <= std::chrono::steady_clock::duration::zero()) {
            return 0;
        }
        auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(left).count();
        timespec ts{static_cast<time_t>(ns / 1000000000), static_cast<long>(ns % 1000000000)};
        int s = sigtimedwait(&set, &info, &ts);
        if (s > 0) {
            return s;
        }
        if (errno != EAGAIN && errno != EINTR) {
            return 0;
        }
    }
}

// Hands a stop on to the daemon (its SIGUSR1) and tells systemd that it is under way.
void pass_stop(pid_t pid) {
    sd_notify(0, "STOPPING=1");
    kill(pid, SIGUSR1);
}

// Supervises one daemon process from its start to its end.
Outcome supervise(const RunOptions &opt, bool &stop_requested, Notifier &notify, SupervisorRecord &record,
                  bool restart) {
    const sigset_t set = handled_signals();
    const int fd = open_daemon(opt);
    if (fd < 0) {
        return {-1, false, 1, false};
    }
    pid_t pid = spawn(opt, fd);
    const int err = errno;
    close(fd);
    if (pid < 0) {
        char text[128];
        say("fork failed: %s", strerror_r(err, text, sizeof text));
        return {-1, false, 1, false};
    }
    notify.set_daemon_child(pid);
    record.child_started(pid);
    say("started daemon %d (%s)", static_cast<int>(pid), opt.daemon.c_str());
    using clock = std::chrono::steady_clock;
    const auto forever = clock::now() + std::chrono::hours(24 * 365 * 100);
    auto ready_deadline = clock::now() + std::chrono::seconds(opt.ready_timeout);
    auto start_at = forever;
    bool ready = false;
    bool stopping = false;
    for (;;) {
        siginfo_t info{};
        auto deadline = !ready ? ready_deadline : start_at;
        // Hooks are looked after between signals; their polls are not the deadline.
        int s = next_signal(set, notify.active() ? std::min(deadline, notify.next_tick()) : deadline, info);
        notify.tick();
        if (s == 0 && clock::now() < deadline) {
            continue;
        }
        if (s == 0) {
            if (!ready) {
                say("daemon %d did not signal readiness within %d s; stopping it", static_cast<int>(pid),
                    opt.ready_timeout);
                kill(pid, SIGKILL);
                Outcome out = reap(pid, false);
                out.status = 1;
                out.abnormal = false;  // a daemon that never comes up is not restarted
                return out;
            }
            kill(pid, SIGUSR2);
            say("started heartbeat checking (SIGUSR2 to %d)", static_cast<int>(pid));
            start_at = forever;
            continue;
        }
        if (s == SIGUSR1 && info.si_pid == pid && !ready) {
            ready = true;
            say("daemon %d is up", static_cast<int>(pid));
            record.child_ready();
            notify.daemon_event(restart ? "daemon-restart" : "daemon-start", pid, "");
            sd_notify(0, "READY=1");
            if (stopping) {
                pass_stop(pid);  // the stop asked for before it could take one
            } else {
                start_at =
                    clock::now() + std::chrono::milliseconds(static_cast<long>(opt.start_after * 1000));
            }
        } else if (s == SIGTERM || s == SIGINT) {
            say("%s received: stopping daemon %d", s == SIGTERM ? "SIGTERM" : "SIGINT",
                static_cast<int>(pid));
            stop_requested = true;
            stopping = true;
            start_at = forever;
            // Until its readiness signal the daemon may not have its dispositions yet, and
            // SIGUSR1's default action would kill it; the stop then waits for that signal.
            if (ready) {
                pass_stop(pid);
            }
        } else if (s == SIGCHLD) {
            siginfo_t child{};
            if (waitid(P_PID, static_cast<id_t>(pid), &child, WEXITED | WNOHANG | WNOWAIT) == 0 &&
                child.si_pid == pid) {
                return reap(pid, stopping);
            }
        }
    }
}

int run(const RunOptions &given) {
    RunOptions opt = given;
    if (opt.daemon.empty()) {
        opt.daemon = default_daemon_path();
    }
    try {
        close(open_trusted_program(opt.daemon, "daemon"));
        opt.ns = chosen_namespace(opt.ns);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "tavikctl run: %s\n", e.what());
        return 1;
    }
    // The daemon finds its namespace in the environment it inherits.
    setenv("TAVIK_IPC_NAME", opt.ns.c_str(), 1);
    const sigset_t set = handled_signals();
    sigprocmask(SIG_BLOCK, &set, nullptr);
    // A fresh start: the first daemon takes no states over.
    if (std::string err; !set_waitstat(opt.ns, 0, err)) {
        std::fprintf(stderr, "tavikctl run: %s\n", err.c_str());
        return 1;
    }
    if (opt.notify.empty() && std::getenv("TAVIK_NOTIFY") != nullptr) {
        opt.notify = std::getenv("TAVIK_NOTIFY");
    }
    if (!opt.notify.empty()) {
        try {
            close(open_trusted_program(opt.notify, "hook"));
        } catch (const std::exception &e) {
            (void)std::fprintf(stderr, "tavikctl run: %s\n", e.what());
            return 1;
        }
    }
    // Orphans of the hooks become this process's children, so that none outlives them.
    prctl(PR_SET_CHILD_SUBREAPER, 1);
    Notifier notify(opt.notify, opt.notify_timeout, opt.ns);
    SupervisorRecord record(opt.ns);
    // Every way out: the record says the supervisor ended, and queued hooks get a bounded
    // chance to run.
    auto finish = [&](int status) {
        record.stopped();
        notify.finish(std::chrono::milliseconds(static_cast<long>(opt.notify_timeout * 1000) + 2000));
        return status;
    };
    bool stop_requested = false;
    int restarts = 0;
    for (;;) {
        Outcome out = supervise(opt, stop_requested, notify, record, restarts > 0);
        if (out.pid > 0) {
            record.child_ended(out.status);
            notify.daemon_event(out.abnormal && !out.stopped_by_us ? "daemon-died" : "daemon-stop", out.pid,
                                std::to_string(out.status));
        }
        if (!out.abnormal || stop_requested) {
            return finish(out.status);
        }
        if (configuration_exit(out.status)) {
            say("not restarting: status %d means the configuration or the heartbeat table cannot be loaded, "
                "which a restart does not cure; check it with `tavikctl check-config`",
                out.status);
            return finish(out.status);
        }
        if (out.status == kExitNamespaceChanged) {
            say("not restarting: status %d means a segment of namespace \"%s\" was truncated or rewritten "
                "under the daemon (its log says which), and a restart would attach to the same one; "
                "recreate it with `tavikctl init --force`",
                out.status, opt.ns.c_str());
            return finish(out.status);
        }
        if (restarts == opt.max_restarts) {
            say("giving up after %d restarts", restarts);
            return finish(out.status);
        }
        ++restarts;
        const int backoff = std::min(1 << (restarts - 1), 30);
        say("restarting in resume mode in %d s (restart %d of %d)", backoff, restarts, opt.max_restarts);
        if (std::string err; !set_waitstat(opt.ns, 1, err)) {
            say("%s", err.c_str());
        }
        siginfo_t info{};
        auto until = std::chrono::steady_clock::now() + std::chrono::seconds(backoff);
        for (;;) {
            int s = next_signal(set, notify.active() ? std::min(until, notify.next_tick()) : until, info);
            notify.tick();
            if (s == SIGTERM || s == SIGINT) {
                say("stop requested during back-off");
                return finish(out.status);
            }
            if (s == 0 && std::chrono::steady_clock::now() >= until) {
                break;
            }
        }
    }
}

CommandRegistrar run_command([](CLI::App &app) {
    auto opt = std::make_shared<RunOptions>();
    auto *cmd = app.add_subcommand("run", "run the daemon as its parent: start, supervise, restart, stop");
    cmd->add_option("--daemon", opt->daemon, "path of the daemon binary");
    add_namespace_option(cmd, opt->ns);
    cmd->add_option("--start-after", opt->start_after, "seconds from the daemon's readiness to SIGUSR2")
        ->check(CLI::Range(0.0, 86400.0));
    cmd->add_option("--max-restarts", opt->max_restarts, "restarts after abnormal ends before giving up")
        ->check(CLI::Range(0, 1000));
    cmd->add_option("--ready-timeout", opt->ready_timeout, "seconds to wait for the daemon's SIGUSR1")
        ->check(CLI::Range(1, 3600));
    cmd->add_option("--notify", opt->notify,
                    "program run on every state and status change and on the daemon's start, stop and "
                    "restart (default: $TAVIK_NOTIFY)");
    cmd->add_option("--notify-timeout", opt->notify_timeout, "seconds a hook may run before it is killed")
        ->check(CLI::Range(0.1, 3600.0));
    cmd->callback([opt] { exit_code() = run(*opt); });
});

}  // namespace
}  // namespace tavikctl
