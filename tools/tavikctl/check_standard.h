// SPDX-License-Identifier: GPL-3.0-or-later
// check-config's look at the BMC access file (--bmc-conf): the library reads it as the
// daemon would (password files included), and for driver = standard the detection
// windows are checked against what a watchdog lease can express and how often the daemon
// renews it. Runs on tavikctl's single thread.
#pragma once

#include <string>
#include <vector>

#include "detection.h"

namespace tavikctl {

struct AccessFinding {
    bool error = false;
    std::string key;  // a configuration key path, or the access file
    std::string message;
};

std::vector<AccessFinding> check_bmc_access(const std::string &bmc_conf, const DetectionWindows &w);

}  // namespace tavikctl
