// SPDX-License-Identifier: GPL-3.0-or-later
// What `tavikctl status` (ipc_status.cpp) and its --flapping view (ipc_flapping.cpp)
// share: the options and the cells and history fields of a snapshot. Runs on tavikctl's
// single thread.
#pragma once

#include <nlohmann/json.hpp>
#include <string>

#include "zvripc_admin.h"

namespace tavikctl::status_view {

struct StatusOptions {
    std::string name;
    std::string config;
    bool json = false;
    bool watch = false;
    bool check = false;
    bool self = false;  // with check: this node's own fitness only (self_check.h)
    int flapping = -1;  // -1: not asked
    std::string window = "10m";
};

std::string format(const char *fmt, ...) __attribute__((format(printf, 1, 2)));
// The state's or status's name, or "?(CODE)" for a code outside the set.
std::string state_cell(int state);
std::string status_cell(int status);
// How long a value has held at the time of the snapshot: since its last change, or
// since the namespace was made when it never changed.
long long held_ns(const zvripc_snapshot &snap, const zvripc_history &h);
// "name(priority)"
std::string node_label(const zvripc_snap_node &node);
// Adds changes, last_change and (relative) since and since_seconds, each key after
// `prefix`.
void add_history(nlohmann::ordered_json &out, const std::string &prefix, const zvripc_snapshot &snap,
                 const zvripc_history &h, bool relative);

// ipc_flapping.cpp: the window of --window, refused when --flapping asks for more than
// the namespace keeps; and the pairs that changed more than --flapping times within it.
long long checked_window(const StatusOptions &opts);
void print_flapping(const StatusOptions &opts, const zvripc_snapshot &snap, long long window_s);

}  // namespace tavikctl::status_view
