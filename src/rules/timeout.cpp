// SPDX-License-Identifier: GPL-3.0-or-later
// The time-out arithmetic.
#include "timeout.h"

#include <climits>

namespace rules {
namespace {

constexpr int kMinTargetTimeoutMs = 1000;
constexpr int kTargetTimeoutFrom = 9999;  // above this, a tenth of hbto is over 1 s

}  // namespace

EffectiveTimeout effectivetimeout(int hbto, int ratio, long ticks_per_s) {
    if (ratio < 1) {
        ratio = 1;
    }
    // 64-bit so that INT_MAX ms does not overflow on its way to seconds.
    const int64_t seconds = (static_cast<int64_t>(hbto) + 999) / 1000;
    const int64_t eff = (INT_MAX / ratio < seconds) ? INT_MAX : ratio * seconds;
    const uint64_t ticks = ticks_per_s > 0 ? static_cast<uint64_t>(ticks_per_s) : 1;
    const uint64_t hbcl =
        static_cast<uint64_t>(eff) > INT_MAX / ticks ? INT_MAX : static_cast<uint64_t>(eff) * ticks;
    return {ratio, static_cast<int>(eff), hbcl};
}

std::uint64_t warnthreshold(std::uint64_t hbcl, int warnrate) {
    if (warnrate > 99) {
        return hbcl;
    }
    return warnrate <= 0 ? 0 : (hbcl / 100) * static_cast<uint64_t>(warnrate);
}

int targettimeout_ms(int hbto) {
    return hbto > kTargetTimeoutFrom ? hbto / 10 : kMinTargetTimeoutMs;
}

std::uint8_t targettimeout_field(int hbto) {
    return static_cast<uint8_t>(targettimeout_ms(hbto) / 1000);
}

int accesstimeout_s(int hbto) {
    return hbto / 1000;
}

std::uint16_t accesstimeout_field(int hbto) {
    return static_cast<uint16_t>(accesstimeout_s(hbto));
}

std::uint64_t pause_us(int hbint) {
    return static_cast<uint64_t>(hbint) * 1000;
}

}  // namespace rules
