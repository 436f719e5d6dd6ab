// SPDX-License-Identifier: GPL-3.0-or-later
// `tavikctl bmc check [--config FILE] [--bmc-conf FILE] [--node NAME] [--json]`: the
// preflight of a node (bmc_check.h). Every server of the configuration has its BMC
// addresses (those of the devices its active tavik resources use); each is looked at
// through the BMC library as the peers' hosts will reach it, and the own BMC through the
// daemon's own session as well. Nothing is written to any BMC.
// Runs on tavikctl's single thread.
#include "bmc_check.h"

#include <arpa/inet.h>

#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <set>
#include <stdexcept>

#include "bmc_standard.h"
#include "cluster_layout.h"
#include "command.h"
#include "config_session.h"
#include "rules/targets.h"
#include "text_table.h"
#include "zvrbmc.h"

namespace tavikctl::bmc_check {
namespace {

struct CheckOptions {
    std::string config;
    std::string bmc_conf;
    std::string node;
    bool json = false;
};

// The address text as the daemon takes it: cut at a mask's slash.
std::string bare_address(const std::string &text) {
    return text.substr(0, text.find('/'));
}

// Every (node, BMC address) pair the active tavik resources name, in configuration order.
std::vector<Looked> bmcs_of(const ClusterLayout &layout, const std::string &own) {
    std::set<int> devices;
    for (const ResourceEntry &rsc : layout.resources) {
        if (rsc.type == "tavik" && rsc.device && rules::resourceactive(*rsc.device)) {
            devices.insert(*rsc.device);
        }
    }
    std::vector<Looked> out;
    bool own_found = false;
    for (const ServerEntry &server : layout.servers) {
        own_found = own_found || server.name == own;
        std::set<std::string> seen;
        for (int device : devices) {
            auto it = server.device_address.find(device);
            const std::string address = it == server.device_address.end() ? "" : bare_address(it->second);
            if (seen.insert(address).second) {
                Looked l;
                l.node = server.name;
                l.address = address;
                l.own = server.name == own;
                out.push_back(l);
            }
        }
    }
    if (!own_found) {
        throw std::runtime_error("no <server name=\"" + own + "\"> in " + layout.path +
                                 " (give --node NAME)");
    }
    return out;
}

struct Library {
    Library() {
        if (libzvrbmc_init() != 0) {
            throw std::runtime_error(std::string("BMC library: ") + libzvrbmc_last_error());
        }
    }
    ~Library() { libzvrbmc_term(); }
    Library(const Library &) = delete;
    Library &operator=(const Library &) = delete;
};

// The daemon's own session to its BMC, and a reading of the watchdog over it.
void look_locally(Looked &l) {
    zvrbmc_watchdog w{};
    std::uint8_t cc = 0;
    if (bmc_init() != 0) {
        l.local_ok = false;
        l.local_why = libzvrbmc_last_error();
        return;
    }
    if (bmc_admin_get_watchdog(&w, &cc) != 0 || cc != 0) {
        l.local_ok = false;
        l.local_why = std::string("reading the watchdog: ") + libzvrbmc_last_error();
    }
    bmc_term();
}

void look(Looked &l) {
    in_addr a{};
    if (l.address.empty() || inet_pton(AF_INET, l.address.c_str(), &a) != 1) {
        (void)std::snprintf(l.look.why, sizeof l.look.why, "%s",
                            l.address.empty() ? "no BMC address in the configuration"
                                              : ("'" + l.address + "' is not an IPv4 address").c_str());
        return;
    }
    if (bmc_admin_preflight(a.s_addr, &l.look) != 0) {
        (void)std::snprintf(l.look.why, sizeof l.look.why, "%s", libzvrbmc_last_error());
    }
}

std::string presence_text(const zvrbmc_preflight &p) {
    if (p.pong) {
        return "pong";
    }
    return p.capabilities ? "capabilities only" : "none";
}

// "0-3,6,17": runs of consecutive suites shortened.
std::string offered_text(const zvrbmc_preflight &p) {
    std::string out;
    for (unsigned i = 0; i < p.suites_count; ++i) {
        unsigned j = i;
        while (j + 1 < p.suites_count && p.suites[j + 1] == p.suites[j] + 1) {
            ++j;
        }
        out += (out.empty() ? "" : ",") + std::to_string(p.suites[i]);
        if (j > i) {
            out += "-" + std::to_string(p.suites[j]);
        }
        i = j;
    }
    return out.empty() ? "none" : out;
}

std::string suites_text(const zvrbmc_preflight &p) {
    if (p.suite == 0 && !p.suites_listed) {
        return "-";
    }
    return std::to_string(p.suite) + " of " + (p.suites_listed ? offered_text(p) : "?");
}

const char *privilege_name(unsigned privilege) {
    switch (privilege) {
        case 1:
            return "callback";
        case 2:
            return "user";
        case 3:
            return "operator";
        case 4:
            return "admin";
        default:
            return "?";
    }
}

std::string login_text(const zvrbmc_preflight &p) {
    if (!p.login) {
        return p.login_refused ? "refused" : "-";
    }
    if (!p.slots_read) {
        return "yes";
    }
    return std::string(privilege_name(p.privilege)) + " (id " + std::to_string(p.user_id) + ")";
}

std::string sessions_text(const zvrbmc_preflight &p, unsigned nodes) {
    if (!p.slots_read) {
        return "-";
    }
    return std::to_string(p.sessions_active) + "/" + std::to_string(p.sessions_max) + " (need " +
           std::to_string(sessions_needed(nodes)) + ")";
}

std::string owner_text(const zvrbmc_preflight &p) {
    if (!p.watchdog_read) {
        return "-";
    }
    if (p.watchdog.ours) {
        return "tavik";
    }
    return p.lease_workable == BMC_LEASE_OBSERVE ? "another program" : "free";
}

std::string lease_text(const zvrbmc_preflight &p) {
    if (!p.watchdog_read) {
        return "-";
    }
    std::string text = source_name(p.lease_workable);
    if (p.lease_workable != p.lease_expected) {
        text += std::string(" (") + source_name(p.lease_expected) + " expected)";
    }
    return text;
}

std::string joined_findings(const Judgement &j) {
    std::string out;
    for (const std::string &f : j.findings) {
        out += (out.empty() ? "" : "; ") + f;
    }
    return out;
}

nlohmann::ordered_json json_of(const Looked &l, const Judgement &j) {
    const zvrbmc_preflight &p = l.look;
    return {{"node", l.node},
            {"address", l.address},
            {"own", l.own},
            {"verdict", verdict_name(j.verdict)},
            {"findings", j.findings},
            {"own_session", l.own ? nlohmann::ordered_json(l.local_ok) : nlohmann::ordered_json(nullptr)},
            {"pong", p.pong != 0},
            {"capabilities", p.capabilities != 0},
            {"suites_offered",
             p.suites_listed ? nlohmann::ordered_json(std::vector<int>(p.suites, p.suites + p.suites_count))
                             : nlohmann::ordered_json(nullptr)},
            {"suite", p.suite},
            {"login", p.login != 0},
            {"login_refused", p.login_refused != 0},
            {"privilege", p.slots_read ? nlohmann::ordered_json(privilege_name(p.privilege)) : nullptr},
            {"sessions_active", p.slots_read ? nlohmann::ordered_json(p.sessions_active) : nullptr},
            {"sessions_max", p.slots_read ? nlohmann::ordered_json(p.sessions_max) : nullptr},
            {"watchdog_owner", owner_text(p)},
            {"watchdog", p.watchdog_read ? nlohmann::ordered_json(p.settings) : nullptr},
            {"lease_workable", source_name(p.lease_workable)},
            {"lease_expected", source_name(p.lease_expected)}};
}

int run_check(const CheckOptions &opts) {
    // NOLINTBEGIN(concurrency-mt-unsafe): tavikctl runs its command on one thread
    if (!opts.bmc_conf.empty()) {
        ::setenv("TAVIK_BMC_CONF", opts.bmc_conf.c_str(), 1);
    }
    const char *conf_env = std::getenv("TAVIK_BMC_CONF");
    // NOLINTEND(concurrency-mt-unsafe)
    const std::string bmc_conf = conf_env != nullptr && *conf_env != '\0' ? conf_env : "/etc/tavik/bmc.conf";
    const std::string config = configuration_path(opts.config);
    const std::string own = opts.node.empty() ? own_host_name() : opts.node;
    const ClusterLayout layout = load_cluster_layout(config);
    std::vector<Looked> bmcs = bmcs_of(layout, own);
    const auto nodes = static_cast<unsigned>(layout.servers.size());

    Library lib;
    int driver = -1;
    bmc_admin_get_driver(&driver);
    if (driver != BMC_DRIVER_STANDARD) {
        throw std::runtime_error(
            bmc_conf +
            ": bmc check looks at driver = standard; with the heartbeat firmware the BMCs "
            "watch each other (see bmc targets)");
    }
    std::vector<Judgement> judged;
    for (Looked &l : bmcs) {
        if (l.own) {
            look_locally(l);
        }
        look(l);
        judged.push_back(judge(l, nodes));
    }
    if (opts.json) {
        nlohmann::ordered_json rows = nlohmann::ordered_json::array();
        for (std::size_t i = 0; i < bmcs.size(); ++i) {
            rows.push_back(json_of(bmcs[i], judged[i]));
        }
        const nlohmann::ordered_json doc = {{"configuration", config},
                                            {"access_file", bmc_conf},
                                            {"node", own},
                                            {"nodes", nodes},
                                            {"sessions_needed", sessions_needed(nodes)},
                                            {"bmcs", rows},
                                            {"exit_status", exit_status(judged)}};
        (void)std::fputs((doc.dump(2) + "\n").c_str(), stdout);
        return exit_status(judged);
    }
    TextRows table = {{"NODE", "BMC", "VERDICT", "PRESENCE", "CIPHER", "LOGIN", "SESSIONS", "WATCHDOG",
                       "LEASE", "FINDINGS"}};
    for (std::size_t i = 0; i < bmcs.size(); ++i) {
        const zvrbmc_preflight &p = bmcs[i].look;
        const std::string watchdog = owner_text(p) + (p.watchdog_read ? std::string(": ") + p.settings : "");
        table.push_back({bmcs[i].node + (bmcs[i].own ? " (this node)" : ""), bmcs[i].address,
                         verdict_name(judged[i].verdict), presence_text(p), suites_text(p), login_text(p),
                         sessions_text(p, nodes), watchdog, lease_text(p), joined_findings(judged[i])});
    }
    (void)std::fputs(text_table(table).c_str(), stdout);
    static const char *summary[] = {"every BMC is ready", "warnings only: the node can join",
                                    "a node cannot join"};
    std::printf("\n%s\n", summary[exit_status(judged)]);
    return exit_status(judged);
}

CommandRegistrar check_command([](CLI::App &app) {
    static CheckOptions opts;
    auto *bmc = command_group(app, "bmc", "look at the local BMC and the peers' BMCs");
    auto *check = bmc->add_subcommand(
        "check", "before a node joins: look at its BMC and every peer's BMC as the hosts will reach them");
    check->add_option("--config", opts.config,
                      "cluster configuration (default: $TAVIK_CONFIG, else /etc/tavik/cluster.xml)");
    check->add_option("--bmc-conf", opts.bmc_conf,
                      "BMC access file (default: $TAVIK_BMC_CONF, else /etc/tavik/bmc.conf)");
    check->add_option("--node", opts.node,
                      "this node's server name (default: the host name up to its first dot)");
    check->add_flag("--json", opts.json, "print JSON instead of a table");
    check->footer(
        "Reads only: takes no lease and writes no timer. Exit status: 0 every BMC is ready, 1 warnings, 2 a "
        "node "
        "cannot join (or the check cannot be made).");
    check->callback([] {
        try {
            exit_code() = run_check(opts);
        } catch (const std::exception &e) {
            (void)std::fprintf(stderr, "tavikctl: bmc check: %s\n", e.what());
            exit_code() = 2;
        }
    });
});

}  // namespace
}  // namespace tavikctl::bmc_check
