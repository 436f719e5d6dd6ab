// SPDX-License-Identifier: GPL-3.0-or-later
// check-config's look at the BMC access file (check_standard.h).
#include "check_standard.h"

#include <arpa/inet.h>

#include <cstdlib>

#include "zvrbmc.h"
#include "zvrbmc_admin.h"

namespace tavikctl {
namespace {

constexpr int kMaxLeaseS = 6553;  // 16 bits of 100 ms
constexpr const char *kTimeoutKey = "/root/cluster/heartbeat/timeout";

// Each node's lease source as the access file gives it: the host's own first.
std::vector<std::string> lease_notes(const std::vector<ServerEntry> &servers) {
    std::vector<std::string> out;
    int own = BMC_LEASE_WATCHDOG;
    bmc_admin_get_lease_source(0, &own);
    out.push_back(std::string("this host's lease source: ") + lease_source_word(own) +
                  "; its watchdog's owner: " + expected_owner(own));
    for (const ServerEntry &s : servers) {
        auto dev = s.device_address.find(0);
        in_addr a{};
        if (dev == s.device_address.end() || inet_pton(AF_INET, dev->second.c_str(), &a) != 1) {
            continue;
        }
        int source = BMC_LEASE_WATCHDOG;
        bmc_admin_get_lease_source(a.s_addr, &source);
        out.push_back(s.name + " (BMC " + dev->second + "): lease " + lease_source_word(source) +
                      "; its watchdog's owner: " + expected_owner(source));
    }
    return out;
}

// The library reads the file named by TAVIK_BMC_CONF; the caller's value is put back.
int access_driver(const std::string &bmc_conf, std::string &why, const std::vector<ServerEntry> &servers,
                  std::vector<std::string> &notes, int &own) {
    const char *old = std::getenv("TAVIK_BMC_CONF");
    const std::string saved = old != nullptr ? old : "";
    ::setenv("TAVIK_BMC_CONF", bmc_conf.c_str(), 1);
    int driver = -1;
    if (libzvrbmc_init() != 0) {
        why = libzvrbmc_last_error();
    } else {
        bmc_admin_get_driver(&driver);
        if (driver == BMC_DRIVER_STANDARD) {
            notes = lease_notes(servers);
            bmc_admin_get_lease_source(0, &own);
        }
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

const char *lease_source_word(int source) {
    return source == BMC_LEASE_OBSERVE ? "observe" : source == BMC_LEASE_NONE ? "none" : "watchdog";
}

const char *expected_owner(int source) {
    switch (source) {
        case BMC_LEASE_OBSERVE:
            return "another program (systemd through ipmi_watchdog, bmc-watchdog, a vendor agent), never "
                   "written by tavik; alive while that program pets it";
        case BMC_LEASE_NONE:
            return "not read (the BMC's presence only: a hung host whose BMC answers stays online)";
        default:
            return "tavik (timer use OEM, action none)";
    }
}

std::vector<AccessFinding> check_bmc_access(const std::string &bmc_conf, const DetectionWindows &w,
                                            const std::vector<ServerEntry> &servers) {
    std::vector<AccessFinding> out;
    std::string why;
    std::vector<std::string> notes;
    int own = BMC_LEASE_WATCHDOG;
    const int driver = access_driver(bmc_conf, why, servers, notes, own);
    if (driver < 0) {
        out.push_back({true, false, bmc_conf, why});
        return out;
    }
    if (driver != BMC_DRIVER_STANDARD) {
        return out;
    }
    for (const std::string &n : notes) {
        out.push_back({false, true, bmc_conf, n});
    }
    if (own != BMC_LEASE_WATCHDOG) {
        return out;  // no lease of tavik's: the access time-out sets no timer
    }
    if (w.access_timeout_s == 0) {
        out.push_back(
            {true, false, kTimeoutKey,
             "driver = standard: an access time-out of 0 s cannot be a watchdog lease; the daemon's "
             "status calls would be refused"});
        return out;
    }
    if (w.access_timeout_s > kMaxLeaseS) {
        out.push_back({false, false, kTimeoutKey,
                       "driver = standard: the access time-out of " + std::to_string(w.access_timeout_s) +
                           " s is clamped to the watchdog's longest countdown, " +
                           std::to_string(kMaxLeaseS) + " s"});
    }
    // The daemon renews the lease once per check cycle; a lease no longer than that
    // lapses between two renewals and every peer sees this host dead.
    if (w.access_timeout_s <= w.poll_period_s) {
        out.push_back({true, false, kTimeoutKey,
                       "driver = standard: the lease of " + seconds_text(w.access_timeout_s) +
                           " lapses before the daemon renews it (every " + seconds_text(w.poll_period_s) +
                           "): every peer would see this host dead"});
    }
    return out;
}

}  // namespace tavikctl
