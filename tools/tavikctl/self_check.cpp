// SPDX-License-Identifier: GPL-3.0-or-later
#include "self_check.h"

#include <vector>

namespace tavikctl {

namespace {

std::string listed(const std::vector<std::string> &names) {
    std::string out;
    for (const std::string &n : names) {
        out += (out.empty() ? "" : ", ") + n;
    }
    return out;
}

}  // namespace

SelfVerdict self_verdict(const zvripc_snapshot &snap, const Health &health) {
    // The daemon publishes the status from this node's own pair first: error when that
    // pair is offline or unknown, caution or normal when it is online. Unused resources
    // do not watch this node at all.
    std::vector<std::string> online;
    std::vector<std::string> not_online;
    for (int r = 0; r < snap.rsc_count; ++r) {
        const zvripc_snap_rsc &rsc = snap.resources[r];
        if (rsc.status == 0 || rsc.status == 3) {
            online.push_back(rsc.name);
        } else if (rsc.status != 15) {
            not_online.push_back(std::string(rsc.name) + " " + status_name(rsc.status));
        }
    }
    SelfVerdict v;
    if (!not_online.empty()) {
        v.summary = "own pair not online: " + listed(not_online);
    } else if (online.empty()) {
        v.summary = "no resource watches this node";
    } else {
        v.summary = "own pair online on " + listed(online);
    }
    const bool live = health.daemon == "up" || health.daemon == "starting";
    v.code = live && not_online.empty() && !online.empty() ? kHealthOk : kHealthError;
    return v;
}

std::string self_check_line(const zvripc_snapshot &snap, const HealthView &view) {
    const SelfVerdict v = self_verdict(snap, view.health);
    return std::string("TAVIK ") + health_word(v.code) + " - " + v.summary + "; " + view.health.headline;
}

}  // namespace tavikctl
