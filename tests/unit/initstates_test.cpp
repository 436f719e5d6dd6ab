// SPDX-License-Identifier: GPL-3.0-or-later
// Start-up states: every row of the decision table in fresh and resume mode, the sweep
// of a block whose own host has no address, the choice of mode, and the failures that
// are logged while the phase goes on.
#include <gtest/gtest.h>
#include <zvrxml.h>

#include "fakes.h"
#include "table_support.h"
#include "tavik/thctl.h"

namespace {

using tabletest::handtable;
using tabletest::NodeSpec;
using tabletest::Table;

constexpr int kResumeAction = 0x2000005;

class Initstates : public tabletest::TableTest {
  protected:
    void SetUp() override {
        TableTest::SetUp();
        thctl_virtual_clock(true);
        thctl_advance_us(5000000);
    }
    void TearDown() override {
        thctl_virtual_clock(false);
        TableTest::TearDown();
    }

    // The cluster knows the table's resources and nodes, so publications succeed.
    Table cluster(const std::vector<std::string> &rscs, const std::vector<NodeSpec> &nodes) {
        for (const auto &r : rscs) {
            fake::add_resource(r, 1);
        }
        for (const auto &n : nodes) {
            fake::add_node(n.name, n.priority);
        }
        return handtable(rscs, nodes, 1);
    }

    // The level-1 messages about nodes, without the previous-state lines.
    static std::vector<std::string> nodemessages() {
        auto texts = tabletest::logtexts("node(");
        std::erase_if(texts, [](const std::string &t) { return t.find("prev stat") != std::string::npos; });
        return texts;
    }
};

// Node j is the peer p2 (priority 2); the own host "me" (priority 1) follows it.
struct RowCase {
    const char *name;
    bool peeraddr;
    bool ownaddr;
    bool resume;
    int peerprev;  // what the cluster holds (resume mode)
    int ownprev;
    int peerstat;
    int ownstat;
    std::vector<std::string> messages;
    int statchanges;
    int status;
};

void PrintTo(const RowCase &c, std::ostream *os) {
    *os << c.name;
}

class DecisionRow : public Initstates, public testing::WithParamInterface<RowCase> {};

TEST_P(DecisionRow, WritesPublishesAndLogsTheRowsState) {
    const RowCase &c = GetParam();
    auto t =
        cluster({"hb1"}, {{"p2", 2, c.peeraddr ? "127.0.0.2" : ""}, {"me", 1, c.ownaddr ? "127.0.0.1" : ""}});
    if (c.resume) {
        fake::set_action(kResumeAction);
        fake::set_state("hb1", 2, c.peerprev);
        fake::set_state("hb1", 1, c.ownprev);
    }
    initstates(t.get(), "me");
    tavik_list_node *pnode = nodesof(rscat(t.get(), 0));
    EXPECT_EQ(pnode[0].stat, c.peerstat);
    EXPECT_EQ(pnode[1].stat, c.ownstat);
    EXPECT_EQ(fake::state("hb1", 2), c.peerstat);
    EXPECT_EQ(fake::state("hb1", 1), c.ownstat);
    EXPECT_EQ(nodemessages(), c.messages);
    EXPECT_EQ(fake::statchanges(), c.statchanges);
    EXPECT_EQ(fake::status("hb1"), c.status);
    const clock_t start = c.resume ? xmllib_times(0) : 0;
    EXPECT_EQ(static_cast<clock_t>(pnode[0].lastrecv), start);
    EXPECT_EQ(static_cast<clock_t>(pnode[1].lastrecv), start);
    EXPECT_EQ(fake::count_logs("prev stat:0x"), c.resume ? 2 : 0);
    EXPECT_EQ(fake::count_calls("shmnm_getrscsvstat"), c.resume ? 2 : 0);
}

const char kP2Unused[] = "rsc(hb1)/node(p2(2)) unused";
const char kP2ToUnused[] = "->rsc(hb1)/node(p2(2)) change to unused";
const char kOwnUnused[] = "rsc(hb1)/node(own:me) unused";
const char kMeUnused[] = "rsc(hb1)/node(me(1)) unused";
const char kMeToUnused[] = "->rsc(hb1)/node(me(1)) change to unused";

INSTANTIATE_TEST_SUITE_P(
    Initstates, DecisionRow,
    testing::Values(
        RowCase{"Row1NoAddressFresh", false, true, false, 0, 0, 15, 2, {kP2Unused}, 0, RSC_ERROR},
        RowCase{"Row2NoAddressResumeWasUsed",
                false,
                true,
                true,
                1,
                1,
                15,
                1,
                {kP2Unused, kP2ToUnused},
                1,
                RSC_NORMAL},
        RowCase{"Row3NoAddressResumeWasUnused", false, true, true, 15, 1, 15, 1, {kP2Unused}, 0, RSC_NORMAL},
        RowCase{"Row4OwnUnaddressedFresh",
                true,
                false,
                false,
                0,
                0,
                15,
                15,
                {kOwnUnused, kP2ToUnused, kMeUnused},
                0,
                RSC_UNUSED},
        RowCase{"Row5OwnUnaddressedResumeWasUsed",
                true,
                false,
                true,
                1,
                1,
                15,
                15,
                {kOwnUnused, kP2ToUnused, kMeUnused, kMeToUnused},
                1,
                RSC_UNUSED},
        RowCase{"Row6OwnUnaddressedResumeWasUnused",
                true,
                false,
                true,
                15,
                15,
                15,
                15,
                {kMeUnused},
                0,
                RSC_UNUSED},
        RowCase{"Row7AddressedFresh", true, true, false, 0, 0, 2, 2, {}, 0, RSC_ERROR},
        RowCase{"Row8AddressedResumeWasUnused",
                true,
                true,
                true,
                15,
                1,
                2,
                1,
                {"rsc(hb1)/node(p2(2)) used", "->rsc(hb1)/node(p2(2)) change to offline"},
                1,
                RSC_CAUTION},
        RowCase{"Row9AddressedResumeKeepsItsState", true, true, true, 1, 1, 1, 1, {}, 0, RSC_NORMAL},
        RowCase{"Row9KeepsUnknownToo", true, true, true, 9, 2, 9, 2, {}, 0, RSC_ERROR}),
    [](const testing::TestParamInfo<RowCase> &param_info) { return std::string(param_info.param.name); });

TEST_F(Initstates, AnOwnHostWithoutAddressFirstInTheBlockMakesEveryNodeUnused) {
    auto t = cluster({"hb1"}, {{"me", 1, ""}, {"p2", 2, "127.0.0.2"}, {"p3", 3, "127.0.0.3"}});
    initstates(t.get(), "me");
    for (int j = 0; j < 3; ++j) {
        EXPECT_EQ(nodesof(rscat(t.get(), 0))[j].stat, RSCSV_UNUSED) << j;
        EXPECT_EQ(fake::state("hb1", j + 1), RSCSV_UNUSED) << j;
    }
    EXPECT_EQ(nodemessages(), (std::vector<std::string>{kMeUnused, kOwnUnused, kP2ToUnused, kOwnUnused,
                                                        "->rsc(hb1)/node(p3(3)) change to unused"}));
    EXPECT_EQ(fake::status("hb1"), RSC_UNUSED);
}

TEST_F(Initstates, ResumingASweptBlockReadsEachPreviousStateFirst) {
    auto t = cluster({"hb1"}, {{"me", 1, ""}, {"p2", 2, "127.0.0.2"}});
    fake::set_action(kResumeAction);
    fake::set_state("hb1", 1, 15);
    fake::set_state("hb1", 2, 1);
    initstates(t.get(), "me");
    EXPECT_TRUE(fake::has_log("rsc(hb1)/node(p2(2)) prev stat:0x00000001", LV_ERROR));
    EXPECT_EQ(fake::state("hb1", 2), RSCSV_UNUSED);
    EXPECT_EQ(nodemessages(), (std::vector<std::string>{kMeUnused, kOwnUnused, kP2ToUnused}));
    EXPECT_EQ(fake::statchanges(), 1);
}

TEST_F(Initstates, TheOwnHostIsMatchedByItsWholeName) {
    auto t = cluster({"hb1"}, {{"p2", 2, "127.0.0.2"}, {"mex", 3, ""}, {"m", 4, ""}, {"me", 1, "127.0.0.1"}});
    initstates(t.get(), "me");
    tavik_list_node *pnode = nodesof(rscat(t.get(), 0));
    EXPECT_EQ(pnode[0].stat, RSCSV_OFFLINE);
    EXPECT_EQ(pnode[1].stat, RSCSV_UNUSED);
    EXPECT_EQ(pnode[2].stat, RSCSV_UNUSED);
    EXPECT_EQ(pnode[3].stat, RSCSV_OFFLINE);
    EXPECT_EQ(fake::count_logs("own:"), 0);
}

struct ModeCase {
    const char *name;
    int action;
    bool actionfails;
    int brestart;
    bool resume;
    const char *message;  // the mode message, when resuming
};

void PrintTo(const ModeCase &c, std::ostream *os) {
    *os << c.name;
}

class Mode : public Initstates, public testing::WithParamInterface<ModeCase> {};

TEST_P(Mode, ResumesOnTheTwoActionsOrARestart) {
    const ModeCase &c = GetParam();
    auto t = cluster({"hb1"}, {{"me", 1, "127.0.0.1"}});
    fake::set_action(c.action);
    if (c.actionfails) {
        fake::fail("shmcm_getaction", 1, 3);
    }
    brestart = c.brestart;
    fake::set_state("hb1", 1, RSCSV_ONLINE);
    initstates(t.get(), "me");
    EXPECT_EQ(fake::has_log("shmcm_getaction() failed(ret:3)", LV_ERROR), c.actionfails);
    EXPECT_EQ(tabletest::logtexts("change mode to resume"),
              c.resume ? std::vector<std::string>{c.message} : std::vector<std::string>{});
    EXPECT_EQ(fake::state("hb1", 1), c.resume ? RSCSV_ONLINE : RSCSV_OFFLINE);
    EXPECT_EQ(fake::count_calls("shmnm_getrscsvstat"), c.resume ? 1 : 0);
}

INSTANTIATE_TEST_SUITE_P(
    Initstates, Mode,
    testing::Values(
        ModeCase{"Action1000005", 0x1000005, false, 0, true, "change mode to resume(act:0x01000005)"},
        ModeCase{"Action2000005", 0x2000005, false, 0, true, "change mode to resume(act:0x02000005)"},
        ModeCase{"OtherAction", 0x1000004, false, 0, false, nullptr},
        ModeCase{"UnreadableStandIn", 0x2000000, false, 0, false, nullptr},
        ModeCase{"Restart", 0x1234, false, 1, true, "change mode to resume(act:0x00001234)"},
        ModeCase{"RestartActionUnreadable", 0x1000005, true, 1, true,
                 "change mode to resume(act:0x02000000)"},
        ModeCase{"ActionUnreadable", 0x1000005, true, 0, false, nullptr}),
    [](const testing::TestParamInfo<ModeCase> &param_info) { return std::string(param_info.param.name); });

TEST_F(Initstates, AFailedPreviousStateIsTakenAsUnknown) {
    auto t = cluster({"hb1"}, {{"me", 1, "127.0.0.1"}, {"p2", 2, "127.0.0.2"}});
    fake::set_action(kResumeAction);
    fake::set_state("hb1", 1, RSCSV_ONLINE);
    fake::fail("shmnm_getrscsvstat", 1, 3, 0, "tavik,hb1,2");
    initstates(t.get(), "me");
    EXPECT_TRUE(fake::has_log("shmnm_getrscsvstat(rsc:hb1,nodeid:2) failed(ret:3)", LV_ERROR));
    EXPECT_TRUE(fake::has_log("rsc(hb1)/node(p2(2)) prev stat:0x00000009", LV_ERROR));
    EXPECT_EQ(nodesof(rscat(t.get(), 0))[1].stat, RSCSV_UNKNOWN);
    EXPECT_EQ(fake::state("hb1", 2), RSCSV_UNKNOWN);
    EXPECT_EQ(fake::status("hb1"), RSC_CAUTION);
}

TEST_F(Initstates, APublicationFailureIsLoggedAndTheNextNodeStillPublished) {
    auto t = cluster({"hb1"}, {{"me", 1, "127.0.0.1"}, {"p2", 2, "127.0.0.2"}});
    fake::fail("shmnm_setrscsvstat", 1, 4);
    initstates(t.get(), "me");
    EXPECT_TRUE(fake::has_log("shmnm_setrscsvstat(rsc:hb1,nodeid:1) failed(ret:4)", LV_ERROR));
    EXPECT_EQ(nodesof(rscat(t.get(), 0))[0].stat, RSCSV_OFFLINE);
    EXPECT_EQ(fake::state("hb1", 2), RSCSV_OFFLINE);
}

TEST_F(Initstates, SignalsOnceAfterAllStatusesWhenAResumeChangedStates) {
    auto t = cluster({"hb1", "hb2"}, {{"me", 1, "127.0.0.1"}, {"p2", 2, "127.0.0.2"}});
    fake::set_action(kResumeAction);
    for (const char *r : {"hb1", "hb2"}) {
        fake::set_state(r, 1, RSCSV_ONLINE);
        fake::set_state(r, 2, RSCSV_UNUSED);
    }
    initstates(t.get(), "me");
    EXPECT_EQ(fake::statchanges(), 1);
    EXPECT_GT(tabletest::callindex("sem_set_statchange"), tabletest::callindex("shmnm_setrscstat", "", true));
    EXPECT_EQ(fake::count_calls("shmnm_setrscstat"), 2);
}

TEST_F(Initstates, ASemaphoreFailureIsLogged) {
    auto t = cluster({"hb1"}, {{"me", 1, "127.0.0.1"}});
    fake::set_action(kResumeAction);
    fake::set_state("hb1", 1, RSCSV_UNUSED);
    fake::fail("sem_set_statchange", 1, 2);
    initstates(t.get(), "me");
    EXPECT_TRUE(fake::has_log("sem_set_statchange() failed(ret:2)", LV_ERROR));
}

TEST_F(Initstates, AnInactiveResourceGetsNoStatesButAStatus) {
    auto t = cluster({"hb1", "hb2"}, {{"me", 1, "127.0.0.1"}});
    rscat(t.get(), 0)->devid = -1;
    fake::set_action(kResumeAction);
    initstates(t.get(), "me");
    EXPECT_TRUE(fake::has_log("device id(-1) is invalid", LV_WARN));
    EXPECT_EQ(nodesof(rscat(t.get(), 0))[0].stat, 0);
    EXPECT_EQ(fake::count_calls("shmnm_getrscsvstat", "tavik,hb1,1"), 0);
    EXPECT_EQ(fake::count_calls("shmnm_setrscsvstat", "tavik,hb1,1,0"), 0);
    EXPECT_EQ(fake::status("hb1"), RSC_UNKNOWN);
    EXPECT_EQ(fake::count_calls("shmnm_setrscsvstat", "tavik,hb2,1,9"), 1) << "hb2 still resumes";
}

}  // namespace
