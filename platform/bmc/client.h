// SPDX-License-Identifier: GPL-3.0-or-later
// One IPMI connection to a BMC through FreeIPMI (the local BMC's transport), and the
// daemon's BMC operations as OEM requests over it (docs/bmc-protocol.md). The session is opened by open() and
// kept for as long as the BMC answers on it; the next operation after a failed request, or after a pause
// longer than the session was opened to survive, opens a new one, so a BMC that restarts is used again. The
// access time-out last accepted is given again on every new session, since a restarted BMC has forgotten it.
// Every operation is bounded by the access file's timeout_ms plus, on a LAN session, the longest recent pause
// between calls.
//
// A Client is not safe to use from two threads at once; the C entry points (zvrbmc.cpp)
// serialise all calls with one mutex.
#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "config.h"
#include "transport.h"
#include "zvrbmc.h"
#include "zvrbmc_admin.h"

struct ipmi_ctx;

namespace tavik::bmc {

class Client final : public Transport {
  public:
    explicit Client(Config cfg);
    ~Client() override;
    Client(const Client &) = delete;
    Client &operator=(const Client &) = delete;

    // Opens the session and checks it with Get Device ID.
    int open(std::string &err);
    // Closes the session; operations fail until the next open().
    void close();
    bool opened() const { return opened_; }

    // Each returns 0 when the exchange happened, with the BMC's completion code in `cc`
    // (outputs other than `cc` are written only when it is 0), or a Result code.
    int set_host_status(std::uint8_t unit, std::uint8_t ctrl, std::uint8_t &cc, std::string &err);
    int set_access_time(std::uint8_t cmd, std::uint16_t seconds, std::uint8_t &cc, std::string &err);
    int set_targets(std::uint8_t cmd, std::uint8_t block, const BMC_INFO_SET *first, std::uint8_t &cc,
                    std::uint8_t &block_out, std::string &err);
    int get_status(std::uint8_t cmd, std::uint8_t block, std::uint8_t &cc, std::uint8_t &block_out,
                   BMC_INFO_GET *first, std::string &err);

    // Read-back (zvrbmc_admin.h): the 16 slots of one block, and the firmware's state.
    int get_targets(std::uint8_t block, std::uint8_t &cc, zvrbmc_held_target *first, std::string &err);
    int get_firmware_state(std::uint8_t &cc, zvrbmc_firmware_state &state, std::string &err);

    // One raw request of netfn 0x30 (the test control command, tools): the data after
    // the completion code goes to `data`.
    int request(std::uint8_t cmd, const std::vector<std::uint8_t> &req, std::uint8_t &cc,
                std::vector<std::uint8_t> &data, std::string &err);

    // One raw request of any netfn (the standard driver's watchdog commands), by
    // `deadline`, or within timeout_ms when none is given (several requests of one
    // operation share one deadline).
    int command(std::uint8_t netfn, std::uint8_t cmd, const std::vector<std::uint8_t> &req, std::uint8_t &cc,
                std::vector<std::uint8_t> &data, std::string &err,
                std::chrono::steady_clock::time_point deadline = {}) override;

    const Config &config() const { return cfg_; }
    // How many times a session was opened (tests see re-opens through it).
    unsigned sessions_opened() const override { return sessions_opened_; }
    std::string target() const override { return cfg_.target(); }
    unsigned timeout_ms() const override { return cfg_.timeout_ms; }

  private:
    int exchange(Clock::time_point deadline, std::uint8_t netfn, std::uint8_t cmd, const std::uint8_t *req,
                 std::size_t req_len, std::uint8_t &cc, std::vector<std::uint8_t> &data, std::string &err);
    int connect(Clock::time_point deadline, std::string &err);
    void drop_session();
    // Before a request on the open LAN session: notes the pause since its last answer, and
    // drops the session when FreeIPMI would take it for expired.
    void note_pause();
    unsigned pause_allowance_ms() const;
    // Whether every slot of a status page was last programmed unused.
    bool page_unused(std::uint8_t block, std::uint8_t page) const;
    std::string describe(std::uint8_t cmd) const;

    Config cfg_;
    ipmi_ctx *ctx_ = nullptr;
    bool opened_ = false;
    unsigned session_timeout_ms_ = 0;  // of the open LAN session; 0 in-band
    unsigned retransmit_ms_ = 0;
    Clock::time_point last_answer_{};
    // The last pauses between an answer and the next request, milliseconds (ring).
    std::array<unsigned, 8> pauses_ms_{};
    std::size_t next_pause_ = 0;
    unsigned sessions_opened_ = 0;
    int suite_ = -1;                     // the cipher suite of LAN sessions once chosen (cipher_suite = auto)
    std::vector<std::uint8_t> restore_;  // cmd and data of the last accepted access time-out
    // Per block: which slots its last accepted programming left unused (address 0), or
    // nothing when that is not known. A page of unused slots reads the same from any
    // firmware, restarted or not, so the status poll does not ask for it.
    std::array<std::uint16_t, 2> unused_slots_{};
    std::array<bool, 2> unused_known_{};
};

}  // namespace tavik::bmc
