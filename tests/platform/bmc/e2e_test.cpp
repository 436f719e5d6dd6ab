// SPDX-License-Identifier: GPL-3.0-or-later
// Kept whole past 500 lines: every case needs the same pair of running simulators,
// which one fixture starts.
// Two simulated BMCs (ipmi_sim with the heartbeat module) on 127.0.1.1 and 127.0.1.2,
// driven through the BMC library: A through the C entry points as the daemon calls them,
// B and A's test hooks through library Clients of their own. Also FreeIPMI's ipmi-raw
// against the documented bytes. Each test process has its own ports; one test thread.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>

#include "bmc_protocol.h"
#include "client.h"
#include "config.h"
#include "result.h"
#include "sim_harness.h"
#include "usage.h"
#include "zvrbmc.h"

namespace {

using namespace std::chrono;
using namespace tavik::bmcproto;
using tavik::bmc::Client;
using tavik::test::SimBmc;
using tavik::test::wait_for;
using Block = std::array<BMC_INFO_GET, BMC_BLOCK_RECORDS>;

constexpr unsigned kCallTimeoutMs = 1000;
constexpr unsigned kPeriodMs = 100;
// Slack for scheduling on a busy machine, on top of a bound that must hold.
constexpr milliseconds kSlack(250);

std::uint32_t ip_of(const char *text) {
    std::uint32_t ip = 0;
    inet_pton(AF_INET, text, &ip);
    return ip;
}

const std::uint32_t kIpA = ip_of("127.0.1.1");
const std::uint32_t kIpB = ip_of("127.0.1.2");

struct Target {
    std::uint32_t ip;
    std::uint8_t ctrl;
};

std::array<BMC_INFO_SET, BMC_BLOCK_RECORDS> targets(std::initializer_list<Target> list) {
    std::array<BMC_INFO_SET, BMC_BLOCK_RECORDS> set{};
    std::size_t i = 0;
    for (const Target &t : list) {
        set[i].ip = t.ip;
        set[i].ctrl = t.ctrl;
        set[i].timeout = 1;
        ++i;
    }
    return set;
}

int state_of(const BMC_INFO_GET &r) {
    return (r.stat[0] >> 4) & 7;
}

const BMC_INFO_GET *find(const Block &b, std::uint32_t ip) {
    for (const auto &r : b) {
        if (r.ip == ip) {
            return &r;
        }
    }
    return nullptr;
}

// The record for ip, which the test knows is there: a missing one fails the test.
const BMC_INFO_GET &record(const Block &b, std::uint32_t ip) {
    const BMC_INFO_GET *r = find(b, ip);
    if (r == nullptr) {
        throw std::runtime_error("no record for address " + std::to_string(ip));
    }
    return *r;
}

std::unique_ptr<Client> client_for(const SimBmc &sim, unsigned timeout_ms = kCallTimeoutMs) {
    tavik::bmc::Config cfg;
    std::string err;
    if (tavik::bmc::load_config(sim.conf(), cfg, err) != tavik::bmc::LoadError::None) {
        ADD_FAILURE() << err;
        return nullptr;
    }
    cfg.timeout_ms = timeout_ms;
    auto c = std::make_unique<Client>(cfg);
    if (c->open(err) != 0) {
        ADD_FAILURE() << err;
        return nullptr;
    }
    return c;
}

class TwoBmcs : public ::testing::Test {
  protected:
    void SetUp() override {
        base_ = tavik::test::free_port_base(4);
        const std::vector<std::string> opts = {"--period-ms", std::to_string(kPeriodMs), "--timeout-ms",
                                               std::to_string(kCallTimeoutMs)};
        a_ = std::make_unique<SimBmc>("127.0.1.1", base_, base_ + 2, dir_.file("a"), opts);
        b_ = std::make_unique<SimBmc>("127.0.1.2", base_ + 1, base_ + 2, dir_.file("b"), opts);
        std::string why;
        ASSERT_TRUE(a_->start(why)) << why;
        ASSERT_TRUE(b_->start(why)) << why;
        setenv("TAVIK_BMC_CONF", a_->conf().c_str(), 1);
        ASSERT_EQ(libzvrbmc_init(), 0) << libzvrbmc_last_error();
        ASSERT_EQ(bmc_init(), 0) << libzvrbmc_last_error();
        b_client_ = client_for(*b_);
        a_control_ = client_for(*a_);
        ASSERT_TRUE(b_client_ && a_control_);
    }
    void TearDown() override {
        bmc_term();
        libzvrbmc_term();
        b_client_.reset();
        a_control_.reset();
        a_.reset();
        b_.reset();
    }

    // A through the C entry points.
    void status_a(std::uint8_t ctrl) {
        std::uint8_t cc = 0xee;
        ASSERT_EQ(bmc_SetZelvarinStatus(1, ctrl, &cc), 0) << libzvrbmc_last_error();
        ASSERT_EQ(cc, 0);
    }
    void program_a(std::uint8_t block, std::initializer_list<Target> list) {
        auto set = targets(list);
        std::uint8_t cc = 0xee, bn = 0;
        ASSERT_EQ(bmc_SetBmcIpAddressAll(BMC_CMD_SET_IP_ADDRESS_ALL, block, set.data(), &cc, &bn), 0)
            << libzvrbmc_last_error();
        ASSERT_EQ(cc, 0);
        EXPECT_EQ(bn, block);
    }
    Block poll_a(std::uint8_t block = 1) {
        Block b{};
        std::uint8_t cc = 0xee, bn = 0;
        EXPECT_EQ(bmc_GetBmcStatusAll(BMC_CMD_GET_STATUS_ALL, block, &cc, &bn, b.data()), 0)
            << libzvrbmc_last_error();
        EXPECT_EQ(cc, 0);
        EXPECT_EQ(bn, block);
        return b;
    }
    // B through its own Client.
    void status_b(std::uint8_t ctrl) {
        std::uint8_t cc = 0xee;
        std::string err;
        ASSERT_EQ(b_client_->set_host_status(1, ctrl, cc, err), 0) << err;
        ASSERT_EQ(cc, 0);
    }
    void program_b(std::initializer_list<Target> list) {
        auto set = targets(list);
        std::uint8_t cc = 0xee, bn = 0;
        std::string err;
        ASSERT_EQ(b_client_->set_targets(kCmdSetTargets, 1, set.data(), cc, bn, err), 0) << err;
        ASSERT_EQ(cc, 0);
    }
    Block poll_b() {
        Block b{};
        std::uint8_t cc = 0xee, bn = 0;
        std::string err;
        EXPECT_EQ(b_client_->get_status(kCmdGetStatus, 1, cc, bn, b.data(), err), 0) << err;
        EXPECT_EQ(cc, 0);
        return b;
    }
    void control(Client &c, std::vector<std::uint8_t> req) {
        std::uint8_t cc = 0xee;
        std::vector<std::uint8_t> data;
        std::string err;
        ASSERT_EQ(c.request(kCmdTestControl, req, cc, data, err), 0) << err;
        ASSERT_EQ(cc, 0);
    }
    // The status byte that A reports for B (and B for A) once both are ready.
    int a_sees_b() {
        const Block b = poll_a();
        auto r = find(b, kIpB);
        return r != nullptr && state_of(*r) == kResultReady ? r->stat[1] : -1;
    }
    int b_sees_a() {
        const Block b = poll_b();
        auto r = find(b, kIpA);
        return r != nullptr && state_of(*r) == kResultReady ? r->stat[1] : -1;
    }
    // Both hosts alive, each BMC heartbeating the other.
    void establish() {
        status_a(BMC_STATUS_STARTED);
        status_b(BMC_STATUS_STARTED);
        program_a(1, {{kIpB, BMC_CTRL_START}});
        program_b({{kIpA, BMC_CTRL_START}});
        ASSERT_TRUE(wait_for([&] { return a_sees_b() == 3 && b_sees_a() == 3; }, seconds(2)));
    }

    tavik::test::TempDir dir_;
    unsigned base_ = 0;
    std::unique_ptr<SimBmc> a_, b_;
    std::unique_ptr<Client> b_client_, a_control_;
};

TEST_F(TwoBmcs, TargetsStoppedThenStartedCollectThenReadyWithBothBits) {
    status_a(BMC_STATUS_STARTED);
    status_b(BMC_STATUS_STARTED);
    std::uint8_t cc = 0xee;
    ASSERT_EQ(bmc_SetZelvarinAccessTime(BMC_CMD_SET_ACCESS_TIME, 30, &cc), 0);
    ASSERT_EQ(cc, 0);

    // Stopped: programmed, but no result. B also stands in a second resource, block 2.
    program_a(1, {{kIpB, BMC_CTRL_STOP}, {kIpA, BMC_CTRL_STOP}});
    program_a(2, {{kIpB, BMC_CTRL_STOP}});
    program_b({{kIpA, BMC_CTRL_STOP}});
    Block one = poll_a(1), two = poll_a(2);
    ASSERT_NE(find(one, kIpB), nullptr);
    EXPECT_EQ(state_of(record(one, kIpB)), kResultStopped);
    EXPECT_EQ(state_of(record(one, kIpA)), kResultStopped);
    EXPECT_EQ(state_of(two[0]), kResultStopped);
    EXPECT_EQ(two[0].ip, kIpB);
    EXPECT_EQ(state_of(two[1]), kResultEmpty);

    // A starts B while B still has A stopped: nothing comes from B yet.
    program_a(1, {{kIpB, BMC_CTRL_START}, {kIpA, BMC_CTRL_START}});
    program_a(2, {{kIpB, BMC_CTRL_START}});
    EXPECT_EQ(state_of(record(poll_a(1), kIpB)), kResultCollecting);

    program_b({{kIpA, BMC_CTRL_START}});
    EXPECT_TRUE(wait_for(
        [&] {
            Block x = poll_a(1), y = poll_a(2);
            return a_sees_b() == 3 && state_of(record(x, kIpA)) == kResultReady &&
                   record(x, kIpA).stat[1] == 3 && state_of(y[0]) == kResultReady && y[0].stat[1] == 3;
        },
        seconds(1)))
        << "A never saw B (twice) and itself with both bits";
    EXPECT_TRUE(wait_for([&] { return b_sees_a() == 3; }, seconds(1)));
    EXPECT_EQ(record(poll_a(1), kIpB).timeout, 1);
}

TEST_F(TwoBmcs, KilledPeerLosesBitZeroWithinTheTargetTimeOut) {
    establish();
    const auto t0 = steady_clock::now();
    b_->kill_hard();
    ASSERT_TRUE(wait_for([&] { return (a_sees_b() & 1) == 0; }, seconds(3), milliseconds(25)));
    const auto took = duration_cast<milliseconds>(steady_clock::now() - t0);
    EXPECT_LE(took, milliseconds(1000) + kSlack) << "bit 0 outlived the 1 s target time-out";
    EXPECT_GE(took, milliseconds(1000 - 2 * kPeriodMs) - milliseconds(50)) << "bit 0 cleared too early";
    EXPECT_EQ(a_sees_b(), 2) << "ready, with bit 1 as B last announced it";
}

TEST_F(TwoBmcs, ShutdownStatusOnOneClearsBitOneOnTheOther) {
    establish();
    status_b(BMC_STATUS_SHUTDOWN);
    EXPECT_TRUE(wait_for([&] { return a_sees_b() == 1; }, milliseconds(kPeriodMs) + kSlack))
        << "A still sees B's host alive, or lost B's datagrams: " << a_sees_b();
    EXPECT_EQ(b_sees_a(), 3) << "A's own host is unaffected";
    status_b(BMC_STATUS_RUNNING);
    EXPECT_TRUE(wait_for([&] { return a_sees_b() == 3; }, milliseconds(kPeriodMs) + kSlack));
}

TEST_F(TwoBmcs, AccessTimeOutLapseClearsBitOne) {
    establish();
    std::uint8_t cc = 0xee;
    std::string err;
    ASSERT_EQ(b_client_->set_access_time(kCmdSetAccessTime, 1, cc, err), 0) << err;
    const auto t0 = steady_clock::now();
    status_b(BMC_STATUS_RUNNING);
    std::this_thread::sleep_for(milliseconds(600));
    EXPECT_EQ(a_sees_b(), 3) << "the host lapsed before its access time-out";
    ASSERT_TRUE(wait_for([&] { return a_sees_b() == 1; }, seconds(2)));
    const auto took = duration_cast<milliseconds>(steady_clock::now() - t0);
    EXPECT_LE(took, milliseconds(1000 + kPeriodMs) + kSlack);
    EXPECT_GE(took, milliseconds(1000 - 50));
    status_b(BMC_STATUS_RUNNING);
    EXPECT_TRUE(wait_for([&] { return a_sees_b() == 3; }, milliseconds(kPeriodMs) + kSlack))
        << "a new status makes the host alive again";
}

TEST_F(TwoBmcs, RefusedCommandsCompletionCodeReachesTheCaller) {
    struct Case {
        std::uint8_t cmd, cc;
    };
    auto set = targets({{kIpB, BMC_CTRL_START}});
    Block got{};
    for (Case c : {Case{kCmdSetHostStatus, 0xd5}, Case{kCmdSetAccessTime, 0xc0}, Case{kCmdSetTargets, 0xd3},
                   Case{kCmdGetStatus, 0xce}}) {
        control(*a_control_, {kTestRefuse, c.cmd, c.cc, 1});
        auto call = [&] {
            std::uint8_t cc = 0xee, bn = 0;
            int rc = -1;
            switch (c.cmd) {
                case kCmdSetHostStatus:
                    rc = bmc_SetZelvarinStatus(1, BMC_STATUS_RUNNING, &cc);
                    break;
                case kCmdSetAccessTime:
                    rc = bmc_SetZelvarinAccessTime(BMC_CMD_SET_ACCESS_TIME, 5, &cc);
                    break;
                case kCmdSetTargets:
                    rc = bmc_SetBmcIpAddressAll(BMC_CMD_SET_IP_ADDRESS_ALL, 1, set.data(), &cc, &bn);
                    break;
                default:
                    rc = bmc_GetBmcStatusAll(BMC_CMD_GET_STATUS_ALL, 1, &cc, &bn, got.data());
            }
            EXPECT_EQ(rc, 0) << "the exchange happened: " << libzvrbmc_last_error();
            return cc;
        };
        EXPECT_EQ(call(), c.cc) << "command " << int(c.cmd);
        char code[8];
        std::snprintf(code, sizeof code, "%#04x", c.cc);
        EXPECT_NE(std::string(libzvrbmc_last_error()).find(code), std::string::npos)
            << libzvrbmc_last_error();
        EXPECT_EQ(call(), 0) << "refused once only";
    }
}

TEST_F(TwoBmcs, CollectingHookHoldsTheResultForNPolls) {
    establish();
    control(*a_control_, {kTestCollecting, 2});
    for (int poll = 1; poll <= 2; ++poll) {
        const Block b = poll_a();
        auto r = find(b, kIpB);
        ASSERT_NE(r, nullptr);
        EXPECT_EQ(state_of(*r), kResultCollecting) << "poll " << poll;
    }
    EXPECT_EQ(a_sees_b(), 3);
}

TEST_F(TwoBmcs, RestartedSimulatorIsUsedAgainWithoutReinitialising) {
    status_a(BMC_STATUS_STARTED);
    const pid_t old_sim = a_->simulator_pid();
    EXPECT_EQ(a_->stop(), 0) << a_->output();
    EXPECT_NE(access((a_->dir() + "/ipmi_sim.pid").c_str(), F_OK), 0) << "the pid file outlived the stop";
    EXPECT_TRUE(kill(old_sim, 0) != 0 ||
                tavik::test::read_text("/proc/" + std::to_string(old_sim) + "/stat").find(") Z") !=
                    std::string::npos)
        << "ipmi_sim outlived its launcher's clean stop";

    std::uint8_t cc = 0xee;
    const auto t0 = steady_clock::now();
    EXPECT_NE(bmc_SetZelvarinStatus(1, BMC_STATUS_RUNNING, &cc), 0) << "no BMC is there";
    EXPECT_LE(steady_clock::now() - t0, milliseconds(kCallTimeoutMs) + kSlack);

    std::string why;
    ASSERT_TRUE(a_->start(why)) << why;
    int attempts = 0, rc = -1;
    while (rc != 0 && attempts < 2) {
        ++attempts;
        const auto t1 = steady_clock::now();
        rc = bmc_SetZelvarinStatus(1, BMC_STATUS_RUNNING, &cc);
        EXPECT_LE(steady_clock::now() - t1, milliseconds(kCallTimeoutMs) + kSlack);
    }
    ASSERT_EQ(rc, 0) << libzvrbmc_last_error();
    EXPECT_EQ(cc, 0);
    program_a(1, {{kIpA, BMC_CTRL_START}});
    EXPECT_TRUE(wait_for(
        [&] {
            const Block b = poll_a();
            auto r = find(b, kIpA);
            return r != nullptr && state_of(*r) == kResultReady && r->stat[1] == 3;
        },
        seconds(2)))
        << "the restarted BMC does not hear itself";
}

// The access time-out a BMC was given, from its state report. After a restart the first
// request may still go to the old session; the second then reaches the new BMC.
unsigned access_timeout_of(Client &c) {
    std::uint8_t cc = 0xee;
    std::vector<std::uint8_t> data;
    std::string err;
    if (c.request(kCmdTestControl, {kTestGetState}, cc, data, err) != 0) {
        EXPECT_EQ(c.request(kCmdTestControl, {kTestGetState}, cc, data, err), 0) << err;
    }
    EXPECT_EQ(cc, 0);
    return data.size() == kTestStateLen ? unsigned(data[1] | (data[2] << 8)) : ~0u;
}

int status_running_after_restart() {
    std::uint8_t cc = 0xee;
    int rc = bmc_SetZelvarinStatus(1, BMC_STATUS_RUNNING, &cc);
    if (rc != 0) {
        rc = bmc_SetZelvarinStatus(1, BMC_STATUS_RUNNING, &cc);
    }
    return rc != 0 ? rc : cc;
}

TEST_F(TwoBmcs, RestartedBmcIsGivenTheAccessTimeOutAgain) {
    std::uint8_t cc = 0xee;
    ASSERT_EQ(bmc_SetZelvarinAccessTime(BMC_CMD_SET_ACCESS_TIME, 30, &cc), 0) << libzvrbmc_last_error();
    ASSERT_EQ(cc, 0);
    EXPECT_EQ(access_timeout_of(*a_control_), 30u);
    std::string why;
    EXPECT_EQ(a_->stop(), 0) << a_->output();
    ASSERT_TRUE(a_->start(why)) << why;
    EXPECT_EQ(access_timeout_of(*a_control_), 0u) << "a restarted BMC starts without one";
    ASSERT_EQ(status_running_after_restart(), 0) << libzvrbmc_last_error();
    EXPECT_EQ(access_timeout_of(*a_control_), 30u) << "the new session gave it again";

    // Given anew, the new value is the one that comes back after the next restart.
    ASSERT_EQ(bmc_SetZelvarinAccessTime(BMC_CMD_SET_ACCESS_TIME, 7, &cc), 0) << libzvrbmc_last_error();
    EXPECT_EQ(a_->stop(), 0) << a_->output();
    ASSERT_TRUE(a_->start(why)) << why;
    ASSERT_EQ(status_running_after_restart(), 0) << libzvrbmc_last_error();
    EXPECT_EQ(access_timeout_of(*a_control_), 7u);
}

TEST_F(TwoBmcs, FrozenBmcCostsOneTimeOutThenWorksAgain) {
    status_a(BMC_STATUS_STARTED);
    const pid_t sim = a_->simulator_pid();
    ASSERT_GT(sim, 0);
    ASSERT_EQ(kill(sim, SIGSTOP), 0);
    std::uint8_t cc = 0xee;
    const auto t0 = steady_clock::now();
    const int rc = bmc_SetZelvarinStatus(1, BMC_STATUS_RUNNING, &cc);
    const auto took = steady_clock::now() - t0;
    kill(sim, SIGCONT);
    EXPECT_EQ(rc, tavik::bmc::kExchangeFailed) << libzvrbmc_last_error();
    EXPECT_LE(took, milliseconds(kCallTimeoutMs) + kSlack) << "the call outlived timeout_ms";
    EXPECT_EQ(bmc_SetZelvarinStatus(1, BMC_STATUS_RUNNING, &cc), 0) << libzvrbmc_last_error();
    EXPECT_EQ(cc, 0);
}

TEST_F(TwoBmcs, QuietSessionIsReplacedWithoutAFailedCall) {
    auto c = client_for(*b_, 300);
    ASSERT_TRUE(c);
    std::uint8_t cc = 0xee;
    std::string err;
    ASSERT_EQ(c->set_host_status(1, BMC_STATUS_RUNNING, cc, err), 0) << err;
    std::this_thread::sleep_for(milliseconds(600));  // past the session's time-out
    EXPECT_EQ(c->set_host_status(1, BMC_STATUS_RUNNING, cc, err), 0) << err;
    EXPECT_EQ(cc, 0);
    EXPECT_EQ(c->sessions_opened(), 2u);
}

// A status poll asks only for the pages that hold programmed slots (and always for page
// 0); the pages it leaves out read exactly as the firmware answers them, also after the
// BMC restarted and forgot every target.
TEST_F(TwoBmcs, PollAsksOnlyForPagesWithProgrammedSlots) {
    struct Case {
        std::size_t targets;
        bool restart;
        std::uint64_t requests;
    };
    const Case cases[] = {{1, false, 1},  {4, false, 1},  {5, false, 2},
                          {13, false, 4}, {16, false, 4}, {3, true, 1}};
    for (const Case &c : cases) {
        std::array<BMC_INFO_SET, BMC_BLOCK_RECORDS> set{};
        for (std::size_t i = 0; i < c.targets; ++i) {
            set[i] = {kIpA + static_cast<std::uint32_t>(htonl(static_cast<std::uint32_t>(i))),
                      BMC_CTRL_START,
                      1,
                      {}};
        }
        std::uint8_t cc = 0xee, bn = 0;
        std::string err;
        ASSERT_EQ(b_client_->set_targets(kCmdSetTargets, 1, set.data(), cc, bn, err), 0) << err;
        if (c.restart) {
            EXPECT_EQ(b_->stop(), 0) << b_->output();
            std::string why;
            ASSERT_TRUE(b_->start(why)) << why;
            b_client_->set_host_status(1, BMC_STATUS_RUNNING, cc, err);  // the old session fails
        }
        const std::uint64_t before = zvrbmc_usage.requests[1][kCmdGetStatus];
        Block got{};
        ASSERT_EQ(b_client_->get_status(kCmdGetStatus, 1, cc, bn, got.data(), err), 0) << err;
        ASSERT_EQ(cc, 0);
        EXPECT_EQ(zvrbmc_usage.requests[1][kCmdGetStatus] - before, c.requests) << c.targets << " targets";
        for (std::uint8_t page = 1; page < kPagesPerBlock; ++page) {
            std::vector<std::uint8_t> data;
            ASSERT_EQ(b_client_->request(kCmdGetStatus, {1, page}, cc, data, err), 0) << err;
            ASSERT_EQ(data.size(), kGetStatusResponseLen);
            EXPECT_EQ(std::memcmp(&got[page * kPageRecords], data.data() + 2, kPageRecords * kRecordSize), 0)
                << c.targets << " targets, page " << int(page) << (c.restart ? ", restarted" : "");
        }
    }
}

// Pauses like the caller's are bridged: one new session learns them, later ones are kept.
// A BMC that stops answering then holds a call up for the bridged pause at most.
TEST_F(TwoBmcs, SessionOutlastsTheCallersPausesAndStaysBounded) {
    constexpr unsigned kBudgetMs = 300, kPauseMs = 400;
    auto c = client_for(*b_, kBudgetMs);
    ASSERT_TRUE(c);
    std::uint8_t cc = 0xee;
    std::string err;
    for (int call = 0; call < 5; ++call) {
        if (call > 0) {
            std::this_thread::sleep_for(milliseconds(kPauseMs));
        }
        ASSERT_EQ(c->set_host_status(1, BMC_STATUS_RUNNING, cc, err), 0) << "call " << call << ": " << err;
    }
    EXPECT_EQ(c->sessions_opened(), 2u) << "only the first pause should need a new session";

    const pid_t sim = b_->simulator_pid();
    ASSERT_EQ(kill(sim, SIGSTOP), 0);
    const auto t0 = steady_clock::now();
    const int rc = c->set_host_status(1, BMC_STATUS_RUNNING, cc, err);
    const auto took = steady_clock::now() - t0;
    kill(sim, SIGCONT);
    EXPECT_EQ(rc, tavik::bmc::kExchangeFailed) << err;
    EXPECT_LE(took, milliseconds(kBudgetMs * 4 / 5 + kPauseMs * 5 / 4) + kSlack);
    EXPECT_EQ(c->set_host_status(1, BMC_STATUS_RUNNING, cc, err), 0) << err;
    EXPECT_EQ(c->sessions_opened(), 3u);
}

TEST_F(TwoBmcs, WrongPasswordIsRefusedAtOnce) {
    tavik::bmc::Config cfg;
    std::string err;
    ASSERT_EQ(tavik::bmc::load_config(b_->conf(), cfg, err), tavik::bmc::LoadError::None) << err;
    cfg.password = "wrong";
    Client c(cfg);
    const auto t0 = steady_clock::now();
    EXPECT_EQ(c.open(err), tavik::bmc::kOpenFailed);
    EXPECT_LT(steady_clock::now() - t0, milliseconds(kCallTimeoutMs / 2));
    EXPECT_NE(err.find("password"), std::string::npos) << err;
    EXPECT_NE(err.find("127.0.1.2:" + std::to_string(b_->port())), std::string::npos) << err;
}

// FreeIPMI's own client, with the bytes of docs/bmc-protocol.md.
class IpmiRaw : public TwoBmcs {
  protected:
    std::string raw(const std::string &bytes) {
        const char *tool = access("/usr/sbin/ipmi-raw", X_OK) == 0 ? "/usr/sbin/ipmi-raw" : "ipmi-raw";
        std::vector<std::string> argv = {tool,
                                         "-h",
                                         "127.0.1.1:" + std::to_string(a_->port()),
                                         "-u",
                                         "ipmiusr",
                                         "-p",
                                         a_->password(),
                                         "-l",
                                         "admin",
                                         "--driver-type=LAN_2_0",
                                         "-W",
                                         "opensesspriv",
                                         "0",
                                         "0x30"};
        std::string word;
        for (char ch : bytes + " ") {
            if (ch == ' ') {
                if (!word.empty()) {
                    argv.push_back(word);
                }
                word.clear();
            } else {
                word += ch;
            }
        }
        auto r = tavik::test::run_program(argv, dir_.path());
        EXPECT_EQ(r.status, 0) << r.out;
        return r.out;
    }
};

TEST_F(IpmiRaw, ProgramsTargetsAndReadsStatuses) {
    status_b(BMC_STATUS_STARTED);
    program_b({{kIpA, BMC_CTRL_START}});
    EXPECT_EQ(raw("33 01 01"), "rcvd: 33 00 \n");
    EXPECT_EQ(raw("37 1e 00"), "rcvd: 37 00 \n");
    std::string block = "31 01  7f 00 01 02 ff 01 00 00";
    for (int i = 1; i < 16; ++i) {
        block += "  00 00 00 00 00 00 00 00";
    }
    EXPECT_EQ(raw(block), "rcvd: 31 00 01 \n");
    const std::string empty = " 00 00 00 00 30 00 00 00";
    const std::string ready = "rcvd: 32 00 01 00 7F 00 01 02 00 03 01 00" + empty + empty + empty + " \n";
    std::string last;
    EXPECT_TRUE(wait_for([&] { return (last = raw("32 01 00")) == ready; }, seconds(2))) << last;
    EXPECT_EQ(raw("32 01 03"), "rcvd: 32 00 01 03" + empty + empty + empty + empty + " \n");
    EXPECT_EQ(raw("32 03 00"), "rcvd: 32 C9 \n");
    EXPECT_EQ(raw("33 01 07"), "rcvd: 33 CC \n");
    // And the daemon's view through the library agrees.
    EXPECT_EQ(a_sees_b(), 3);
}

}  // namespace
