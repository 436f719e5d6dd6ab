// SPDX-License-Identifier: GPL-3.0-or-later
#include "health.h"

#include <algorithm>
#include <cstdio>

#include "ipc_cli.h"

namespace tavikctl {

namespace {

double seconds(long long ns) {
    return static_cast<double>(ns) / 1e9;
}

std::string whole_seconds(double s) {
    return duration_text(static_cast<long long>(s * 1e9));
}

// The slots the recorded daemon's threads hold.
std::vector<const zvripc_thread_stamp *> daemon_slots(const zvripc_liveness &live) {
    std::vector<const zvripc_thread_stamp *> out;
    for (const zvripc_thread_stamp &t : live.threads) {
        if (t.pid != 0 && t.pid == live.daemon_pid) {
            out.push_back(&t);
        }
    }
    return out;
}

// The check thread is the one that reads states; the main thread does too while it
// starts, so the one read last counts. The watch thread reads the ratio and never a state.
ThreadHealth thread_health(const zvripc_liveness &live, bool check, double limit_s) {
    ThreadHealth h;
    h.name = check ? "check" : "watch";
    h.expected = limit_s > 0;
    h.limit_s = limit_s;
    long long last = 0;
    for (const zvripc_thread_stamp *t : daemon_slots(live)) {
        if (check && t->state_reads > 0) {
            last = std::max(last, t->state_mono_ns);
        } else if (!check && t->state_reads == 0 && t->ratio_reads > 0) {
            last = std::max(last, t->ratio_mono_ns);
        }
    }
    h.seen = last != 0;
    h.age_s = seconds(live.taken_mono_ns - (h.seen ? last : live.attach_mono_ns));
    h.stale = h.expected && h.age_s > limit_s;
    return h;
}

}  // namespace

const char *health_word(int code) {
    switch (code) {
        case kHealthOk:
            return "OK";
        case kHealthCaution:
            return "CAUTION";
        case kHealthError:
            return "ERROR";
        default:
            return "UNKNOWN";
    }
}

CycleLimits cycle_limits(const DetectionWindows &w) {
    CycleLimits c;
    if (w.settings.watchth != 0) {
        c.watch_cycle_s = w.settings.hbint / 1000.0;
        c.watch_limit_s = 2 * c.watch_cycle_s;
    }
    c.check_cycle_s = w.poll_period_s + w.target_timeout_used_s;
    c.check_limit_s = 2 * c.check_cycle_s;
    return c;
}

ProcessState process_state(int pid, unsigned long long start_ticks) {
    char state = 0;
    unsigned long long ticks = ipc_process_start_ticks(pid, &state);
    if (ticks == 0 || ticks != start_ticks || state == 'Z' || state == 'X') {
        return ProcessState::kGone;
    }
    return state == 'T' || state == 't' ? ProcessState::kStopped : ProcessState::kRunning;
}

long long last_stamp_mono(const zvripc_liveness &live) {
    long long last = 0;
    for (const zvripc_thread_stamp *t : daemon_slots(live)) {
        last = std::max({last, t->ratio_mono_ns, t->state_mono_ns});
    }
    return last;
}

int worst_state_code(const zvripc_snapshot &snap) {
    int worst = kHealthOk;
    for (int r = 0; r < snap.rsc_count; ++r) {
        int code = kHealthUnknown;
        switch (snap.resources[r].status) {
            case 0:
            case 15:
                code = kHealthOk;
                break;
            case 3:
            case 9:
                code = kHealthCaution;
                break;
            case 4:
                code = kHealthError;
                break;
            default:
                break;
        }
        // UNKNOWN ranks above ERROR only as a code: an error is still worse news.
        if (worst != kHealthError) {
            worst = code == kHealthError ? code : std::max(worst, code);
        }
    }
    return worst;
}

Health evaluate_health(const zvripc_snapshot &snap, const zvripc_liveness &live, ProcessState process,
                       const CycleLimits &limits, int states_code) {
    Health h;
    h.pid = live.daemon_pid;
    const long long last = std::max(last_stamp_mono(live), live.attach_mono_ns);
    if (live.daemon_pid != 0) {
        h.up_s = seconds(live.taken_mono_ns - live.attach_mono_ns);
        h.last_seen_s = seconds(live.taken_mono_ns - (live.daemon_detached ? live.detach_mono_ns : last));
    }
    char buf[256];
    if (live.daemon_pid == 0) {
        h.daemon = "none";
        std::snprintf(buf, sizeof buf, "NO DAEMON: none has attached since the namespace was created %s ago",
                      duration_text(snap.taken_mono_ns - snap.created_mono_ns).c_str());
    } else if (live.daemon_detached != 0 || process == ProcessState::kGone) {
        h.daemon = live.daemon_detached != 0 ? "detached" : "gone";
        std::snprintf(buf, sizeof buf, "NO DAEMON: states below are from %s ago (daemon %d %s)",
                      whole_seconds(h.last_seen_s).c_str(), h.pid,
                      live.daemon_detached != 0 ? "stopped" : "is gone");
    } else {
        h.threads = {thread_health(live, true, limits.check_limit_s),
                     thread_health(live, false, limits.watch_limit_s)};
        const ThreadHealth &check = h.threads[0];
        std::string cycles;
        bool stale = false;
        for (const ThreadHealth &t : h.threads) {
            if (!t.expected) {
                continue;
            }
            char part[128];
            if (t.stale) {
                stale = true;
                std::snprintf(part, sizeof part, ", %s thread NOT CYCLING for %s (allowed %s)",
                              t.name.c_str(), whole_seconds(t.age_s).c_str(),
                              whole_seconds(t.limit_s).c_str());
            } else if (t.seen) {
                std::snprintf(part, sizeof part, ", %s cycle %s ago", t.name.c_str(),
                              whole_seconds(t.age_s).c_str());
            } else {
                std::snprintf(part, sizeof part, ", %s thread not yet seen", t.name.c_str());
            }
            cycles += part;
        }
        if (process == ProcessState::kStopped) {
            h.daemon = "stopped";
            std::snprintf(buf, sizeof buf, "DAEMON STOPPED: daemon %d is stopped by a signal, not cycling%s",
                          h.pid, cycles.c_str());
        } else {
            h.daemon = stale ? "not cycling" : (check.seen ? "up" : "starting");
            std::snprintf(buf, sizeof buf, "%sdaemon %d up %s%s", stale ? "DAEMON NOT CYCLING: " : "", h.pid,
                          whole_seconds(h.up_s).c_str(), cycles.c_str());
        }
    }
    h.headline = buf;
    const bool live_daemon = h.daemon == "up" || h.daemon == "starting";
    h.code = live_daemon ? states_code : kHealthError;
    if (!live_daemon) {
        h.problems.push_back(h.headline);
    }
    return h;
}

}  // namespace tavikctl
