// SPDX-License-Identifier: GPL-3.0-or-later
// The detection windows tavikctl prints: the daemon's time-out arithmetic (integer
// truncation, 8- and 16-bit stores, saturation) for the two paths that take a silent
// peer offline, the delay-warning threshold, and the warnings about settings that
// defeat a path. Table-driven over the figures the daemon itself would use. Pure
// computation on the test's one thread.
#include "detection.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <string>
#include <vector>

namespace {

using tavikctl::compute_windows;
using tavikctl::DetectionWindows;
using tavikctl::TimingSettings;

struct Case {
    const char *what;
    TimingSettings in;
    int ratio;
    long tck;
    int target_s;                       // per-target time-out as the BMC applies it
    double bmc_s;                       // through the BMC
    int access_s;                       // access time-out as sent
    int effective_s;                    // effective time-out
    long long hbcl;                     // ... in ticks
    double watch_s;                     // through the watch thread (0: off)
    long long warn;                     // delay-warning threshold in ticks
    std::vector<std::string> warnings;  // keys of the expected warnings, in order
};

const std::string kRate = "/root/cluster/delaywarn/heartbeat";
const std::string kTimeout = "/root/cluster/heartbeat/timeout";
const std::string kWatch = "/root/tavik/watchth";

TEST(DetectionWindows, FollowTheDaemonsArithmetic) {
    const std::vector<Case> cases = {
        {"defaults", {90000, 3000, 80, 1}, 1, 100, 9, 13, 90, 90, 9000, 93, 7200, {}},
        {"the test cluster", {4000, 1000, 80, 1}, 1, 100, 1, 3, 4, 4, 400, 5, 320, {}},
        {"ratio 3 stretches only the watch path",
         {4000, 1000, 80, 1},
         3,
         100,
         1,
         3,
         4,
         12,
         1200,
         13,
         960,
         {}},
        {"ratio 0 counts as 1", {4000, 1000, 80, 1}, 0, 100, 1, 3, 4, 4, 400, 5, 320, {}},
        {"9999 ms: 1 s per target, rounded up to 10 s",
         {9999, 3000, 80, 1},
         1,
         100,
         1,
         5,
         9,
         10,
         1000,
         13,
         800,
         {}},
        {"10000 ms", {10000, 3000, 80, 1}, 1, 100, 1, 5, 10, 10, 1000, 13, 800, {}},
        {"25000 ms: 2.5 s truncated to 2", {25000, 3000, 80, 1}, 1, 100, 2, 6, 25, 25, 2500, 28, 2000, {}},
        {"2550000 ms: 255 s still fits",
         {2550000, 3000, 80, 1},
         1,
         100,
         255,
         259,
         2550,
         2550,
         255000,
         2553,
         204000,
         {}},
        {"2560000 ms: 256 s becomes 0, taken as 1",
         {2560000, 3000, 80, 1},
         1,
         100,
         1,
         5,
         2560,
         2560,
         256000,
         2563,
         204800,
         {kTimeout}},
        {"2570000 ms: 257 s becomes 1",
         {2570000, 3000, 80, 1},
         1,
         100,
         1,
         5,
         2570,
         2570,
         257000,
         2573,
         205600,
         {kTimeout}},
        {"65536000 ms: 6553 s per target keeps its low 8 bits, the access time-out wraps to 0",
         {65536000, 3000, 80, 1},
         1,
         100,
         6553 & 0xff,
         (6553 & 0xff) + 4,
         0,
         65536,
         6553600,
         65539,
         5242880,
         {kTimeout, kTimeout, kTimeout}},
        {"below a second: no access time-out, 1 s effective",
         {999, 3000, 80, 1},
         1,
         100,
         1,
         5,
         0,
         1,
         100,
         4,
         80,
         {kRate, kTimeout}},
        {"rate 0", {90000, 3000, 0, 1}, 1, 100, 9, 13, 90, 90, 9000, 93, 0, {kRate}},
        {"rate 100 is the whole time-out", {90000, 3000, 100, 1}, 1, 100, 9, 13, 90, 90, 9000, 93, 9000, {}},
        {"rate 99 divides by 100 first", {90050, 3000, 99, 1}, 1, 100, 9, 13, 90, 91, 9100, 94, 9009, {}},
        {"fewer than 100 ticks per second make the threshold 0",
         {1000, 100, 80, 1},
         1,
         50,
         1,
         2.1,
         1,
         1,
         50,
         1.1,
         0,
         {kRate, kTimeout}},
        {"watch thread off", {90000, 3000, 80, 0}, 1, 100, 9, 13, 90, 90, 9000, 0, 7200, {kWatch}},
        {"threshold within the check cycle",
         {2000, 1000, 80, 1},
         1,
         100,
         1,
         3,
         2,
         2,
         200,
         3,
         160,
         {kRate, kTimeout}},
        {"access time-out within the check cycle",
         {3000, 2000, 100, 1},
         1,
         100,
         1,
         4,
         3,
         3,
         300,
         5,
         300,
         {kRate, kTimeout}},
        {"the largest time-out",
         {INT_MAX, 3000, 80, 1},
         1,
         100,
         214748 & 0xff,
         (214748 & 0xff) + 4,
         2147483 & 0xffff,
         2147484,
         214748400,
         2147487,
         171798720,
         {kTimeout, kTimeout}},
        {"a ratio that saturates the seconds",
         {90000, 3000, 80, 1},
         100000000,
         100,
         9,
         13,
         90,
         INT_MAX,
         INT_MAX,
         INT_MAX + 3.0,
         (INT_MAX / 100LL) * 80,
         {}},
        {"seconds that saturate the ticks",
         {90000, 3000, 80, 1},
         1000000,
         100,
         9,
         13,
         90,
         90000000,
         INT_MAX,
         90000003,
         (INT_MAX / 100LL) * 80,
         {}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        DetectionWindows w = compute_windows(c.in, c.ratio, c.tck);
        EXPECT_EQ(w.target_timeout_used_s, c.target_s);
        EXPECT_DOUBLE_EQ(w.bmc_window_s, c.bmc_s);
        EXPECT_EQ(w.access_timeout_s, c.access_s);
        EXPECT_EQ(w.effective_timeout_s, c.effective_s);
        EXPECT_EQ(w.effective_timeout_ticks, c.hbcl);
        EXPECT_DOUBLE_EQ(w.watch_window_s, c.watch_s);
        EXPECT_EQ(w.warn_ticks, c.warn);
        EXPECT_DOUBLE_EQ(w.warn_s, static_cast<double>(c.warn) / static_cast<double>(c.tck));
        std::vector<std::string> keys;
        for (const auto &warning : tavikctl::window_warnings(w)) {
            keys.push_back(warning.key);
        }
        EXPECT_EQ(keys, c.warnings);
    }
}

TEST(DetectionWindows, WarningsSayWhatHappens) {
    auto messages = [](TimingSettings s) {
        std::string all;
        for (const auto &w : tavikctl::window_warnings(compute_windows(s, 1, 100))) {
            all += w.message + "\n";
        }
        return all;
    };
    EXPECT_NE(messages({90000, 3000, 0, 1}).find("a rate of 0 % makes the delay-warning threshold 0 s"),
              std::string::npos);
    EXPECT_NE(messages({90000, 3000, 80, 0}).find("the watch thread is off"), std::string::npos);
    EXPECT_NE(messages({2560000, 3000, 80, 1})
                  .find("256 s does not fit the BMC's 8-bit field: the BMC gets 0 s (taken as 1 s)"),
              std::string::npos);
    EXPECT_NE(messages({999, 3000, 80, 1}).find("a hung host is never taken offline"), std::string::npos);
    EXPECT_NE(messages({3000, 2000, 100, 1}).find("the host's status lapses between two cycles"),
              std::string::npos);
    EXPECT_EQ(messages({90000, 3000, 80, 1}), "");
}

TEST(DetectionWindows, TextListsEveryResourceAndSaysWhichAreInactive) {
    DetectionWindows w = compute_windows({4000, 1000, 80, 1}, 1, 100);
    std::vector<std::string> lines = tavikctl::describe_windows(w, {{"hb1", true}, {"hb9", false}}, "");
    std::string text;
    for (const auto &l : lines) {
        text += l + "\n";
    }
    EXPECT_NE(text.find("detection windows at ratio 1 (100 ticks per second)"), std::string::npos) << text;
    EXPECT_NE(
        text.find("hb1       3 s (time-out 1 s + poll 2 s)  5 s (time-out 4 s + interval 1 s)  3.2 s (80 %)"),
        std::string::npos)
        << text;
    EXPECT_NE(text.find("hb9       inactive (no BMC device id)"), std::string::npos) << text;
    EXPECT_NE(text.find("at most 6 s (access time-out 4 s + poll 2 s)"), std::string::npos) << text;

    w = compute_windows({999, 1000, 80, 0}, 1, 100);
    lines = tavikctl::describe_windows(w, {{"hb1", true}}, "");
    text.clear();
    for (const auto &l : lines) {
        text += l + "\n";
    }
    EXPECT_NE(text.find("  off  "), std::string::npos) << text;
    EXPECT_NE(text.find("never (access time-out 0 s)"), std::string::npos) << text;
}

TEST(DetectionWindows, SecondsShowOnlyTheDecimalsTheyNeed) {
    for (const auto &[v, text] : std::vector<std::pair<double, std::string>>{{4, "4 s"},
                                                                             {2.5, "2.5 s"},
                                                                             {3.2, "3.2 s"},
                                                                             {0.01, "0.01 s"},
                                                                             {0.005, "0.01 s"},
                                                                             {0, "0 s"},
                                                                             {1e6, "1000000 s"}}) {
        EXPECT_EQ(tavikctl::seconds_text(v), text);
    }
}

}  // namespace
