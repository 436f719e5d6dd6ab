// SPDX-License-Identifier: GPL-3.0-or-later
// Kept whole past 500 lines: every case drives the one table build through the same
// fake cluster.
// Table construction against the fake cluster: what a built table holds, every failure
// result and that nothing stays allocated after it, enumerations that change between
// the counting and the fill passes, names and address texts at their limits, and how
// the own node is found.
#include <gtest/gtest.h>

#include <functional>

#include "fakes.h"
#include "table/table.h"
#include "table_support.h"

namespace {

using namespace std::string_literals;
using tabletest::AllocSpy;
using tabletest::Table;

tavik_list_head *const kUntouched = reinterpret_cast<tavik_list_head *>(0x5a5a5a5a);

std::string devkey(const std::string &rsc) {
    return "/root/heartbeat/tavik@" + rsc + "/device";
}
std::string ipkey(const std::string &node, int devid) {
    return "/root/server@" + node + "/device@" + std::to_string(devid) + "/info";
}

class Loadinfo : public tabletest::TableTest {
  protected:
    void SetUp() override {
        TableTest::SetUp();
        host = tabletest::realhost();
    }

    // hb1 (device 1) and hb2 (device 2) over the host (1), peer2 (2) and peer3 (3); the
    // node of priority p has address 127.0.d.p in the resource of device d.
    void standardcluster() {
        fake::add_resource("hb1", 10);
        fake::add_resource("hb2", 20);
        fake::set_int(devkey("hb1"), 1);
        fake::set_int(devkey("hb2"), 2);
        addnode(host, 1);
        addnode("peer2", 2);
        addnode("peer3", 3);
    }
    void addnode(const std::string &name, int pri) {
        fake::add_node(name, pri);
        for (int d : {1, 2}) {
            fake::set_str(ipkey(name, d), "127.0." + std::to_string(d) + "." + std::to_string(pri));
        }
    }

    int run() {
        plist = kUntouched;
        int ret = loadinfo(&plist);
        if (ret == 0) {
            table.reset(plist);
        }
        return ret;
    }

    tavik_list_node &node(int i, int j) { return nodesof(rscat(table.get(), i))[j]; }

    std::string host;
    tavik_list_head *plist = nullptr;
    Table table;
};

TEST_F(Loadinfo, BuildsTwoResourcesByThreeNodes) {
    standardcluster();
    ASSERT_EQ(run(), 0);
    char alloc[128];
    std::snprintf(alloc, sizeof alloc, "plist(0x%08x):TOTAL(2844)=H(28)+R(352*2)+N(352*3*2)",
                  static_cast<unsigned>(reinterpret_cast<uintptr_t>(plist)));
    EXPECT_EQ(tabletest::logtexts("plist(0x"), std::vector<std::string>{alloc});

    EXPECT_EQ(table->currsc, 2);
    EXPECT_EQ(table->curnode, 3);
    EXPECT_EQ(table->mypri, 1);
    EXPECT_EQ(table->hbto, 90000);
    EXPECT_EQ(table->hbint, 3000);
    EXPECT_EQ(table->maxnode, 32);
    EXPECT_EQ(table->maxrsc, 128);
    const char *names[] = {host.c_str(), "peer2", "peer3"};
    for (int i = 0; i < 2; ++i) {
        tavik_list_rsc *prsc = rscat(table.get(), i);
        EXPECT_STREQ(prsc->name, i == 0 ? "hb1" : "hb2");
        EXPECT_EQ(prsc->priority, 10 * (i + 1));
        EXPECT_EQ(prsc->devid, i + 1);
        EXPECT_STREQ(prsc->myname, host.c_str());
        EXPECT_EQ(prsc->myip, "127.0." + std::to_string(i + 1) + ".1");
        EXPECT_EQ(prsc->stat, RSC_ERROR) << "the own node starts offline";
        for (int j = 0; j < 3; ++j) {
            tavik_list_node &n = node(i, j);
            EXPECT_STREQ(n.name, names[j]);
            EXPECT_EQ(n.priority, j + 1);
            EXPECT_EQ(n.ip, "127.0." + std::to_string(i + 1) + "." + std::to_string(j + 1));
            const unsigned char bytes[4] = {127, 0, static_cast<unsigned char>(i + 1),
                                            static_cast<unsigned char>(j + 1)};
            EXPECT_EQ(std::memcmp(&n.ip_int, bytes, 4), 0);
            EXPECT_EQ(n.stat, RSCSV_OFFLINE);
            EXPECT_EQ(fake::state(prsc->name, j + 1), RSCSV_OFFLINE);
        }
        EXPECT_EQ(fake::status(prsc->name), RSC_ERROR);
    }
    auto texts = tabletest::logtexts(":");
    std::erase_if(texts, [](const std::string &t) { return t.starts_with("xmllib_get_value("); });
    EXPECT_EQ(texts, (std::vector<std::string>{
                         alloc, "maxnode:32,maxrsc:128", "currsc:2,curnode:3",
                         "hbto:90000(msec),hbint:3000(msec),warnrate:80", "thstacksz:0",
                         "rsc:hb1(pri:10),node:" + host + "(pri:1)", "rsc:hb1(pri:10),node:peer2(pri:2)",
                         "rsc:hb1(pri:10),node:peer3(pri:3)", "rsc:hb2(pri:20),node:" + host + "(pri:1)",
                         "rsc:hb2(pri:20),node:peer2(pri:2)", "rsc:hb2(pri:20),node:peer3(pri:3)",
                         "rsc:hb1,node:" + host + "(IP=127.0.1.1)", "rsc:hb1,node:peer2(IP=127.0.1.2)",
                         "rsc:hb1,node:peer3(IP=127.0.1.3)", "rsc:hb2,node:" + host + "(IP=127.0.2.1)",
                         "rsc:hb2,node:peer2(IP=127.0.2.2)", "rsc:hb2,node:peer3(IP=127.0.2.3)"}));
    EXPECT_TRUE(fake::has_log("rsc:hb2,pri:20", LV_DETAIL));
    EXPECT_TRUE(fake::has_log("rsc=hb1,ownnode=" + host + "(pri=1,ip=127.0.1.1)", LV_ERROR));
    EXPECT_EQ(fake::statchanges(), 0);
    EXPECT_EQ(AllocSpy::live, 1) << "only the table outlives construction";
    EXPECT_EQ(AllocSpy::calls, 5);
    EXPECT_EQ(fake::logs().back().text, "<<< EXIT >>> : 0x00000000");
}

TEST_F(Loadinfo, TakesTheConfiguredParametersIntoTheHeader) {
    standardcluster();
    fake::set_int("/root/all/num/server", 4);
    fake::set_int("/root/all/num/hbr", 2);
    fake::set_int("/root/cluster/heartbeat/timeout", 9000);
    fake::set_int("/root/cluster/heartbeat/interval", 0);
    fake::set_int("/root/cluster/delaywarn/heartbeat", 150);
    ASSERT_EQ(run(), 0);
    EXPECT_EQ(table->maxnode, 4);
    EXPECT_EQ(table->maxrsc, 2);
    EXPECT_EQ(table->hbto, 9000);
    EXPECT_EQ(table->hbint, 100);
    EXPECT_TRUE(fake::has_log("hbto:9000(msec),hbint:100(msec),warnrate:100", LV_ERROR));
}

struct FailureCase {
    const char *name;
    std::function<void()> inject;
    int failalloc;  // nth allocation to fail, 0 none
    bool hostfails;
    int result;
    std::string message;  // level 1
};

void PrintTo(const FailureCase &c, std::ostream *os) {
    *os << c.name;
}

int failhost(char *, std::size_t) {
    errno = EFAULT;
    return -1;
}

class LoadinfoFailure : public Loadinfo, public testing::WithParamInterface<FailureCase> {};

TEST_P(LoadinfoFailure, ReturnsItsResultAndLeavesNothingAllocated) {
    const FailureCase &c = GetParam();
    standardcluster();
    if (c.inject) {
        c.inject();
    }
    AllocSpy::failat = c.failalloc;
    if (c.hostfails) {
        tablesys.gethostname = failhost;
    }
    EXPECT_EQ(run(), c.result);
    EXPECT_EQ(plist, kUntouched);
    EXPECT_EQ(AllocSpy::live, 0);
    EXPECT_TRUE(fake::has_log(c.message, LV_ERROR)) << c.message;
    char exitline[64];
    std::snprintf(exitline, sizeof exitline, "<<< EXIT >>> : 0x%08x", c.result);
    EXPECT_EQ(fake::logs().back().text, exitline);
    EXPECT_EQ(fake::count_calls("shmnm_setrscsvstat"), 0);
    EXPECT_EQ(fake::count_calls("shmnm_setrscstat"), 0);
}

auto failcall(const char *call, int nth, int result, const char *args = "") {
    return [=] { fake::fail(call, nth, result, 0, args); };
}

INSTANTIATE_TEST_SUITE_P(
    Loadinfo, LoadinfoFailure,
    testing::Values(FailureCase{"PolicyAll", failcall("xmllib_load_policy", 1, 4, "all"), 0, false, 6,
                                "xmllib_load_policy(all) failed(ret:4)"},
                    FailureCase{"PolicyTavik", failcall("xmllib_load_policy", 1, 4, "tavik"), 0, false, 6,
                                "xmllib_load_policy(tavik) failed(ret:4)"},
                    FailureCase{"CountRscSize", failcall("shmnm_enumrsc", 1, 3), 0, false, 7,
                                "shmnm_enumrsc() failed(ret:3)"},
                    FailureCase{"CountRscSizeZero", [] { fake::override_enum("rsc", 1, ""); }, 0, false, 7,
                                "shmnm_enumrsc() failed(ret:0)"},
                    FailureCase{"CountRscBuffer", nullptr, 1, false, 5, "malloc(9) failed(errno:12)"},
                    FailureCase{"CountRscFill", failcall("shmnm_enumrsc", 2, 3), 0, false, 7,
                                "shmnm_enumrsc() failed(ret:3)"},
                    FailureCase{"CountNodeSize", failcall("shmnm_enumnode", 1, 4), 0, false, 8,
                                "shmnm_enumnode() failed(ret:4)"},
                    FailureCase{"CountNodeSizeZero", [] { fake::override_enum("node", 1, ""); }, 0, false, 8,
                                "shmnm_enumnode() failed(ret:0)"},
                    FailureCase{"CountNodeBuffer", nullptr, 2, false, 5, "failed(errno:12)"},
                    FailureCase{"CountNodeFill", failcall("shmnm_enumnode", 2, 4), 0, false, 8,
                                "shmnm_enumnode() failed(ret:4)"},
                    FailureCase{"Table", nullptr, 3, false, 5, "malloc(2844) failed(errno:12)"},
                    FailureCase{"HostName", nullptr, 0, true, 12, "gethostname() failed(errno:14)"},
                    FailureCase{"OwnPriority", failcall("shmnm_getnodepri", 1, 6), 0, false, 11,
                                "shmnm_getnodepri() failed(ret:6)"},
                    FailureCase{"FillRscSize", failcall("shmnm_enumrsc", 3, 5), 0, false, 7,
                                "shmnm_enumrsc() failed(ret:5)"},
                    FailureCase{"FillRscBuffer", nullptr, 4, false, 5, "malloc(9) failed(errno:12)"},
                    FailureCase{"FillRscFill", failcall("shmnm_enumrsc", 4, 5), 0, false, 7,
                                "shmnm_enumrsc() failed(ret:5)"},
                    FailureCase{"FillNodeSize", failcall("shmnm_enumnode", 3, 5), 0, false, 8,
                                "shmnm_enumnode() failed(ret:5)"},
                    FailureCase{"FillNodeBuffer", nullptr, 5, false, 5, "failed(errno:12)"},
                    FailureCase{"FillNodeFill", failcall("shmnm_enumnode", 4, 5), 0, false, 8,
                                "shmnm_enumnode() failed(ret:5)"}),
    [](const testing::TestParamInfo<FailureCase> &param_info) { return std::string(param_info.param.name); });

TEST_F(Loadinfo, ATableTooLargeForItsSizeFieldFailsLikeAnAllocation) {
    fake::add_node(host, 1);
    std::string rscs, nodes;
    for (int i = 0; i < 64; ++i) {
        rscs += "r\0"s;
    }
    for (int j = 0; j < 100000; ++j) {
        nodes += "n\0"s;
    }
    for (int nth : {1, 2}) {
        fake::override_enum("rsc", nth, rscs + '\0');
        fake::override_enum("node", nth, nodes + '\0');
    }
    EXPECT_EQ(run(), 5);
    EXPECT_TRUE(fake::has_log("table too large(currsc:64,curnode:100000)", LV_ERROR));
    EXPECT_EQ(AllocSpy::live, 0);
    EXPECT_EQ(AllocSpy::calls, 2) << "no allocation of the table is attempted";
}

TEST_F(Loadinfo, EmptyListsGiveAnEmptyTable) {
    fake::add_node(host, 1);  // no resources: the list is two NUL bytes
    ASSERT_EQ(run(), 0);
    EXPECT_EQ(table->currsc, 0);
    EXPECT_TRUE(fake::has_log("):TOTAL(28)=H(28)+R(352*0)+N(352*1*0)", LV_ERROR));
    EXPECT_EQ(fake::count_calls("shmnm_setrscstat"), 0);
}

TEST_F(Loadinfo, NoNodesGiveResourcesOfOneRecordEach) {
    standardcluster();
    for (int nth = 1; nth <= 4; ++nth) {
        fake::override_enum("node", nth, "\0\0"s);
    }
    ASSERT_EQ(run(), 0);
    EXPECT_EQ(table->curnode, 0);
    EXPECT_TRUE(fake::has_log("):TOTAL(732)=H(28)+R(352*2)+N(352*0*2)", LV_ERROR));
    EXPECT_EQ(fake::status("hb1"), RSC_UNKNOWN);
    EXPECT_EQ(fake::status("hb2"), RSC_UNKNOWN);
}

struct ChangeCase {
    const char *name;
    const char *which;               // "rsc" or "node"
    std::string fill;                // what the fill pass enumerates
    std::vector<std::string> names;  // names in the table (block 0 for nodes)
};

void PrintTo(const ChangeCase &c, std::ostream *os) {
    *os << c.name;
}

class LoadinfoChange : public Loadinfo, public testing::WithParamInterface<ChangeCase> {};

TEST_P(LoadinfoChange, TheCountingPassFixesTheDimensions) {
    const ChangeCase &c = GetParam();
    standardcluster();
    std::string fill = c.fill;
    for (size_t at; (at = fill.find("HOST")) != std::string::npos;) {
        fill.replace(at, 4, host);
    }
    fake::override_enum(c.which, 3, fill);
    fake::override_enum(c.which, 4, fill);
    ASSERT_EQ(run(), 0);
    EXPECT_EQ(table->currsc, 2);
    EXPECT_EQ(table->curnode, 3);
    std::vector<std::string> names;
    if (std::string(c.which) == "rsc") {
        for (int i = 0; i < 2; ++i) {
            names.emplace_back(rscat(table.get(), i)->name);
        }
    } else {
        for (int j = 0; j < 3; ++j) {
            names.emplace_back(node(1, j).name);
        }
    }
    for (auto &n : names) {
        n = n == host ? "HOST" : n;
    }
    EXPECT_EQ(names, c.names);
    EXPECT_EQ(fake::count_calls("shmnm_getrscpri", "tavik,hb3"), 0);
    EXPECT_EQ(fake::count_calls("shmnm_getnodepri", "extra"), 0);
    EXPECT_EQ(AllocSpy::live, 1);
}

INSTANTIATE_TEST_SUITE_P(
    Loadinfo, LoadinfoChange,
    testing::Values(ChangeCase{"MoreResources", "rsc", "hb1\0hb2\0hb3\0\0"s, {"hb1", "hb2"}},
                    ChangeCase{"FewerResources", "rsc", "hb2\0\0"s, {"hb2", ""}},
                    ChangeCase{
                        "MoreNodes", "node", "HOST\0peer2\0peer3\0extra\0\0"s, {"HOST", "peer2", "peer3"}},
                    ChangeCase{"FewerNodes", "node", "peer3\0\0"s, {"peer3", "", ""}},
                    // A list the library failed to close is still read only up to its size.
                    ChangeCase{"UnclosedList", "rsc", "hb2\0hb1"s, {"hb2", "hb1"}}),
    [](const testing::TestParamInfo<ChangeCase> &param_info) { return std::string(param_info.param.name); });

TEST_F(Loadinfo, ALeftOverResourceRecordIsInactive) {
    standardcluster();
    fake::override_enum("rsc", 3, "hb2\0\0"s);
    fake::override_enum("rsc", 4, "hb2\0\0"s);
    ASSERT_EQ(run(), 0);
    EXPECT_EQ(rscat(table.get(), 1)->devid, -1);
    EXPECT_TRUE(fake::has_log(
        "xmllib_get_value(/root/heartbeat/tavik@/device) failed(ret:" + std::to_string(XMLLIB_E_NO_KEY) + ")",
        LV_ERROR));
    EXPECT_EQ(node(1, 0).stat, 0);
}

TEST_F(Loadinfo, LeftOverNodeEntriesHaveNoNameAndNoAddress) {
    standardcluster();
    fake::override_enum("node", 3, "peer3\0\0"s);
    fake::override_enum("node", 4, "peer3\0\0"s);
    ASSERT_EQ(run(), 0);
    EXPECT_STREQ(node(0, 1).name, "");
    EXPECT_STREQ(node(0, 1).ip, "");
    EXPECT_EQ(node(0, 1).stat, RSCSV_UNUSED);
    EXPECT_EQ(node(0, 0).stat, RSCSV_OFFLINE);
}

TEST_F(Loadinfo, LongNamesAreCutAndStayTerminated) {
    const std::string rsc40(40, 'r');
    const std::string node300(300, 'n');
    fake::add_resource(rsc40, 5);
    fake::set_int(devkey(rsc40.substr(0, 31)), 1);
    fake::add_node(host, 1);
    fake::add_node(node300, 7);
    ASSERT_EQ(run(), 0);
    tavik_list_rsc *prsc = rscat(table.get(), 0);
    EXPECT_EQ(std::string(prsc->name), rsc40.substr(0, 31));
    EXPECT_EQ(prsc->devid, 1) << "the device id is read under the stored name";
    EXPECT_EQ(prsc->priority, -1);
    EXPECT_TRUE(fake::has_log(
        "shmnm_getrscpri(" + rsc40.substr(0, 31) + ") failed(ret:" + std::to_string(ZVRIPC_ENOTFOUND) + ")",
        LV_ERROR));
    EXPECT_TRUE(fake::has_log("rsc:" + rsc40 + ",pri:-1", LV_DETAIL));
    EXPECT_EQ(std::string(node(0, 1).name), node300.substr(0, 255));
    EXPECT_EQ(node(0, 1).priority, -1);
    EXPECT_TRUE(fake::has_log("shmnm_getnodepri(" + node300.substr(0, 255) +
                                  ") failed(ret:" + std::to_string(ZVRIPC_ENOTFOUND) + ")",
                              LV_ERROR));
    EXPECT_TRUE(fake::has_log("node:" + node300 + "(pri:-1)", LV_ERROR));
}

int domainhost(char *name, std::size_t len) {
    std::snprintf(name, len, "%s", "alpha.example.org");
    return 0;
}

// 256 bytes and no NUL, as gethostname may leave a name that does not fit.
int unterminatedhost(char *name, std::size_t len) {
    std::memset(name, 'h', len);
    return 0;
}

TEST_F(Loadinfo, TheOwnNodeIsLookedUpWithoutTheDomainPart) {
    tablesys.gethostname = domainhost;
    fake::add_node("alpha", 4);
    ASSERT_EQ(run(), 0);
    EXPECT_EQ(fake::count_calls("shmnm_getnodepri", "alpha"), 1);
    EXPECT_EQ(table->mypri, 4);
}

TEST_F(Loadinfo, AnOverlongHostNameIsCutAt255Characters) {
    tablesys.gethostname = unterminatedhost;
    fake::add_node(std::string(255, 'h'), 3);
    ASSERT_EQ(run(), 0);
    EXPECT_EQ(table->mypri, 3);
}

TEST_F(Loadinfo, TheOwnNodeIsFoundByPriorityNotByName) {
    // The cluster lists the host under another name with the same priority.
    fake::add_resource("hb1", 10);
    fake::set_int(devkey("hb1"), 1);
    fake::add_node(host, 1);
    fake::add_node("alias", 1);
    fake::add_node("peer2", 2);
    fake::set_str(ipkey("alias", 1), "127.0.1.1");
    fake::set_str(ipkey("peer2", 1), "127.0.1.2");
    for (int nth = 1; nth <= 4; ++nth) {
        fake::override_enum("node", nth, "alias\0peer2\0\0"s);
    }
    ASSERT_EQ(run(), 0);
    tavik_list_rsc *prsc = rscat(table.get(), 0);
    EXPECT_STREQ(prsc->myname, "alias");
    EXPECT_STREQ(prsc->myip, "127.0.1.1");
    EXPECT_TRUE(fake::has_log("rsc=hb1,ownnode=alias(pri=1,ip=127.0.1.1)", LV_ERROR));
    EXPECT_EQ(prsc->stat, RSC_ERROR) << "the own node is the entry of the own priority";
}

TEST_F(Loadinfo, ANodeWhosePriorityFailsIsNotTheOwnNodeOfThatBlock) {
    standardcluster();
    fake::fail("shmnm_getnodepri", 2, 6, 0, host);  // the first is the own priority
    ASSERT_EQ(run(), 0);
    EXPECT_EQ(node(0, 0).priority, -1);
    EXPECT_TRUE(fake::has_log("shmnm_getnodepri(" + host + ") failed(ret:6)", LV_ERROR));
    EXPECT_STREQ(rscat(table.get(), 0)->myname, "");
    EXPECT_STREQ(rscat(table.get(), 0)->myip, "");
    EXPECT_STREQ(rscat(table.get(), 1)->myname, host.c_str());
    EXPECT_EQ(node(1, 0).priority, 1);
}

TEST_F(Loadinfo, AMissingDeviceIdMakesTheResourceInactive) {
    standardcluster();
    fake::reset();
    fake::add_resource("hb1", 10);
    fake::add_resource("hb2", 20);
    fake::set_int(devkey("hb1"), 1);
    addnode(host, 1);
    addnode("peer2", 2);
    xmllib_init("tavik");
    xmllib_load_config();
    tavik_loginit();
    ASSERT_EQ(run(), 0);
    tavik_list_rsc *prsc = rscat(table.get(), 1);
    EXPECT_EQ(prsc->devid, -1);
    EXPECT_TRUE(fake::has_log("xmllib_get_value(/root/heartbeat/tavik@hb2/device) failed(ret:" +
                                  std::to_string(XMLLIB_E_NO_KEY) + ")",
                              LV_ERROR));
    EXPECT_EQ(fake::count_logs("device id(-1) is invalid", LV_WARN), 2);
    EXPECT_EQ(fake::count_calls("xmllib_get_value", ipkey(host, -1) + ",0,46"), 0);
    for (int j = 0; j < 2; ++j) {
        EXPECT_STREQ(node(1, j).ip, "");
        EXPECT_EQ(node(1, j).stat, 0);
    }
    EXPECT_STREQ(prsc->myname, "");
    EXPECT_EQ(fake::count_calls("shmnm_setrscsvstat", "tavik,hb2,1,15"), 0);
    EXPECT_EQ(fake::state("hb2", 1), -1) << "nothing is published for an inactive resource's nodes";
    EXPECT_EQ(fake::status("hb2"), RSC_UNKNOWN);
}

struct AddressCase {
    const char *name;
    const char *text;  // null: the key is missing
    std::string ip;
    std::vector<unsigned char> bytes;  // empty: ip_int 0
    bool readfails;
};

void PrintTo(const AddressCase &c, std::ostream *os) {
    *os << c.name;
}

class LoadinfoAddress : public Loadinfo, public testing::WithParamInterface<AddressCase> {};

TEST_P(LoadinfoAddress, KeepsTheTextWithoutItsMaskAndConvertsIt) {
    const AddressCase &c = GetParam();
    fake::add_resource("hb1", 10);
    fake::set_int(devkey("hb1"), 3);
    fake::add_node(host, 1);
    fake::add_node("peer2", 2);
    fake::set_str(ipkey(host, 3), "127.0.0.1");
    if (c.text != nullptr) {
        fake::set_str(ipkey("peer2", 3), c.text);
    }
    ASSERT_EQ(run(), 0);
    const tavik_list_node &n = node(0, 1);
    EXPECT_EQ(std::string(n.ip), c.ip);
    for (size_t b = std::strlen(n.ip); b < sizeof n.ip; ++b) {
        ASSERT_EQ(n.ip[b], '\0') << "byte " << b << " after the text";
    }
    if (c.bytes.empty()) {
        EXPECT_EQ(n.ip_int, 0u);
    } else {
        EXPECT_EQ(std::memcmp(&n.ip_int, c.bytes.data(), 4), 0);
    }
    EXPECT_EQ(fake::has_log("IP address is invalid(rsc:hb1,node:peer2)", LV_DETAIL), c.bytes.empty());
    EXPECT_EQ(fake::has_log("xmllib_get_value(" + ipkey("peer2", 3) + ") failed", LV_ERROR), c.readfails);
    EXPECT_EQ(n.stat, c.ip.empty() ? RSCSV_UNUSED : RSCSV_OFFLINE);
}

const std::string kJunk45 = "127.0.0.1" + std::string(36, 'x');

INSTANTIATE_TEST_SUITE_P(
    Loadinfo, LoadinfoAddress,
    testing::Values(
        AddressCase{"Plain", "127.0.0.2", "127.0.0.2", {127, 0, 0, 2}, false},
        AddressCase{"WithMask", "192.168.0.10/24", "192.168.0.10", {192, 168, 0, 10}, false},
        AddressCase{"TrailingSlash", "127.0.0.9/", "127.0.0.9", {127, 0, 0, 9}, false},
        AddressCase{"MaskOnly", "/24", "", {}, false},
        AddressCase{"Letters", "bmcpeer", "bmcpeer", {}, false},
        AddressCase{"OctetTooLarge", "300.1.2.3", "300.1.2.3", {}, false},
        AddressCase{"Ipv6", "::1", "::1", {}, false},
        AddressCase{"LeadingSpace", " 127.0.0.1", " 127.0.0.1", {}, false},
        AddressCase{"Garbage45", kJunk45.c_str(), kJunk45, {}, false},
        AddressCase{"TooLongForTheField", "127.0.0.1/255.255.255.0..........................", "", {}, true},
        AddressCase{"Missing", nullptr, "", {}, true}),
    [](const testing::TestParamInfo<AddressCase> &param_info) { return std::string(param_info.param.name); });

// An operator filtering the log on "loadinfo:" must see every line of the build: the
// corrections, the failed reads, the unused nodes and the start-up states included.
TEST_F(Loadinfo, EveryLineOfTheBuildCarriesItsOperation) {
    standardcluster();
    fake::set_int("/root/cluster/heartbeat/timeout", -1);
    fake::set_int("/root/cluster/heartbeat/interval", 0);
    fake::set_int("/root/tavik/thread/stacksize", 1);
    fake::set_str(ipkey("peer3", 2), "");
    fake::set_action(0x1000005);
    ASSERT_EQ(run(), 0);
    ASSERT_TRUE(fake::has_log("invalid HBTO(-1). set to 90000 msec."));
    for (const auto &r : fake::logs()) {
        EXPECT_TRUE(r.func == "loadinfo" || r.func == "setrscstat") << r.func << ": " << r.text;
    }
}

}  // namespace
