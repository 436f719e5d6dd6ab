// SPDX-License-Identifier: GPL-3.0-or-later
// Whether a peer's host holds a live lease, judged from the successive readings of its
// BMC's watchdog (standard driver). By the running bit where the BMC reports it rightly;
// where it does not (configured for that BMC, or found when the countdown moves while the
// bit says stopped), by a countdown that moved between readings. A BMC may take up to
// 100 ms after a Reset before its countdown moves, and may show the timer stopped until
// then: one such reading of a live lease is not a lapse, the next one decides. Plain
// value type: used under the peer watch's lock.
#pragma once

#include <chrono>
#include <string>

#include "watchdog.h"

namespace tavik::bmc {

// Readings without movement this far apart show a stopped countdown (100 ms after a
// Reset, one unit of 100 ms, and a margin for the readings' own delays).
inline constexpr std::chrono::milliseconds kMustMove{250};

class LeaseJudge {
  public:
    using Clock = std::chrono::steady_clock;

    explicit LeaseJudge(bool running_bit_wrong = false) : bit_wrong_(running_bit_wrong) {}

    // A reading of the timer taken at `at`.
    void reading(const wdt::State &s, Clock::time_point at);
    // Forgets the readings (a new session, a refused read): the next reading starts anew.
    void forget() { have_ = false; }

    bool read() const { return have_; }
    const wdt::State &last() const { return last_; }
    Clock::time_point read_at() const { return at_; }
    // Whether the host holds a live lease at `now`: counting at the last reading, and its
    // countdown from then not yet run out.
    bool live(Clock::time_point now) const;
    bool running_bit_wrong() const { return bit_wrong_; }
    // What the readings say, for tools.
    std::string why() const;

  private:
    bool counting_by_bit(const wdt::State &s) const;
    bool counting_by_countdown(const wdt::State &s, Clock::time_point at) const;

    bool bit_wrong_;
    bool have_ = false;
    wdt::State last_{};
    Clock::time_point at_{};
    bool counting_ = false;
    bool grace_used_ = false;  // the one reading of a live lease not yet moving after a Reset
    unsigned still_ = 0;       // readings in a row whose countdown did not move
    Clock::time_point still_since_{};
};

}  // namespace tavik::bmc
