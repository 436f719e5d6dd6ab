// SPDX-License-Identifier: GPL-3.0-or-later
// A transport that plays a BMC's answers from a script and records what it was sent, so
// that the lease and the peer watch are tested without a BMC. One thread at a time.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <utility>
#include <vector>

#include "result.h"
#include "transport.h"

namespace tavik::test {

// One answer: to command `cmd`, the result `rc` (0: answered) with completion code and data.
struct Played {
    std::uint8_t cmd = 0;
    int rc = 0;
    std::uint8_t cc = 0;
    std::vector<std::uint8_t> data;
};

// The answer to Get Watchdog Timer: the timer use byte (use | 0x40 running), the action,
// the countdowns in 100 ms units.
inline Played get_answer(std::uint8_t use_byte, std::uint8_t action, std::uint16_t initial,
                         std::uint16_t present) {
    return {0x25,
            0,
            0,
            {use_byte, action, 0, 0, static_cast<std::uint8_t>(initial & 0xff),
             static_cast<std::uint8_t>(initial >> 8), static_cast<std::uint8_t>(present & 0xff),
             static_cast<std::uint8_t>(present >> 8)}};
}
inline Played ok(std::uint8_t cmd) {
    return {cmd, 0, 0, {}};
}

class FakeTransport final : public bmc::Transport {
  public:
    explicit FakeTransport(std::deque<Played> script, bool repeat_last = false)
        : script_(std::move(script)), repeat_last_(repeat_last) {}

    int command(std::uint8_t, std::uint8_t cmd, const std::vector<std::uint8_t> &req, std::uint8_t &cc,
                std::vector<std::uint8_t> &data, std::string &err, Clock::time_point = {}) override {
        sent_.push_back(cmd);
        requests_.push_back({cmd});
        requests_.back().insert(requests_.back().end(), req.begin(), req.end());
        if (script_.empty()) {
            err = "the script has no answer left for command " + std::to_string(cmd);
            unexpected_ += err + "\n";
            return bmc::kExchangeFailed;
        }
        const Played p = script_.front();
        if (!repeat_last_ || script_.size() > 1) {
            script_.pop_front();
        }
        if (p.cmd != cmd) {
            unexpected_ +=
                "command " + std::to_string(cmd) + " where the script plays " + std::to_string(p.cmd) + "\n";
        }
        if (p.rc != 0) {
            err = "played failure";
            return p.rc;
        }
        cc = p.cc;
        data = p.data;
        return bmc::kOk;
    }
    unsigned sessions_opened() const override { return sessions_; }
    std::string target() const override { return "played BMC"; }
    unsigned timeout_ms() const override { return 1000; }

    void play(std::deque<Played> more) { script_.insert(script_.end(), more.begin(), more.end()); }
    void new_session() { ++sessions_; }
    // The commands sent since the last call, and whatever did not follow the script.
    std::vector<std::uint8_t> take_sent() { return std::exchange(sent_, {}); }
    // Every request sent: its command byte, then its data.
    const std::vector<std::vector<std::uint8_t>> &requests() const { return requests_; }
    const std::string &unexpected() const { return unexpected_; }
    std::size_t left() const { return script_.size(); }

  private:
    std::deque<Played> script_;
    bool repeat_last_;
    unsigned sessions_ = 1;
    std::vector<std::uint8_t> sent_;
    std::vector<std::vector<std::uint8_t>> requests_;
    std::string unexpected_;
};

}  // namespace tavik::test
