// SPDX-License-Identifier: GPL-3.0-or-later
// Whether the view of a namespace is live: the daemon recorded in its liveness block,
// whether that process still exists, whether its threads still cycle within what their
// own cycles allow, and the verdict on the states, as one exit status for monitoring
// (0 normal, 1 caution, 2 error, stale or no daemon, 3 cannot tell).
// Pure functions of a snapshot, a liveness copy, the process table's answer and the
// configured timing, so that the rules are tested without a daemon.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "detection.h"
#include "zvripc_health.h"

namespace tavikctl {

// The exit statuses of `status` and `status --check`.
enum HealthCode { kHealthOk = 0, kHealthCaution = 1, kHealthError = 2, kHealthUnknown = 3 };
const char *health_word(int code);  // "OK", "CAUTION", "ERROR", "UNKNOWN"

// How long each thread of the daemon may go without a stamp: two of its own cycles. The
// watch thread scans every interval; the check thread polls every second plus the
// interval and waits up to the target time-out for the answers.
struct CycleLimits {
    double watch_cycle_s = 0;  // 0: no watch thread configured
    double check_cycle_s = 0;
    double watch_limit_s = 0;
    double check_limit_s = 0;
};
CycleLimits cycle_limits(const DetectionWindows &w);

// What the process table says about a pid: absent, its start time differs (reused), a
// zombie, stopped by a signal, or running.
enum class ProcessState { kGone, kRunning, kStopped };
ProcessState process_state(int pid, unsigned long long start_ticks);

struct ThreadHealth {
    std::string name;  // "watch" or "check"
    bool expected = false;
    bool seen = false;  // stamped at least once by this daemon
    double age_s = 0;   // since the last stamp (or the attach when never seen)
    double limit_s = 0;
    bool stale = false;
};

struct Health {
    int code = kHealthOk;
    std::string daemon;  // "up", "none", "detached", "gone", "stopped", "not cycling", "starting"
    int pid = 0;
    double up_s = 0;          // since the daemon attached
    double last_seen_s = -1;  // since its last sign of life; -1 when none
    std::vector<ThreadHealth> threads;
    std::string headline;  // the words line at the top of `status`
    std::vector<std::string> problems;
};

// states_code: the verdict on the statuses and states alone (worst_state_code).
Health evaluate_health(const zvripc_snapshot &snap, const zvripc_liveness &live, ProcessState process,
                       const CycleLimits &limits, int states_code);

// The verdict on the statuses: error 2; caution, unknown 1; normal, unused 0; an unknown
// code 3. States of the pairs do not count: an offline peer is what the cluster acts on.
int worst_state_code(const zvripc_snapshot &snap);

// The latest stamp of any slot of the daemon, in monotonic nanoseconds; 0 when none.
long long last_stamp_mono(const zvripc_liveness &live);

}  // namespace tavikctl
