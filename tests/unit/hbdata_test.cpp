// SPDX-License-Identifier: GPL-3.0-or-later
// Heartbeat receipt, the delay warning and the effective time-out arithmetic.
#include <gtest/gtest.h>
#include <zvrxml.h>

#include <climits>
#include <mutex>

#include "diag/tavik_log.h"
#include "fakes.h"
#include "status/status.h"
#include "tavik/thctl.h"
#include "testtable.h"

namespace {

class Receipt : public testing::Test {
  protected:
    void SetUp() override {
        fake::reset();
        tavik_reset_globals();
        thctl_virtual_clock(true);
        tckconf = 100;
        xmllib_init("tavik");
        xmllib_load_config();
        tavik_loginit();
    }
    void TearDown() override {
        tavik_logterm();
        thctl_virtual_clock(false);
    }
    int receive(TestTable &t, int bmcstat) {
        std::lock_guard lock(tablemutex);
        return hbdata(t.get(), t.rsc(0), t.node(0, 1), bmcstat);
    }
};

struct ReceiptCase {
    const char *name;
    int bmcstat;
    int published;  // -1: the read fails
    int expect_state;
    bool expect_change;
};

class ReceiptTable : public Receipt, public testing::WithParamInterface<ReceiptCase> {};

TEST_P(ReceiptTable, DecidesOnThePublishedState) {
    const ReceiptCase c = GetParam();
    TestTable t(1, 2);
    t.node(0, 1)->stat = RSCSV_OFFLINE;
    t.node(0, 1)->lastrecv = 5;
    if (c.published < 0) {
        fake::fail("shmnm_getrscsvstat", 1, 4);
    } else {
        fake::set_state("hb1", 2, c.published);
    }
    EXPECT_EQ(receive(t, c.bmcstat), 0);
    const bool seen = (c.bmcstat & 3) == 3;
    EXPECT_EQ(static_cast<clock_t>(t.node(0, 1)->lastrecv), seen ? xmllib_times(0) : 5);
    EXPECT_EQ(fake::state("hb1", 2), c.expect_state);
    EXPECT_EQ(fake::statchanges(), c.expect_change ? 1 : 0);
    EXPECT_EQ(fake::count_calls("shmnm_setrscstat"), c.expect_change ? 1 : 0);
    if (c.expect_change) {
        EXPECT_EQ(t.node(0, 1)->stat, c.expect_state);
        EXPECT_TRUE(fake::has_log(
            seen ? "rsc(hb1)/node(node2(2)) -> ONLINE" : "rsc(hb1)/node(node2(2)) -> OFFLINE", LV_ERROR));
    }
    if (c.published < 0) {
        EXPECT_TRUE(fake::has_log("shmnm_getrscsvstat(rsc:hb1,nodeid:2) failed(ret:4)"));
    }
}

INSTANTIATE_TEST_SUITE_P(
    Receipt, ReceiptTable,
    testing::Values(ReceiptCase{"SeenWhileOnline", 0x03, RSCSV_ONLINE, RSCSV_ONLINE, false},
                    ReceiptCase{"AllBitsSeenWhileOnline", 0xff, RSCSV_ONLINE, RSCSV_ONLINE, false},
                    ReceiptCase{"SeenWhileOffline", 0x03, RSCSV_OFFLINE, RSCSV_ONLINE, true},
                    ReceiptCase{"SeenWhileUnknown", 0x07, RSCSV_UNKNOWN, RSCSV_ONLINE, true},
                    ReceiptCase{"SeenWhileUnused", 0x03, RSCSV_UNUSED, RSCSV_ONLINE, true},
                    ReceiptCase{"SeenWithUnreadableState", 0x03, -1, RSCSV_ONLINE, true},
                    ReceiptCase{"DatagramOnlyWhileOffline", 0x01, RSCSV_OFFLINE, RSCSV_OFFLINE, false},
                    ReceiptCase{"HostOnlyWhileOnline", 0x02, RSCSV_ONLINE, RSCSV_OFFLINE, true},
                    ReceiptCase{"NothingWhileUnknown", 0x00, RSCSV_UNKNOWN, RSCSV_OFFLINE, true},
                    ReceiptCase{"NothingWhileUnused", 0x00, RSCSV_UNUSED, RSCSV_OFFLINE, true},
                    ReceiptCase{"NothingWithUnreadableState", 0x00, -1, RSCSV_OFFLINE, true}),
    [](const auto &param_info) { return param_info.param.name; });

TEST_F(Receipt, PublishedOnlineWithEntryOfflineOnlyRenewsTheReceipt) {
    TestTable t(1, 2);
    fake::set_state("hb1", 2, RSCSV_ONLINE);
    receive(t, 0x03);
    EXPECT_EQ(t.node(0, 1)->stat, RSCSV_OFFLINE) << "the entry is left as it was";
    EXPECT_EQ(fake::count_calls("shmnm_setrscsvstat"), 0);
}

TEST_F(Receipt, PublishedOfflineWithEntryOnlineOnlyLogsTheMiss) {
    TestTable t(1, 2);
    t.node(0, 1)->stat = RSCSV_ONLINE;
    fake::set_state("hb1", 2, RSCSV_OFFLINE);
    receive(t, 0x00);
    EXPECT_EQ(t.node(0, 1)->stat, RSCSV_ONLINE);
    EXPECT_TRUE(fake::has_log("TAVIK status is down(hb1,node2(2), stat:0)", LV_DETAIL));
    EXPECT_EQ(fake::count_calls("shmnm_setrscsvstat"), 0);
}

TEST_F(Receipt, FailedPublicationStillStoresRecomputesAndSignals) {
    TestTable t(1, 2);
    fake::set_state("hb1", 2, RSCSV_OFFLINE);
    fake::fail("shmnm_setrscsvstat", 1, 3);
    receive(t, 0x03);
    EXPECT_EQ(t.node(0, 1)->stat, RSCSV_ONLINE);
    EXPECT_TRUE(fake::has_log("shmnm_setrscsvstat(rsc:hb1,nodeid:2) failed(ret:3)"));
    EXPECT_EQ(fake::count_calls("shmnm_setrscstat"), 1);
    EXPECT_EQ(fake::statchanges(), 1);
}

struct TimeoutCase {
    const char *name;
    int hbto;
    int ratio;
    long ticks;
    int seconds;
    unsigned long long hbcl;
};

class EffectiveTimeoutTable : public Receipt, public testing::WithParamInterface<TimeoutCase> {};

TEST_P(EffectiveTimeoutTable, RoundsUpScalesAndSaturates) {
    const TimeoutCase c = GetParam();
    tckconf = c.ticks;
    fake::set_ratio(c.ratio);
    EffectiveTimeout eff = effectivetimeout(c.hbto);
    EXPECT_EQ(eff.seconds, c.seconds);
    EXPECT_EQ(eff.hbcl, c.hbcl);
    EXPECT_GE(eff.ratio, 1);
}

INSTANTIATE_TEST_SUITE_P(Receipt, EffectiveTimeoutTable,
                         testing::Values(TimeoutCase{"Default", 90000, 1, 100, 90, 9000},
                                         TimeoutCase{"RatioThree", 90000, 3, 100, 270, 27000},
                                         TimeoutCase{"OneMillisecond", 1, 1, 100, 1, 100},
                                         TimeoutCase{"OneSecondExactly", 1000, 1, 100, 1, 100},
                                         TimeoutCase{"JustOverASecond", 1001, 1, 100, 2, 200},
                                         TimeoutCase{"RatioZeroIsOne", 90000, 0, 100, 90, 9000},
                                         TimeoutCase{"NegativeRatioIsOne", 90000, -4, 100, 90, 9000},
                                         TimeoutCase{"LargestTimeout", INT_MAX, 1, 100, 2147484, 214748400},
                                         TimeoutCase{"HugeRatio", 90000, INT_MAX, 100, INT_MAX, INT_MAX},
                                         TimeoutCase{"TicksSaturate", INT_MAX, 1000, 100, INT_MAX, INT_MAX}),
                         [](const auto &param_info) { return param_info.param.name; });

TEST_F(Receipt, FailedRatioReadTakesOne) {
    fake::fail("shmcm_getratio", 1, 9);
    EXPECT_EQ(effectivetimeout(90000).seconds, 90);
    EXPECT_TRUE(fake::has_log("shmcm_getratio() failed(ret:9)"));
}

struct DelayCase {
    const char *name;
    int rate;
    long ticks;
    int hbto;
    unsigned long long interval;
    bool warns;
};

class DelayThreshold : public Receipt, public testing::WithParamInterface<DelayCase> {};

TEST_P(DelayThreshold, WarnsWhenTheIntervalReachesTheRate) {
    const DelayCase c = GetParam();
    warnrate = c.rate;
    tckconf = c.ticks;
    const clock_t last = 1000;
    delaywarn("hb1", "node2", last, last + static_cast<clock_t>(c.interval), c.hbto, 71);
    auto events = fake::events();
    ASSERT_EQ(events.size(), c.warns ? 1u : 0u);
    if (c.warns) {
        EffectiveTimeout eff = effectivetimeout(c.hbto);
        EXPECT_EQ(events[0].msgid, 71);
        EXPECT_EQ(events[0].func, "delaywarn");
        EXPECT_EQ(events[0].params, (std::vector<std::string>{
                                        "hb1", "node2", std::to_string(eff.seconds), std::to_string(c.ticks),
                                        std::to_string(c.interval), std::to_string(c.rate)}));
        EXPECT_TRUE(fake::has_log("DELAY(rate=" + std::to_string(c.rate) +
                                      ",id=71,time=" + std::to_string(c.interval) + ") : rsc=hb1 sv=node2",
                                  LV_DETAIL));
    }
}

INSTANTIATE_TEST_SUITE_P(Receipt, DelayThreshold,
                         testing::Values(DelayCase{"BelowThreshold", 80, 100, 90000, 7199, false},
                                         DelayCase{"AtThreshold", 80, 100, 90000, 7200, true},
                                         DelayCase{"RateZeroAlwaysWarns", 0, 100, 90000, 0, true},
                                         DelayCase{"RateHundredBelowTimeout", 100, 100, 90000, 8999, false},
                                         DelayCase{"RateHundredAtTimeout", 100, 100, 90000, 9000, true},
                                         DelayCase{"FewTicksTruncateToZero", 99, 10, 5000, 0, true}),
                         [](const auto &param_info) { return param_info.param.name; });

TEST_F(Receipt, HeartbeatOfAnOnlineNodeChecksTheDelaySinceTheLastOne) {
    TestTable t(1, 2);
    fake::set_state("hb1", 2, RSCSV_ONLINE);
    t.node(0, 1)->lastrecv = xmllib_times(0);
    thctl_advance_us(72ULL * 1000000);  // 7200 ticks: the default threshold
    receive(t, 0x03);
    ASSERT_EQ(fake::events().size(), 1u);
    EXPECT_EQ(fake::events()[0].params[4], "7200");
}

}  // namespace
