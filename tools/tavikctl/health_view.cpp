// SPDX-License-Identifier: GPL-3.0-or-later
#include "health_view.h"

#include <unistd.h>

namespace tavikctl {

namespace {

double rounded(double s) {
    return static_cast<double>(static_cast<long long>(s * 1000)) / 1000.0;
}

nlohmann::ordered_json wall_or_null(long long ns) {
    return ns != 0 ? nlohmann::ordered_json(wall_time_text(ns)) : nlohmann::ordered_json(nullptr);
}

const char *phase_name(int phase) {
    switch (phase) {
        case ZVRIPC_SUPERVISOR_STARTING:
            return "starting";
        case ZVRIPC_SUPERVISOR_RUNNING:
            return "running";
        case ZVRIPC_SUPERVISOR_BACKOFF:
            return "backoff";
        case ZVRIPC_SUPERVISOR_STOPPED:
            return "stopped";
        default:
            return "none";
    }
}

}  // namespace

HealthView read_health(const IpcHandle &handle, const zvripc_snapshot &snap,
                       const std::optional<DetectionWindows> &windows) {
    HealthView v;
    if (int rc = ipc_liveness(handle.get(), &v.live)) {
        throw_ipc(handle.name(), "cannot read the liveness record", rc);
    }
    v.limits_from_defaults = !windows;
    v.limits = cycle_limits(windows ? *windows
                                    : compute_windows(TimingSettings{}, snap.ratio, sysconf(_SC_CLK_TCK)));
    const ProcessState process = process_state(v.live.daemon_pid, v.live.daemon_start_ticks);
    v.health = evaluate_health(snap, v.live, process, v.limits, worst_state_code(snap));
    v.layout = ipc_handle_layout(handle.get());
    if (int layout = handle.older_layout()) {
        // Nothing about the daemon is recorded there: only the statuses can be judged.
        v.health = Health{};
        v.health.code = worst_state_code(snap);
        v.health.daemon = "unrecorded";
        v.health.headline = older_layout_line(layout);
    }
    return v;
}

nlohmann::ordered_json supervisor_json(const zvripc_supervisor &s) {
    if (s.pid == 0) {
        return nullptr;
    }
    return {{"pid", s.pid},
            {"alive", process_state(s.pid, s.start_ticks) != ProcessState::kGone},
            {"phase", phase_name(s.phase)},
            {"child_pid", s.child_pid},
            {"restarts", s.restarts},
            {"last_exit",
             s.last_exit >= 0 ? nlohmann::ordered_json(s.last_exit) : nlohmann::ordered_json(nullptr)},
            {"last_exit_time", wall_or_null(s.last_exit_wall_ns)},
            {"started", wall_or_null(s.started_wall_ns)}};
}

nlohmann::ordered_json audit_json(const zvripc_liveness &live) {
    nlohmann::ordered_json out = nlohmann::ordered_json::array();
    for (int i = 0; i < live.audit_kept; ++i) {
        const zvripc_audit &a = live.audit[i];
        out.push_back({{"time", wall_time_text(a.wall_ns)},
                       {"uid", a.uid},
                       {"pid", a.pid},
                       {"what", a.what},
                       {"from", a.from},
                       {"to", a.to}});
    }
    return out;
}

nlohmann::ordered_json health_json(const HealthView &view) {
    const Health &h = view.health;
    nlohmann::ordered_json threads = nlohmann::ordered_json::object();
    for (const ThreadHealth &t : h.threads) {
        threads[t.name] = {{"expected", t.expected},
                           {"seen", t.seen},
                           {"age_seconds", rounded(t.age_s)},
                           {"limit_seconds", rounded(t.limit_s)},
                           {"stale", t.stale}};
    }
    return {{"state", h.daemon},
            {"pid", h.pid != 0 ? nlohmann::ordered_json(h.pid) : nlohmann::ordered_json(nullptr)},
            {"attached", wall_or_null(view.live.attach_wall_ns)},
            {"up_seconds", rounded(h.up_s)},
            {"last_seen_seconds", h.last_seen_s >= 0 ? nlohmann::ordered_json(rounded(h.last_seen_s))
                                                     : nlohmann::ordered_json(nullptr)},
            {"threads", threads},
            {"limits_from_defaults", view.limits_from_defaults},
            {"headline", h.headline},
            {"supervisor", supervisor_json(view.live.supervisor)},
            {"audit_count", view.live.audit_count},
            {"audit", audit_json(view.live)}};
}

std::vector<std::string> health_lines(const HealthView &view) {
    std::vector<std::string> out;
    const zvripc_supervisor &s = view.live.supervisor;
    if (s.pid != 0) {
        std::string line = "supervisor " + std::to_string(s.pid) + " (" + phase_name(s.phase) +
                           (process_state(s.pid, s.start_ticks) == ProcessState::kGone ? ", gone" : "") +
                           "), restarts " + std::to_string(s.restarts);
        if (s.last_exit >= 0) {
            line +=
                ", last exit " + std::to_string(s.last_exit) + " at " + wall_time_text(s.last_exit_wall_ns);
        }
        out.push_back(line);
    }
    if (view.live.audit_kept > 0) {
        const zvripc_audit &a = view.live.audit[0];
        out.push_back("last manual change: " + std::string(a.what) + " " + a.from + " -> " + a.to +
                      " by uid " + std::to_string(a.uid) + " at " + wall_time_text(a.wall_ns) + " (" +
                      std::to_string(view.live.audit_count) + " in all)");
    }
    return out;
}

std::string check_line(const zvripc_snapshot &snap, const HealthView &view) {
    std::string line = std::string("TAVIK ") + health_word(view.health.code) + " - " + view.health.headline;
    std::string states;
    for (int r = 0; r < snap.rsc_count; ++r) {
        states += std::string(states.empty() ? "" : ", ") + snap.resources[r].name + " " +
                  status_name(snap.resources[r].status);
    }
    return line + "; " + (states.empty() ? std::string("no resources") : states);
}

std::string check_line_unknown(const std::string &why) {
    return std::string("TAVIK ") + health_word(kHealthUnknown) + " - " + why;
}

}  // namespace tavikctl
