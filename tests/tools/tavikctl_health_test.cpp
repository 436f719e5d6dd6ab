// SPDX-License-Identifier: GPL-3.0-or-later
// tavikctl's rules for a live view, on made-up liveness records: which daemon state and
// exit status a record gives, the cycles allowed, the verdict on statuses, and
// check-config's findings on the cluster's size.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <vector>

#include "check_config_limits.h"
#include "health.h"
#include "metrics_text.h"
#include "self_check.h"

namespace {

using tavikctl::ProcessState;

constexpr long long kS = 1000000000LL;

struct Case {
    const char *name;
    int pid;
    int detached;
    ProcessState process;
    long long check_age_s;  // -1: never stamped
    long long watch_age_s;
    const char *daemon;
    int code;
    const char *headline_start;
};

zvripc_liveness record(const Case &c) {
    zvripc_liveness live{};
    live.taken_mono_ns = 1000 * kS;
    live.daemon_pid = c.pid;
    live.daemon_detached = c.detached;
    live.attach_mono_ns = 100 * kS;
    live.detach_mono_ns = c.detached ? 990 * kS : 0;
    if (c.check_age_s >= 0) {
        live.threads[0] = {c.pid, c.pid + 1, 0, 5, 0, 0, live.taken_mono_ns - c.check_age_s * kS, 1};
    }
    if (c.watch_age_s >= 0) {
        live.threads[1] = {c.pid, c.pid + 2, 9, 0, live.taken_mono_ns - c.watch_age_s * kS, 1, 0, 0};
    }
    // A slot of another process never counts.
    live.threads[2] = {c.pid + 100, 7, 0, 9, 0, 0, live.taken_mono_ns, 1};
    return live;
}

TEST(Health, EachLivenessRecordGivesItsStateAndExitStatus) {
    tavikctl::CycleLimits limits;
    limits.watch_limit_s = 2;
    limits.check_limit_s = 6;
    const std::vector<Case> cases = {
        {"none", 0, 0, ProcessState::kGone, -1, -1, "none", 2, "NO DAEMON: none has attached"},
        {"up", 4711, 0, ProcessState::kRunning, 1, 0, "up", 0,
         "daemon 4711 up 15m0s, check cycle 1s ago, watch cycle 0s ago"},
        {"starting", 4711, 0, ProcessState::kRunning, -1, -1, "not cycling", 2, "DAEMON NOT CYCLING"},
        {"check stale", 4711, 0, ProcessState::kRunning, 7, 0, "not cycling", 2, "DAEMON NOT CYCLING"},
        {"watch stale", 4711, 0, ProcessState::kRunning, 1, 3, "not cycling", 2, "DAEMON NOT CYCLING"},
        {"stopped", 4711, 0, ProcessState::kStopped, 1, 0, "stopped", 2, "DAEMON STOPPED"},
        {"gone", 4711, 0, ProcessState::kGone, 12, 12, "gone", 2, "NO DAEMON: states below are from 12s ago"},
        {"detached", 4711, 1, ProcessState::kGone, 12, 12, "detached", 2,
         "NO DAEMON: states below are from 10s"},
    };
    zvripc_snapshot snap{};
    for (const Case &c : cases) {
        tavikctl::Health h = tavikctl::evaluate_health(snap, record(c), c.process, limits, 0);
        EXPECT_EQ(h.daemon, c.daemon) << c.name;
        EXPECT_EQ(h.code, c.code) << c.name;
        EXPECT_EQ(h.headline.rfind(c.headline_start, 0), 0u) << c.name << ": " << h.headline;
    }
    // Without a watch thread its silence is no fault; the statuses' verdict passes through.
    limits.watch_limit_s = 0;
    Case quiet = {"no watch", 4711, 0, ProcessState::kRunning, 1, -1, "up", 1, "daemon 4711 up"};
    tavikctl::Health h = tavikctl::evaluate_health(snap, record(quiet), quiet.process, limits, 1);
    EXPECT_EQ(h.daemon, "up");
    EXPECT_EQ(h.code, 1);
    EXPECT_EQ(h.headline.find("watch"), std::string::npos) << h.headline;
}

TEST(Health, StatusesGiveTheWorstCodeAndCyclesComeFromTheConfiguration) {
    struct StatusCase {
        std::vector<int> statuses;
        int code;
    };
    for (const StatusCase &c : std::vector<StatusCase>{
             {{}, 0}, {{0, 15}, 0}, {{0, 3}, 1}, {{9}, 1}, {{3, 4, 0}, 2}, {{77}, 3}, {{77, 4}, 2}}) {
        std::vector<zvripc_snap_rsc> rscs(c.statuses.size());
        for (std::size_t i = 0; i < rscs.size(); ++i) {
            rscs[i].status = c.statuses[i];
        }
        zvripc_snapshot snap{};
        snap.rsc_count = static_cast<int>(rscs.size());
        snap.resources = rscs.data();
        EXPECT_EQ(tavikctl::worst_state_code(snap), c.code) << ::testing::PrintToString(c.statuses);
    }
    tavikctl::TimingSettings t;
    t.hbto = 4000;
    t.hbint = 1000;
    tavikctl::CycleLimits l = tavikctl::cycle_limits(tavikctl::compute_windows(t, 1, 100));
    EXPECT_EQ(l.watch_limit_s, 2.0);
    EXPECT_EQ(l.check_limit_s, 6.0);  // two polls of 1 s + interval, each waiting the 1 s target time-out
    t.watchth = 0;
    EXPECT_EQ(tavikctl::cycle_limits(tavikctl::compute_windows(t, 1, 100)).watch_limit_s, 0.0);
    EXPECT_EQ(tavikctl::label_value("a\"b\\c\nd"), "a\\\"b\\\\c\\nd");
}

tavikctl::ClusterLayout layout(int servers, std::vector<int> devices) {
    tavikctl::ClusterLayout l;
    for (int i = 1; i <= servers; ++i) {
        tavikctl::ServerEntry s;
        s.name = "n" + std::to_string(i);
        s.device_address[0] = "127.0.0." + std::to_string(i % 250);
        if (i % 2 == 0) {
            s.device_address[1] = "127.0.1." + std::to_string(i % 250);
        }
        l.servers.push_back(s);
    }
    for (std::size_t r = 0; r < devices.size(); ++r) {
        tavikctl::ResourceEntry e;
        e.type = "tavik";
        e.name = "hb" + std::to_string(r + 1);
        e.device = devices[r];
        e.line = static_cast<int>(10 + r);
        l.resources.push_back(e);
    }
    return l;
}

TEST(CheckConfigLimits, PairsBeyondTheTargetsAndServersBeyondInitAreErrors) {
    struct LimitCase {
        int servers;
        std::vector<int> devices;
        std::size_t findings;
        std::string says;  // in the last finding
    };
    for (const LimitCase &c : std::vector<LimitCase>{
             {32, {0}, 0, ""},
             {33,
              {0},
              1,
              "1 (resource, node) pair beyond the BMC's 32 targets: the check thread never watches it"},
             {43, {0}, 1, "11 (resource, node) pairs beyond the BMC's 32 targets"},
             {20,
              {0, 0},
              1,
              "8 (resource, node) pairs beyond the BMC's 32 targets: the check thread never "
              "watches them and the detection windows do not hold for them: hb2/n13, hb2/n14"},
             {40, {-1}, 0, ""},  // an inactive resource makes no targets
             {40, {1}, 0, ""},   // only the 20 servers with an address for device 1
             {1025, {-1}, 1, "1025 servers: `tavikctl init` refuses more than 1024"},
         }) {
        std::vector<tavikctl::LimitFinding> f =
            tavikctl::cluster_limit_findings(layout(c.servers, c.devices));
        ASSERT_EQ(f.size(), c.findings) << c.servers;
        if (!f.empty()) {
            EXPECT_TRUE(f.back().error);
            EXPECT_NE(f.back().message.find(c.says), std::string::npos) << f.back().message;
        }
    }
    std::vector<tavikctl::LimitFinding> f = tavikctl::cluster_limit_findings(layout(60, {0}));
    ASSERT_EQ(f.size(), 1u);
    EXPECT_NE(f[0].message.find("hb1/n48 and 12 more"), std::string::npos) << f[0].message;
    EXPECT_EQ(f[0].line, 10);
    EXPECT_EQ(f[0].key, "/root/heartbeat/tavik@hb1");
}

// --self: this node's own pairs decide, whatever its peers do; a daemon that is not live
// fails it whatever the statuses say.
TEST(SelfCheck, OwnPairsAndALiveDaemonDecide) {
    struct SelfCase {
        std::vector<int> statuses;
        const char *daemon;
        int code;
        const char *summary;
    };
    for (const SelfCase &c : std::vector<SelfCase>{
             {{0, 0}, "up", 0, "own pair online on hb1, hb2"},
             {{3, 0}, "up", 0, "own pair online on hb1, hb2"},  // a dead peer: caution
             {{0, 15}, "starting", 0, "own pair online on hb1"},
             {{0, 4}, "up", 2, "own pair not online: hb2 error"},
             {{9, 3}, "up", 2, "own pair not online: hb1 unknown"},
             {{15, 15}, "up", 2, "no resource watches this node"},
             {{}, "up", 2, "no resource watches this node"},
             {{0, 0}, "not cycling", 2, "own pair online on hb1, hb2"},
             {{3}, "gone", 2, "own pair online on hb1"},
         }) {
        std::vector<zvripc_snap_rsc> rscs;
        for (std::size_t i = 0; i < c.statuses.size(); ++i) {
            zvripc_snap_rsc r{};
            std::snprintf(r.type, sizeof r.type, "tavik");
            std::snprintf(r.name, sizeof r.name, "hb%zu", i + 1);
            r.status = c.statuses[i];
            rscs.push_back(r);
        }
        zvripc_snapshot snap{};
        snap.rsc_count = static_cast<int>(rscs.size());
        snap.resources = rscs.data();
        tavikctl::Health health;
        health.daemon = c.daemon;
        const tavikctl::SelfVerdict v = tavikctl::self_verdict(snap, health);
        EXPECT_EQ(v.code, c.code) << c.summary << " / " << c.daemon;
        EXPECT_EQ(v.summary, c.summary);
    }
}

}  // namespace
