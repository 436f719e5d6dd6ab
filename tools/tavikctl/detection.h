// SPDX-License-Identifier: GPL-3.0-or-later
// How long a silent peer can stay online with a given configuration: the effective
// detection windows of the two paths that take a peer offline (the BMC's per-target
// time-out seen by the check thread's poll, and the watch thread's effective time-out),
// the delay-warning threshold, and the settings that make one of them useless.
// `tavikctl check-config` prints them for a file, `tavikctl status` for the live ratio.
// The arithmetic is the daemon's, integer truncation and 8- and 16-bit stores included,
// so the figures are the ones the daemon really works with.
// Plain functions and data; the reader uses libzvrxml, so it runs on tavikctl's one
// thread like every other configuration read.
#pragma once

#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <vector>

#include "rules/params.h"

namespace tavikctl {

// The settings the windows depend on, after the daemon's defaults and corrections.
struct TimingSettings {
    int hbto = rules::param(rules::Key::hbto).defval;          // ms
    int hbint = rules::param(rules::Key::hbint).defval;        // ms
    int warnrate = rules::param(rules::Key::warnrate).defval;  // percent
    int watchth = rules::param(rules::Key::watchth).defval;    // 0: no watch thread
};

struct DetectionWindows {
    TimingSettings settings;
    int ratio = 1;  // as the daemon uses it: at least 1
    long ticks_per_s = 100;

    // Through the BMC: the per-target time-out the check thread programs, and the poll.
    int target_timeout_full_s = 0;  // max(hbto / 10, 1000) ms in whole seconds
    int target_timeout_s = 0;       // ... as the 8-bit field carries it
    int target_timeout_used_s = 0;  // ... as the BMC applies it (0 counts as 1)
    double poll_period_s = 0;       // 1 s before each poll + the interval
    double bmc_window_s = 0;        // target time-out + poll period

    // A hung host: its BMC stops announcing it alive once no status came for the access
    // time-out (hbto / 1000 s, 16 bits; 0 = never), and the peers' next poll sees it.
    int access_timeout_full_s = 0;
    int access_timeout_s = 0;
    double hung_host_window_s = 0;  // access time-out + poll period; 0 when never

    // Through the watch thread.
    int effective_timeout_s = 0;            // ceil(hbto / 1000) * ratio, saturated
    long long effective_timeout_ticks = 0;  // hbcl
    double watch_window_s = 0;              // effective time-out + interval; 0 when off

    // Delay warning: (hbcl / 100) * warnrate ticks (hbcl itself at 100 %).
    long long warn_ticks = 0;
    double warn_s = 0;
};

// Computes the windows. ratio below 1 is taken as 1 and ticks_per_s below 1 as 100, as
// the daemon does.
DetectionWindows compute_windows(const TimingSettings &settings, int ratio, long ticks_per_s);

// A setting that defeats detection or floods the event log, with the key to change.
struct WindowWarning {
    std::string key;
    std::string message;
};
std::vector<WindowWarning> window_warnings(const DetectionWindows &w);

// Reads the settings through libzvrxml as the daemon reads them: policies "nm" and
// "tavik" loaded one at a time, the daemon's defaults for keys that cannot be read and
// its corrections. libzvrxml must be initialised with the configuration loaded. Throws
// std::runtime_error when a policy cannot be loaded.
TimingSettings read_timing_settings();

// Whether the daemon's table gives resource `name` (type "tavik") a BMC device: its
// device id reads as an integer of at least 0. Otherwise it is inactive and nothing
// detects anything for it. libzvrxml must hold the configuration.
bool resource_active(const std::string &name);

// "4 s", "2.5 s", "0.01 s": seconds with as many decimals as they need (at most two).
std::string seconds_text(double seconds);

// The windows as lines of text, one heading and one line per resource (inactive ones
// say so), each starting with `indent`.
std::vector<std::string> describe_windows(const DetectionWindows &w,
                                          const std::vector<std::pair<std::string, bool>> &resources,
                                          const std::string &indent);

nlohmann::ordered_json windows_json(const DetectionWindows &w,
                                    const std::vector<std::pair<std::string, bool>> &resources);

}  // namespace tavikctl
