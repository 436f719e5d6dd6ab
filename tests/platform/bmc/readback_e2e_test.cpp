// SPDX-License-Identifier: GPL-3.0-or-later
// Reading back a simulated BMC: the library's read-back calls against ipmi_sim with the
// heartbeat module, and `tavikctl bmc targets` comparing what the BMC holds with what a
// configuration makes the daemon program, the BMC programmed here the way the daemon's
// check thread would. One simulator per test, with ports of this process; one thread.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <functional>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "bmc_protocol.h"
#include "sim_harness.h"
#include "zvrbmc.h"
#include "zvrbmc_admin.h"

namespace {

using namespace std::chrono;
using tavik::test::SimBmc;
using tavik::test::wait_for;

std::uint32_t ip_of(const char *text) {
    std::uint32_t ip = 0;
    inet_pton(AF_INET, text, &ip);
    return ip;
}

bool has(const std::string &text, const std::string &part) {
    return text.find(part) != std::string::npos;
}

// Three servers; hb1 on device 0 (all addressed), hb2 on device 1 (node3 has no address:
// unused there), hb3 without a device (inactive), hb4 on device 2 where node1, the node
// whose BMC this is, has no address (every node unused there).
const char *const kConfig =
    "<root>\n"
    "  <cluster><heartbeat><timeout>%TIMEOUT%</timeout><interval>1000</interval></heartbeat></cluster>\n"
    "  <server name=\"node1\"><priority>1</priority><device name=\"0\"><info>127.0.1.1</info></device>"
    "<device name=\"1\"><info>127.0.1.1/24</info></device></server>\n"
    "  <server name=\"node2\"><priority>2</priority><device name=\"0\"><info>127.0.1.2</info></device>"
    "<device name=\"1\"><info>127.0.1.2</info></device><device "
    "name=\"2\"><info>127.0.1.2</info></device></server>\n"
    "  <server name=\"node3\"><priority>3</priority><device name=\"0\"><info>127.0.1.3</info></device>"
    "<device name=\"2\"><info>127.0.1.3</info></device></server>\n"
    "  <heartbeat>\n"
    "    <tavik name=\"hb1\"><priority>1</priority><device>0</device></tavik>\n"
    "    <tavik name=\"hb2\"><priority>2</priority><device>1</device></tavik>\n"
    "    <tavik name=\"hb3\"><priority>3</priority></tavik>\n"
    "    <tavik name=\"hb4\"><priority>4</priority><device>2</device></tavik>\n"
    "  </heartbeat>\n"
    "</root>\n";

// The check thread's list for node1 with that configuration: hb1's three nodes, then
// hb2's first two.
const std::vector<const char *> kTargets = {"127.0.1.1", "127.0.1.2", "127.0.1.3", "127.0.1.1", "127.0.1.2"};

class ReadBack : public ::testing::Test {
  protected:
    void SetUp() override {
        base_ = tavik::test::free_port_base(2);
        sim_ =
            std::make_unique<SimBmc>("127.0.1.1", base_, base_ + 1, dir_.file("bmc"),
                                     std::vector<std::string>{"--period-ms", "100", "--timeout-ms", "1000"});
        std::string why;
        ASSERT_TRUE(sim_->start(why)) << why;
        config_ = dir_.file("cluster.xml");
        write_config(4000);
        setenv("TAVIK_BMC_CONF", sim_->conf().c_str(), 1);
        ASSERT_EQ(libzvrbmc_init(), 0) << libzvrbmc_last_error();
        ASSERT_EQ(bmc_init(), 0) << libzvrbmc_last_error();
    }
    void TearDown() override {
        bmc_term();
        libzvrbmc_term();
        sim_.reset();
    }
    void write_config(int timeout_ms) {
        std::string text = kConfig;
        text.replace(text.find("%TIMEOUT%"), 9, std::to_string(timeout_ms));
        tavik::test::write_text(config_, text);
    }
    // What the daemon does: the access time-out once, then each block of the list.
    void program(const std::vector<const char *> &list, std::uint8_t ctrl, std::uint8_t timeout,
                 std::uint16_t access = 4, std::uint8_t first_block = 1) {
        std::uint8_t cc = 0xee, bn = 0;
        ASSERT_EQ(bmc_SetZelvarinAccessTime(BMC_CMD_SET_ACCESS_TIME, access, &cc), 0)
            << libzvrbmc_last_error();
        ASSERT_EQ(cc, 0);
        std::array<BMC_INFO_SET, 32> set{};
        for (std::size_t i = 0; i < list.size(); ++i) {
            set[i] = {ip_of(list[i]), ctrl, timeout, {0, 0}};
        }
        const std::size_t blocks = list.empty() ? 0 : (list.size() - 1) / 16 + 1;
        for (std::size_t b = 0; b < blocks; ++b) {
            ASSERT_EQ(
                bmc_SetBmcIpAddressAll(BMC_CMD_SET_IP_ADDRESS_ALL, static_cast<std::uint8_t>(first_block + b),
                                       &set[16 * b], &cc, &bn),
                0)
                << libzvrbmc_last_error();
            ASSERT_EQ(cc, 0);
        }
    }
    tavik::test::RunResult targets(std::vector<std::string> extra = {}) {
        std::vector<std::string> argv = {TAVIKCTL_PATH, "bmc",        "targets",   "--config",
                                         config_,       "--bmc-conf", sim_->conf()};
        if (std::find(extra.begin(), extra.end(), "--node") == extra.end()) {
            extra.insert(extra.end(), {"--node", "node1"});  // this BMC's node
        }
        argv.insert(argv.end(), extra.begin(), extra.end());
        setenv("TAVIK_POLICY_DIR", TAVIK_TEST_POLICY_DIR, 1);
        return tavik::test::run_program(argv, dir_.path());
    }

    tavik::test::TempDir dir_;
    unsigned base_ = 0;
    std::unique_ptr<SimBmc> sim_;
    std::string config_;
};

TEST_F(ReadBack, LibraryReadsWhatWasProgrammedWithCurrentResults) {
    std::uint8_t cc = 0xee;
    ASSERT_EQ(bmc_SetZelvarinStatus(1, BMC_STATUS_RUNNING, &cc), 0);
    program({"127.0.1.1", "127.0.1.7"}, BMC_CTRL_START, 1, 9);
    program({"127.0.1.8"}, BMC_CTRL_STOP, 3, 9, 2);
    std::array<zvrbmc_held_target, 32> held{};
    // Its own datagrams reach itself: ready with both bits; the absent peer stays silent.
    ASSERT_TRUE(wait_for(
        [&] {
            return bmc_admin_get_targets(1, held.data(), &cc) == 0 && cc == 0 &&
                   held[0].result == BMC_RESULT_READY && held[1].result == BMC_RESULT_READY;
        },
        seconds(3)));
    EXPECT_EQ(held[0].ip, ip_of("127.0.1.1"));
    EXPECT_EQ(held[0].ctrl, BMC_CTRL_START);
    EXPECT_EQ(held[0].timeout, 1);
    EXPECT_EQ(held[0].status, BMC_HB_DATAGRAM_SEEN | BMC_HB_HOST_ALIVE);
    EXPECT_EQ(held[1].ip, ip_of("127.0.1.7"));
    EXPECT_EQ(held[1].status, 0);
    for (std::size_t i = 2; i < 16; ++i) {
        EXPECT_EQ(held[i].ip, 0u) << i;
        EXPECT_EQ(held[i].result, BMC_RESULT_EMPTY) << i;
    }
    ASSERT_EQ(bmc_admin_get_targets(2, &held[16], &cc), 0) << libzvrbmc_last_error();
    EXPECT_EQ(held[16].ip, ip_of("127.0.1.8"));
    EXPECT_EQ(held[16].ctrl, BMC_CTRL_STOP);
    EXPECT_EQ(held[16].timeout, 3);
    EXPECT_EQ(held[16].result, BMC_RESULT_STOPPED);

    zvrbmc_firmware_state fw{};
    ASSERT_EQ(bmc_admin_get_firmware_state(&fw, &cc), 0) << libzvrbmc_last_error();
    ASSERT_EQ(cc, 0);
    EXPECT_EQ(fw.host_alive, 1);
    EXPECT_EQ(fw.access_timeout_s, 9u);
    EXPECT_EQ(fw.last_status, BMC_STATUS_RUNNING);
    EXPECT_GE(fw.status_age_s, 0);
    EXPECT_LE(fw.status_age_s, 3);
    EXPECT_EQ(fw.period_ms, 100u);
    EXPECT_GT(fw.datagrams_sent, 0u);
    EXPECT_GT(fw.datagrams_received, 0u);

    // Bad arguments, and a BMC whose firmware has no read-back: the outputs stay as they were.
    EXPECT_EQ(bmc_admin_get_targets(0, held.data(), &cc), 9);
    EXPECT_EQ(bmc_admin_get_targets(1, nullptr, &cc), 9);
    EXPECT_EQ(bmc_admin_get_firmware_state(nullptr, &cc), 9);
    tavik::test::RunResult hook = tavik::test::run_program(
        {access("/usr/sbin/ipmi-raw", X_OK) == 0 ? "/usr/sbin/ipmi-raw" : "ipmi-raw", "-h",
         "127.0.1.1:" + std::to_string(base_), "-u", "ipmiusr", "-p", sim_->password(), "-l", "admin",
         "--driver-type=LAN_2_0", "-W", "opensesspriv", "0", "0x30", "0x3e", "0x01", "0x34", "0xc1"},
        dir_.path());
    ASSERT_EQ(hook.status, 0) << hook.out;
    held[0].timeout = 0x5a;
    EXPECT_EQ(bmc_admin_get_targets(1, held.data(), &cc), 0);
    EXPECT_EQ(cc, 0xc1);
    EXPECT_TRUE(has(libzvrbmc_last_error(), "no read-back")) << libzvrbmc_last_error();
    EXPECT_EQ(held[0].timeout, 0x5a);
}

TEST_F(ReadBack, ReadingBackBeforeTheSessionIsRefused) {
    bmc_term();
    std::uint8_t cc = 0;
    zvrbmc_firmware_state fw{};
    EXPECT_EQ(bmc_admin_get_firmware_state(&fw, &cc), 1);
    ASSERT_EQ(bmc_init(), 0);
}

TEST_F(ReadBack, TavikctlFindsTheBmcAsTheConfigurationImpliesOrNamesEveryDifference) {
    struct Case {
        const char *what;
        std::function<void()> setup;
        std::vector<std::string> extra;
        int status;
        std::vector<std::string> says;
    };
    const std::vector<Case> cases = {
        {"as the daemon programs it once started",
         [this] { program(kTargets, BMC_CTRL_START, 1); },
         {},
         0,
         {"the BMC holds what the configuration implies: 5 targets, ctrl start", "hb1/node3",
          "not a target: hb2/node3: unused (no BMC address for device 1)",
          "not a target: hb3: inactive (no BMC device id)",
          "not a target: hb4/node2: unused (this node has no BMC address for device 2)", "(27 empty slots"}},
        {"before the start gate",
         [this] { program(kTargets, BMC_CTRL_STOP, 1); },
         {"--stopped"},
         0,
         {"5 targets, ctrl stop"}},
        {"still stopped where started is expected",
         [this] { program(kTargets, BMC_CTRL_STOP, 1); },
         {},
         2,
         {"difference: slot 0: the BMC holds 127.0.1.1 stop 1 s, the configuration implies 127.0.1.1 start 1 "
          "s "
          "(hb1/node1)",
          "5 differences"}},
        {"a BMC that was reset",
         [] {},
         {},
         2,
         {"difference: slot 4: the BMC holds nothing, the configuration implies 127.0.1.2 start 1 s "
          "(hb2/node2)",
          "difference: access time-out: the BMC holds 0 s, the configuration implies 4 s", "6 differences"}},
        {"the access time-out lost",
         [this] { program(kTargets, BMC_CTRL_START, 1, 0); },
         {},
         2,
         {"access time-out: the BMC holds 0 s", "1 difference between"}},
        {"targets of an older configuration left in block 2",
         [this] {
             program(kTargets, BMC_CTRL_START, 1);
             program({"127.0.1.9"}, BMC_CTRL_START, 1, 4, 2);
         },
         {},
         2,
         {"difference: slot 16: the BMC holds 127.0.1.9 start 1 s, the configuration implies an empty slot"}},
        {"a time-out from another setting",
         [this] { program(kTargets, BMC_CTRL_START, 2); },
         {},
         2,
         {"slot 2: the BMC holds 127.0.1.3 start 2 s, the configuration implies 127.0.1.3 start 1 s "
          "(hb1/node3)"}},
        {"the slots in another order",
         [this] {
             program({"127.0.1.2", "127.0.1.1", "127.0.1.3", "127.0.1.1", "127.0.1.2"}, BMC_CTRL_START, 1);
         },
         {},
         2,
         {"slot 0: the BMC holds 127.0.1.2 start 1 s", "2 differences"}},
        {"a node the configuration does not have",
         [this] { program(kTargets, BMC_CTRL_START, 1); },
         {"--node", "node9"},
         1,
         {"no <server name=\"node9\">"}},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.what);
        // A fresh BMC for each case: restart the simulator, as a BMC reset would.
        bmc_term();
        sim_->stop();
        std::string why;
        ASSERT_TRUE(sim_->start(why)) << why;
        ASSERT_EQ(bmc_init(), 0) << libzvrbmc_last_error();
        c.setup();
        tavik::test::RunResult r = targets(c.extra);
        EXPECT_EQ(r.status, c.status) << r.out;
        for (const std::string &s : c.says) {
            EXPECT_TRUE(has(r.out, s)) << s << "\n" << r.out;
        }
    }
}

TEST_F(ReadBack, TavikctlJsonCarriesSlotsStatesAndDifferences) {
    std::uint8_t cc = 0;
    ASSERT_EQ(bmc_SetZelvarinStatus(1, BMC_STATUS_RUNNING, &cc), 0);
    program(kTargets, BMC_CTRL_START, 1);
    // Wait until its own address has been heard in slot 0.
    ASSERT_TRUE(wait_for(
        [&] {
            std::array<zvrbmc_held_target, 16> held{};
            return bmc_admin_get_targets(1, held.data(), &cc) == 0 && held[0].result == BMC_RESULT_READY;
        },
        seconds(3)));
    tavik::test::RunResult r = targets({"--json"});
    ASSERT_EQ(r.status, 0) << r.out;
    nlohmann::json doc = nlohmann::json::parse(r.out);
    EXPECT_EQ(doc["node"], "node1");
    EXPECT_EQ(doc["targets"], 5);
    EXPECT_EQ(doc["firmware"]["host_alive"], true);
    EXPECT_EQ(doc["firmware"]["access_timeout_s"], 4);
    ASSERT_EQ(doc["slots"].size(), 5u);
    EXPECT_EQ(doc["slots"][0]["held"]["address"], "127.0.1.1");
    EXPECT_EQ(doc["slots"][0]["held"]["result"], "ready");
    EXPECT_EQ(doc["slots"][0]["held"]["datagram_seen"], true);
    EXPECT_EQ(doc["slots"][0]["held"]["host_alive"], true);
    EXPECT_EQ(doc["slots"][3]["expected"]["pairs"][0], "hb2/node1");
    EXPECT_EQ(doc["slots"][3]["match"], true);
    EXPECT_EQ(doc["differences"].size(), 0u);

    // A longer time-out in the configuration: every target's time-out differs (9 s).
    write_config(90000);
    r = targets({"--json"});
    EXPECT_EQ(r.status, 2) << r.out;
    doc = nlohmann::json::parse(r.out);
    EXPECT_EQ(doc["differences"].size(), 6u);  // five slots and the access time-out
    EXPECT_EQ(doc["slots"][0]["match"], false);
    EXPECT_EQ(doc["slots"][0]["expected"]["timeout_s"], 9);
}

TEST_F(ReadBack, TavikctlWithoutABmcSaysSoAndExitsOne) {
    sim_->stop();
    tavik::test::RunResult r = targets();
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_TRUE(has(r.out, "tavikctl: bmc targets: local BMC: ")) << r.out;
    std::string why;
    ASSERT_TRUE(sim_->start(why)) << why;
}

}  // namespace
