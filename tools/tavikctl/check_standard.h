// SPDX-License-Identifier: GPL-3.0-or-later
// check-config's look at the BMC access file (--bmc-conf): the library reads it as the
// daemon would (password files included), and for driver = standard the detection
// windows are checked against what a watchdog lease can express and how often the daemon
// renews it. Runs on tavikctl's single thread.
#pragma once

#include <string>
#include <vector>

#include "cluster_layout.h"
#include "detection.h"

namespace tavikctl {

struct AccessFinding {
    bool error = false;
    bool note = false;  // neither error nor warning: what the file sets, for the reader
    std::string key;    // a configuration key path, or the access file
    std::string message;
};

// `servers`: the cluster's nodes, whose lease sources (and so their watchdogs' owners) the
// notes list as this host's access file expects them.
std::vector<AccessFinding> check_bmc_access(const std::string &bmc_conf, const DetectionWindows &w,
                                            const std::vector<ServerEntry> &servers = {});

// Who writes a watchdog under a lease source, for tools: "tavik", "another program ...".
const char *lease_source_word(int source);
const char *expected_owner(int source);

}  // namespace tavikctl
