// SPDX-License-Identifier: GPL-3.0-or-later
// The daemon's time-out arithmetic: the effective time-out the watch thread and the delay
// warning work with, the per-target and access time-outs the check thread programs into
// the BMC (with the truncation of their 8- and 16-bit fields), and the pause between two
// cycles. The daemon computes these values here and `tavikctl` derives its detection
// windows from the same functions. Pure functions: safe from any thread.
#pragma once

#include <cstdint>

namespace rules {

// hbto milliseconds rounded up to whole seconds, times ratio (below 1 taken as 1), and
// that in ticks at ticks_per_s (below 1 taken as 1); both saturate at 2147483647.
struct EffectiveTimeout {
    int ratio;
    int seconds;
    std::uint64_t hbcl;
};
EffectiveTimeout effectivetimeout(int hbto, int ratio, long ticks_per_s);

// The delay-warning threshold in ticks: warnrate percent of hbcl, divided first; the
// whole of hbcl from 100 % on, nothing from 0 % down.
std::uint64_t warnthreshold(std::uint64_t hbcl, int warnrate);

// The time-out of one BMC target in milliseconds: a tenth of hbto, at least 1 s.
int targettimeout_ms(int hbto);
// ... in whole seconds as the target record's 8-bit field carries it.
std::uint8_t targettimeout_field(int hbto);

// hbto in whole seconds, and as the 16-bit access time-out the BMC gets.
int accesstimeout_s(int hbto);
std::uint16_t accesstimeout_field(int hbto);

// The pause of hbint milliseconds in microseconds, 64-bit: an interval of more than 35
// minutes must not wrap.
std::uint64_t pause_us(int hbint);

}  // namespace rules
