// SPDX-License-Identifier: GPL-3.0-or-later
// `tavikctl init [--config FILE] [--force | --if-missing | --reconfigure] [--group GROUP]
// [--name NAME]`:
// creates one node's IPC namespace from the cluster configuration: every <server> a node
// with its priority as id, every element inside <heartbeat> a resource of that type;
// every state and status unknown (9), ratio 1, period 0, action 0, wait status 0.
// --if-missing keeps a namespace that matches the configuration (the service's start
// after a reboot or a restart) and refuses one that does not, without touching it; an
// object in the way that neither root nor this user owns (planted before the start:
// /dev/shm is anyone's) could never be attached, so it is removed, with a notice. A
// namespace an older tavik made is migrated first (the service's start after a package
// upgrade). --reconfigure rebuilds an existing namespace for a changed configuration,
// keeping by name what still exists. Runs on tavikctl's single thread.
#include <grp.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "cluster_layout.h"
#include "command.h"
#include "ipc_cli.h"

namespace {

struct InitOptions {
    std::string config;
    std::string name;
    std::string group;
    bool force = false;
    bool if_missing = false;
    bool reconfigure = false;
};

std::string config_path(const std::string &option) {
    if (!option.empty()) {
        return option;
    }
    const char *env = std::getenv("TAVIK_CONFIG");
    return env != nullptr && *env != '\0' ? env : "/etc/tavik/cluster.xml";
}

std::string where(const tavikctl::ClusterLayout &layout, int line) {
    return layout.path + ":" + std::to_string(line);
}

int group_id(const std::string &group) {
    if (group.empty()) {
        return -1;
    }
    std::optional<int> number = tavikctl::parse_config_int(group);
    if (number && *number >= 0) {
        return *number;
    }
    struct group entry {};
    struct group *found = nullptr;
    std::vector<char> buf(16384);
    if (getgrnam_r(group.c_str(), &entry, buf.data(), buf.size(), &found) != 0 || found == nullptr) {
        throw std::runtime_error("--group: no group \"" + group + "\"");
    }
    return static_cast<int>(found->gr_gid);
}

// The first difference between an existing namespace and the definition, or "".
std::string difference(const zvripc_snapshot &snap, const std::vector<zvripc_node_def> &nodes,
                       const std::vector<zvripc_rsc_def> &rscs) {
    if (static_cast<size_t>(snap.node_count) != nodes.size()) {
        return "it has " + std::to_string(snap.node_count) + " nodes, the configuration " +
               std::to_string(nodes.size());
    }
    if (static_cast<size_t>(snap.rsc_count) != rscs.size()) {
        return "it has " + std::to_string(snap.rsc_count) + " resources, the configuration " +
               std::to_string(rscs.size());
    }
    for (size_t i = 0; i < nodes.size(); ++i) {
        const zvripc_snap_node &have = snap.nodes[i];
        if (nodes[i].name != std::string(have.name) || nodes[i].priority != have.priority) {
            return "node " + std::to_string(i + 1) + " is " + have.name + "(" +
                   std::to_string(have.priority) + "), the configuration's " + nodes[i].name + "(" +
                   std::to_string(nodes[i].priority) + ")";
        }
    }
    for (size_t i = 0; i < rscs.size(); ++i) {
        const zvripc_snap_rsc &have = snap.resources[i];
        if (rscs[i].type != std::string(have.type) || rscs[i].name != std::string(have.name) ||
            rscs[i].priority != have.priority) {
            return "resource " + std::to_string(i + 1) + " is " + have.type + "/" + have.name + "(" +
                   std::to_string(have.priority) + "), the configuration's " + rscs[i].type + "/" +
                   rscs[i].name + "(" + std::to_string(rscs[i].priority) + ")";
        }
    }
    return "";
}

// The files of the namespace's four objects.
std::vector<std::string> object_files(const std::string &ns) {
    return {"/dev/shm/" + ns + ".nm", "/dev/shm/" + ns + ".cm", "/dev/shm/sem." + ns + ".statchange",
            "/dev/shm/sem." + ns + ".downnotify"};
}

// Removes every object of the namespace that neither root nor this user owns; how many.
int remove_foreign(const std::string &ns) {
    int removed = 0;
    for (const std::string &file : object_files(ns)) {
        struct stat st {};
        if (lstat(file.c_str(), &st) != 0 || st.st_uid == 0 || st.st_uid == geteuid()) {
            continue;
        }
        char what[96];
        (void)std::snprintf(what, sizeof what, "owner uid %u, mode %04o%s", static_cast<unsigned>(st.st_uid),
                            static_cast<unsigned>(st.st_mode & 07777),
                            S_ISREG(st.st_mode) ? "" : ", not a regular file");
        if (unlink(file.c_str()) != 0) {
            char text[128];
            std::string why = "namespace \"" + ns + "\": cannot remove ";
            why += file + " (" + what + ") in the way: " + strerror_r(errno, text, sizeof text);
            throw std::runtime_error(why);
        }
        (void)std::fprintf(
            stderr,
            "tavikctl init: namespace \"%s\": removed %s (%s): neither root nor this user owns it, "
            "so it could never be attached\n",
            ns.c_str(), file.c_str(), what);
        ++removed;
    }
    return removed;
}

// A namespace of an older layout is brought to this one before it is compared or used;
// one of a newer layout, or one that cannot be read as its layout says, stays as it is.
void migrate(const std::string &ns) {
    int from = 0;
    int rc = ipc_migrate(ns.c_str(), &from);
    if (rc == ZVRIPC_EBADSEG) {
        throw std::runtime_error(
            "namespace \"" + ns + "\": cannot migrate it to layout " + std::to_string(ipc_layout_version()) +
            ": " + ipc_last_error() +
            "; left as it is (clear it with `tavikctl init --force`, which loses its states)");
    }
    if (rc != ZVRIPC_OK || from == ipc_layout_version()) {
        return;  // what is missing or not trusted is told by the open that follows
    }
    std::printf(
        "namespace \"%s\": migrated from layout %d (an older tavik) to %d: states, statuses and their "
        "history, "
        "change counter, wait status, action, ratio, period and group kept; the daemon's liveness record and "
        "the audit ring start empty (layout %d had none)\n",
        ns.c_str(), from, ipc_layout_version(), from);
}

void keep_matching(const std::string &ns, const std::string &config,
                   const std::vector<zvripc_node_def> &nodes, const std::vector<zvripc_rsc_def> &rscs) {
    migrate(ns);
    zvripc_handle *raw = nullptr;
    if (int rc = ipc_open(ns.c_str(), &raw); rc == ZVRIPC_ENOENT) {
        // Some of it is there and some not: nothing this command should guess about.
        throw std::runtime_error(
            "namespace \"" + ns + "\" is incomplete: " + ipc_last_error() +
            ", while other objects of it exist; left as it is (replace it with `tavikctl "
            "init --force`)");
    } else {
        ipc_close(raw);
    }
    tavikctl::IpcHandle handle(ns);
    tavikctl::Snapshot snap = tavikctl::take_snapshot(handle);
    if (std::string diff = difference(*snap, nodes, rscs); !diff.empty()) {
        throw std::runtime_error("namespace \"" + ns + "\" exists but does not match " + config + ": " +
                                 diff +
                                 "; left as it is (`tavikctl init --reconfigure` keeps what still exists, "
                                 "`tavikctl init --force` starts afresh)");
    }
    std::printf("namespace \"%s\": exists and matches %s; left as it is\n", ns.c_str(), config.c_str());
}

std::string carried_text(int kept, int added, int dropped, const char *what) {
    return std::to_string(kept) + " " + what + " kept, " + std::to_string(added) + " new, " +
           std::to_string(dropped) + " dropped";
}

void reconfigure(const std::string &ns, const std::string &config, const std::vector<zvripc_node_def> &nodes,
                 const std::vector<zvripc_rsc_def> &rscs) {
    migrate(ns);
    zvripc_carried carried{};
    if (int rc = ipc_reconfigure(ns.c_str(), nodes.data(), static_cast<int>(nodes.size()), rscs.data(),
                                 static_cast<int>(rscs.size()), &carried)) {
        if (rc == ZVRIPC_EARG) {
            throw std::runtime_error(config + ": " + ipc_last_error());
        }
        tavikctl::throw_ipc(ns, "cannot reconfigure", rc);
    }
    std::printf(
        "namespace \"%s\": rebuilt from %s: %s, %s; the states, statuses and history of what was "
        "kept are carried over, what is new starts unknown (9)\n",
        ns.c_str(), config.c_str(),
        carried_text(carried.nodes_kept, carried.nodes_new, carried.nodes_dropped, "nodes").c_str(),
        carried_text(carried.rscs_kept, carried.rscs_new, carried.rscs_dropped, "resources").c_str());
    std::printf("  restart the service so that the daemon attaches to it\n");
}

void run_init(const InitOptions &opts) {
    std::string ns = tavikctl::chosen_namespace(opts.name);
    tavikctl::ClusterLayout layout = tavikctl::load_cluster_layout(config_path(opts.config));

    std::vector<zvripc_node_def> nodes;
    for (const auto &server : layout.servers) {
        if (server.name.empty()) {
            throw std::runtime_error(where(layout, server.line) + ": <server> has no name attribute");
        }
        if (!server.priority) {
            throw std::runtime_error(where(layout, server.line) + ": server \"" + server.name +
                                     "\" has no integer <priority>");
        }
        nodes.push_back({server.name.c_str(), *server.priority});
    }
    if (nodes.empty()) {
        throw std::runtime_error(layout.path + ": no <server> element, so the namespace would have no node");
    }
    std::vector<zvripc_rsc_def> rscs;
    for (const auto &rsc : layout.resources) {
        if (rsc.name.empty()) {
            throw std::runtime_error(where(layout, rsc.line) + ": <" + rsc.type +
                                     "> in <heartbeat> has no name attribute");
        }
        if (!rsc.priority) {
            throw std::runtime_error(where(layout, rsc.line) + ": resource " + rsc.type + "/" + rsc.name +
                                     " has no integer <priority>");
        }
        rscs.push_back({rsc.type.c_str(), rsc.name.c_str(), *rsc.priority});
    }

    struct stat nm {};
    if (opts.reconfigure && lstat(object_files(ns)[0].c_str(), &nm) == 0) {
        reconfigure(ns, layout.path, nodes, rscs);
        return;
    }
    zvripc_create_opts create{opts.force ? 1 : 0, group_id(opts.group)};
    int rc = ipc_create(ns.c_str(), nodes.data(), static_cast<int>(nodes.size()), rscs.data(),
                        static_cast<int>(rscs.size()), &create);
    if (rc == ZVRIPC_EEXIST && opts.if_missing && remove_foreign(ns) > 0) {
        rc = ipc_create(ns.c_str(), nodes.data(), static_cast<int>(nodes.size()), rscs.data(),
                        static_cast<int>(rscs.size()), &create);
    }
    if (rc == ZVRIPC_EEXIST && opts.if_missing) {
        keep_matching(ns, layout.path, nodes, rscs);
        return;
    }
    if (rc == ZVRIPC_EEXIST) {
        throw std::runtime_error("namespace \"" + ns + "\" exists already (" + ipc_last_error() +
                                 "); use --force to replace it");
    }
    if (rc == ZVRIPC_EARG) {
        throw std::runtime_error(layout.path + ": " + ipc_last_error());
    }
    if (rc != ZVRIPC_OK) {
        tavikctl::throw_ipc(ns, "cannot create", rc);
    }

    std::printf("namespace \"%s\": created from %s (mode %s)\n", ns.c_str(), layout.path.c_str(),
                create.gid >= 0 ? "0660" : "0600");
    std::printf("  %zu node%s:", nodes.size(), nodes.size() == 1 ? "" : "s");
    for (const auto &node : nodes) {
        std::printf(" %s(%d)", node.name, node.priority);
    }
    std::printf("\n  %zu resource%s:", rscs.size(), rscs.size() == 1 ? "" : "s");
    for (const auto &r : rscs) {
        std::printf(" %s/%s(%d)", r.type, r.name, r.priority);
    }
    std::printf("\n  every state and status unknown (9); ratio 1, period 0, action 0, wait status 0\n");
}

tavikctl::CommandRegistrar init_command([](CLI::App &app) {
    static InitOptions opts;
    auto *cmd = app.add_subcommand("init", "create the IPC namespace from the cluster configuration");
    cmd->add_option("--config", opts.config,
                    "cluster configuration (default: $TAVIK_CONFIG, else /etc/tavik/cluster.xml)");
    auto *force = cmd->add_flag("--force", opts.force, "replace the namespace if it exists");
    auto *if_missing =
        cmd->add_flag("--if-missing", opts.if_missing,
                      "keep an existing namespace that matches the configuration; refuse one that does not")
            ->excludes(force);
    auto *group =
        cmd->add_option("--group", opts.group, "also let this group (name or id) read and write (mode 0660)");
    cmd->add_flag(
           "--reconfigure", opts.reconfigure,
           "rebuild an existing namespace for a changed configuration, keeping the states, statuses and "
           "history of the nodes and resources that are still there (matched by name)")
        ->excludes(force)
        ->excludes(if_missing)
        ->excludes(group);
    tavikctl::add_namespace_option(cmd, opts.name);
    cmd->callback([] { run_init(opts); });
});

}  // namespace
