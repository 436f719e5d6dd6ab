// SPDX-License-Identifier: GPL-3.0-or-later
#include "check_config_limits.h"

#include "zvripc_admin.h"

namespace tavikctl {

namespace {

// At most this many pairs are named; the rest are counted.
constexpr std::size_t kNamed = 16;

std::string pair_list(const std::vector<std::string> &pairs) {
    std::string out;
    for (std::size_t i = 0; i < pairs.size() && i < kNamed; ++i) {
        out += (i == 0 ? "" : ", ") + pairs[i];
    }
    if (pairs.size() > kNamed) {
        out += " and " + std::to_string(pairs.size() - kNamed) + " more";
    }
    return out;
}

}  // namespace

std::vector<std::string> target_pairs(const ClusterLayout &layout) {
    std::vector<std::string> pairs;
    for (const ResourceEntry &rsc : layout.resources) {
        if (rsc.type != "tavik" || rsc.section != 0 || !rsc.device || *rsc.device < 0) {
            continue;
        }
        for (const ServerEntry &server : layout.servers) {
            if (server.device_address.count(*rsc.device) != 0) {
                pairs.push_back(rsc.name.substr(0, ZVRIPC_RSC_NAME_MAX) + "/" + server.name);
            }
        }
    }
    return pairs;
}

std::vector<LimitFinding> cluster_limit_findings(const ClusterLayout &layout) {
    std::vector<LimitFinding> out;
    if (layout.servers.size() > ZVRIPC_MAX_NODES) {
        out.push_back({layout.servers[ZVRIPC_MAX_NODES].line, true, "/root/server",
                       std::to_string(layout.servers.size()) +
                           " servers: `tavikctl init` refuses more than " + std::to_string(ZVRIPC_MAX_NODES) +
                           ", the most nodes a namespace holds"});
    }
    if (layout.resources.size() > ZVRIPC_MAX_RESOURCES) {
        out.push_back({layout.resources[ZVRIPC_MAX_RESOURCES].line, true, "/root/heartbeat",
                       std::to_string(layout.resources.size()) +
                           " resources: `tavikctl init` refuses more than " +
                           std::to_string(ZVRIPC_MAX_RESOURCES)});
    }
    const std::vector<std::string> pairs = target_pairs(layout);
    if (pairs.size() > static_cast<std::size_t>(kBmcTargetSlots)) {
        const std::vector<std::string> beyond(pairs.begin() + kBmcTargetSlots, pairs.end());
        const std::string first_rsc = beyond.front().substr(0, beyond.front().find('/'));
        int line = 0;
        for (const ResourceEntry &rsc : layout.resources) {
            if (rsc.type == "tavik" && rsc.name.substr(0, ZVRIPC_RSC_NAME_MAX) == first_rsc && line == 0) {
                line = rsc.line;
            }
        }
        out.push_back({line, true, "/root/heartbeat/tavik@" + first_rsc,
                       std::to_string(beyond.size()) + " (resource, node) pair" +
                           (beyond.size() == 1 ? "" : "s") + " beyond the BMC's " +
                           std::to_string(kBmcTargetSlots) + " targets: the check thread never watches " +
                           (beyond.size() == 1 ? "it" : "them") +
                           " and the detection windows do not hold for " +
                           (beyond.size() == 1 ? "it" : "them") + ": " + pair_list(beyond)});
    }
    return out;
}

}  // namespace tavikctl
