// SPDX-License-Identifier: GPL-3.0-or-later
// What `check-config` says about the sizes of a cluster: more servers or resources than
// `tavikctl init` puts into a namespace, and (resource, node) pairs beyond the BMC's
// target slots, which the check thread never watches, so the detection windows shown for
// them do not hold. Pure functions of the layout.
#pragma once

#include <string>
#include <vector>

#include "cluster_layout.h"

namespace tavikctl {

// The BMC holds this many targets.
inline constexpr int kBmcTargetSlots = 32;

struct LimitFinding {
    int line = 0;
    bool error = true;
    std::string key;
    std::string message;
};

// The pairs of active "tavik" resources with a BMC address, in the order the check
// thread makes targets of them, as "resource/node" (the own node's address assumed).
std::vector<std::string> target_pairs(const ClusterLayout &layout);

std::vector<LimitFinding> cluster_limit_findings(const ClusterLayout &layout);

}  // namespace tavikctl
