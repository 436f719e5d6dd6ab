// SPDX-License-Identifier: GPL-3.0-or-later
// `tavikctl status --flapping N [--window D]`: the pairs whose state changed more than N
// times within the window, the busiest first, from the change times the namespace keeps.
#include <algorithm>
#include <cstdio>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "health_view.h"
#include "ipc_cli.h"
#include "ipc_status.h"
#include "text_table.h"

namespace tavikctl::status_view {
namespace {

struct Flapper {
    int r, n;
    int in_window;  // ZVRIPC_HISTORY_RECENT: at least that many
};

std::vector<Flapper> flapping_pairs(const zvripc_snapshot &snap, int more_than, long long window_s) {
    std::vector<Flapper> out;
    const long long from = snap.taken_mono_ns - window_s * 1000000000LL;
    for (int r = 0; r < snap.rsc_count; ++r) {
        for (int n = 0; n < snap.node_count; ++n) {
            int count = ipc_history_changes_since(&snap.state_history[r * snap.node_count + n], from);
            if (count > more_than) {
                out.push_back({r, n, count});
            }
        }
    }
    // The busiest first; the table order among equals.
    std::stable_sort(out.begin(), out.end(),
                     [](const Flapper &a, const Flapper &b) { return a.in_window > b.in_window; });
    return out;
}

std::string count_text(int count) {
    return count >= ZVRIPC_HISTORY_RECENT ? std::to_string(ZVRIPC_HISTORY_RECENT) + "+"
                                          : std::to_string(count);
}

}  // namespace

void print_flapping(const StatusOptions &opts, const zvripc_snapshot &snap, long long window_s) {
    std::vector<Flapper> found = flapping_pairs(snap, opts.flapping, window_s);
    const std::string window = tavikctl::duration_text(window_s * 1000000000LL);
    if (opts.json) {
        nlohmann::ordered_json pairs = nlohmann::ordered_json::array();
        for (const Flapper &f : found) {
            const zvripc_history &h = snap.state_history[f.r * snap.node_count + f.n];
            int state = snap.states[f.r * snap.node_count + f.n];
            nlohmann::ordered_json entry = {
                {"resource", snap.resources[f.r].name}, {"type", snap.resources[f.r].type},
                {"node", snap.nodes[f.n].name},         {"id", snap.nodes[f.n].priority},
                {"state", tavikctl::state_name(state)}, {"state_code", state},
                {"changes_in_window", f.in_window},     {"at_least", f.in_window >= ZVRIPC_HISTORY_RECENT}};
            add_history(entry, "", snap, h, true);
            pairs.push_back(entry);
        }
        nlohmann::ordered_json doc = {{"namespace", snap.name},
                                      {"more_than", opts.flapping},
                                      {"window_seconds", window_s},
                                      {"pairs", pairs}};
        (void)std::fputs((doc.dump(2) + "\n").c_str(), stdout);
        return;
    }
    if (found.empty()) {
        std::printf("namespace \"%s\": no pair changed more than %d time%s in the last %s\n", snap.name,
                    opts.flapping, opts.flapping == 1 ? "" : "s", window.c_str());
        return;
    }
    std::printf("namespace \"%s\": %zu pair%s changed more than %d time%s in the last %s\n", snap.name,
                found.size(), found.size() == 1 ? "" : "s", opts.flapping, opts.flapping == 1 ? "" : "s",
                window.c_str());
    std::vector<std::vector<std::string>> rows = {
        {"RESOURCE", "NODE", "STATE", "IN WINDOW", "CHANGES", "SINCE"}};
    for (const Flapper &f : found) {
        const zvripc_history &h = snap.state_history[f.r * snap.node_count + f.n];
        rows.push_back({snap.resources[f.r].name, node_label(snap.nodes[f.n]),
                        state_cell(snap.states[f.r * snap.node_count + f.n]), count_text(f.in_window),
                        std::to_string(h.changes), tavikctl::duration_text(held_ns(snap, h))});
    }
    (void)std::fputs(text_table(rows).c_str(), stdout);
}

long long checked_window(const StatusOptions &opts) {
    if (opts.flapping >= ZVRIPC_HISTORY_RECENT) {
        throw std::runtime_error(
            "--flapping " + std::to_string(opts.flapping) + ": the namespace keeps the times of the last " +
            std::to_string(ZVRIPC_HISTORY_RECENT) + " changes of each pair, so N can be at most " +
            std::to_string(ZVRIPC_HISTORY_RECENT - 1));
    }
    std::optional<long long> window = tavikctl::parse_duration_seconds(opts.window);
    if (!window) {
        throw std::runtime_error(
            "--window: \"" + opts.window +
            "\" is not a duration (seconds, or numbers with d, h, m, s such as 90s, 10m, 1h30m)");
    }
    return *window;
}

}  // namespace tavikctl::status_view
