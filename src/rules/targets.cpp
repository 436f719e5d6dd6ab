// SPDX-License-Identifier: GPL-3.0-or-later
// The target-list rule.
#include "targets.h"

namespace rules {

bool resourceactive(int devid) {
    return devid >= 0;
}

bool pairunused(bool has_address, bool own_has_address) {
    return !has_address || !own_has_address;
}

Verdict targetverdict(bool unused, bool has_address, int targets) {
    if (unused) {
        return Verdict::unused;
    }
    if (!has_address) {
        return Verdict::no_address;
    }
    return targets >= kMaxTargets ? Verdict::no_room : Verdict::target;
}

}  // namespace rules
