// SPDX-License-Identifier: GPL-3.0-or-later
// `tavikctl status --check --self`: whether this node itself is fit to take part in the
// cluster's decisions, whatever happens to its peers. A live daemon and, on every
// resource that watches this node, its own pair online (status normal or caution) give 0;
// a daemon that is not live, or an own pair offline or unknown (status error or unknown),
// give 2. A peer that dies turns `--check` to caution on every survivor, so a tie-breaker
// or a VRRP tracker needs this narrower question. Pure functions of a snapshot and the
// health verdict, so that the rule is tested without a daemon.
#pragma once

#include <string>

#include "health_view.h"
#include "zvripc_admin.h"

namespace tavikctl {

struct SelfVerdict {
    int code = kHealthOk;  // kHealthOk or kHealthError
    std::string summary;   // "own pair online on hb1, hb2" or what is wrong
};

SelfVerdict self_verdict(const zvripc_snapshot &snap, const Health &health);

// "TAVIK OK - own pair online on hb1, hb2; daemon 4711 up 3h05m, ..." and the like.
std::string self_check_line(const zvripc_snapshot &snap, const HealthView &view);

}  // namespace tavikctl
