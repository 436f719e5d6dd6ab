// SPDX-License-Identifier: GPL-3.0-or-later
// Runs the daemon linked with the fakes as a child of the test, the way its parent
// cluster process would: hands it a scenario, waits for its SIGUSR1, sends it signals,
// and reads back the trace of every call and log record it made.
// One DaemonRunner per test; not thread-safe.
#pragma once

#include <gtest/gtest.h>
#include <sys/types.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

class DaemonRunner {
  public:
    // A scenario without "nodes" gets one node named after this host (priority 1), which
    // the daemon needs to find itself in the cluster.
    explicit DaemonRunner(const nlohmann::json &scenario);
    ~DaemonRunner();
    DaemonRunner(const DaemonRunner &) = delete;
    DaemonRunner &operator=(const DaemonRunner &) = delete;

    // Starts the daemon. SIGUSR1 is blocked in the test process so none is lost.
    void start();
    // Waits for SIGUSR1 from the daemon; false when none came within timeout_ms.
    bool await_usr1(int timeout_ms);
    // Counts the SIGUSR1s from the daemon that arrived since the last call, without waiting.
    int drain_usr1();
    void signal(int signo);
    // Waits for the daemon to end; its exit status, 128 + signal when killed by one, or
    // -1 when it did not end within timeout_ms (it is then killed).
    int wait_exit(int timeout_ms);
    // Waits until the trace holds a line containing `part`.
    bool await_trace(const std::string &part, int timeout_ms);

    // The running daemon's process id (for reading /proc), or -1 once it has been reaped.
    pid_t pid() const { return pid_; }

    std::vector<std::string> trace() const;
    // Index of the first trace line containing `part` at or after `from`, or -1.
    int find(const std::string &part, int from = 0) const;
    int count(const std::string &part) const;

    // This host's name up to its first dot: the node the daemon takes as its own.
    static std::string host_name();

  private:
    std::string dir_;
    std::string scenario_path_;
    std::string trace_path_;
    pid_t pid_ = -1;    // running child, -1 once reaped
    pid_t child_ = -1;  // the child started last, for matching its signals
};

// Asserts that trace lines containing `parts` appear in this order.
inline void expect_in_order(const DaemonRunner &d, const std::vector<std::string> &parts) {
    int at = 0;
    for (const auto &part : parts) {
        int found = d.find(part, at);
        ASSERT_GE(found, 0) << "missing, or out of order: " << part;
        at = found + 1;
    }
}
