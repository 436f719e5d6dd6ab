// SPDX-License-Identifier: GPL-3.0-or-later
// Which (resource, node) pairs of the heartbeat table become BMC targets. The table is
// walked in its order, resource by resource and node by node; the daemon's check thread
// builds its target list with this rule and `tavikctl bmc targets` predicts the BMC's
// slots with it. Pure functions: safe from any thread.
#pragma once

namespace rules {

// The BMC holds this many targets.
inline constexpr int kMaxTargets = 32;

// A resource whose device id reads below 0 has no BMC device: none of its pairs gets an
// address, a state or a target.
bool resourceactive(int devid);

// In an active resource a pair is unused when its node has no BMC address for the
// device, and every pair is when the own node has none.
bool pairunused(bool has_address, bool own_has_address);

enum class Verdict {
    target,      // the next slot
    unused,      // its state is unused
    no_address,  // no address (a resource without a device)
    no_room,     // every slot is taken
};

// The verdict on the next pair of the walk, `targets` slots being taken already.
Verdict targetverdict(bool unused, bool has_address, int targets);

}  // namespace rules
