// SPDX-License-Identifier: GPL-3.0-or-later
// Bytes and rules of the watchdog lease (watchdog.h). No state: thread-safe.
#include "watchdog.h"

#include <cstdio>

namespace tavik::bmc::wdt {

bool decode_get(const std::vector<std::uint8_t> &data, State &out, std::string &err) {
    if (data.size() < kGetLen) {
        err = "Get Watchdog Timer answered " + std::to_string(data.size()) + " data bytes, expected " +
              std::to_string(kGetLen);
        return false;
    }
    out.use = data[0] & kUseMask;
    out.running = (data[0] & kDontStop) != 0;
    out.dont_log = (data[0] & 0x80) != 0;
    out.action = data[1] & kActionMask;
    out.pretimeout_s = data[2];
    out.expired_flags = data[3];
    out.initial_ds = static_cast<std::uint16_t>(data[4] | data[5] << 8);
    out.present_ds = static_cast<std::uint16_t>(data[6] | data[7] << 8);
    return true;
}

std::vector<std::uint8_t> set_request(std::uint16_t countdown_ds, bool keep_running) {
    return {static_cast<std::uint8_t>(kUseOem | (keep_running ? kDontStop : 0)),
            kActionNone,
            0,                                         // no pre-timeout
            static_cast<std::uint8_t>(1u << kUseOem),  // clear the OEM expiration flag
            static_cast<std::uint8_t>(countdown_ds & 0xff),
            static_cast<std::uint8_t>(countdown_ds >> 8)};
}

bool ours(const State &s) {
    return s.use == kUseOem && s.action == kActionNone;
}

bool counting(const State &s) {
    return s.running || (s.present_ds > 0 && s.present_ds < s.initial_ds);
}

bool live(const State &s) {
    return ours(s) && s.running && s.present_ds > 0;
}

std::string in_use_reason(const State &s) {
    if (!counting(s)) {
        return {};
    }
    if (s.use != kUseOem) {
        return std::string("the BMC watchdog is in use as ") + use_name(s.use);
    }
    if (s.action != kActionNone) {
        return "the BMC watchdog is in use as OEM with a timeout action";
    }
    return {};
}

bool never_set(const State &s) {
    return s.use == 0;
}

namespace {

const char *action_name(std::uint8_t action) {
    switch (action) {
        case 0:
            return "none";
        case 1:
            return "hard reset";
        case 2:
            return "power down";
        case 3:
            return "power cycle";
        default:
            return "unknown";
    }
}

}  // namespace

std::string settings_text(const State &s) {
    char buf[128];
    (void)std::snprintf(buf, sizeof buf, "timer use %s, action %s, %.1f s, %s", use_name(s.use),
                        action_name(s.action), s.initial_ds / 10.0, s.running ? "running" : "stopped");
    return buf;
}

std::string describe(const State &s) {
    if (!ours(s)) {
        const std::string busy = in_use_reason(s);
        return busy.empty() ? std::string("no tavik lease (timer use ") + use_name(s.use) + ", stopped)"
                            : busy;
    }
    if (!s.running && s.initial_ds <= 1) {
        return "no lease: the host gave it back";
    }
    if (!live(s)) {
        return "the lease lapsed";
    }
    return "live lease";
}

const char *use_name(std::uint8_t use) {
    switch (use) {
        case 1:
            return "BIOS FRB2";
        case 2:
            return "BIOS/POST";
        case 3:
            return "OS load";
        case 4:
            return "SMS/OS";
        case 5:
            return "OEM";
        default:
            return "an unknown timer use";
    }
}

}  // namespace tavik::bmc::wdt
