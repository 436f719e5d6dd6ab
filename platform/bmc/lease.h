// SPDX-License-Identifier: GPL-3.0-or-later
// The host's liveness lease on its own BMC's watchdog timer (standard driver): the daemon's
// host status and access time-out turned into Set, Reset and Get Watchdog Timer over the
// local BMC's transport. The lease is never taken from a timer somebody else runs; such a call
// fails with kCcWatchdogInUse and a reason. The commands of one call (up to three) share
// the access file's timeout_ms: none starts after it, so a call ends within about twice
// it even on a BMC that answers slowly. Not thread-safe: used under the library's lock.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "transport.h"
#include "watchdog.h"
#include "zvrbmc_admin.h"

namespace tavik::bmc {

// Completion codes of the library's own (no BMC sent them).
inline constexpr std::uint8_t kCcWatchdogInUse = BMC_CC_WATCHDOG_IN_USE;
inline constexpr std::uint8_t kCcAccessTimeRefused = 0xc9;  // 0: a lease cannot be endless
inline constexpr std::uint8_t kCcUnknownStatus = 0xcc;

// The lease before the daemon gives its access time-out, in seconds.
inline constexpr unsigned kDefaultLeaseSeconds = 10;
// A renewal reads the timer back at least every this many renewals.
inline constexpr unsigned kConfirmEvery = 4;

class Lease {
  public:
    explicit Lease(Transport &bmc) : bmc_(bmc) {}

    // bmc_SetZelvarinStatus: 0x01 takes, 0x02 renews, 0x81/0x82 give the lease back.
    int set_status(std::uint8_t ctrl, std::uint8_t &cc, std::string &err);
    // bmc_SetZelvarinAccessTime: the lease's length; 0 refused, above 6553 s clamped.
    int set_access_time(std::uint16_t seconds, std::uint8_t &cc, std::string &err);

  private:
    int read(std::uint8_t &cc, std::string &err);
    int take(std::uint8_t &cc, std::string &err);
    int renew(std::uint8_t &cc, std::string &err);
    int give_back(std::uint8_t &cc, std::string &err);
    int send(std::uint8_t cmd, const std::vector<std::uint8_t> &req, std::uint8_t &cc, std::string &err);
    std::uint16_t countdown_ds() const { return static_cast<std::uint16_t>(seconds_ * 10); }
    void start_call();
    bool time_left(std::string &err) const;

    Transport &bmc_;
    unsigned seconds_ = kDefaultLeaseSeconds;
    bool held_ = false;
    unsigned renewals_ = 0;
    unsigned session_seen_ = 0;
    wdt::State last_{};
    std::chrono::steady_clock::time_point deadline_{};  // of the status call under way
};

}  // namespace tavik::bmc
