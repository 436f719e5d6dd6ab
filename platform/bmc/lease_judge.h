// SPDX-License-Identifier: GPL-3.0-or-later
// Whether a peer's host holds a live lease, judged from the successive readings of its
// BMC's watchdog (standard driver). By the running bit where the BMC reports it rightly;
// where it does not (configured for that BMC, or found when the countdown moves while the
// bit says stopped), by a countdown that moved between readings. A BMC may take up to
// 100 ms after a Reset before its countdown moves, and may show the timer stopped until
// then: one such reading of a live lease is not a lapse, the next one decides.
//
// A host whose watchdog another program owns (`lease = observe`) counts as alive while that
// timer runs and its owner keeps petting it: once a pet (the countdown back up, or a new
// Set) has been seen between two readings, for as long as the time since the last pet,
// which the BMC's own countdown tells (initial - present), stays within twice the longest
// interval seen between pets (and the timer's own countdown). A tavik lease on the timer
// is judged as such whatever was expected: that reading is unambiguous. Plain value type:
// used under the peer watch's lock.
#pragma once

#include <chrono>
#include <string>

#include "config.h"
#include "watchdog.h"

namespace tavik::bmc {

// Readings without movement this far apart show a stopped countdown (100 ms after a
// Reset, one unit of 100 ms, and a margin for the readings' own delays).
inline constexpr std::chrono::milliseconds kMustMove{250};

class LeaseJudge {
  public:
    using Clock = std::chrono::steady_clock;

    explicit LeaseJudge(bool running_bit_wrong = false, LeaseSource expect = LeaseSource::Watchdog)
        : bit_wrong_(running_bit_wrong), expect_(expect) {}

    // A reading of the timer taken at `at`.
    void reading(const wdt::State &s, Clock::time_point at);
    // Forgets the readings (a new session, a refused read): the next reading starts anew.
    // What was learnt of another program's petting is kept: the BMC's countdown tells how
    // long ago the last pet was, whenever it is read.
    void forget() { have_ = false; }

    bool read() const { return have_; }
    const wdt::State &last() const { return last_; }
    Clock::time_point read_at() const { return at_; }
    // Whether the host holds a live lease at `now`: counting at the last reading, and its
    // countdown from then not yet run out.
    bool live(Clock::time_point now) const;
    bool running_bit_wrong() const { return bit_wrong_; }
    LeaseSource expected() const { return expect_; }
    // The longest interval seen between another program's pets, in 100 ms units; 0: none seen.
    unsigned pet_interval_ds() const { return pet_ds_; }
    // What the readings say, for tools.
    std::string why() const;

  private:
    void foreign_reading(const wdt::State &s, Clock::time_point at);
    // How long after a pet the host still counts as alive, in 100 ms units.
    unsigned pet_limit_ds() const;
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
    LeaseSource expect_;
    bool petted_ = false;  // a pet of another program's timer was seen
    unsigned pet_ds_ = 0;  // the longest interval between its pets
};

}  // namespace tavik::bmc
