// SPDX-License-Identifier: GPL-3.0-or-later
// One IPMI command to one BMC and its answer: what the drivers are written against, so
// that the lease and the peer watch run as well against played answers in tests as
// against a BMC through FreeIPMI (client.h for the local BMC, peer_session.h for a
// peer's). A transport is used by one thread at a time.
#pragma once

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace tavik::bmc {

class Transport {
  public:
    using Clock = std::chrono::steady_clock;

    virtual ~Transport() = default;

    // Sends one request of `netfn`/`cmd` by `deadline` (within the transport's own time-out
    // when none is given). Returns 0 when the exchange happened, with the BMC's completion
    // code in `cc` and the data after it in `data`, or a Result code with `err`.
    virtual int command(std::uint8_t netfn, std::uint8_t cmd, const std::vector<std::uint8_t> &req,
                        std::uint8_t &cc, std::vector<std::uint8_t> &data, std::string &err,
                        Clock::time_point deadline = {}) = 0;

    // How many sessions were opened so far: a new one may stand for a BMC that restarted.
    virtual unsigned sessions_opened() const = 0;
    // The BMC's name for messages ("127.0.1.1:9001", "in-band BMC").
    virtual std::string target() const = 0;
    // The longest time one call may take, milliseconds.
    virtual unsigned timeout_ms() const = 0;
};

}  // namespace tavik::bmc
