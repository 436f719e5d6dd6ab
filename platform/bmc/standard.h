// SPDX-License-Identifier: GPL-3.0-or-later
// The standard driver: the daemon's BMC operations with IPMI 2.0 commands only, for BMCs
// without tavik's heartbeat firmware. The host status and access time-out become a lease
// on the local BMC's watchdog timer (lease.h); the targets are watched from the host
// (peer_watch.h). Used under the library's lock; its watcher threads lock for themselves.
#pragma once

#include <cstdint>
#include <string>

#include "driver.h"
#include "lease.h"
#include "peer_watch.h"
#include "transport.h"

namespace tavik::bmc {

class Standard final : public BmcDriver {
  public:
    // `local` reaches the host's own BMC; `links` opens the sessions to the peers' BMCs.
    Standard(Transport &local, const Config &cfg, PeerWatch::Links links = {})
        : local_(local), lease_(local, cfg.lease), watch_(cfg, std::move(links)) {}

    int set_host_status(std::uint8_t, std::uint8_t ctrl, std::uint8_t &cc, std::string &err) override {
        return lease_.set_status(ctrl, cc, err);
    }
    int set_access_time(std::uint8_t, std::uint16_t seconds, std::uint8_t &cc, std::string &err) override {
        return lease_.set_access_time(seconds, cc, err);
    }
    int set_targets(std::uint8_t cmd, std::uint8_t block, const BMC_INFO_SET *first, std::uint8_t &cc,
                    std::uint8_t &block_out, std::string &err) override;
    int get_status(std::uint8_t cmd, std::uint8_t block, std::uint8_t &cc, std::uint8_t &block_out,
                   BMC_INFO_GET *first, std::string &err) override;
    int get_targets(std::uint8_t block, std::uint8_t &cc, zvrbmc_held_target *first,
                    std::string &err) override;
    int read_watchdog(wdt::State &out, std::uint8_t &cc, std::string &err) override;
    bool peers(std::vector<PeerView> &out, std::string &err) override;

  private:
    bool check_block(std::uint8_t block, std::uint8_t &cc, std::string &err) const;

    Transport &local_;
    Lease lease_;
    PeerWatch watch_;
};

}  // namespace tavik::bmc
