// SPDX-License-Identifier: GPL-3.0-or-later
// The change hooks of `tavikctl run --notify PROGRAM`: every change of a state or a
// status in the namespace and every start, stop and restart of the daemon runs PROGRAM
// once, with the change in its environment. Hooks run one at a time in the order of the
// changes, each in a process group of its own and bounded in time: one that hangs is
// killed with its group, one that fails is logged, and neither holds up the supervisor,
// which only looks at them between its signals (tick()). The supervisor is a child
// subreaper: whatever a hook leaves running (even in a session of its own) becomes its
// child and is killed when the hook ends. Each run checks the program again, as root
// runs it (program_trust.h). Single-threaded, like run.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "ipc_cli.h"

namespace tavikctl {

class Notifier {
  public:
    using Clock = std::chrono::steady_clock;
    // How often the namespace is looked at for changes.
    static constexpr std::chrono::milliseconds kPollEvery{100};
    // Events waiting beyond this many are dropped (and counted in the log).
    static constexpr std::size_t kQueueLimit = 1000;

    // An empty program makes every call a no-op.
    Notifier(std::string program, double timeout_s, std::string ns);
    Notifier(const Notifier &) = delete;
    Notifier &operator=(const Notifier &) = delete;
    ~Notifier();

    bool active() const { return !program_.empty(); }
    // The supervisor's child that is the daemon: never taken for a hook's leftover.
    void set_daemon_child(pid_t pid) { daemon_child_ = pid; }
    // "daemon-start", "daemon-restart", "daemon-stop", "daemon-died"; detail goes to
    // TAVIK_DETAIL (an exit status or a signal).
    void daemon_event(const std::string &event, int pid, const std::string &detail);
    // Looks for changes, reaps or kills the running hook and starts the next. Never waits.
    void tick();
    // When the supervisor should call tick() again at the latest.
    Clock::time_point next_tick() const { return last_poll_ + kPollEvery; }
    // Runs what is queued (each hook still bounded), for at most max_wait in all; what is
    // left then is dropped and logged.
    void finish(std::chrono::milliseconds max_wait);

  private:
    using Env = std::map<std::string, std::string>;
    void queue(Env env);
    void look_for_changes();
    void start_next();
    void check_running();
    void kill_leftovers();

    std::string program_;
    std::chrono::milliseconds timeout_;
    std::string ns_;
    std::deque<Env> queue_;
    unsigned long long sequence_ = 0;
    unsigned long long dropped_ = 0;
    pid_t running_ = -1;
    Env running_env_;
    Clock::time_point started_{};
    Clock::time_point last_poll_{};
    int daemon_pid_ = 0;
    pid_t daemon_child_ = -1;

    // What the namespace held at the last look.
    std::unique_ptr<IpcHandle> handle_;
    std::vector<int> states_, statuses_;
    std::vector<unsigned long long> state_counts_, status_counts_;
};

}  // namespace tavikctl
