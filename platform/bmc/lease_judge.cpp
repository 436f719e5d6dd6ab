// SPDX-License-Identifier: GPL-3.0-or-later
// Judging a peer's lease (lease_judge.h).
#include "lease_judge.h"

#include <algorithm>
#include <cstdio>

namespace tavik::bmc {

// By the running bit; one reading just after a Reset (the countdown back at its start, the
// timer not yet shown running) keeps a live lease live.
bool LeaseJudge::counting_by_bit(const wdt::State &s) const {
    if (s.running) {
        return true;
    }
    return have_ && counting_ && !grace_used_ && s.initial_ds > 1 && s.initial_ds == last_.initial_ds &&
           s.present_ds == s.initial_ds;
}

// By the countdown: moved since the last reading (down while it counts, back to its start
// after a Reset), or not yet long enough without moving to tell.
bool LeaseJudge::counting_by_countdown(const wdt::State &s, Clock::time_point at) const {
    if (!have_ || s.present_ds <= 1) {
        return false;
    }
    const bool moved = s.present_ds != last_.present_ds || s.initial_ds != last_.initial_ds;
    if (moved) {
        return true;
    }
    // Two readings in a row without movement, far enough apart: a Reset that happened to
    // bring the countdown back to the same value cannot do that twice.
    return counting_ && (still_ < 1 || at - still_since_ < kMustMove);
}

namespace {

unsigned ds_between(LeaseJudge::Clock::time_point a, LeaseJudge::Clock::time_point b) {
    return static_cast<unsigned>(
        std::max<long long>(0, std::chrono::duration_cast<std::chrono::milliseconds>(b - a).count() / 100));
}

}  // namespace

// Another program's timer, where that program's petting is what tells the host alive.
void LeaseJudge::foreign_reading(const wdt::State &s, Clock::time_point at) {
    const bool same = have_ && !wdt::ours(last_) && s.use == last_.use;
    if (have_ && s.use != last_.use) {
        petted_ = false;  // another owner: what was learnt was of somebody else
        pet_ds_ = 0;
    }
    const bool moved = same && s.present_ds != last_.present_ds;
    if (same && (s.initial_ds != last_.initial_ds || s.present_ds > last_.present_ds)) {
        // The countdown ran at least this long before the pet: the owner's interval.
        const unsigned ran =
            last_.initial_ds - std::min(last_.initial_ds, last_.present_ds) + ds_between(at_, at);
        pet_ds_ = std::max(pet_ds_, std::max(ran, 1u));
        petted_ = true;
    }
    const bool running = s.running || (bit_wrong_ && moved);
    counting_ = running && s.present_ds > 0 && petted_;
    grace_used_ = false;
    still_ = 0;
    last_ = s;
    at_ = at;
    have_ = true;
}

unsigned LeaseJudge::pet_limit_ds() const {
    return std::min<unsigned>(2 * pet_ds_, last_.initial_ds);
}

void LeaseJudge::reading(const wdt::State &s, Clock::time_point at) {
    if (expect_ == LeaseSource::Observe && !wdt::ours(s)) {
        foreign_reading(s, at);
        return;
    }
    const bool comparable = have_ && wdt::ours(s) && wdt::ours(last_) && s.initial_ds == last_.initial_ds;
    // Counting down while the bit says stopped. The reading that shows it keeps the last
    // verdict: it may be the first after a hard reset froze the countdown, and turning a
    // host just read dead alive again would be a flap.
    const bool found =
        !bit_wrong_ && comparable && !s.running && !last_.running && s.present_ds < last_.present_ds;
    const bool moved = !have_ || s.present_ds != last_.present_ds || s.initial_ds != last_.initial_ds;
    bool counting = false;
    if (found) {
        bit_wrong_ = true;
        counting = counting_;
    } else if (wdt::ours(s)) {
        counting = bit_wrong_ ? counting_by_countdown(s, at) : counting_by_bit(s);
    }
    if (moved) {
        still_ = 0;
        still_since_ = at;
    } else {
        ++still_;
    }
    grace_used_ = !s.running && counting && !bit_wrong_;
    counting_ = counting;
    last_ = s;
    at_ = at;
    have_ = true;
}

bool LeaseJudge::live(Clock::time_point now) const {
    if (!have_ || !counting_ || last_.present_ds == 0 ||
        now >= at_ + std::chrono::milliseconds(last_.present_ds * 100u)) {
        return false;
    }
    if (wdt::ours(last_)) {
        return true;
    }
    // Since the last pet: what the BMC had counted down at the reading, and the time since.
    const unsigned since =
        last_.initial_ds - std::min(last_.initial_ds, last_.present_ds) + ds_between(at_, now);
    return expect_ == LeaseSource::Observe && since <= pet_limit_ds();
}

std::string LeaseJudge::why() const {
    if (!have_) {
        return "no reading yet";
    }
    if (!wdt::ours(last_) && expect_ == LeaseSource::Observe && wdt::counting(last_)) {
        char buf[160];
        if (!petted_) {
            (void)std::snprintf(buf, sizeof buf, "another program's timer (%s): no pet seen yet",
                                wdt::settings_text(last_).c_str());
        } else {
            (void)std::snprintf(buf, sizeof buf, "%s by another program's pets (%s; every %.1f s at most)",
                                live(at_) ? "alive" : "not alive", wdt::settings_text(last_).c_str(),
                                pet_ds_ / 10.0);
        }
        return buf;
    }
    if (!wdt::ours(last_)) {
        return wdt::describe(last_);
    }
    if (counting_) {
        return bit_wrong_ ? "live lease (judged by its countdown: the BMC's running bit is wrong)"
                          : "live lease";
    }
    if (last_.present_ds == 0) {
        return "the lease lapsed";
    }
    if (last_.initial_ds <= 1) {
        return "no lease: the host gave it back";
    }
    char buf[96];
    (void)std::snprintf(buf, sizeof buf, "the lease stopped with %.1f s of its countdown left",
                        last_.present_ds / 10.0);
    return buf;
}

}  // namespace tavik::bmc
