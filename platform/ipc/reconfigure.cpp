// SPDX-License-Identifier: GPL-3.0-or-later
// A namespace rebuilt for a changed cluster configuration (a node or resource added or
// removed) without losing what the cluster knows: the node-manager segment is made anew
// for the new definition, everything that still exists is carried over by name, and the
// new segment replaces the old one whole (migrate.h).
#include <cstring>
#include <string>
#include <unordered_map>
#include <vector>

#include "migrate.h"
#include "namespace.h"
#include "segment.h"

namespace zvripc {

namespace {

std::string rsc_key(const std::string &type, const std::string &name) {
    return type + '\0' + name;
}

// Where each new entry was in the old segment (-1: new).
struct Matches {
    std::vector<long> nodes, rscs;
};

Matches match(const NmView &old, const zvripc_node_def *nodes, std::uint32_t n, const zvripc_rsc_def *rscs,
              std::uint32_t r, zvripc_carried &carried) {
    std::unordered_map<std::string, long> old_nodes, old_rscs;
    for (std::uint32_t i = 0; i < old.node_count(); ++i) {
        old_nodes.emplace(old.node(i).name, i);
    }
    for (std::uint32_t j = 0; j < old.rsc_count(); ++j) {
        old_rscs.emplace(rsc_key(old.rsc(j).type, old.rsc(j).name), j);
    }
    Matches m;
    for (std::uint32_t i = 0; i < n; ++i) {
        auto it = old_nodes.find(nodes[i].name);
        m.nodes.push_back(it != old_nodes.end() ? it->second : -1);
        ++(it != old_nodes.end() ? carried.nodes_kept : carried.nodes_new);
    }
    for (std::uint32_t j = 0; j < r; ++j) {
        auto it = old_rscs.find(rsc_key(rscs[j].type, rscs[j].name));
        m.rscs.push_back(it != old_rscs.end() ? it->second : -1);
        ++(it != old_rscs.end() ? carried.rscs_kept : carried.rscs_new);
    }
    carried.nodes_dropped = static_cast<int>(old.node_count()) - carried.nodes_kept;
    carried.rscs_dropped = static_cast<int>(old.rsc_count()) - carried.rscs_kept;
    return m;
}

template <class T>
T *at(std::vector<char> &bytes, std::uint64_t offset) {
    return reinterpret_cast<T *>(bytes.data() + offset);
}

// The new segment's bytes: fresh for the new definition, then what the old one held for
// every entry found in both, and the header's running values and the liveness block.
std::vector<char> rebuild(std::vector<char> &old, std::uint32_t on, std::uint32_t orr, const Matches &m,
                          const zvripc_node_def *nodes, std::uint32_t n, const zvripc_rsc_def *rscs,
                          std::uint32_t r) {
    std::vector<char> fresh(nm_total_size(n, r), 0);
    fill_nm_segment(fresh.data(), nodes, n, rscs, r);
    auto *oh = at<NmHeader>(old, 0);
    auto *nh = at<NmHeader>(fresh, 0);
    nh->prefix = oh->prefix;
    nh->prefix.total_size = fresh.size();
    nh->changes = oh->changes;
    nh->recoveries = oh->recoveries;
    nh->waitstat = oh->waitstat;
    nh->created_wall_ns = oh->created_wall_ns;
    nh->created_mono_ns = oh->created_mono_ns;
    auto *ostates = at<std::int32_t>(old, nm_states_offset(on, orr));
    auto *nstates = at<std::int32_t>(fresh, nm_states_offset(n, r));
    auto *ohist = at<HistoryRecord>(old, nm_history_offset(on, orr));
    auto *nhist = at<HistoryRecord>(fresh, nm_history_offset(n, r));
    auto *orecs = at<RscRecord>(old, nm_rscs_offset(on));
    auto *nrecs = at<RscRecord>(fresh, nm_rscs_offset(n));
    auto *ostatus = at<HistoryRecord>(old, nm_status_history_offset(on, orr));
    auto *nstatus = at<HistoryRecord>(fresh, nm_status_history_offset(n, r));
    for (std::uint32_t j = 0; j < r; ++j) {
        const long oj = m.rscs[j];
        if (oj < 0) {
            continue;
        }
        nrecs[j].status = orecs[oj].status;
        nstatus[j] = ostatus[oj];
        for (std::uint32_t i = 0; i < n; ++i) {
            const long oi = m.nodes[i];
            if (oi >= 0) {
                nstates[j * n + i] = ostates[oj * on + oi];
                nhist[j * n + i] = ohist[oj * on + oi];
            }
        }
    }
    std::memcpy(fresh.data() + nm_liveness_offset(n, r), old.data() + nm_liveness_offset(on, orr),
                sizeof(LivenessBlock));
    return fresh;
}

std::string counts(std::uint32_t nodes, std::uint32_t rscs) {
    return std::to_string(nodes) + " nodes, " + std::to_string(rscs) + " resources";
}

}  // namespace

int reconfigure_namespace(const std::string &ns, const zvripc_node_def *nodes, int node_count,
                          const zvripc_rsc_def *rscs, int rsc_count, zvripc_carried *carried) {
    if (int rc = check_definitions(nodes, node_count, rscs, rsc_count)) {
        return rc;
    }
    int from = 0;
    if (int rc = migrate_namespace(ns, &from)) {
        return rc;
    }
    NmView old;
    if (int rc = old.open(ns)) {
        return rc;
    }
    const auto n = static_cast<std::uint32_t>(node_count);
    const auto r = static_cast<std::uint32_t>(rsc_count);
    zvripc_carried kept{};
    const Matches m = match(old, nodes, n, rscs, r, kept);
    int rc = ZVRIPC_OK;
    // Under the old segment's lock from the copy to the rename: a write that waits for it
    // lands in the old segment, which the name no longer reaches, so none is half-carried.
    int locked = old.under_lock([&] {
        std::vector<char> image = old.image();
        std::vector<char> fresh = rebuild(image, old.node_count(), old.rsc_count(), m, nodes, n, rscs, r);
        audit_into(fresh, "reconfigure", counts(old.node_count(), old.rsc_count()).c_str(),
                   counts(n, r).c_str());
        rc = replace_segment(object_names(ns).nm, std::move(fresh), static_cast<mode_t>(old.mode()),
                             old.stat().st_gid);
    });
    if (locked != ZVRIPC_OK) {
        return locked;
    }
    if (rc == ZVRIPC_OK && carried != nullptr) {
        *carried = kept;
    }
    return rc;
}

}  // namespace zvripc
