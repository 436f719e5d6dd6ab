// SPDX-License-Identifier: GPL-3.0-or-later
// Resource status aggregation: the precedence of the status table, the own node told
// apart by priority, publication on every call and a failed publication.
#include <gtest/gtest.h>

#include <vector>

#include "fakes.h"
#include "status/status.h"
#include "table_support.h"

namespace {

using tabletest::handtable;
using tabletest::NodeSpec;

struct StatusCase {
    const char *name;
    int own;                 // state of the own node's entry (priority 1)
    std::vector<int> peers;  // states of the peers (priorities 2, 3, ...)
    int mypri;
    int status;
    const char *word;
};

void PrintTo(const StatusCase &c, std::ostream *os) {
    *os << c.name;
}

class SetrscstatTest : public tabletest::TableTest, public testing::WithParamInterface<StatusCase> {};

TEST_P(SetrscstatTest, StoresPublishesAndLogsTheFirstMatchingRow) {
    const StatusCase &c = GetParam();
    std::vector<NodeSpec> nodes{{"own", 1, ""}};
    for (size_t j = 0; j < c.peers.size(); ++j) {
        nodes.push_back({"peer" + std::to_string(j), static_cast<int>(j) + 2, ""});
    }
    auto t = handtable({"hb1"}, nodes, c.mypri);
    tavik_list_rsc *prsc = rscat(t.get(), 0);
    nodesof(prsc)[0].stat = c.own;
    for (size_t j = 0; j < c.peers.size(); ++j) {
        nodesof(prsc)[j + 1].stat = c.peers[j];
    }
    fake::add_resource("hb1", 1);

    EXPECT_EQ(setrscstat(t.get(), prsc), 0);
    EXPECT_EQ(prsc->stat, c.status);
    EXPECT_EQ(fake::status("hb1"), c.status);
    EXPECT_EQ(fake::count_logs(std::string("rsc(hb1) status change to ") + c.word, LV_ERROR), 1);
    EXPECT_EQ(fake::count_logs("status change to"), 1);
}

INSTANTIATE_TEST_SUITE_P(
    Status, SetrscstatTest,
    testing::Values(
        StatusCase{
            "OwnOfflinePeersOnline", RSCSV_OFFLINE, {RSCSV_ONLINE, RSCSV_ONLINE}, 1, RSC_ERROR, "ERROR"},
        StatusCase{"OwnUnknownPeerOffline", RSCSV_UNKNOWN, {RSCSV_OFFLINE}, 1, RSC_ERROR, "ERROR"},
        StatusCase{"OwnOnlinePeerUnknown", RSCSV_ONLINE, {RSCSV_UNKNOWN}, 1, RSC_CAUTION, "CAUTION"},
        StatusCase{
            "OwnOnlinePeerOffline", RSCSV_ONLINE, {RSCSV_UNUSED, RSCSV_OFFLINE}, 1, RSC_CAUTION, "CAUTION"},
        StatusCase{"OnlineAndUnusedOnly", RSCSV_ONLINE, {RSCSV_UNUSED}, 1, RSC_NORMAL, "NORMAL"},
        StatusCase{"PeerOnlineOwnUnused", RSCSV_UNUSED, {RSCSV_ONLINE}, 1, RSC_NORMAL, "NORMAL"},
        StatusCase{"AllUnused", RSCSV_UNUSED, {RSCSV_UNUSED}, 1, RSC_UNUSED, "UNUSED"},
        StatusCase{"NothingRecognised", 0, {0, 7}, 1, RSC_UNKNOWN, "UNKNOWN"},
        StatusCase{"UnrecognisedBesideUnused", 5, {RSCSV_UNUSED}, 1, RSC_UNUSED, "UNUSED"},
        // Without an entry of the own priority, offline entries are all peers.
        StatusCase{"NoOwnEntryOffline", RSCSV_OFFLINE, {RSCSV_OFFLINE}, 99, RSC_CAUTION, "CAUTION"},
        StatusCase{"NoOwnEntryUnknown", RSCSV_UNKNOWN, {RSCSV_ONLINE}, 99, RSC_CAUTION, "CAUTION"},
        // The own node is the entry with the own priority, wherever it stands.
        StatusCase{"OwnIsALaterEntry", RSCSV_ONLINE, {RSCSV_ONLINE, RSCSV_OFFLINE}, 3, RSC_ERROR, "ERROR"}),
    [](const testing::TestParamInfo<StatusCase> &param_info) { return std::string(param_info.param.name); });

class SetrscstatCalls : public tabletest::TableTest {};

TEST_F(SetrscstatCalls, NoNodesIsUnknown) {
    auto t = handtable({"hb1"}, {}, 1);
    fake::add_resource("hb1", 1);
    setrscstat(t.get(), rscat(t.get(), 0));
    EXPECT_EQ(rscat(t.get(), 0)->stat, RSC_UNKNOWN);
    EXPECT_EQ(fake::status("hb1"), RSC_UNKNOWN);
    EXPECT_TRUE(fake::has_log("rsc(hb1) status change to UNKNOWN", LV_ERROR));
}

TEST_F(SetrscstatCalls, PublishesAndLogsOnEveryCallAlsoWhenUnchanged) {
    auto t = handtable({"hb1", "hb2"}, {{"own", 1, ""}, {"peer", 2, ""}}, 1);
    fake::add_resource("hb1", 1);
    fake::add_resource("hb2", 2);
    tavik_list_rsc *prsc = rscat(t.get(), 1);
    nodesof(prsc)[0].stat = RSCSV_ONLINE;
    setrscstat(t.get(), prsc);
    setrscstat(t.get(), prsc);
    EXPECT_EQ(fake::count_calls("shmnm_setrscstat", "tavik,hb2,0"), 2);
    EXPECT_EQ(fake::count_logs("rsc(hb2) status change to NORMAL", LV_ERROR), 2);
    EXPECT_EQ(rscat(t.get(), 0)->stat, 0) << "another block is not touched";
    EXPECT_EQ(fake::count_calls("shmnm_setrscstat", "tavik,hb1,9"), 0);
}

TEST_F(SetrscstatCalls, FailedPublicationKeepsTheNewStatusAndStillSucceeds) {
    auto t = handtable({"hb1"}, {{"own", 1, ""}}, 1);
    fake::add_resource("hb1", 1);
    tavik_list_rsc *prsc = rscat(t.get(), 0);
    prsc->stat = RSC_NORMAL;
    nodesof(prsc)[0].stat = RSCSV_OFFLINE;
    fake::fail("shmnm_setrscstat", 1, 5);
    EXPECT_EQ(setrscstat(t.get(), prsc), 0);
    EXPECT_EQ(prsc->stat, RSC_ERROR);
    EXPECT_TRUE(fake::has_log("shmnm_setrscstat(TAVIK,hb1,4) failed(ret:5)", LV_ERROR));
    EXPECT_EQ(fake::count_calls("shmnm_setrscstat"), 1) << "no retry";
}

}  // namespace
