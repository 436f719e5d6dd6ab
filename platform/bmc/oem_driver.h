// SPDX-License-Identifier: GPL-3.0-or-later
// The OEM driver: the daemon's operations as requests of netfn 0x30 to tavik's heartbeat
// firmware on the local BMC (docs/bmc-protocol.md), over the Client's session. Used under
// the library's lock.
#pragma once

#include "client.h"
#include "driver.h"

namespace tavik::bmc {

class OemDriver final : public BmcDriver {
  public:
    explicit OemDriver(Client &client) : client_(client) {}

    int set_host_status(std::uint8_t unit, std::uint8_t ctrl, std::uint8_t &cc, std::string &err) override {
        return client_.set_host_status(unit, ctrl, cc, err);
    }
    int set_access_time(std::uint8_t cmd, std::uint16_t seconds, std::uint8_t &cc,
                        std::string &err) override {
        return client_.set_access_time(cmd, seconds, cc, err);
    }
    int set_targets(std::uint8_t cmd, std::uint8_t block, const BMC_INFO_SET *first, std::uint8_t &cc,
                    std::uint8_t &block_out, std::string &err) override {
        return client_.set_targets(cmd, block, first, cc, block_out, err);
    }
    int get_status(std::uint8_t cmd, std::uint8_t block, std::uint8_t &cc, std::uint8_t &block_out,
                   BMC_INFO_GET *first, std::string &err) override {
        return client_.get_status(cmd, block, cc, block_out, first, err);
    }
    int get_targets(std::uint8_t block, std::uint8_t &cc, zvrbmc_held_target *first,
                    std::string &err) override {
        return client_.get_targets(block, cc, first, err);
    }
    int get_firmware_state(std::uint8_t &cc, zvrbmc_firmware_state &state, std::string &err) override {
        return client_.get_firmware_state(cc, state, err);
    }

  private:
    Client &client_;
};

}  // namespace tavik::bmc
