// SPDX-License-Identifier: GPL-3.0-or-later
// What a driver without a firmware, a lease or peers answers (driver.h).
#include "driver.h"

#include "bmc_protocol.h"
#include "result.h"

namespace tavik::bmc {

// What a stock BMC answers to the firmware's read-back, without asking it.
int BmcDriver::get_firmware_state(std::uint8_t &cc, zvrbmc_firmware_state &, std::string &err) {
    cc = bmcproto::kCcInvalidCommand;
    err = "no heartbeat firmware: completion code 0xc1 (the BMC's firmware has no read-back)";
    return kOk;
}

int BmcDriver::read_watchdog(wdt::State &, std::uint8_t &, std::string &err) {
    err = "the watchdog lease belongs to driver = standard";
    return kBadArgument;
}

bool BmcDriver::peers(std::vector<PeerView> &, std::string &err) {
    err = "peers are watched by driver = standard only";
    return false;
}

}  // namespace tavik::bmc
