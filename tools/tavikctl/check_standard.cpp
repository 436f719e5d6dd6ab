// SPDX-License-Identifier: GPL-3.0-or-later
// check-config's look at the BMC access file (check_standard.h).
#include "check_standard.h"

#include <cstdlib>

#include "zvrbmc.h"
#include "zvrbmc_admin.h"

namespace tavikctl {
namespace {

constexpr int kMaxLeaseS = 6553;  // 16 bits of 100 ms
constexpr const char *kTimeoutKey = "/root/cluster/heartbeat/timeout";

// The library reads the file named by TAVIK_BMC_CONF; the caller's value is put back.
int access_driver(const std::string &bmc_conf, std::string &why) {
    const char *old = std::getenv("TAVIK_BMC_CONF");
    const std::string saved = old != nullptr ? old : "";
    ::setenv("TAVIK_BMC_CONF", bmc_conf.c_str(), 1);
    int driver = -1;
    if (libzvrbmc_init() != 0) {
        why = libzvrbmc_last_error();
    } else {
        bmc_admin_get_driver(&driver);
        libzvrbmc_term();
    }
    if (old != nullptr) {
        ::setenv("TAVIK_BMC_CONF", saved.c_str(), 1);
    } else {
        ::unsetenv("TAVIK_BMC_CONF");
    }
    return driver;
}

}  // namespace

std::vector<AccessFinding> check_bmc_access(const std::string &bmc_conf, const DetectionWindows &w) {
    std::vector<AccessFinding> out;
    std::string why;
    const int driver = access_driver(bmc_conf, why);
    if (driver < 0) {
        out.push_back({true, bmc_conf, why});
        return out;
    }
    if (driver != BMC_DRIVER_STANDARD) {
        return out;
    }
    if (w.access_timeout_s == 0) {
        out.push_back(
            {true, kTimeoutKey,
             "driver = standard: an access time-out of 0 s cannot be a watchdog lease; the daemon's "
             "status calls would be refused"});
        return out;
    }
    if (w.access_timeout_s > kMaxLeaseS) {
        out.push_back({false, kTimeoutKey,
                       "driver = standard: the access time-out of " + std::to_string(w.access_timeout_s) +
                           " s is clamped to the watchdog's longest countdown, " +
                           std::to_string(kMaxLeaseS) + " s"});
    }
    // The daemon renews the lease once per check cycle; a lease no longer than that
    // lapses between two renewals and every peer sees this host dead.
    if (w.access_timeout_s <= w.poll_period_s) {
        out.push_back({true, kTimeoutKey,
                       "driver = standard: the lease of " + seconds_text(w.access_timeout_s) +
                           " lapses before the daemon renews it (every " + seconds_text(w.poll_period_s) +
                           "): every peer would see this host dead"});
    }
    return out;
}

}  // namespace tavikctl
