// SPDX-License-Identifier: GPL-3.0-or-later
// `tavikctl bmc targets [--config FILE] [--bmc-conf FILE] [--node NAME] [--stopped]
// [--json]`: reads back from the local BMC, through the BMC library, the 32 target slots
// it holds (address, ctrl, time-out, current result state and status byte) and its own
// state (host flag, access time-out), and compares them with what the heartbeat table of
// the configuration makes the daemon program: the same target list as the check thread
// builds (resources and nodes in table order, unused and address-less entries left out,
// at most 32, ctrl 0xff once started, the per-target time-out), empty slots after it,
// and the access time-out. A BMC that was reset, or that still holds the targets of an
// older configuration, shows as differences. Exit status 0 when the BMC holds what the
// configuration implies, 2 with differences, 1 when the check cannot be made.
// Runs on tavikctl's single thread.
#include "bmc_targets.h"

#include <arpa/inet.h>
#include <unistd.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "bmc_standard.h"
#include "cluster_layout.h"
#include "command.h"
#include "config_session.h"
#include "detection.h"
#include "rules/targets.h"
#include "zvrbmc.h"
#include "zvrbmc_admin.h"
#include "zvrxml.h"

namespace tavikctl::bmc_targets {
namespace {

static_assert(BMC_SLOTS == rules::kMaxTargets, "the BMC's slots are the daemon's targets");

struct TargetsOptions {
    std::string config;
    std::string bmc_conf;
    std::string node;
    bool stopped = false;
    bool json = false;
};

std::optional<int> read_int_key(const std::string &path) {
    int value = 0;
    int size = sizeof value;
    if (xmllib_get_value(path.c_str(), XMLLIB_TYPE_INT, &value, &size) != XMLLIB_OK) {
        return std::nullopt;
    }
    return value;
}

// The address text as the daemon keeps it: read into 46 bytes, cut at a mask's slash.
std::string read_address(const std::string &node, int device) {
    std::string path = "/root/server@" + node + "/device@" + std::to_string(device) + "/info";
    char buf[46] = {};
    int size = sizeof buf;
    if (xmllib_get_value(path.c_str(), XMLLIB_TYPE_STRING, buf, &size) != XMLLIB_OK) {
        return {};
    }
    std::string text = buf;
    std::size_t slash = text.find('/');
    return slash == std::string::npos ? text : text.substr(0, slash);
}

Plan plan_targets(const ClusterLayout &layout, const std::string &own, bool started) {
    Plan plan;
    TimingSettings timing = read_timing_settings();
    DetectionWindows w = compute_windows(timing, 1, 100);
    plan.target_timeout_s = w.target_timeout_s;
    plan.access_timeout_s = w.access_timeout_s;

    // Nodes and resources in the order `tavikctl init` gives them to the namespace, which
    // is the order of the daemon's table.
    std::vector<std::string> nodes;
    for (const ServerEntry &server : layout.servers) {
        nodes.push_back(server.name);
    }
    bool own_found = false;
    for (const std::string &n : nodes) {
        own_found = own_found || n == own;
    }
    if (!own_found) {
        throw std::runtime_error(
            "no <server name=\"" + own +
            "\"> in the configuration: the daemon of this host would not start (give --node NAME)");
    }
    for (const ResourceEntry &rsc : layout.resources) {
        if (rsc.type != "tavik") {
            continue;
        }
        std::string name = rsc.name.substr(0, 31);
        std::optional<int> device = read_int_key("/root/heartbeat/tavik@" + name + "/device");
        if (!device || !rules::resourceactive(*device)) {
            plan.skipped.push_back(name + ": inactive (no BMC device id), none of its nodes is a target");
            continue;
        }
        std::vector<std::string> addresses;
        bool own_addressed = true;
        for (const std::string &n : nodes) {
            addresses.push_back(read_address(n, *device));
            own_addressed = own_addressed && !(n == own && addresses.back().empty());
        }
        for (std::size_t j = 0; j < nodes.size(); ++j) {
            const std::string pair = name + "/" + nodes[j];
            const bool has_address = !addresses[j].empty();
            switch (rules::targetverdict(rules::pairunused(has_address, own_addressed), has_address,
                                         plan.targets)) {
                case rules::Verdict::unused:
                case rules::Verdict::no_address:
                    plan.skipped.push_back(pair +
                                           (has_address ? ": unused (this node has no BMC address for device "
                                                        : ": unused (no BMC address for device ") +
                                           std::to_string(*device) + ")");
                    continue;
                case rules::Verdict::no_room:
                    plan.skipped.push_back(pair + ": no room (the BMC takes " + std::to_string(BMC_SLOTS) +
                                           " targets)");
                    continue;
                case rules::Verdict::target:
                    break;
            }
            // An address that is not IPv4 still makes a target, with address 0, as in
            // the daemon (check-config reports it as an error).
            in_addr parsed{};
            std::uint32_t ip = inet_pton(AF_INET, addresses[j].c_str(), &parsed) == 1 ? parsed.s_addr : 0;
            Expected &slot = plan.slots[static_cast<std::size_t>(plan.targets++)];
            slot.ip = ip;
            slot.ctrl = started ? BMC_CTRL_START : BMC_CTRL_STOP;
            slot.timeout = static_cast<std::uint8_t>(plan.target_timeout_s);
            slot.pairs.push_back(pair);
        }
    }
    return plan;
}

// The BMC library's session for one command.
class BmcSession {
  public:
    BmcSession() {
        if (int rc = libzvrbmc_init(); rc != 0) {
            throw std::runtime_error(std::string("BMC library: ") + libzvrbmc_last_error());
        }
        if (int rc = bmc_init(); rc != 0) {
            std::string why = libzvrbmc_last_error();
            libzvrbmc_term();
            throw std::runtime_error("local BMC: " + why);
        }
    }
    ~BmcSession() {
        bmc_term();
        libzvrbmc_term();
    }
    BmcSession(const BmcSession &) = delete;
    BmcSession &operator=(const BmcSession &) = delete;
};

void check_call(const char *what, int rc, std::uint8_t cc) {
    if (rc != 0 || cc != 0) {
        throw std::runtime_error(std::string(what) + ": " + libzvrbmc_last_error());
    }
}

Held read_held() {
    Held held;
    BmcSession bmc;
    std::uint8_t cc = 0;
    check_call("reading the BMC's state", bmc_admin_get_firmware_state(&held.fw, &cc), cc);
    for (std::uint8_t block = 1; block <= BMC_SLOTS / BMC_BLOCK_RECORDS; ++block) {
        check_call("reading the BMC's targets",
                   bmc_admin_get_targets(
                       block, &held.slots[static_cast<std::size_t>(block - 1) * BMC_BLOCK_RECORDS], &cc),
                   cc);
    }
    return held;
}

// The difference between one slot as the BMC holds it and as the daemon would program
// it; empty when they agree.
std::string slot_difference(const Expected &want, const zvrbmc_held_target &got) {
    if (want.pairs.empty()) {
        if (got.ip != 0) {
            return "the BMC holds " + target_text(got.ip, got.ctrl, got.timeout) +
                   ", the configuration implies an empty slot";
        }
        return {};
    }
    if (want.ip == 0 && got.ip == 0 && got.result == BMC_RESULT_EMPTY) {
        // The daemon starts such a target with address 0; the BMC keeps the slot unused.
        return "the configuration gives " + joined(want.pairs) +
               " no IPv4 address; the BMC keeps the slot unused";
    }
    if (got.ip == 0 && got.result == BMC_RESULT_EMPTY) {
        return "the BMC holds nothing, the configuration implies " +
               target_text(want.ip, want.ctrl, want.timeout) + " (" + joined(want.pairs) + ")";
    }
    if (got.ip != want.ip || got.ctrl != want.ctrl || got.timeout != want.timeout) {
        return "the BMC holds " + target_text(got.ip, got.ctrl, got.timeout) +
               ", the configuration implies " + target_text(want.ip, want.ctrl, want.timeout) + " (" +
               joined(want.pairs) + ")";
    }
    return {};
}

Comparison compare(const Plan &plan, const Held &held) {
    Comparison c;
    for (std::size_t i = 0; i < BMC_SLOTS; ++i) {
        std::string difference = slot_difference(plan.slots[i], held.slots[i]);
        if (!difference.empty()) {
            c.slot_ok[i] = false;
            c.differences.push_back("slot " + std::to_string(i) + ": " + difference);
        }
    }
    if (static_cast<int>(held.fw.access_timeout_s) != plan.access_timeout_s) {
        c.differences.push_back("access time-out: the BMC holds " + std::to_string(held.fw.access_timeout_s) +
                                " s, the configuration implies " + std::to_string(plan.access_timeout_s) +
                                " s (the daemon sends it once, when its check thread starts)");
    }
    return c;
}

int run_targets(const TargetsOptions &opts) {
    if (!opts.bmc_conf.empty()) {
        ::setenv("TAVIK_BMC_CONF", opts.bmc_conf.c_str(), 1);
    }
    const char *conf_env = std::getenv("TAVIK_BMC_CONF");
    Sources src;
    src.bmc_conf = conf_env != nullptr && *conf_env != '\0' ? conf_env : "/etc/tavik/bmc.conf";
    src.own = opts.node.empty() ? own_host_name() : opts.node;
    src.config = configuration_path(opts.config);
    src.stopped = opts.stopped;

    Plan plan;
    {
        ClusterLayout layout = load_cluster_layout(src.config);
        ConfigSession session(src.config);
        plan = plan_targets(layout, src.own, !opts.stopped);
    }

    if (standard_driver_configured()) {
        std::vector<PlannedTarget> planned;
        for (int i = 0; i < plan.targets; ++i) {
            const Expected &e = plan.slots[static_cast<std::size_t>(i)];
            planned.push_back({e.ip, e.ctrl, e.timeout, joined(e.pairs)});
        }
        return show_standard_targets(src.own, src.bmc_conf, src.config, planned, plan.access_timeout_s,
                                     opts.json);
    }

    const Held held = read_held();
    const Comparison c = compare(plan, held);
    if (opts.json) {
        render_json(src, plan, held, c);
    } else {
        render_text(src, plan, held, c);
    }
    return c.differences.empty() ? 0 : 2;
}

CommandRegistrar bmc_command([](CLI::App &app) {
    static TargetsOptions opts;
    auto *bmc = command_group(app, "bmc", "look at the local BMC and the peers' BMCs");
    auto *targets = bmc->add_subcommand(
        "targets", "read back the targets the local BMC holds and compare them with the configuration");
    targets->add_option("--config", opts.config,
                        "cluster configuration (default: $TAVIK_CONFIG, else /etc/tavik/cluster.xml)");
    targets->add_option("--bmc-conf", opts.bmc_conf,
                        "BMC access file (default: $TAVIK_BMC_CONF, else /etc/tavik/bmc.conf)");
    targets->add_option("--node", opts.node,
                        "this node's server name (default: the host name up to its first dot)");
    targets->add_flag(
        "--stopped", opts.stopped,
        "expect the targets stopped (ctrl 0x00): the daemon has not been started with SIGUSR2 yet");
    targets->add_flag("--json", opts.json, "print JSON instead of a table");
    targets->footer(
        "Exit status: 0 the BMC holds what the configuration implies, 2 differences, 1 the check could not "
        "run.");
    targets->callback([] {
        try {
            exit_code() = run_targets(opts);
        } catch (const std::exception &e) {
            std::fprintf(stderr, "tavikctl: bmc targets: %s\n", e.what());
            exit_code() = 1;
        }
    });
});

}  // namespace
}  // namespace tavikctl::bmc_targets
