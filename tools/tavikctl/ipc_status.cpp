// SPDX-License-Identifier: GPL-3.0-or-later
// `tavikctl status [--json] [--watch] [--name NAME]`: the resources by nodes with each
// state and each resource's status, plus ratio, period, action, wait status and the
// change counter. --watch polls the namespace and redraws whenever anything shown
// changed; it does not take the status-change semaphore, which belongs to the cluster
// process that waits on it, so any number of watchers can run beside it.
// Runs on tavikctl's single thread; the signal handler only sets a flag.
#include <nlohmann/json.hpp>

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <ctime>
#include <stdexcept>
#include <string>
#include <vector>

#include "command.h"
#include "ipc_cli.h"

namespace {

struct StatusOptions {
    std::string name;
    bool json = false;
    bool watch = false;
};

volatile std::sig_atomic_t stop_requested = 0;

extern "C" void request_stop(int) { stop_requested = 1; }

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

std::string render_table(const zvripc_snapshot &snap) {
    std::string out = format("namespace \"%s\" (mode %04o)\n", snap.name, snap.mode);
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
        head.push_back(format("%s(%d)", snap.nodes[n].name, snap.nodes[n].priority));
    }
    rows.push_back(head);
    for (int r = 0; r < snap.rsc_count; ++r) {
        const zvripc_snap_rsc &rsc = snap.resources[r];
        std::vector<std::string> row = {rsc.name, rsc.type, std::to_string(rsc.priority), status_cell(rsc.status)};
        for (int n = 0; n < snap.node_count; ++n) {
            row.push_back(state_cell(snap.states[r * snap.node_count + n]));
        }
        rows.push_back(row);
    }
    std::vector<std::size_t> width(head.size(), 0);
    for (const auto &row : rows) {
        for (std::size_t c = 0; c < row.size(); ++c) {
            width[c] = std::max(width[c], row[c].size());
        }
    }
    for (const auto &row : rows) {
        std::string line;
        for (std::size_t c = 0; c < row.size(); ++c) {
            line += row[c];
            if (c + 1 < row.size()) {
                line += std::string(width[c] - row[c].size() + 2, ' ');
            }
        }
        out += line + "\n";
    }
    if (snap.rsc_count == 0) {
        out += "(no resources)\n";
    }
    return out;
}

nlohmann::ordered_json render_json(const zvripc_snapshot &snap) {
    nlohmann::ordered_json resources = nlohmann::ordered_json::array();
    for (int r = 0; r < snap.rsc_count; ++r) {
        const zvripc_snap_rsc &rsc = snap.resources[r];
        nlohmann::ordered_json nodes = nlohmann::ordered_json::array();
        for (int n = 0; n < snap.node_count; ++n) {
            int state = snap.states[r * snap.node_count + n];
            nodes.push_back({{"name", snap.nodes[n].name},
                             {"id", snap.nodes[n].priority},
                             {"state", tavikctl::state_name(state)},
                             {"state_code", state}});
        }
        resources.push_back({{"name", rsc.name},
                             {"type", rsc.type},
                             {"priority", rsc.priority},
                             {"status", tavikctl::status_name(rsc.status)},
                             {"status_code", rsc.status},
                             {"nodes", nodes}});
    }
    return {{"namespace", snap.name}, {"resources", resources},     {"ratio", snap.ratio},
            {"period", snap.period},  {"action", snap.action},      {"acttype", snap.acttype},
            {"waitstat", snap.waitstat}, {"changes", snap.changes}};
}

std::string render(const zvripc_snapshot &snap, bool json, bool watch) {
    if (json) {
        // One document per line while watching, so that a reader can take them apart.
        return render_json(snap).dump(watch ? -1 : 2) + "\n";
    }
    return render_table(snap);
}

void print_once(const StatusOptions &opts) {
    tavikctl::IpcHandle handle(tavikctl::chosen_namespace(opts.name));
    tavikctl::Snapshot snap = tavikctl::take_snapshot(handle);
    std::fputs(render(*snap, opts.json, false).c_str(), stdout);
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
    auto handle = std::make_unique<tavikctl::IpcHandle>(ns);
    const bool clear = !opts.json && isatty(STDOUT_FILENO) == 1;
    std::string shown;
    while (stop_requested == 0) {
        if (ipc_check(handle->get()) != ZVRIPC_OK) {
            // Removed, or replaced by `tavikctl init --force`: follow a replacement.
            handle.reset();
            try {
                handle = std::make_unique<tavikctl::IpcHandle>(ns);
            } catch (const std::exception &) {
                throw std::runtime_error("namespace \"" + ns + "\" was removed while watching it");
            }
            shown.clear();
        }
        tavikctl::Snapshot snap = tavikctl::take_snapshot(*handle);
        std::string text = render(*snap, opts.json, true);
        if (text != shown) {
            if (clear) {
                std::fputs("\033[H\033[2J", stdout);
            } else if (!shown.empty() && !opts.json) {
                std::fputs("\n", stdout);
            }
            std::fputs(text.c_str(), stdout);
            std::fflush(stdout);
            shown = std::move(text);
        }
        // A bounded poll: a tenth of a second between looks keeps redraws prompt and
        // costs one lock and a copy of the segment each time.
        struct timespec pause {0, 100 * 1000 * 1000};
        nanosleep(&pause, nullptr);
    }
}

tavikctl::CommandRegistrar status_command([](CLI::App &app) {
    static StatusOptions opts;
    auto *cmd = app.add_subcommand("status", "show the states and statuses held in the IPC namespace");
    cmd->add_flag("--json", opts.json, "print JSON instead of a table");
    cmd->add_flag("--watch", opts.watch, "redraw on every change until SIGINT or SIGTERM");
    tavikctl::add_namespace_option(cmd, opts.name);
    cmd->callback([] {
        if (opts.watch) {
            watch(opts);
        } else {
            print_once(opts);
        }
    });
});

}  // namespace
