// SPDX-License-Identifier: GPL-3.0-or-later
// The BMC check thread against the fake BMC: which entries become targets, how they are
// programmed, how polls are matched and handed on, and how the thread ends.
#include "bmccheck/checkbmc.h"

#include <gtest/gtest.h>

#include <set>
#include <string>

#include "testtable.h"
#include "worker_fixture.h"

namespace {

constexpr uint64_t kSecond = 1000000;
constexpr uint64_t kCycle = 3000000;  // the pause of hbint 3000 ms

class CheckThread : public WorkerTest {
  protected:
    void SetUp() override {
        WorkerTest::SetUp();
        bhbcheckbmc = 1;
    }
    void *run_cycles(TestTable &t, int cycles) {
        return run(hbcheckbmc, t.get(), stop_after(cycles, kCycle));
    }
};

struct TargetCase {
    int nodes;
    int targets;
    int blocks;
};

class TargetList : public CheckThread, public testing::WithParamInterface<TargetCase> {};

TEST_P(TargetList, FirstThirtyTwoQualifyingEntriesAreProgrammedInBlocksOfSixteen) {
    const TargetCase c = GetParam();
    TestTable t(1, c.nodes, 25000);
    ASSERT_TRUE(returned_zero(run_cycles(t, 1)));
    auto programmed = fake::bmc_programmed();
    ASSERT_EQ(static_cast<int>(programmed.size()), 2 * c.blocks) << "one stop pass and one start pass";
    for (int pass = 0; pass < 2; ++pass) {
        for (int b = 0; b < c.blocks; ++b) {
            const auto &pb = programmed[static_cast<size_t>(pass * c.blocks + b)];
            EXPECT_EQ(pb.block, b + 1);
            for (int s = 0; s < 16; ++s) {
                int target = 16 * b + s;
                const BMC_INFO_SET &r = pb.records[static_cast<size_t>(s)];
                if (target < c.targets) {
                    EXPECT_EQ(r.ip, t.node(0, target)->ip_int);
                    EXPECT_EQ(r.ctrl, pass == 0 ? BMC_CTRL_STOP : BMC_CTRL_START);
                    EXPECT_EQ(r.timeout, 2) << "hbto 25000 gives a per-target time-out of 2 s";
                } else {
                    EXPECT_EQ(r.ip, 0u);
                    EXPECT_EQ(r.ctrl, 0);
                    EXPECT_EQ(r.timeout, 0);
                }
            }
        }
    }
    EXPECT_EQ(fake::count_logs("do not set block.(blk=0x21)"), c.nodes - c.targets);
    EXPECT_EQ(fake::count_calls("bmc_SetZelvarinAccessTime", "0x37,25"), 1);
    char line[64];
    std::snprintf(line, sizeof line, "current target ip:%d, current block:%d", c.targets, c.blocks);
    EXPECT_TRUE(fake::has_log(line));
}

INSTANTIATE_TEST_SUITE_P(CheckThread, TargetList,
                         testing::Values(TargetCase{0, 0, 0}, TargetCase{16, 16, 1}, TargetCase{17, 17, 2},
                                         TargetCase{32, 32, 2}, TargetCase{33, 32, 2}));

TEST_F(CheckThread, SkipsUnusedAndAddresslessEntriesAndTakesANodeOncePerResource) {
    TestTable t(2, 3);
    t.set_node(0, 1, "127.0.1.2", RSCSV_UNUSED);
    t.set_node(0, 2, "", RSCSV_OFFLINE);
    fake::bmc_answer(TestTable::addr("127.0.1.1"), 0x00, 0x03);
    fake::bmc_answer(TestTable::addr("127.0.1.3"), 0x00, 0x03);
    ASSERT_TRUE(returned_zero(run_cycles(t, 1)));
    const auto first = fake::bmc_programmed().at(0).records;
    // Targets in table order: hb1/node1, hb2/node1, hb2/node2, hb2/node3.
    EXPECT_EQ(first[0].ip, TestTable::addr("127.0.1.1"));
    EXPECT_EQ(first[1].ip, TestTable::addr("127.0.1.1"));
    EXPECT_EQ(first[2].ip, TestTable::addr("127.0.1.2"));
    EXPECT_EQ(first[3].ip, TestTable::addr("127.0.1.3"));
    EXPECT_EQ(first[4].ip, 0u);
    EXPECT_TRUE(fake::has_log("unused resource(rsc:hb1,node:node2)"));
    EXPECT_TRUE(fake::has_log("IP address is empty(rsc:hb1,node:node3)"));
    // node1 answers in both resources, each entry on its own.
    EXPECT_EQ(fake::state("hb1", 1), RSCSV_ONLINE);
    EXPECT_EQ(fake::state("hb2", 1), RSCSV_ONLINE);
    EXPECT_EQ(fake::state("hb2", 3), RSCSV_ONLINE);
    EXPECT_EQ(fake::state("hb1", 2), -1) << "an unused entry is never handed on";
}

TEST_F(CheckThread, RefusedRunningStatusSkipsTheCycle) {
    TestTable t(1, 2);
    fake::fail("bmc_SetZelvarinStatus", 1, 0, 0xc0, "1,0x2");
    // The refused cycle's pause and two full cycles.
    ASSERT_TRUE(returned_zero(run(hbcheckbmc, t.get(), stop_after(3, kCycle))));
    EXPECT_TRUE(fake::has_log("bmc_SetZelvarinStatus() failed(ret:0, CompletionCode:0xc0 ctrl:0x2)"));
    EXPECT_EQ(fake::count_calls("bmc_SetZelvarinStatus", "1,0x2"), 3);
    // Programmed: the stop pass, then start passes only for the two accepted cycles.
    EXPECT_EQ(fake::bmc_programmed().size(), 3u);
    EXPECT_EQ(fake::count_calls("bmc_GetBmcStatusAll"), 2);
}

TEST_F(CheckThread, RetriesARefusedStopBlockButNotARefusedStartBlock) {
    TestTable t(1, 17);
    fake::fail("bmc_SetBmcIpAddressAll", 1, 5, 0, "0x31,2");     // stop pass, block 2, once
    fake::fail("bmc_SetBmcIpAddressAll", 2, 0, 0xd5, "0x31,1");  // start pass, block 1
    // Pauses of the interval: the stop retry, the refused start block, the cycle's end.
    ASSERT_TRUE(returned_zero(run(hbcheckbmc, t.get(), stop_after(3, kCycle))));
    EXPECT_EQ(fake::count_calls("bmc_SetBmcIpAddressAll", "0x31,1"), 2);
    EXPECT_EQ(fake::count_calls("bmc_SetBmcIpAddressAll", "0x31,2"), 3);
    EXPECT_TRUE(fake::has_log("bmc_SetBmcIpAddressAll failed(ret:5,CompletionCode:0)"));
    EXPECT_TRUE(fake::has_log("bmc_SetBmcIpAddressAll failed(ret:0,CompletionCode:0xd5)"));
    EXPECT_EQ(fake::count_calls("bmc_GetBmcStatusAll"), 2) << "polling goes on after a refused start block";
}

TEST_F(CheckThread, RefusedPollUsesNothingOfThePass) {
    TestTable t(1, 17);
    fake::bmc_answer(TestTable::addr("127.0.1.1"), 0x00, 0x03);
    fake::fail("bmc_GetBmcStatusAll", 2, 0, 0xff);  // block 2 of the first pass
    ASSERT_TRUE(returned_zero(run_cycles(t, 1)));
    EXPECT_TRUE(fake::has_log("bmc_GetBmcStatusAll failed(ret:0,CompletionCode:0xff)"));
    EXPECT_EQ(fake::count_calls("shmnm_setrscsvstat"), 0);
}

TEST_F(CheckThread, TargetMissingFromTheReturnedBlocksIsReportedAndLeftAlone) {
    TestTable t(1, 2);
    fake::bmc_answer(TestTable::addr("127.0.1.1"), 0x00, 0x03);
    fake::bmc_script([](int, uint8_t, BMC_INFO_GET *r) { r[1].ip = 0; });
    ASSERT_TRUE(returned_zero(run_cycles(t, 1)));
    char line[64];
    std::snprintf(line, sizeof line, "ip(%#x) is not exist in returned blocks.",
                  TestTable::addr("127.0.1.2"));
    EXPECT_EQ(fake::count_logs(line), 1);
    EXPECT_EQ(fake::state("hb1", 1), RSCSV_ONLINE);
    EXPECT_EQ(fake::state("hb1", 2), -1);
}

struct ResultCase {
    const char *name;
    uint8_t stat0;
    int collecting_polls;  // polls answering "still collecting" before stat0 is answered
    int polls;
    bool handed_on;
};

class ResultStates : public CheckThread, public testing::WithParamInterface<ResultCase> {};

TEST_P(ResultStates, DecideWhetherAndWhenAResultIsHandedOn) {
    const ResultCase c = GetParam();
    TestTable t(1, 1);
    fake::bmc_script([c](int pollno, uint8_t, BMC_INFO_GET *r) {
        r[0].stat[0] = pollno <= c.collecting_polls ? 0x10 : c.stat0;
        r[0].stat[1] = 0x03;
    });
    ASSERT_TRUE(returned_zero(run_cycles(t, 1)));
    EXPECT_EQ(fake::count_calls("bmc_GetBmcStatusAll"), c.polls);
    EXPECT_EQ(fake::count_calls("shmnm_setrscsvstat"), c.handed_on ? 1 : 0);
    // One second before each poll, then the cycle's pause.
    EXPECT_EQ(sleeps, c.polls + 1);
}

INSTANTIATE_TEST_SUITE_P(CheckThread, ResultStates,
                         testing::Values(ResultCase{"Ready", 0x00, 0, 1, true},
                                         ResultCase{"CollectingThreePassesThenReady", 0x00, 3, 4, true},
                                         ResultCase{"NoResult", 0x20, 0, 1, false},
                                         ResultCase{"HighBitOnlyIsReady", 0x80, 0, 1, true},
                                         ResultCase{"LowBitsAreIgnored", 0x0f, 0, 1, true}),
                         [](const auto &param_info) { return param_info.param.name; });

TEST_F(CheckThread, StillCollectingInLowBitsKeepsPolling) {
    TestTable t(1, 1);
    fake::bmc_script([](int pollno, uint8_t, BMC_INFO_GET *r) {
        r[0].stat[0] = pollno < 3 ? 0x1f : 0x00;
        r[0].stat[1] = 0x03;
    });
    ASSERT_TRUE(returned_zero(run_cycles(t, 1)));
    EXPECT_EQ(fake::count_calls("bmc_GetBmcStatusAll"), 3);
}

TEST_F(CheckThread, WithoutAUsableBmcMakesNoBmcCallAndOnlyPauses) {
    bmcinit = -1;
    TestTable t(1, 2);
    ASSERT_TRUE(returned_zero(run_cycles(t, 3)));
    for (const auto &name : fake::call_names()) {
        EXPECT_EQ(name.rfind("bmc_", 0), std::string::npos) << name;
    }
    EXPECT_EQ(sleeps, 3);
}

TEST_F(CheckThread, CancelledDuringThePollSleepRunsItsCleanUpOnce) {
    TestTable t(1, 2);
    void *result = run(hbcheckbmc, t.get(),
                       [](int, uint64_t usec) { return usec == kSecond ? Act::cancel : Act::none; });
    EXPECT_TRUE(canceled(result));
    EXPECT_EQ(fake::count_calls("bmc_SetZelvarinStatus", "1,0x82"), 1);
    EXPECT_EQ(fake::count_logs("hbcheckbmc() exit"), 1);
    EXPECT_EQ(fake::count_calls("bmc_GetBmcStatusAll"), 0);
}

TEST_F(CheckThread, CancelledAtTheGateSendsNothingWithoutAUsableBmc) {
    bhbcheckbmc = 0;
    bmcinit = -2;
    TestTable t(1, 2);
    void *result = run(hbcheckbmc, t.get(), [](int n, uint64_t) { return n == 3 ? Act::cancel : Act::none; });
    EXPECT_TRUE(canceled(result));
    EXPECT_EQ(fake::count_calls("bmc_SetZelvarinStatus"), 0);
    EXPECT_EQ(fake::count_logs("hbcheckbmc() exit"), 1);
    EXPECT_FALSE(fake::has_log("START: hbcheckbmc"));
}

TEST_F(CheckThread, StopBeforeTheGateOpensEndsWithZero) {
    bhbcheckbmc = 0;
    TestTable t(1, 1);
    void *result = run(hbcheckbmc, t.get(), [](int n, uint64_t) { return n == 2 ? Act::stop : Act::none; });
    EXPECT_TRUE(returned_zero(result));
    EXPECT_EQ(fake::count_logs("SIGUSR1 already received"), 2);
    EXPECT_EQ(fake::count_calls("bmc_SetZelvarinStatus", "1,0x82"), 1);
    EXPECT_EQ(fake::count_calls("bmc_SetZelvarinStatus", "1,0x2"), 0);
}

TEST_F(CheckThread, StopEndsARefusingStopProgrammingPass) {
    bhbcheckbmc = 0;
    TestTable t(1, 1);
    fake::fail("bmc_SetBmcIpAddressAll", 0, 1);
    bsigrecv = 1;  // as when SIGUSR1 came before the thread existed: no cancel request
    void *result = run(hbcheckbmc, t.get(), [](int, uint64_t) { return Act::none; });
    EXPECT_TRUE(returned_zero(result));
    EXPECT_EQ(fake::count_calls("bmc_SetBmcIpAddressAll"), 1);
    EXPECT_TRUE(fake::has_log("SIGUSR1 already received"));
}

TEST_F(CheckThread, SignalsTheMainThreadOnceTheTargetsAreBuilt) {
    TestTable t(1, 1);
    ASSERT_TRUE(returned_zero(run_cycles(t, 1)));
    EXPECT_EQ(bmcready, 1);
    EXPECT_LT(fake::count_logs("tavikinfoset set config"), 2);
}

TEST_F(CheckThread, EveryLineOfTheThreadCarriesAnOperationOfIt) {
    TestTable t(2, 3);
    t.set_node(0, 1, "127.0.1.2", RSCSV_UNUSED);
    t.set_node(0, 2, "", RSCSV_OFFLINE);
    fake::bmc_answer(TestTable::addr("127.0.1.1"), 0x00, 0x03);
    fake::fail("bmc_SetBmcIpAddressAll", 2, 1);
    ASSERT_TRUE(returned_zero(run_cycles(t, 2)));
    const std::set<std::string> ops = {"hbcheckbmc", "hbdata",      "setrscstat",
                                       "delaywarn",  "thslooptime", "checkbmcthexit"};
    for (const auto &r : fake::logs()) {
        EXPECT_EQ(ops.count(r.func), 1u) << r.func << ": " << r.text;
    }
}

}  // namespace
