// SPDX-License-Identifier: GPL-3.0-or-later
#include "watchdog_action.h"

#include <sys/time.h>

#include <cstdio>
#include <cstring>

namespace tavik::bmcsim {

namespace {

constexpr unsigned kSystemInterface = 15;  // the channel of the host's KCS interface
constexpr std::uint8_t kActionNone = 0, kActionReset = 1, kActionPowerDown = 2, kActionPowerCycle = 3;

struct Pending {
    sys_data_t *sys = nullptr;
    ipmi_timer_t *timer = nullptr;
    lmc_data_t *mc = nullptr;
    std::uint8_t action = kActionNone;
};

Pending g_pending;

const char *action_name(std::uint8_t action) {
    switch (action) {
        case kActionReset:
            return "hard reset";
        case kActionPowerDown:
            return "power down";
        case kActionPowerCycle:
            return "power cycle";
        default:
            return "none";
    }
}

// A guest has no power supply of its own to cycle: a power cycle is a reset there.
void carry_out(void *) {
    Pending &p = g_pending;
    channel_t **channels = p.sys->mc_get_channelset(p.mc);
    channel_t *host = channels != nullptr ? channels[kSystemInterface] : nullptr;
    const bool off = p.action == kActionPowerDown;
    if (host == nullptr || host->hw_op == nullptr ||
        (off ? !HW_OP_CAN_POWER(host) : !HW_OP_CAN_RESET(host))) {
        (void)std::fprintf(
            stderr, "tavik watchdog module: timer expired, action %s recorded only (no host interface)\n",
            action_name(p.action));
        return;
    }
    (void)std::fprintf(stderr, "tavik watchdog module: timer expired, %s of the host\n",
                       action_name(p.action));
    (void)host->hw_op(host, off ? HW_OP_POWEROFF : HW_OP_RESET);
}

}  // namespace

int watchdog_action_init(sys_data_t *sys) {
    g_pending.sys = sys;
    return sys->alloc_timer(sys, carry_out, nullptr, &g_pending.timer);
}

void watchdog_action_arm(lmc_data_t *mc, bool running, std::int64_t ms_left, std::uint8_t action) {
    Pending &p = g_pending;
    if (p.timer == nullptr) {
        return;
    }
    (void)p.sys->stop_timer(p.timer);  // fails harmlessly when it was not running
    p.mc = mc;
    p.action = action;
    if (!running || action == kActionNone) {
        return;
    }
    timeval tv{};
    const std::int64_t ms = ms_left > 0 ? ms_left : 0;
    tv.tv_sec = static_cast<time_t>(ms / 1000);
    tv.tv_usec = static_cast<suseconds_t>(ms % 1000 * 1000);
    (void)p.sys->start_timer(p.timer, &tv);
}

}  // namespace tavik::bmcsim
