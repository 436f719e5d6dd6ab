// SPDX-License-Identifier: GPL-3.0-or-later
// A module for OpenIPMI's ipmi_sim ("loadlib") that gives Reset, Set and Get Watchdog Timer
// (App 0x22, 0x24, 0x25) their IPMI 2.0 behaviour, which the stock simulator lacks: with
// timeout action none its timer never counts down, its Set reply carries stray bytes, its
// Get reply lacks the present countdown and its running bit echoes the last Set. Nothing
// else of the simulator changes: sessions, privileges (Set and Reset need operator, Get
// user), presence pings. A timeout's action is recorded in the expiration flags and carried
// out on a virtual machine's host when there is one (watchdog_action.cpp).
//
// Test hooks (netfn 0x30, command 0x3E, administrator) play what BMCs in the field do
// differently: a running bit that always reads stopped, a hard reset of the host that
// stops the timer without reloading it, and a delay after a Reset before the countdown
// moves, during which the timer reads stopped (docs/bmc-protocol.md).
//
// The countdown is computed from the clock when asked; a timer runs only to carry out an
// action. Runs in ipmi_sim's single select loop: no locks.
#include <OpenIPMI/ipmiif.h>
extern "C" {
#include <OpenIPMI/lanserv.h>
#include <OpenIPMI/mcserv.h>
}

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "watchdog_action.h"

#if OPENIPMI_VERSION_MAJOR != 2 || OPENIPMI_VERSION_MINOR != 0 || OPENIPMI_VERSION_RELEASE >= 37
#error "this module is written for the module API of OpenIPMI 2.0 before 2.0.37"
#endif

namespace {

constexpr const char *kVersion = "tavik IPMI 2.0 watchdog 1.0";
constexpr std::uint8_t kNetFnApp = 0x06;
constexpr std::uint8_t kCmdReset = 0x22, kCmdSet = 0x24, kCmdGet = 0x25;
constexpr std::uint8_t kCcOk = 0x00, kCcNotInitialised = 0x80, kCcLength = 0xc7, kCcInvalid = 0xcc;

struct Watchdog {
    std::uint8_t use = 0;  // bits 0-2 timer use, bit 7 don't log
    std::uint8_t actions = 0;
    std::uint8_t pretimeout_s = 0;
    std::uint8_t expired = 0;
    std::uint16_t initial_ds = 0;
    bool set_once = false;
    bool running = false;
    std::int64_t deadline_ms = 0;  // while running
    std::int64_t moves_at_ms = 0;  // while running: when the countdown starts to move
    std::uint16_t stopped_at_ds = 0;
};

Watchdog g_wdt;

// What the test hooks set (on_test_hooks).
struct Quirks {
    bool running_bit_wrong = false;
    std::int64_t start_delay_ms = 0;
};

Quirks g_quirks;

std::int64_t now_ms() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count();
}

// Brings the timer up to now: a countdown that reached zero stops and flags its use.
void settle(Watchdog &w, std::int64_t now) {
    if (w.running && now >= w.deadline_ms) {
        w.running = false;
        w.stopped_at_ds = 0;
        w.expired |= static_cast<std::uint8_t>(1u << (w.use & 0x07));
    }
}

std::uint16_t present_ds(const Watchdog &w, std::int64_t now) {
    if (!w.running) {
        return w.stopped_at_ds;
    }
    if (now < w.moves_at_ms) {
        return w.initial_ds;
    }
    return static_cast<std::uint16_t>((w.deadline_ms - now + 99) / 100);
}

// The running bit as Get reports it.
bool reported_running(const Watchdog &w, std::int64_t now) {
    return w.running && now >= w.moves_at_ms && !g_quirks.running_bit_wrong;
}

void start(Watchdog &w, std::int64_t now) {
    w.running = true;
    w.moves_at_ms = now + g_quirks.start_delay_ms;
    w.deadline_ms = w.moves_at_ms + static_cast<std::int64_t>(w.initial_ds) * 100;
}

void reply(unsigned char *rdata, unsigned int *rdata_len, std::uint8_t cc) {
    rdata[0] = cc;
    *rdata_len = 1;
}

void on_reset(lmc_data_t *mc, msg_t *, unsigned char *rdata, unsigned int *rdata_len, void *) {
    Watchdog &w = g_wdt;
    const auto now = now_ms();
    settle(w, now);
    if (!w.set_once) {
        reply(rdata, rdata_len, kCcNotInitialised);
        return;
    }
    start(w, now);
    tavik::bmcsim::watchdog_action_arm(mc, true, w.deadline_ms - now, w.actions & 0x07);
    reply(rdata, rdata_len, kCcOk);
}

void on_set(lmc_data_t *mc, msg_t *msg, unsigned char *rdata, unsigned int *rdata_len, void *) {
    Watchdog &w = g_wdt;
    if (msg->len < 6) {
        reply(rdata, rdata_len, kCcLength);
        return;
    }
    const std::uint8_t *d = msg->data;
    const std::uint16_t countdown = static_cast<std::uint16_t>(d[4] | d[5] << 8);
    const std::uint8_t use = d[0] & 0x07;
    if (use == 0 || use > 5 || (d[1] & 0x07) > 3 || d[2] > countdown / 10) {
        reply(rdata, rdata_len, kCcInvalid);
        return;
    }
    const auto now = now_ms();
    settle(w, now);
    const bool keep = (d[0] & 0x40) != 0 && w.running;
    w.use = static_cast<std::uint8_t>(d[0] & 0x87);
    w.actions = d[1] & 0x77;
    w.pretimeout_s = d[2];
    w.expired &= static_cast<std::uint8_t>(~d[3]);
    w.initial_ds = countdown;
    w.set_once = true;
    if (keep) {
        start(w, now);  // a running timer goes on from the new countdown
    } else {
        w.running = false;
        w.stopped_at_ds = countdown;
    }
    tavik::bmcsim::watchdog_action_arm(mc, w.running, w.deadline_ms - now, w.actions & 0x07);
    reply(rdata, rdata_len, kCcOk);
}

void on_get(lmc_data_t *, msg_t *, unsigned char *rdata, unsigned int *rdata_len, void *) {
    Watchdog &w = g_wdt;
    const auto now = now_ms();
    settle(w, now);
    const std::uint16_t present = present_ds(w, now);
    rdata[0] = kCcOk;
    rdata[1] = static_cast<std::uint8_t>(w.use | (reported_running(w, now) ? 0x40 : 0));
    rdata[2] = w.actions;
    rdata[3] = w.pretimeout_s;
    rdata[4] = w.expired;
    rdata[5] = static_cast<std::uint8_t>(w.initial_ds & 0xff);
    rdata[6] = static_cast<std::uint8_t>(w.initial_ds >> 8);
    rdata[7] = static_cast<std::uint8_t>(present & 0xff);
    rdata[8] = static_cast<std::uint8_t>(present >> 8);
    *rdata_len = 9;
}

// Test hooks: [0x01, 0|1] the running bit always reads stopped (Sun x4100-style
// firmware); [0x02] a hard reset of the host, which stops the timer where it stands
// without reloading it; [0x03, ms LSB, ms MSB] a delay after each Reset before the
// countdown moves, the timer reading stopped meanwhile.
constexpr std::uint8_t kNetFnTest = 0x30, kCmdTestHooks = 0x3e;
constexpr std::uint8_t kHookRunningBit = 0x01, kHookHardReset = 0x02, kHookStartDelay = 0x03;

void on_test_hooks(lmc_data_t *mc, msg_t *msg, unsigned char *rdata, unsigned int *rdata_len, void *) {
    const std::uint8_t *d = msg->data;
    const auto now = now_ms();
    Watchdog &w = g_wdt;
    settle(w, now);
    if (msg->len == 2 && d[0] == kHookRunningBit && d[1] <= 1) {
        g_quirks.running_bit_wrong = d[1] == 1;
    } else if (msg->len == 1 && d[0] == kHookHardReset) {
        w.stopped_at_ds = present_ds(w, now);
        w.running = false;
        tavik::bmcsim::watchdog_action_arm(mc, false, 0, w.actions & 0x07);  // the reset stops its action too
    } else if (msg->len == 3 && d[0] == kHookStartDelay) {
        g_quirks.start_delay_ms = d[1] | d[2] << 8;
    } else {
        reply(rdata, rdata_len, kCcInvalid);
        return;
    }
    reply(rdata, rdata_len, kCcOk);
}

}  // namespace

extern "C" {

__attribute__((visibility("default"))) int ipmi_sim_module_init(sys_data_t *sys, const char *) noexcept {
    const struct {
        std::uint8_t cmd;
        cmd_handler_f handler;
    } table[] = {{kCmdReset, on_reset}, {kCmdSet, on_set}, {kCmdGet, on_get}};
    for (const auto &t : table) {
        int rv = ipmi_emu_register_cmd_handler(kNetFnApp, t.cmd, t.handler, nullptr);
        if (rv != 0) {
            std::fprintf(stderr, "tavik watchdog module: cannot register App command %#x: %s\n", t.cmd,
                         std::strerror(rv));
            return rv;
        }
    }
    if (int rv = ipmi_emu_register_cmd_handler(kNetFnTest, kCmdTestHooks, on_test_hooks, nullptr); rv != 0) {
        const char *why = std::strerror(rv);  // NOLINT(concurrency-mt-unsafe): at start, one thread
        (void)std::fprintf(stderr, "tavik watchdog module: cannot register the test hooks: %s\n", why);
        return rv;
    }
    if (int rv = tavik::bmcsim::watchdog_action_init(sys); rv != 0) {
        (void)std::fprintf(stderr, "tavik watchdog module: no timer for the timeout action (error %d)\n", rv);
        return rv;
    }
    sys->log(sys, INFO, nullptr, "%s", kVersion);
    return 0;
}

__attribute__((visibility("default"))) int ipmi_sim_module_print_version(sys_data_t *, char *) noexcept {
    std::printf("%s\n", kVersion);
    return 0;
}

}  // extern "C"
