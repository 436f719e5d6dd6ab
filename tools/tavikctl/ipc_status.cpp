// SPDX-License-Identifier: GPL-3.0-or-later
// `tavikctl status [--json] [--watch] [--flapping N [--window D]] [--config FILE]
// [--name NAME]`: the resources by nodes with each state and each resource's status,
// plus ratio, period, action, wait status and the change counter; for every state and
// status how long it has held ("since") and how often it changed since `tavikctl init`;
// and the detection windows of the configuration at the live ratio. --flapping lists
// the pairs that changed more than N times within the window. --watch polls the
// namespace and redraws whenever anything shown changed (on a terminal also once a
// second, so that the durations move); it does not take the status-change semaphore,
// which belongs to the cluster process that waits on it, so any number of watchers can
// run beside it.
// The --flapping view is ipc_flapping.cpp. Runs on tavikctl's single thread; the signal
// handler only sets a flag.
#include "ipc_status.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <ctime>
#include <map>
#include <nlohmann/json.hpp>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "command.h"
#include "config_session.h"
#include "detection.h"
#include "health_view.h"
#include "ipc_cli.h"
#include "self_check.h"
#include "text_table.h"

namespace tavikctl::status_view {

std::string format(const char *fmt, ...) __attribute__((format(printf, 1, 2)));

std::string format(const char *fmt, ...) {
    char buf[512];
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(buf, sizeof buf, fmt, args);
    va_end(args);
    return buf;
}

std::string state_cell(int state) {
    std::string name = tavikctl::state_name(state);
    return name == "invalid" ? "?(" + std::to_string(state) + ")" : name;
}

std::string status_cell(int status) {
    std::string name = tavikctl::status_name(status);
    return name == "invalid" ? "?(" + std::to_string(status) + ")" : name;
}

// How long a value has held at the time of the snapshot: since its last change, or
// since the namespace was made when it never changed.
long long held_ns(const zvripc_snapshot &snap, const zvripc_history &h) {
    return snap.taken_mono_ns - (h.changes > 0 ? h.last_mono_ns : snap.created_mono_ns);
}

std::string node_label(const zvripc_snap_node &node) {
    return format("%s(%d)", node.name, node.priority);
}

// Adds changes, last_change and (relative) since and since_seconds, each key after
// `prefix`.
void add_history(nlohmann::ordered_json &out, const std::string &prefix, const zvripc_snapshot &snap,
                 const zvripc_history &h, bool relative) {
    out[prefix + "changes"] = h.changes;
    if (h.changes > 0) {
        out[prefix + "last_change"] = tavikctl::wall_time_text(h.last_wall_ns);
    } else {
        out[prefix + "last_change"] = nullptr;
    }
    if (relative) {
        out[prefix + "since"] = tavikctl::duration_text(held_ns(snap, h));
        const long long held_ms = held_ns(snap, h) / 1000000;  // to the millisecond
        out[prefix + "since_seconds"] = static_cast<double>(held_ms) / 1000.0;
    }
}

}  // namespace tavikctl::status_view

namespace {

using tavikctl::text_table;
using tavikctl::status_view::add_history;
using tavikctl::status_view::checked_window;
using tavikctl::status_view::format;
using tavikctl::status_view::held_ns;
using tavikctl::status_view::node_label;
using tavikctl::status_view::print_flapping;
using tavikctl::status_view::state_cell;
using tavikctl::status_view::status_cell;
using tavikctl::status_view::StatusOptions;

volatile std::sig_atomic_t stop_requested = 0;

extern "C" void request_stop(int) {
    stop_requested = 1;
}

// What the configuration says about detection, read once per command: the daemon reads
// these settings only at its start, and the ratio comes live from the namespace.
struct LiveTiming {
    std::optional<tavikctl::TimingSettings> settings;
    std::map<std::string, bool> active;  // resource name -> has a BMC device
    std::string error;                   // why there are no settings
};

LiveTiming load_timing(const StatusOptions &opts, const zvripc_snapshot &snap) {
    LiveTiming live;
    try {
        tavikctl::ConfigSession session(tavikctl::configuration_path(opts.config));
        live.settings = tavikctl::read_timing_settings();
        for (int r = 0; r < snap.rsc_count; ++r) {
            if (std::string(snap.resources[r].type) == "tavik") {
                live.active[snap.resources[r].name] = tavikctl::resource_active(snap.resources[r].name);
            }
        }
    } catch (const std::exception &e) {
        live.error = e.what();
    }
    return live;
}

std::vector<std::pair<std::string, bool>> tavik_resources(const zvripc_snapshot &snap,
                                                          const LiveTiming &live) {
    std::vector<std::pair<std::string, bool>> out;
    for (int r = 0; r < snap.rsc_count; ++r) {
        if (std::string(snap.resources[r].type) == "tavik") {
            auto it = live.active.find(snap.resources[r].name);
            out.emplace_back(snap.resources[r].name, it != live.active.end() && it->second);
        }
    }
    return out;
}

std::optional<tavikctl::DetectionWindows> windows_of(const zvripc_snapshot &snap, const LiveTiming &live) {
    if (!live.settings) {
        return std::nullopt;
    }
    return tavikctl::compute_windows(*live.settings, snap.ratio, sysconf(_SC_CLK_TCK));
}

std::string render_table(const zvripc_snapshot &snap, const LiveTiming &live,
                         const tavikctl::HealthView &health) {
    std::string out = health.health.headline + "\n";
    for (const std::string &line : tavikctl::health_lines(health)) {
        out += line + "\n";
    }
    out += format("namespace \"%s\" (mode %04o), created %s (%s ago)\n", snap.name, snap.mode,
                  tavikctl::wall_time_text(snap.created_wall_ns).c_str(),
                  tavikctl::duration_text(snap.taken_mono_ns - snap.created_mono_ns).c_str());
    out += format("ratio %d  period %d  action 0x%08x", snap.ratio, snap.period,
                  static_cast<unsigned>(snap.action));
    if (snap.acttype[0] != '\0') {
        out += format(" (%s)", snap.acttype);
    }
    out += format("  waitstat %d  changes %llu", snap.waitstat, snap.changes);
    if (snap.recoveries != 0) {
        out += format("  lock recoveries %llu", snap.recoveries);
    }
    out += "\n\n";

    std::vector<std::vector<std::string>> rows;
    std::vector<std::string> head = {"RESOURCE", "TYPE", "PRI", "STATUS"};
    for (int n = 0; n < snap.node_count; ++n) {
        head.push_back(node_label(snap.nodes[n]));
    }
    rows.push_back(head);
    for (int r = 0; r < snap.rsc_count; ++r) {
        const zvripc_snap_rsc &rsc = snap.resources[r];
        std::vector<std::string> row = {rsc.name, rsc.type, std::to_string(rsc.priority),
                                        status_cell(rsc.status)};
        for (int n = 0; n < snap.node_count; ++n) {
            row.push_back(state_cell(snap.states[r * snap.node_count + n]));
        }
        rows.push_back(row);
    }
    out += text_table(rows);
    if (snap.rsc_count == 0) {
        out += "(no resources)\n";
        return out;
    }

    // The history: the status of each resource, then each of its pairs.
    rows = {{"RESOURCE", "NODE", "STATE", "SINCE", "CHANGES"}};
    for (int r = 0; r < snap.rsc_count; ++r) {
        const zvripc_snap_rsc &rsc = snap.resources[r];
        const zvripc_history &sh = snap.status_history[r];
        rows.push_back({rsc.name, "(status)", status_cell(rsc.status),
                        tavikctl::duration_text(held_ns(snap, sh)), std::to_string(sh.changes)});
        for (int n = 0; n < snap.node_count; ++n) {
            const zvripc_history &h = snap.state_history[r * snap.node_count + n];
            rows.push_back({rsc.name, node_label(snap.nodes[n]),
                            state_cell(snap.states[r * snap.node_count + n]),
                            tavikctl::duration_text(held_ns(snap, h)), std::to_string(h.changes)});
        }
    }
    out += "\n" + text_table(rows);

    out += "\n";
    if (auto w = windows_of(snap, live)) {
        for (const std::string &line : tavikctl::describe_windows(*w, tavik_resources(snap, live), "")) {
            out += line + "\n";
        }
        for (const tavikctl::WindowWarning &warning : tavikctl::window_warnings(*w)) {
            out += "warning: " + warning.key + ": " + warning.message + "\n";
        }
    } else {
        out += "detection windows: not shown: " + live.error + "\n";
    }
    return out;
}

// relative: include what depends on the time of the snapshot (durations). Without it,
// two snapshots give the same document exactly when nothing in the namespace changed.
nlohmann::ordered_json render_json(const zvripc_snapshot &snap, const LiveTiming &live,
                                   const tavikctl::HealthView &health, bool relative) {
    nlohmann::ordered_json resources = nlohmann::ordered_json::array();
    for (int r = 0; r < snap.rsc_count; ++r) {
        const zvripc_snap_rsc &rsc = snap.resources[r];
        nlohmann::ordered_json nodes = nlohmann::ordered_json::array();
        for (int n = 0; n < snap.node_count; ++n) {
            int state = snap.states[r * snap.node_count + n];
            nlohmann::ordered_json node = {{"name", snap.nodes[n].name},
                                           {"id", snap.nodes[n].priority},
                                           {"state", tavikctl::state_name(state)},
                                           {"state_code", state}};
            add_history(node, "", snap, snap.state_history[r * snap.node_count + n], relative);
            nodes.push_back(node);
        }
        nlohmann::ordered_json entry = {{"name", rsc.name},
                                        {"type", rsc.type},
                                        {"priority", rsc.priority},
                                        {"status", tavikctl::status_name(rsc.status)},
                                        {"status_code", rsc.status}};
        add_history(entry, "status_", snap, snap.status_history[r], relative);
        entry["nodes"] = nodes;
        resources.push_back(entry);
    }
    nlohmann::ordered_json doc = {{"schema", tavikctl::kStatusJsonSchema},
                                  {"namespace", snap.name},
                                  {"layout", health.layout},
                                  {"health", health.health.code},
                                  {"resources", resources},
                                  {"ratio", snap.ratio},
                                  {"period", snap.period},
                                  {"action", snap.action},
                                  {"acttype", snap.acttype},
                                  {"waitstat", snap.waitstat},
                                  {"changes", snap.changes},
                                  {"created", tavikctl::wall_time_text(snap.created_wall_ns)}};
    if (auto w = windows_of(snap, live)) {
        doc["detection"] = tavikctl::windows_json(*w, tavik_resources(snap, live));
    } else {
        doc["detection"] = nullptr;
        doc["detection_error"] = live.error;
    }
    if (relative) {
        doc["daemon"] = tavikctl::health_json(health);
    } else {
        // Only what changes with the daemon's state, not with the passing of time.
        doc["daemon"] = {{"state", health.health.daemon}, {"pid", health.health.pid}};
    }
    return doc;
}

std::string render(const zvripc_snapshot &snap, const LiveTiming &live, const tavikctl::HealthView &health,
                   bool json, bool watch) {
    if (json) {
        // One document per line while watching, so that a reader can take them apart.
        return render_json(snap, live, health, true).dump(watch ? -1 : 2) + "\n";
    }
    return render_table(snap, live, health);
}
void print_once(const StatusOptions &opts) {
    long long window_s = opts.flapping >= 0 ? checked_window(opts) : 0;
    tavikctl::IpcHandle handle(tavikctl::chosen_namespace(opts.name), tavikctl::IpcHandle::Reader::yes);
    tavikctl::Snapshot snap = tavikctl::take_snapshot(handle);
    if (opts.flapping >= 0) {
        print_flapping(opts, *snap, window_s);
        return;
    }
    LiveTiming live = load_timing(opts, *snap);
    tavikctl::HealthView health = tavikctl::read_health(handle, *snap, windows_of(*snap, live));
    tavikctl::exit_code() = health.health.code;
    if (opts.check && opts.self) {
        tavikctl::exit_code() = tavikctl::self_verdict(*snap, health.health).code;
        std::printf("%s\n", tavikctl::self_check_line(*snap, health).c_str());
        return;
    }
    if (opts.check) {
        std::printf("%s\n", tavikctl::check_line(*snap, health).c_str());
        return;
    }
    std::fputs(render(*snap, live, health, opts.json, false).c_str(), stdout);
}

// Restores the previous dispositions of SIGINT and SIGTERM when the watch ends.
class StopSignals {
  public:
    StopSignals() {
        struct sigaction action {};
        action.sa_handler = request_stop;
        sigemptyset(&action.sa_mask);
        action.sa_flags = 0;  // no SA_RESTART: the sleep ends at once
        sigaction(SIGINT, &action, &old_int_);
        sigaction(SIGTERM, &action, &old_term_);
    }
    StopSignals(const StopSignals &) = delete;
    StopSignals &operator=(const StopSignals &) = delete;
    ~StopSignals() {
        sigaction(SIGINT, &old_int_, nullptr);
        sigaction(SIGTERM, &old_term_, nullptr);
    }

  private:
    struct sigaction old_int_ {};
    struct sigaction old_term_ {};
};

void watch(const StatusOptions &opts) {
    const std::string ns = tavikctl::chosen_namespace(opts.name);
    StopSignals signals;
    auto open = [&ns] { return std::make_unique<tavikctl::IpcHandle>(ns, tavikctl::IpcHandle::Reader::yes); };
    auto handle = open();
    const bool clear = !opts.json && isatty(STDOUT_FILENO) == 1;
    std::optional<LiveTiming> live;
    std::string shown;  // what the namespace held when last drawn, without durations
    long long drawn_mono = 0;
    while (stop_requested == 0) {
        const bool replaced = ipc_check(handle->get()) != ZVRIPC_OK;
        // Replaced (`init --force`, a migration) is followed; an older layout is read as a
        // copy, so it is read again at every look.
        if (replaced || handle->older_layout() != 0) {
            handle.reset();
            try {
                handle = open();
            } catch (const std::exception &) {
                throw std::runtime_error("namespace \"" + ns + "\" was removed while watching it");
            }
        }
        if (replaced) {
            shown.clear();
            live.reset();
        }
        tavikctl::Snapshot snap = tavikctl::take_snapshot(*handle);
        if (!live) {
            live = load_timing(opts, *snap);
        }
        tavikctl::HealthView health = tavikctl::read_health(*handle, *snap, windows_of(*snap, *live));
        std::string key = render_json(*snap, *live, health, false).dump();
        // On a terminal the durations are kept fresh once a second.
        bool tick = clear && snap->taken_mono_ns - drawn_mono >= 1000000000LL;
        if (key != shown || tick) {
            std::string text = render(*snap, *live, health, opts.json, true);
            if (clear) {
                std::fputs("\033[H\033[2J", stdout);
            } else if (!shown.empty() && !opts.json) {
                std::fputs("\n", stdout);
            }
            std::fputs(text.c_str(), stdout);
            std::fflush(stdout);
            shown = std::move(key);
            drawn_mono = snap->taken_mono_ns;
        }
        // A bounded poll: a tenth of a second between looks keeps redraws prompt and
        // costs one lock and a copy of the segment each time.
        struct timespec pause {
            0, 100 * 1000 * 1000
        };
        nanosleep(&pause, nullptr);
    }
}

// A watch that can no longer read the namespace (removed, refused, or a segment that
// shrank under it) ends as a single look would: "cannot tell", with the reason.
void watch_or_tell(const StatusOptions &opts) {
    try {
        watch(opts);
    } catch (const std::exception &e) {
        (void)std::fprintf(stderr, "tavikctl status: %s\n", e.what());
        tavikctl::exit_code() = tavikctl::kHealthUnknown;
    }
}

tavikctl::CommandRegistrar status_command([](CLI::App &app) {
    static StatusOptions opts;
    auto *cmd = app.add_subcommand("status", "show the states and statuses held in the IPC namespace");
    cmd->add_flag("--json", opts.json, "print JSON instead of a table");
    cmd->add_flag("--watch", opts.watch, "redraw on every change until SIGINT or SIGTERM");
    cmd->add_flag("--check", opts.check,
                  "print one line for a monitoring system; exit 0 normal, 1 caution, 2 error, stale or no "
                  "daemon, 3 cannot tell");
    cmd->add_flag("--self", opts.self,
                  "with --check: only whether this node's daemon is live and its own pair online (exit 0), "
                  "whatever its peers do; else 2, or 3 when it cannot tell");
    cmd->add_option(
           "--flapping", opts.flapping,
           "list the (resource, node) pairs that changed more than N times within --window (N at most 15)")
        ->check(CLI::NonNegativeNumber);
    cmd->add_option("--window", opts.window, "the window of --flapping: 90s, 10m, 1h30m, 2d (default: 10m)");
    cmd->add_option("--config", opts.config,
                    "cluster configuration for the detection windows (default: $TAVIK_CONFIG, else "
                    "/etc/tavik/cluster.xml)");
    tavikctl::add_namespace_option(cmd, opts.name);
    cmd->callback([] {
        if (opts.watch && opts.flapping >= 0) {
            throw std::runtime_error("--flapping and --watch cannot be combined");
        }
        if (opts.flapping < 0 && opts.window != "10m") {
            throw std::runtime_error("--window needs --flapping");
        }
        if (opts.self && !opts.check) {
            throw std::runtime_error("--self needs --check");
        }
        if (opts.check && (opts.watch || opts.json || opts.flapping >= 0)) {
            throw std::runtime_error("--check cannot be combined with --watch, --json or --flapping");
        }
        if (opts.watch) {
            watch_or_tell(opts);
            return;
        }
        // A namespace that cannot be read tells nothing about the daemon: "cannot tell".
        try {
            print_once(opts);
        } catch (const std::exception &e) {
            if (opts.check) {
                std::printf("%s\n", tavikctl::check_line_unknown(e.what()).c_str());
            } else {
                std::fprintf(stderr, "tavikctl status: %s\n", e.what());
            }
            tavikctl::exit_code() = opts.flapping >= 0 ? 1 : tavikctl::kHealthUnknown;
        }
    });
});

}  // namespace
