// SPDX-License-Identifier: GPL-3.0-or-later
// The timeout watch thread and its scan, in virtual time.
#include <gtest/gtest.h>

#include <mutex>

#include "status/status.h"
#include "testtable.h"
#include "worker_fixture.h"

namespace {

constexpr clock_t kHbcl = 9000;  // 90 s at 100 ticks per second, ratio 1
constexpr uint64_t kInterval = 3000000;

class Watch : public WorkerTest {
  protected:
    void SetUp() override {
        WorkerTest::SetUp();
        thctl_virtual_clock_auto(false);
    }
    // An online entry whose last heartbeat was `age` ticks ago.
    static void online_for(TestTable &t, int i, int j, clock_t age) {
        t.node(i, j)->stat = RSCSV_ONLINE;
        t.node(i, j)->lastrecv = xmllib_times(0) - age;
    }
};

TEST_F(Watch, KeepsAnEntryExactlyTheTimeOutOldAndTakesOneTickOlderOffline) {
    TestTable t(1, 3);
    online_for(t, 0, 0, kHbcl);
    online_for(t, 0, 1, kHbcl + 1);
    hbcheck(t.get());
    EXPECT_EQ(t.node(0, 0)->stat, RSCSV_ONLINE);
    EXPECT_EQ(t.node(0, 1)->stat, RSCSV_OFFLINE);
    EXPECT_EQ(fake::state("hb1", 2), RSCSV_OFFLINE);
    EXPECT_EQ(fake::state("hb1", 1), -1);
    EXPECT_EQ(fake::count_logs("**TIMEOUT("), 1);
    EXPECT_TRUE(fake::has_log(",diff:9001,hbto:90,tck:100/sec)", LV_ERROR));
    EXPECT_TRUE(fake::has_log("rsc(hb1)/node(node2(2)) -> OFFLINE", LV_ERROR));
    EXPECT_EQ(fake::statchanges(), 1);
}

TEST_F(Watch, TwoEntriesOfOneResourceRecomputeTwiceAndSignalOnce) {
    TestTable t(1, 3);
    online_for(t, 0, 1, kHbcl + 50);
    online_for(t, 0, 2, kHbcl + 60);
    hbcheck(t.get());
    EXPECT_EQ(fake::count_logs("**TIMEOUT("), 2);
    EXPECT_EQ(fake::count_logs("-> OFFLINE"), 2);
    EXPECT_EQ(fake::count_calls("shmnm_setrscstat"), 2);
    EXPECT_EQ(fake::statchanges(), 1);
}

TEST_F(Watch, QuietScanSignalsNothing) {
    TestTable t(2, 2);
    online_for(t, 1, 1, 10);
    hbcheck(t.get());
    EXPECT_TRUE(fake::has_log("HBTO(sec):90,RATIO:1,HBCL(clock):9000", LV_DUMP));
    EXPECT_EQ(fake::statchanges(), 0);
    EXPECT_EQ(fake::count_calls("shmnm_setrscsvstat"), 0);
}

TEST_F(Watch, LeavesEntriesThatAreNotOnlineInTheTable) {
    TestTable t(1, 3);
    t.node(0, 0)->stat = RSCSV_OFFLINE;  // online in the cluster, offline here
    fake::set_state("hb1", 1, RSCSV_ONLINE);
    t.node(0, 1)->stat = RSCSV_UNKNOWN;
    t.node(0, 2)->stat = RSCSV_UNUSED;
    for (int j = 0; j < 3; ++j) {
        t.node(0, j)->lastrecv = 0;
    }
    hbcheck(t.get());
    EXPECT_EQ(fake::state("hb1", 1), RSCSV_ONLINE);
    EXPECT_EQ(fake::count_calls("shmnm_setrscsvstat"), 0);
}

TEST_F(Watch, FailedPublicationStillMarksTheEntryOffline) {
    TestTable t(1, 2);
    online_for(t, 0, 1, kHbcl + 1);
    fake::fail("shmnm_setrscsvstat", 1, 5);
    hbcheck(t.get());
    EXPECT_EQ(t.node(0, 1)->stat, RSCSV_OFFLINE);
    EXPECT_TRUE(fake::has_log("shmnm_setrscsvstat(rsc:hb1,nodeid:2) failed(ret:5)"));
    EXPECT_EQ(fake::statchanges(), 1);
    hbcheck(t.get());
    EXPECT_EQ(fake::count_logs("**TIMEOUT("), 1) << "not timed out again";
}

TEST_F(Watch, RatioChangeTakesEffectAtTheNextScan) {
    TestTable t(1, 2);
    online_for(t, 0, 1, 2 * kHbcl);
    fake::set_ratio(3);
    hbcheck(t.get());
    EXPECT_EQ(t.node(0, 1)->stat, RSCSV_ONLINE);
    fake::set_ratio(1);
    hbcheck(t.get());
    EXPECT_EQ(t.node(0, 1)->stat, RSCSV_OFFLINE);
}

TEST_F(Watch, FirstScanComesOneIntervalAfterStart) {
    thctl_virtual_clock_auto(true);
    TestTable t(1, 2);
    // Timed out only if the scan runs a full interval (300 ticks) after the start.
    online_for(t, 0, 1, kHbcl - 300 + 1);
    void *result = run(hbwatch, t.get(), stop_after(1, kInterval));
    EXPECT_TRUE(returned_zero(result));
    EXPECT_TRUE(fake::has_log(",diff:9001,hbto:90,"));
    EXPECT_TRUE(fake::has_log("SIGUSR1 already received"));
    EXPECT_TRUE(fake::has_log("<<< EXIT >>> : 0x00000000", LV_INFO));
    EXPECT_EQ(fake::count_logs("hbwatch() exit"), 1);
}

TEST_F(Watch, CancelledDuringTheSleepEndsWithoutScanning) {
    thctl_virtual_clock_auto(true);
    TestTable t(1, 2);
    void *result = run(hbwatch, t.get(), [](int, uint64_t) { return Act::cancel; });
    EXPECT_TRUE(canceled(result));
    EXPECT_EQ(fake::count_logs("hbwatch() exit", LV_INFO), 1);
    EXPECT_FALSE(fake::has_log("HBTO(sec)"));
    EXPECT_FALSE(fake::has_log("<<< EXIT >>> : 0x", LV_INFO));
}

TEST_F(Watch, StopDuringAScanLetsTheScanFinish) {
    thctl_virtual_clock_auto(true);
    TestTable t(1, 2);
    online_for(t, 0, 1, kHbcl);
    fake::on_call("shmcm_getratio", [] {
        thctl_cancel(pthread_self());
        bsigrecv = 1;
    });
    void *result = run(hbwatch, t.get(), [](int, uint64_t) { return Act::none; });
    EXPECT_TRUE(canceled(result)) << "ends at the next cycle's cancellation test";
    EXPECT_EQ(fake::state("hb1", 2), RSCSV_OFFLINE) << "the scan ran to its end";
    EXPECT_EQ(fake::count_logs("hbwatch() exit"), 1);
}

TEST_F(Watch, LongIntervalIsSleptWhole) {
    thctl_virtual_clock_auto(true);
    TestTable t(1, 1, 90000, 5000000);  // 5000 s: its microseconds do not fit 32 bits
    std::vector<uint64_t> lengths;
    run(hbwatch, t.get(), [&lengths](int n, uint64_t usec) {
        lengths.push_back(usec);
        return n == 1 ? Act::stop : Act::none;
    });
    ASSERT_EQ(lengths.size(), 1u);
    EXPECT_EQ(lengths[0], 5000000000ULL);
}

}  // namespace
