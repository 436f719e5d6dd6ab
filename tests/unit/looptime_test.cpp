// SPDX-License-Identifier: GPL-3.0-or-later
// The workers' loop-time maxima: when a cycle raises the maximum, what both lines say,
// and that the two workers' functions differ only in their word.
#include "diag/looptime.h"

#include <gtest/gtest.h>
#include <unistd.h>
#include <zvrxml.h>

#include <cstdio>
#include <string>
#include <tuple>
#include <vector>

#include "diag/tavik_log.h"
#include "fakes.h"
#include "tavik/tavik.h"
#include "tavik/thctl.h"

namespace {

struct Worker {
    const char *func;
    const char *loop;
    int (*track)(clock_t, clock_t *);
    friend void PrintTo(const Worker &w, std::ostream *os) { *os << w.func; }
};

const Worker kWorkers[] = {{"thslooptime", "sloop", thslooptime}, {"thwlooptime", "wloop", thwlooptime}};

struct Cycle {
    const char *name;
    clock_t maxbefore;
    long ticks;  // length of the cycle; negative: stime lies ahead of the clock
    clock_t maxafter;
    bool logs;
    friend void PrintTo(const Cycle &c, std::ostream *os) { *os << c.name; }
};

const Cycle kCycles[] = {
    {"FirstCycle", 0, 5, 5, true},
    {"EqualToTheMaximum", 5, 5, 5, false},
    {"ZeroTicks", 0, 0, 0, false},
    {"ShorterThanTheMaximum", 7, 3, 7, false},
    {"LongerThanTheMaximum", 3, 7, 7, true},
    // Differences are unsigned: a start tick ahead of the clock is a huge cycle, not a
    // negative one.
    {"StartAheadOfTheClock", 3, -1, static_cast<clock_t>(-1), true},
};

class LoopTime : public testing::TestWithParam<std::tuple<Worker, Cycle>> {
  protected:
    void SetUp() override {
        fake::reset();
        tavik_reset_globals();
        thctl_virtual_clock(true);  // the clock stands still unless advanced
        xmllib_init("tavik");
        xmllib_load_config();
        tavik_loginit();
        tckconf = 100;
    }
    void TearDown() override {
        tavik_logterm();
        thctl_virtual_clock(false);
    }
};

std::string hex8(clock_t value) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%08x", static_cast<unsigned>(value));
    return buf;
}

TEST_P(LoopTime, RaisesTheMaximumAndLogsOnlyWhenACycleExceedsIt) {
    const auto &[worker, cycle] = GetParam();
    const clock_t now = xmllib_times(0);
    const clock_t stime = now - cycle.ticks;
    clock_t max = cycle.maxbefore;
    const size_t before = fake::logs().size();

    EXPECT_EQ(worker.track(stime, &max), 0);
    EXPECT_EQ(max, cycle.maxafter);

    const auto all = fake::logs();
    std::vector<fake::LogRecord> logs(all.begin() + static_cast<long>(before), all.end());
    ASSERT_EQ(logs.size(), cycle.logs ? 4u : 2u);
    for (const auto &r : logs) {
        EXPECT_EQ(r.func, worker.func);
    }
    EXPECT_EQ(logs.front().level, LV_TRACE);
    EXPECT_EQ(logs.front().text, "<<< ENTER >>>");
    EXPECT_EQ(logs.back().level, LV_TRACE);
    EXPECT_EQ(logs.back().text, "<<< EXIT >>> : 0x00000000");
    if (cycle.logs) {
        EXPECT_EQ(logs[1].level, LV_ERROR);
        EXPECT_EQ(logs[1].text, "C:0x" + hex8(now) + ",S:0x" + hex8(stime) +
                                    ",D:" + std::to_string(static_cast<int>(cycle.maxafter)) +
                                    "(O:" + std::to_string(static_cast<int>(cycle.maxbefore)) + ")");
        EXPECT_EQ(logs[2].level, LV_DETAIL);
        EXPECT_EQ(logs[2].text, std::string(" renew max ") + worker.loop + " time(from " +
                                    std::to_string(static_cast<int>(cycle.maxbefore)) + " to " +
                                    std::to_string(static_cast<int>(cycle.maxafter)) + ")[1sec=100]");
    }
}

INSTANTIATE_TEST_SUITE_P(Diag, LoopTime,
                         testing::Combine(testing::ValuesIn(kWorkers), testing::ValuesIn(kCycles)),
                         [](const testing::TestParamInfo<LoopTime::ParamType> &param_info) {
                             return std::string(std::get<0>(param_info.param).loop) +
                                    std::get<1>(param_info.param).name;
                         });

TEST(LoopTimeClock, MeasuresCyclesOnTheConfigurationClock) {
    fake::reset();
    tavik_reset_globals();
    thctl_virtual_clock(true);
    xmllib_init("tavik");
    xmllib_load_config();
    tavik_loginit();
    const clock_t stime = xmllib_times(0);
    thctl_advance_us(1000000);  // one second: sysconf(_SC_CLK_TCK) ticks
    clock_t max = 0;
    thslooptime(stime, &max);
    EXPECT_EQ(max, sysconf(_SC_CLK_TCK));
    tavik_logterm();
    thctl_virtual_clock(false);
}

}  // namespace
