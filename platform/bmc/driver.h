// SPDX-License-Identifier: GPL-3.0-or-later
// The daemon's BMC operations as a driver carries them out: the OEM driver sends them to
// the heartbeat firmware (oem_driver.h), the standard driver turns them into a watchdog
// lease and a watch of the peers from the host (standard.h). The C entry points hold one
// driver and never ask which. Each call returns 0 when the exchange happened, with a
// completion code in `cc` (outputs other than `cc` are written only when it is 0), or a
// Result code with `err`. Used under the library's lock.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "watchdog.h"
#include "zvrbmc.h"
#include "zvrbmc_admin.h"

namespace tavik::bmc {

struct PeerView;

class BmcDriver {
  public:
    virtual ~BmcDriver() = default;

    virtual int set_host_status(std::uint8_t unit, std::uint8_t ctrl, std::uint8_t &cc, std::string &err) = 0;
    virtual int set_access_time(std::uint8_t cmd, std::uint16_t seconds, std::uint8_t &cc,
                                std::string &err) = 0;
    virtual int set_targets(std::uint8_t cmd, std::uint8_t block, const BMC_INFO_SET *first, std::uint8_t &cc,
                            std::uint8_t &block_out, std::string &err) = 0;
    virtual int get_status(std::uint8_t cmd, std::uint8_t block, std::uint8_t &cc, std::uint8_t &block_out,
                           BMC_INFO_GET *first, std::string &err) = 0;

    // Read-back for tools (zvrbmc_admin.h): what the slots of a block hold.
    virtual int get_targets(std::uint8_t block, std::uint8_t &cc, zvrbmc_held_target *first,
                            std::string &err) = 0;
    // The heartbeat firmware's own state; without one, completion code 0xC1 as a stock BMC's.
    virtual int get_firmware_state(std::uint8_t &cc, zvrbmc_firmware_state &state, std::string &err);
    // The local BMC's watchdog as Get Watchdog Timer shows it (changes nothing); a driver
    // without a lease refuses (kBadArgument).
    virtual int read_watchdog(wdt::State &out, std::uint8_t &cc, std::string &err);
    // What was last heard of each watched peer; false when the driver watches none.
    virtual bool peers(std::vector<PeerView> &out, std::string &err);
};

}  // namespace tavik::bmc
