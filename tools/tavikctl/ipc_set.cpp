// SPDX-License-Identifier: GPL-3.0-or-later
// `tavikctl set ...`: changes what the cluster side of a node would change in its IPC
// namespace, to steer or test a daemon:
//   set ratio N [--period P]   time-out multiplier (N >= 1) and period (kept if not given)
//   set action CODE [--type T] action code, decimal or 0x hex, and its type text
//   set waitstat 0|1           1: the daemon is being restarted (it resumes)
//   set state RSC NODE STATE   a (resource, node) state; NODE by name or id, STATE by name
//                              or number; announced like the daemon's changes
//   set downnotify             gives the down-notify semaphore once
// Runs on tavikctl's single thread.
#include <cstdio>
#include <stdexcept>
#include <string>

#include "audit.h"
#include "cluster_layout.h"
#include "command.h"
#include "ipc_cli.h"

namespace {

struct SetOptions {
    std::string name;
    std::string ratio, period;
    std::string action, acttype;
    bool acttype_given = false;
    std::string waitstat;
    std::string rsc, node, state, type = "tavik";
};

int parse_int(const std::string &what, const std::string &text, int min) {
    std::optional<int> value = tavikctl::parse_config_int(text);
    if (!value || *value < min) {
        throw std::runtime_error(what + ": \"" + text + "\" is not an integer of at least " +
                                 std::to_string(min));
    }
    return *value;
}

void check(const tavikctl::IpcHandle &handle, const std::string &what, int rc) {
    if (rc != ZVRIPC_OK) {
        tavikctl::throw_ipc(handle.name(), what, rc);
    }
}

void set_ratio(const SetOptions &opts) {
    int ratio = parse_int("ratio", opts.ratio, 1);
    tavikctl::IpcHandle handle(tavikctl::chosen_namespace(opts.name));
    tavikctl::Snapshot before = tavikctl::take_snapshot(handle);
    int period = opts.period.empty() ? before->period : parse_int("--period", opts.period, 0);
    check(handle, "cannot set the ratio", ipc_set_ratio(handle.get(), ratio, period));
    tavikctl::audit_change(handle, "ratio/period",
                           std::to_string(before->ratio) + "/" + std::to_string(before->period),
                           std::to_string(ratio) + "/" + std::to_string(period));
    std::printf("namespace \"%s\": ratio %d, period %d (was ratio %d, period %d)\n", handle.name().c_str(),
                ratio, period, before->ratio, before->period);
}

void set_action(const SetOptions &opts) {
    std::optional<int> code = tavikctl::parse_config_int(opts.action);
    if (!code) {
        throw std::runtime_error("action: \"" + opts.action +
                                 "\" is not a 32-bit integer (decimal or 0x hex)");
    }
    tavikctl::IpcHandle handle(tavikctl::chosen_namespace(opts.name));
    tavikctl::Snapshot before = tavikctl::take_snapshot(handle);
    check(handle, "cannot set the action",
          ipc_set_action(handle.get(), *code, opts.acttype_given ? opts.acttype.c_str() : nullptr));
    char was[16], now[16];
    std::snprintf(was, sizeof was, "0x%08x", static_cast<unsigned>(before->action));
    std::snprintf(now, sizeof now, "0x%08x", static_cast<unsigned>(*code));
    tavikctl::audit_change(handle, "action", was, now);
    std::printf("namespace \"%s\": action 0x%08x (was 0x%08x)\n", handle.name().c_str(),
                static_cast<unsigned>(*code), static_cast<unsigned>(before->action));
}

void set_waitstat(const SetOptions &opts) {
    if (opts.waitstat != "0" && opts.waitstat != "1") {
        throw std::runtime_error("waitstat: \"" + opts.waitstat + "\" is neither 0 nor 1");
    }
    int value = opts.waitstat == "1" ? 1 : 0;
    tavikctl::IpcHandle handle(tavikctl::chosen_namespace(opts.name));
    tavikctl::Snapshot before = tavikctl::take_snapshot(handle);
    check(handle, "cannot set the wait status", ipc_set_waitstat(handle.get(), value));
    tavikctl::audit_change(handle, "waitstat", std::to_string(before->waitstat), std::to_string(value));
    std::printf("namespace \"%s\": waitstat %d (was %d)\n", handle.name().c_str(), value, before->waitstat);
}

void set_state(const SetOptions &opts) {
    std::optional<int> state = tavikctl::parse_state(opts.state);
    if (!state) {
        throw std::runtime_error("state: \"" + opts.state + "\" is not " + tavikctl::state_choices());
    }
    tavikctl::IpcHandle handle(tavikctl::chosen_namespace(opts.name));
    tavikctl::Snapshot snap = tavikctl::take_snapshot(handle);
    int r = -1;
    for (int i = 0; i < snap->rsc_count; ++i) {
        if (opts.type == snap->resources[i].type && opts.rsc == snap->resources[i].name) {
            r = i;
        }
    }
    if (r < 0) {
        throw std::runtime_error("namespace \"" + handle.name() + "\": no resource " + opts.type + "/" +
                                 opts.rsc);
    }
    // A node by name first; a number that is no node's name is taken as an id.
    int n = -1;
    for (int i = 0; i < snap->node_count; ++i) {
        if (opts.node == snap->nodes[i].name) {
            n = i;
        }
    }
    std::optional<int> id = tavikctl::parse_config_int(opts.node);
    for (int i = 0; n < 0 && id && i < snap->node_count; ++i) {
        if (snap->nodes[i].priority == *id) {
            n = i;
        }
    }
    if (n < 0) {
        throw std::runtime_error("namespace \"" + handle.name() + "\": no node named or numbered \"" +
                                 opts.node + "\"");
    }
    const zvripc_snap_node &node = snap->nodes[n];
    int before = snap->states[r * snap->node_count + n];
    check(handle, "cannot set the state",
          ipc_set_state(handle.get(), opts.type.c_str(), opts.rsc.c_str(), node.priority, *state));
    check(handle, "cannot announce the change", ipc_statchange(handle.get()));
    tavikctl::audit_change(handle, "state " + opts.rsc + "@" + node.name, tavikctl::state_name(before),
                           tavikctl::state_name(*state));
    unsigned long long changes = 0;
    ipc_changes(handle.get(), &changes);
    std::printf("namespace \"%s\": %s/%s on %s(%d): %s -> %s (changes %llu)\n", handle.name().c_str(),
                opts.type.c_str(), opts.rsc.c_str(), node.name, node.priority, tavikctl::state_name(before),
                tavikctl::state_name(*state), changes);
}

void set_downnotify(const SetOptions &opts) {
    tavikctl::IpcHandle handle(tavikctl::chosen_namespace(opts.name));
    check(handle, "cannot give the down-notify semaphore", ipc_post_downnotify(handle.get()));
    tavikctl::audit_change(handle, "downnotify", "-", "given");
    std::printf("namespace \"%s\": down-notify semaphore given\n", handle.name().c_str());
}

tavikctl::CommandRegistrar set_command([](CLI::App &app) {
    static SetOptions opts;
    auto *set = app.add_subcommand("set", "change a value of the IPC namespace as the cluster side would");
    set->require_subcommand(1);
    tavikctl::add_namespace_option(set, opts.name);

    auto *ratio = set->add_subcommand("ratio", "time-out multiplier (and period)");
    ratio->add_option("N", opts.ratio, "ratio, at least 1")->required();
    ratio->add_option("--period", opts.period, "period, at least 0 (default: keep)");
    ratio->fallthrough();
    ratio->callback([] { set_ratio(opts); });

    auto *action = set->add_subcommand("action", "the cluster's action code");
    action->add_option("CODE", opts.action, "action code, decimal or 0x hex")->required();
    action->add_option("--type", opts.acttype, "action type text (default: keep)")
        ->each([](const std::string &) { opts.acttype_given = true; });
    action->fallthrough();
    action->callback([] { set_action(opts); });

    auto *waitstat = set->add_subcommand("waitstat", "the daemon's wait status: 1 = being restarted");
    waitstat->add_option("VALUE", opts.waitstat, "0 or 1")->required();
    waitstat->fallthrough();
    waitstat->callback([] { set_waitstat(opts); });

    auto *state = set->add_subcommand("state", "the state of a resource on a node");
    state->add_option("RSC", opts.rsc, "resource name")->required();
    state->add_option("NODE", opts.node, "node name or id")->required();
    state->add_option("STATE", opts.state, tavikctl::state_choices())->required();
    state->add_option("--type", opts.type, "resource type (default: tavik)");
    state->fallthrough();
    state->callback([] { set_state(opts); });

    auto *down = set->add_subcommand("downnotify", "give the down-notify semaphore once");
    down->fallthrough();
    down->callback([] { set_downnotify(opts); });
});

}  // namespace
