// SPDX-License-Identifier: GPL-3.0-or-later
// The IPMI 2.0 BMC watchdog timer as the standard driver uses it: a liveness lease of
// timer use OEM with timeout action none. The request and response bytes of Set (0x24),
// Reset (0x22) and Get (0x25) Watchdog Timer, and the rules that say whose a timer is and
// whether a lease is live. Plain functions over values: safe from any thread.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace tavik::bmc::wdt {

inline constexpr std::uint8_t kNetFnApp = 0x06;
inline constexpr std::uint8_t kCmdReset = 0x22;
inline constexpr std::uint8_t kCmdSet = 0x24;
inline constexpr std::uint8_t kCmdGet = 0x25;

inline constexpr std::uint8_t kUseOem = 5;
inline constexpr std::uint8_t kUseMask = 0x07;
inline constexpr std::uint8_t kDontStop = 0x40;  // in Set; "running" in Get
inline constexpr std::uint8_t kActionMask = 0x07;
inline constexpr std::uint8_t kActionNone = 0;
inline constexpr std::uint8_t kCcNotInitialised = 0x80;  // Reset before any Set
inline constexpr std::size_t kGetLen = 8;

// The longest countdown the 16-bit field of 100 ms units can carry, in seconds.
inline constexpr unsigned kMaxLeaseSeconds = 6553;

// What a Get Watchdog Timer answered.
struct State {
    std::uint8_t use = 0;  // timer use, 1-5 (0: never set on some BMCs)
    bool running = false;
    bool dont_log = false;
    std::uint8_t action = 0;
    std::uint8_t pretimeout_s = 0;
    std::uint8_t expired_flags = 0;
    std::uint16_t initial_ds = 0;  // 100 ms units
    std::uint16_t present_ds = 0;
};

// Decodes the data after the completion code; false (with a reason) for a wrong length.
bool decode_get(const std::vector<std::uint8_t> &data, State &out, std::string &err);

// The request of a Set that holds the lease for `countdown_ds` (running when `keep_running`
// and the timer runs already; a Reset starts it), clearing our expiration flag.
std::vector<std::uint8_t> set_request(std::uint16_t countdown_ds, bool keep_running);

// Whether a lease of ours (timer use OEM, action none) is on the timer.
bool ours(const State &s);
// Whether the timer may be counting down: the running bit, or a countdown below its start
// value (some BMCs report the running bit wrongly). What another program's timer is
// judged by, erring on the side of leaving it alone.
bool counting(const State &s);
// Whether one reading shows a lease of ours live: running and not yet at zero. A stopped
// timer whose countdown stands below its start is not: a hard reset stops a timer without
// reloading it, and only a second reading tells a wrong running bit (lease_judge.h).
bool live(const State &s);
// Why the timer is not free for us to take, or empty when it is: somebody else's timer
// (another use or another action) that is counting.
std::string in_use_reason(const State &s);

// Whether the timer shows no Set since the BMC started (timer use 0): a BMC that restarted
// and forgot the lease.
bool never_set(const State &s);

// A reading's settings for messages: "timer use SMS/OS, action hard reset, 300.0 s, stopped".
std::string settings_text(const State &s);

// What a reading says, for tools: "live lease", "the lease lapsed", somebody else's use.
std::string describe(const State &s);

// The name of a timer use for messages ("SMS/OS").
const char *use_name(std::uint8_t use);

}  // namespace tavik::bmc::wdt
