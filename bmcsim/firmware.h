// SPDX-License-Identifier: GPL-3.0-or-later
// The heartbeat firmware of the simulated BMC, free of any simulator: it answers the OEM
// requests of docs/bmc-protocol.md, keeps the targets and what was heard from them, and
// says which datagrams to send. Time is passed in (monotonic milliseconds), so the whole
// behaviour runs under a test clock. The module (module.cpp) feeds it from ipmi_sim's
// single-threaded loop; a Firmware object is not safe to share between threads.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <random>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "bmc_protocol.h"

namespace tavik::bmcsim {

using Ip4 = std::array<std::uint8_t, 4>;  // octets in address order (127, 0, 1, 1)

std::string format_ip(const Ip4 &ip);
bool parse_ip(std::string_view text, Ip4 &out);

struct Refusal {
    std::uint8_t cc = 0;
    unsigned remaining = 0;  // 0: until cleared
};

struct Options {
    Ip4 addr{};  // own heartbeat address (required)
    std::uint16_t hb_port = bmcproto::kDefaultHeartbeatPort;
    std::uint32_t period_ms = bmcproto::kDefaultPeriodMs;
    std::uint16_t access_timeout_s = 0;  // 0: the host status never lapses
    std::map<std::uint8_t, Refusal> refuse;
    std::set<Ip4> drop_from, drop_to;
    unsigned collecting = 0;
    // Random loss of received datagrams: each one from a target already heard is dropped
    // with this probability (percent), except once the last one accepted from that
    // sender is loss_max_ms old (0: no such bound), so loss stretches stay bounded.
    std::uint8_t loss_pct = 0;
    std::uint32_t loss_max_ms = 0;
    std::uint32_t seed = 1;  // of the loss's random numbers, so a run can be repeated
};

// Parses the module's option string: whitespace-separated key=value words (addr, hbport,
// period_ms, access_timeout, refuse=CMD:CC[:COUNT], drop_from=IP, drop_to=IP, collecting=N,
// loss=PCT[:MAXMS], seed=N).
// On failure returns false and names the offending word in `err`.
bool parse_options(std::string_view text, Options &out, std::string &err);

struct Response {
    std::uint8_t cc = bmcproto::kCcOk;
    std::array<std::uint8_t, bmcproto::kMaxResponseData> data{};
    std::size_t len = 0;
    void put(std::uint8_t b) { data.at(len++) = b; }
};

struct Datagram {
    Ip4 to{};
    std::array<std::uint8_t, bmcproto::kDatagramLen> bytes{};
};

struct Counters {
    std::uint32_t sent = 0;      // datagrams handed out for sending
    std::uint32_t received = 0;  // datagrams accepted from a started target
    std::uint32_t dropped = 0;   // datagrams discarded by a drop or loss hook
    std::uint32_t ignored = 0;   // malformed, or from no started target
};

class Firmware {
  public:
    explicit Firmware(const Options &opt);

    // One OEM request (netfn 0x30): `cmd` and its data bytes.
    Response handle(std::uint8_t cmd, const std::uint8_t *data, std::size_t len, std::int64_t now_ms);

    // A datagram that arrived from `from`.
    void receive(const Ip4 &from, const std::uint8_t *data, std::size_t len, std::int64_t now_ms);

    // The datagrams of one heartbeat round: one per distinct started target address.
    std::vector<Datagram> heartbeat(std::int64_t now_ms);

    // True when the host state that peers were last told differs from the current one,
    // so a round is due at once rather than at the next period.
    bool announcement_due(std::int64_t now_ms) const;

    bool host_alive(std::int64_t now_ms) const;
    const Counters &counters() const { return counters_; }
    const Options &options() const { return opt_; }

  private:
    struct Slot {
        Ip4 ip{};
        std::uint8_t ctrl = bmcproto::kCtrlStop;
        std::uint8_t timeout = 0;
        std::int64_t started_ms = 0;
        bool used() const { return ip != Ip4{}; }
        bool started() const { return used() && ctrl == bmcproto::kCtrlStart; }
    };
    struct Peer {
        bool heard = false;
        std::int64_t last_rx_ms = 0;
        bool alive = false;
    };

    Response set_targets(const std::uint8_t *data, std::size_t len, std::int64_t now_ms);
    Response get_status(const std::uint8_t *data, std::size_t len, std::int64_t now_ms);
    Response get_targets(const std::uint8_t *data, std::size_t len, std::int64_t now_ms) const;
    Response get_firmware_state(std::size_t len, std::int64_t now_ms) const;
    Response set_host_status(const std::uint8_t *data, std::size_t len, std::int64_t now_ms);
    Response set_access_time(const std::uint8_t *data, std::size_t len);
    Response test_control(const std::uint8_t *data, std::size_t len, std::int64_t now_ms);
    void record(const Slot &slot, bool forced, std::int64_t now_ms, std::uint8_t *out) const;
    bool is_started_target(const Ip4 &ip) const;
    bool lose(const Peer &peer, std::int64_t now_ms);
    void forget_unused_peers();

    Options opt_;
    std::array<Slot, bmcproto::kBlockRecords * bmcproto::kMaxBlocks> slots_{};
    std::map<Ip4, Peer> peers_;
    bool announced_alive_ = false;  // from the last host status
    bool had_status_ = false;
    std::uint8_t last_status_ = 0;  // the last accepted host status value
    std::int64_t last_status_ms_ = 0;
    bool told_alive_ = false;  // what the last heartbeat round carried
    bool told_any_ = false;
    std::array<unsigned, bmcproto::kMaxBlocks> collecting_left_{};
    std::array<bool, bmcproto::kMaxBlocks> collecting_now_{};
    std::uint32_t sequence_ = 0;
    Counters counters_;
    std::mt19937 rng_;
};

}  // namespace tavik::bmcsim
