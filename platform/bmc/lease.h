// SPDX-License-Identifier: GPL-3.0-or-later
// The host's liveness lease on its own BMC's watchdog timer (standard driver): the daemon's
// host status and access time-out turned into Set, Reset and Get Watchdog Timer over the
// local BMC's transport. A timer that is not ours is read, never written: every write
// follows a reading of the timer (IPMI has no compare-and-set, so another program's Set
// may still land between the two: one round trip), and writes only a timer that reading
// shows is ours (timer use OEM, action none, our countdown) or, when the lease is taken,
// a stopped one. Every Set has action none. Another program's Set between two renewals
// ends the lease, stopped or not: the lease is taken again only by status 0x01.
//
// The commands of one call (up to three) share the access file's timeout_ms: none starts
// after it, so a call ends within about twice it even on a BMC that answers slowly. Not
// thread-safe: used under the library's lock.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>

#include "config.h"
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

// With `lease = observe` or `none` the host's liveness is not a lease of tavik's: the
// status calls only read the timer (so a BMC that no longer answers still fails them) and
// never write it, whoever runs it; the access time-out is kept but sets nothing.
class Lease {
  public:
    explicit Lease(Transport &bmc, LeaseSource source = LeaseSource::Watchdog) : bmc_(bmc), source_(source) {}

    // bmc_SetZelvarinStatus: 0x01 takes, 0x02 renews, 0x81/0x82 give the lease back.
    int set_status(std::uint8_t ctrl, std::uint8_t &cc, std::string &err);
    // bmc_SetZelvarinAccessTime: the lease's length; 0 refused, above 6553 s clamped.
    int set_access_time(std::uint16_t seconds, std::uint8_t &cc, std::string &err);

  private:
    int read(wdt::State &s, std::uint8_t &cc, std::string &err);
    int take(std::uint8_t &cc, std::string &err);
    int take_read(const wdt::State &s, std::uint8_t &cc, std::string &err);
    int renew(std::uint8_t &cc, std::string &err);
    int give_back(std::uint8_t &cc, std::string &err);
    int send(std::uint8_t cmd, const std::vector<std::uint8_t> &req, std::uint8_t &cc, std::string &err);
    // Whether a reading shows the lease this object holds.
    bool holds(const wdt::State &s) const { return held_ && wdt::ours(s) && s.initial_ds == set_ds_; }
    // Ends the lease because of another program's timer; the call fails with `cc`.
    int end(const wdt::State &s, std::uint8_t &cc, std::string &err);
    std::uint16_t countdown_ds() const { return static_cast<std::uint16_t>(seconds_ * 10); }
    void start_call();
    bool time_left(std::string &err) const;

    int observe(std::uint8_t ctrl, std::uint8_t &cc, std::string &err);

    Transport &bmc_;
    LeaseSource source_;
    unsigned seconds_ = kDefaultLeaseSeconds;
    bool held_ = false;
    std::uint16_t set_ds_ = 0;  // the countdown of our last Set
    std::string ended_;         // why another program's timer ended the lease, until 0x01
    std::chrono::steady_clock::time_point deadline_{};  // of the status call under way
};

}  // namespace tavik::bmc
