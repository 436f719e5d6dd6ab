// SPDX-License-Identifier: GPL-3.0-or-later
// `tavikctl bmc targets` for driver = standard: there is no heartbeat firmware to read
// back, so tavikctl's own BMC library watches the targets the configuration implies, from
// this host with the access file's credentials and the daemon's rules, and shows what it
// holds per target, what each peer's BMC last answered, its lease, and why a peer is not
// heard; and the local BMC's watchdog, which the daemon's lease should hold.
// Runs on tavikctl's single thread (the library's watchers are its own).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tavikctl {

// The dotted text of an IPv4 address held in network byte order, as the BMC records hold it.
std::string ip_text(std::uint32_t ip);

// This host's name up to its first dot, as the configuration names it in <server>.
// Throws std::runtime_error when it cannot be read.
std::string own_host_name();

struct PlannedTarget {
    std::uint32_t ip = 0;  // network byte order
    std::uint8_t ctrl = 0;
    std::uint8_t timeout = 0;
    std::string pairs;  // "rsc/node, ..."
};

// Whether the access file (TAVIK_BMC_CONF or the default) chooses driver = standard.
// Throws std::runtime_error when the library cannot read it.
bool standard_driver_configured();

// Prints the view; exit status 0 every started target heard with a live lease, 2 some not,
// 1 (by exception) when the look cannot be taken.
int show_standard_targets(const std::string &own, const std::string &bmc_conf, const std::string &config,
                          const std::vector<PlannedTarget> &planned, int access_timeout_s, bool json);

}  // namespace tavikctl
