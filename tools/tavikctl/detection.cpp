// SPDX-License-Identifier: GPL-3.0-or-later
// The detection windows: the daemon's time-out arithmetic turned into the longest time a
// silent peer stays online on each path, and the settings that defeat a path.
// Single-threaded (see detection.h).
#include "detection.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <stdexcept>

#include "rules/params.h"
#include "rules/targets.h"
#include "rules/timeout.h"
#include "text_table.h"
#include "zvrxml.h"

namespace tavikctl {

namespace {

// Before each poll the check thread sleeps 1 s; after the cycle it pauses the interval.
constexpr double kPollSleepS = 1.0;

std::string number(double v) {
    char buf[64];
    double rounded = std::round(v * 100) / 100;
    if (rounded == std::floor(rounded)) {
        std::snprintf(buf, sizeof buf, "%.0f", rounded);
    } else if (rounded * 10 == std::floor(rounded * 10)) {
        std::snprintf(buf, sizeof buf, "%.1f", rounded);
    } else {
        std::snprintf(buf, sizeof buf, "%.2f", rounded);
    }
    return buf;
}

int read_int(const char *path, int fallback) {
    int value = 0;
    int size = sizeof value;
    return xmllib_get_value(path, XMLLIB_TYPE_INT, &value, &size) == XMLLIB_OK ? value : fallback;
}

// A key as the daemon takes it: its default when unreadable, then its correction.
int read_param(rules::Key key) {
    const rules::Param &p = rules::param(key);
    return rules::correct(p, read_int(p.path, p.defval)).value;
}

void load(const char *policy) {
    if (xmllib_load_policy(policy) != XMLLIB_OK) {
        throw std::runtime_error(std::string("policy \"") + policy + "\": " + xmllib_last_error());
    }
}

}  // namespace

std::string seconds_text(double seconds) {
    return number(seconds) + " s";
}

DetectionWindows compute_windows(const TimingSettings &settings, int ratio, long ticks_per_s) {
    DetectionWindows w;
    w.settings = settings;
    w.ratio = std::max(ratio, 1);
    w.ticks_per_s = ticks_per_s > 0 ? ticks_per_s : 100;
    const int hbto = settings.hbto;
    const double interval_s = settings.hbint / 1000.0;

    w.target_timeout_full_s = rules::targettimeout_ms(hbto) / 1000;
    w.target_timeout_s = rules::targettimeout_field(hbto);
    w.target_timeout_used_s = std::max(w.target_timeout_s, 1);
    w.poll_period_s = kPollSleepS + interval_s;
    w.bmc_window_s = w.target_timeout_used_s + w.poll_period_s;

    w.access_timeout_full_s = rules::accesstimeout_s(hbto);
    w.access_timeout_s = rules::accesstimeout_field(hbto);
    w.hung_host_window_s = w.access_timeout_s > 0 ? w.access_timeout_s + w.poll_period_s : 0;

    const rules::EffectiveTimeout eff = rules::effectivetimeout(hbto, w.ratio, w.ticks_per_s);
    w.effective_timeout_s = eff.seconds;
    w.effective_timeout_ticks = static_cast<long long>(eff.hbcl);
    w.watch_window_s = settings.watchth != 0 ? w.effective_timeout_s + interval_s : 0;

    w.warn_ticks = static_cast<long long>(rules::warnthreshold(eff.hbcl, settings.warnrate));
    w.warn_s = static_cast<double>(w.warn_ticks) / static_cast<double>(w.ticks_per_s);
    return w;
}

std::vector<WindowWarning> window_warnings(const DetectionWindows &w) {
    std::vector<WindowWarning> out;
    const TimingSettings &s = w.settings;
    const std::string timeout_key = "/root/cluster/heartbeat/timeout";
    const std::string cycle = seconds_text(w.poll_period_s);
    if (w.warn_ticks == 0) {
        const std::string why = s.warnrate == 0 ? "a rate of 0 %"
                                                : std::to_string(s.warnrate) + " % of " +
                                                      std::to_string(w.effective_timeout_ticks) +
                                                      " ticks, with the division by 100 first,";
        out.push_back({"/root/cluster/delaywarn/heartbeat",
                       why +
                           " makes the delay-warning threshold 0 s: every heartbeat of an online node raises "
                           "event 71"});
    } else if (static_cast<double>(w.warn_ticks) <= w.poll_period_s * static_cast<double>(w.ticks_per_s)) {
        out.push_back({"/root/cluster/delaywarn/heartbeat",
                       "the delay-warning threshold (" + seconds_text(w.warn_s) +
                           ") is not longer than the check cycle (at least " + cycle +
                           " between two heartbeats): every heartbeat of an online node raises event 71"});
    }
    if (s.watchth == 0) {
        out.push_back({"/root/tavik/watchth",
                       "the watch thread is off: a peer goes offline only when the local BMC reports it, so "
                       "while the local BMC does not answer every peer stays online"});
    }
    if (w.target_timeout_full_s > 0xff) {
        out.push_back({timeout_key, "the per-target time-out of " + std::to_string(w.target_timeout_full_s) +
                                        " s does not fit the BMC's 8-bit field: the BMC gets " +
                                        std::to_string(w.target_timeout_s) + " s" +
                                        (w.target_timeout_s == 0 ? " (taken as 1 s)" : "") +
                                        " and takes silent peers offline after that"});
    }
    if (w.access_timeout_full_s > 0xffff) {
        out.push_back({timeout_key, "the access time-out of " + std::to_string(w.access_timeout_full_s) +
                                        " s does not fit 16 bits: the BMC gets " +
                                        std::to_string(w.access_timeout_s) + " s"});
    }
    if (w.access_timeout_s == 0) {
        out.push_back({timeout_key,
                       "the access time-out is 0 s, which the BMC takes as no lapse: a BMC never stops "
                       "announcing its host alive, so a hung host is never taken offline"});
    } else if (w.access_timeout_s * 1000.0 <= w.poll_period_s * 1000.0) {
        out.push_back({timeout_key, "the access time-out (" + std::to_string(w.access_timeout_s) +
                                        " s) is not longer than the check cycle (at least " + cycle +
                                        "): the host's status lapses between two cycles, and peers take this "
                                        "node offline and online again"});
    }
    return out;
}

TimingSettings read_timing_settings() {
    TimingSettings s;
    load("nm");
    s.hbto = read_param(rules::Key::hbto);
    s.hbint = read_param(rules::Key::hbint);
    s.warnrate = read_param(rules::Key::warnrate);
    xmllib_unload_policy("nm");
    load("tavik");
    s.watchth = read_param(rules::Key::watchth);
    xmllib_unload_policy("tavik");
    return s;
}

bool resource_active(const std::string &name) {
    std::string path = "/root/heartbeat/tavik@" + name + "/device";
    return rules::resourceactive(read_int(path.c_str(), -1));
}

std::vector<std::string> describe_windows(const DetectionWindows &w,
                                          const std::vector<std::pair<std::string, bool>> &resources,
                                          const std::string &indent) {
    std::vector<std::string> lines;
    lines.push_back(indent + "detection windows at ratio " + std::to_string(w.ratio) + " (" +
                    std::to_string(w.ticks_per_s) + " ticks per second): a silent peer stays online at most");
    const std::string bmc = seconds_text(w.bmc_window_s) + " (time-out " +
                            seconds_text(w.target_timeout_used_s) + " + poll " +
                            seconds_text(w.poll_period_s) + ")";
    const std::string watch = w.settings.watchth == 0
                                  ? std::string("off")
                                  : seconds_text(w.watch_window_s) + " (time-out " +
                                        seconds_text(w.effective_timeout_s) + " + interval " +
                                        seconds_text(w.settings.hbint / 1000.0) + ")";
    const std::string warn = seconds_text(w.warn_s) + " (" + std::to_string(w.settings.warnrate) + " %)";
    std::vector<std::vector<std::string>> rows = {
        {"RESOURCE", "THROUGH THE BMC", "THROUGH THE WATCH THREAD", "DELAY WARNING"}};
    for (const auto &[name, active] : resources) {
        if (active) {
            rows.push_back({name, bmc, watch, warn});
        } else {
            rows.push_back({name, "inactive (no BMC device id): nothing detects a silent peer"});
        }
    }
    for (const std::string &line : table_lines(rows)) {
        lines.push_back(indent + "  " + line);
    }
    if (resources.empty()) {
        lines.push_back(indent + "  (no heartbeat resource of type \"tavik\")");
    }
    lines.push_back(indent + "  a hung host goes offline after at most " +
                    (w.hung_host_window_s > 0 ? seconds_text(w.hung_host_window_s) + " (access time-out " +
                                                    seconds_text(w.access_timeout_s) + " + poll " +
                                                    seconds_text(w.poll_period_s) + ")"
                                              : std::string("never (access time-out 0 s)")));
    return lines;
}

nlohmann::ordered_json windows_json(const DetectionWindows &w,
                                    const std::vector<std::pair<std::string, bool>> &resources) {
    nlohmann::ordered_json rscs = nlohmann::ordered_json::array();
    for (const auto &[name, active] : resources) {
        rscs.push_back({{"name", name}, {"active", active}});
    }
    nlohmann::ordered_json warnings = nlohmann::ordered_json::array();
    for (const WindowWarning &warning : window_warnings(w)) {
        warnings.push_back({{"key", warning.key}, {"message", warning.message}});
    }
    return {{"ratio", w.ratio},
            {"ticks_per_second", w.ticks_per_s},
            {"timeout_ms", w.settings.hbto},
            {"interval_ms", w.settings.hbint},
            {"warnrate", w.settings.warnrate},
            {"watch_thread", w.settings.watchth != 0},
            {"target_timeout_s", w.target_timeout_used_s},
            {"poll_period_s", w.poll_period_s},
            {"bmc_window_s", w.bmc_window_s},
            {"effective_timeout_s", w.effective_timeout_s},
            {"watch_window_s", w.settings.watchth != 0 ? nlohmann::ordered_json(w.watch_window_s) : nullptr},
            {"access_timeout_s", w.access_timeout_s},
            {"hung_host_window_s",
             w.hung_host_window_s > 0 ? nlohmann::ordered_json(w.hung_host_window_s) : nullptr},
            {"delay_warning_s", w.warn_s},
            {"delay_warning_ticks", w.warn_ticks},
            {"resources", rscs},
            {"warnings", warnings}};
}

}  // namespace tavikctl
