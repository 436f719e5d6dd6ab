// SPDX-License-Identifier: GPL-3.0-or-later
#include "metrics_text.h"

#include <cstdio>
#include <vector>

#include "ipc_cli.h"

namespace tavikctl {

namespace {

class Writer {
  public:
    explicit Writer(const std::string &ns) : ns_("namespace=\"" + label_value(ns) + "\"") {}

    void family(const char *name, const char *type, const char *help) {
        out_ += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
    }
    void sample(const char *name, const std::string &labels, double value) {
        char number[64];
        std::snprintf(number, sizeof number, "%.17g", value);
        out_ += std::string(name) + "{" + ns_ + (labels.empty() ? "" : "," + labels) + "} " + number + "\n";
    }
    std::string take() { return std::move(out_); }

  private:
    std::string ns_;
    std::string out_;
};

std::string label(const char *key, const std::string &value) {
    return std::string(key) + "=\"" + label_value(value) + "\"";
}

std::string pair_labels(const zvripc_snapshot &snap, int r, int n) {
    return label("resource", snap.resources[r].name) + "," + label("type", snap.resources[r].type) + "," +
           label("node", snap.nodes[n].name) + "," + label("node_id", std::to_string(snap.nodes[n].priority));
}

std::string rsc_labels(const zvripc_snapshot &snap, int r) {
    return label("resource", snap.resources[r].name) + "," + label("type", snap.resources[r].type);
}

double wall_seconds(long long ns) {
    return static_cast<double>(ns) / 1e9;
}

void pairs(Writer &w, const zvripc_snapshot &snap) {
    const std::vector<int> states = {1, 2, 9, 15};
    w.family("tavik_pair_state", "gauge", "1 for the state a (resource, node) pair holds, 0 for the others.");
    for (int r = 0; r < snap.rsc_count; ++r) {
        for (int n = 0; n < snap.node_count; ++n) {
            const int held = snap.states[r * snap.node_count + n];
            for (int s : states) {
                w.sample("tavik_pair_state", pair_labels(snap, r, n) + "," + label("state", state_name(s)),
                         held == s ? 1 : 0);
            }
        }
    }
    w.family("tavik_pair_changes_total", "counter",
             "Changes of the pair's state since the namespace was created.");
    for (int r = 0; r < snap.rsc_count; ++r) {
        for (int n = 0; n < snap.node_count; ++n) {
            w.sample("tavik_pair_changes_total", pair_labels(snap, r, n),
                     static_cast<double>(snap.state_history[r * snap.node_count + n].changes));
        }
    }
    w.family("tavik_pair_last_change_timestamp_seconds", "gauge",
             "Wall-clock time of the pair's last change; 0 when it never changed.");
    for (int r = 0; r < snap.rsc_count; ++r) {
        for (int n = 0; n < snap.node_count; ++n) {
            w.sample("tavik_pair_last_change_timestamp_seconds", pair_labels(snap, r, n),
                     wall_seconds(snap.state_history[r * snap.node_count + n].last_wall_ns));
        }
    }
}

void statuses(Writer &w, const zvripc_snapshot &snap) {
    const std::vector<int> codes = {0, 3, 4, 9, 15};
    w.family("tavik_resource_status", "gauge", "1 for the status a resource holds, 0 for the others.");
    for (int r = 0; r < snap.rsc_count; ++r) {
        for (int c : codes) {
            w.sample("tavik_resource_status", rsc_labels(snap, r) + "," + label("status", status_name(c)),
                     snap.resources[r].status == c ? 1 : 0);
        }
    }
    w.family("tavik_resource_status_changes_total", "counter", "Changes of the resource's status.");
    for (int r = 0; r < snap.rsc_count; ++r) {
        w.sample("tavik_resource_status_changes_total", rsc_labels(snap, r),
                 static_cast<double>(snap.status_history[r].changes));
    }
    w.family("tavik_resource_status_last_change_timestamp_seconds", "gauge",
             "Wall-clock time of the status's last change; 0 when it never changed.");
    for (int r = 0; r < snap.rsc_count; ++r) {
        w.sample("tavik_resource_status_last_change_timestamp_seconds", rsc_labels(snap, r),
                 wall_seconds(snap.status_history[r].last_wall_ns));
    }
}

void daemon(Writer &w, const HealthView &health) {
    const Health &h = health.health;
    const bool up = h.daemon == "up" || h.daemon == "starting";
    w.family("tavik_daemon_up", "gauge", "1 while a live daemon that cycles is attached to the namespace.");
    w.sample("tavik_daemon_up", "", up ? 1 : 0);
    w.family("tavik_health", "gauge",
             "The exit status of `tavikctl status`: 0 normal, 1 caution, 2 error, 3 unknown.");
    w.sample("tavik_health", "", h.code);
    w.family("tavik_daemon_up_seconds", "gauge", "Seconds since the daemon attached; 0 without one.");
    w.sample("tavik_daemon_up_seconds", "", up ? h.up_s : 0);
    w.family("tavik_thread_cycle_age_seconds", "gauge",
             "Seconds since the daemon's thread was last seen cycling.");
    for (const ThreadHealth &t : h.threads) {
        if (t.expected) {
            w.sample("tavik_thread_cycle_age_seconds", label("thread", t.name), t.age_s);
        }
    }
    w.family("tavik_thread_cycle_limit_seconds", "gauge",
             "Age beyond which the thread counts as not cycling.");
    for (const ThreadHealth &t : h.threads) {
        if (t.expected) {
            w.sample("tavik_thread_cycle_limit_seconds", label("thread", t.name), t.limit_s);
        }
    }
    w.family("tavik_supervisor_restarts", "gauge", "Restarts of the daemon by its running supervisor.");
    w.sample("tavik_supervisor_restarts", "", health.live.supervisor.restarts);
    w.family("tavik_manual_changes_total", "counter", "Changes made with `tavikctl set`.");
    w.sample("tavik_manual_changes_total", "", static_cast<double>(health.live.audit_count));
}

void detection(Writer &w, const zvripc_snapshot &snap, const std::optional<DetectionWindows> &windows) {
    w.family("tavik_ratio", "gauge", "The time-out multiplier the cluster side set.");
    w.sample("tavik_ratio", "", snap.ratio);
    w.family("tavik_announcements_total", "counter", "Change announcements (the status-change counter).");
    w.sample("tavik_announcements_total", "", static_cast<double>(snap.changes));
    w.family("tavik_lock_recoveries_total", "counter", "Segment locks taken over from a holder that died.");
    w.sample("tavik_lock_recoveries_total", "", static_cast<double>(snap.recoveries));
    if (!windows) {
        return;
    }
    w.family("tavik_detection_window_seconds", "gauge",
             "How long a silent peer can stay online, per detection path; 0 when the path is off.");
    w.sample("tavik_detection_window_seconds", label("path", "bmc"), windows->bmc_window_s);
    w.sample("tavik_detection_window_seconds", label("path", "watch"), windows->watch_window_s);
    w.sample("tavik_detection_window_seconds", label("path", "hung_host"), windows->hung_host_window_s);
}

}  // namespace

std::string label_value(const std::string &text) {
    std::string out;
    for (char c : text) {
        if (c == '\\' || c == '"') {
            out += '\\';
            out += c;
        } else if (c == '\n') {
            out += "\\n";
        } else {
            out += c;
        }
    }
    return out;
}

std::string metrics_text(const zvripc_snapshot &snap, const HealthView &health,
                         const std::optional<DetectionWindows> &windows) {
    Writer w(snap.name);
    w.family("tavik_namespace_readable", "gauge", "1 when the namespace could be read.");
    w.sample("tavik_namespace_readable", "", 1);
    daemon(w, health);
    pairs(w, snap);
    statuses(w, snap);
    detection(w, snap, windows);
    return w.take();
}

std::string metrics_unreadable(const std::string &ns, const std::string &why) {
    Writer w(ns);
    w.family("tavik_namespace_readable", "gauge", "1 when the namespace could be read.");
    w.sample("tavik_namespace_readable", label("reason", why), 0);
    w.family("tavik_daemon_up", "gauge", "1 while a live daemon that cycles is attached to the namespace.");
    w.sample("tavik_daemon_up", "", 0);
    return w.take();
}

}  // namespace tavikctl
