// SPDX-License-Identifier: GPL-3.0-or-later
// The daemon's start-up and shutdown as its parent sees them: exit statuses, the one
// SIGUSR1 to the parent, what is released on each way out and in which order, and what
// the BMC is told on each readiness path.
#include <gtest/gtest.h>
#include <signal.h>

#include <filesystem>
#include <fstream>

#include "daemon_runner.h"

using nlohmann::json;

namespace {

constexpr int kStartMs = 5000;
constexpr int kExitMs = 10000;

json fail(const std::string &call, int result, int cc = 0) {
    return json{{"call", call}, {"nth", 1}, {"result", result}, {"cc", cc}};
}

// Runs a daemon that is told to stop once it is up; returns it for inspection.
int run_to_stop(DaemonRunner &d) {
    d.start();
    if (!d.await_usr1(kStartMs)) {
        return -2;
    }
    // Let start-up reach the joins, then stop.
    if (!d.await_trace("bwatchth:", kStartMs)) {
        return -3;
    }
    d.signal(SIGUSR1);
    return d.wait_exit(kExitMs);
}

struct EarlyExit {
    const char *name;
    friend void PrintTo(const EarlyExit &c, std::ostream *os) { *os << c.name; }
    json failures;
    int status;
    bool usr1_to_parent;
    std::vector<std::string> released;  // in order
    std::vector<std::string> absent;
};

class EarlyExitTest : public testing::TestWithParam<EarlyExit> {};

TEST_P(EarlyExitTest, EndsWithItsStatusAndReleasesWhatItTook) {
    const EarlyExit &c = GetParam();
    DaemonRunner d(json{{"fail", c.failures}});
    d.start();
    EXPECT_EQ(d.wait_exit(kExitMs), c.status);
    EXPECT_EQ(d.drain_usr1(), c.usr1_to_parent ? 1 : 0);
    expect_in_order(d, c.released);
    for (const auto &part : c.absent) {
        EXPECT_EQ(d.find(part), -1) << "unexpected: " << part;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Lifecycle, EarlyExitTest,
    testing::Values(EarlyExit{"ConfigLibraryNotInitialisable",
                              json::array({fail("xmllib_init", 3)}),
                              4,
                              false,
                              {},
                              {"LOG ", "CALL xmllib_load_config", "CALL xmllib_term"}},
                    EarlyExit{"ConfigurationNotLoadable",
                              json::array({fail("xmllib_load_config", 2)}),
                              9,
                              false,
                              {"CALL xmllib_term"},
                              {"LOG ", "CALL log_init"}},
                    EarlyExit{"SemaphoresNotAttachable",
                              json::array({fail("sem_attach", 7)}),
                              1,
                              true,
                              {"sem_attach() failed(ret:7)", "sem_attach(): the fake library's reason",
                               "attachipc() failed(ret:1)", "tavik shutting down", "CALL log_term",
                               "CALL xmllib_unload_config", "CALL xmllib_term"},
                              {"CALL sem_detach", "CALL shmcm_attach", "CALL loadinfo"}},
                    EarlyExit{"ClusterManagerNotAttachable",
                              json::array({fail("shmcm_attach", 5)}),
                              1,
                              true,
                              {"shmcm_attach() failed(ret:5)", "shmcm_attach(): the fake library's reason",
                               "CALL sem_detach", "attachipc() failed(ret:2)", "tavik shutting down",
                               "CALL log_term", "CALL xmllib_unload_config", "CALL xmllib_term"},
                              {"CALL shmcm_detach", "CALL shmnm_attach"}},
                    EarlyExit{"NodeManagerNotAttachable",
                              json::array({fail("shmnm_attach", 6)}),
                              1,
                              true,
                              {"shmnm_attach() failed(ret:6)", "shmnm_attach(): the fake library's reason",
                               "CALL shmcm_detach", "CALL sem_detach", "attachipc() failed(ret:3)",
                               "tavik shutting down", "CALL log_term", "CALL xmllib_unload_config",
                               "CALL xmllib_term"},
                              {"CALL shmnm_detach", "CALL shmnm_getwaitstat"}}),
    [](const testing::TestParamInfo<EarlyExit> &param_info) { return param_info.param.name; });

TEST(Lifecycle, SendsSigusr1ToItsParentOnceRightAfterTheLogChannelOpens) {
    std::string gate = std::filesystem::temp_directory_path() / ("tavik-gate-" + std::to_string(getpid()));
    std::filesystem::remove(gate);
    DaemonRunner d(json{{"gates", {{"sem_attach", gate}}}});
    d.start();
    ASSERT_TRUE(d.await_usr1(kStartMs));
    // The daemon is held just before it touches the cluster: the channel is open and
    // nothing of the cluster's has been attached yet.
    EXPECT_GE(d.find("MAKE: "), 0);
    EXPECT_GT(d.find("MAKE: "), d.find("CALL log_init"));
    EXPECT_EQ(d.find("CALL sem_attach"), -1);
    std::ofstream(gate).put('\n');
    ASSERT_TRUE(d.await_trace("bwatchth:", kStartMs));
    d.signal(SIGUSR1);
    EXPECT_EQ(d.wait_exit(kExitMs), 0);
    EXPECT_EQ(d.drain_usr1(), 0) << "SIGUSR1 goes to the parent once only";
    std::filesystem::remove(gate);
}

TEST(Lifecycle, StopsInOrderAfterSigusr1) {
    // "bwatchth:" is logged before the watch thread is created, and a stop that comes
    // before its handle is there cancels nothing: the thread then leaves on the stop flag
    // with "0", as it may. So the stop waits for the thread's first scan, which follows a
    // whole interval of its own: by then the thread is there to be cancelled.
    DaemonRunner d(json{{"downnotify", true}, {"config", {{"/root/cluster/heartbeat/interval", 100}}}});
    d.start();
    ASSERT_TRUE(d.await_usr1(kStartMs));
    ASSERT_TRUE(d.await_trace("hbcheck <<< ENTER >>>", kStartMs));
    d.signal(SIGUSR1);
    ASSERT_EQ(d.wait_exit(kExitMs), 0);
    expect_in_order(d, {"tavik starting",
                        "clock:",
                        "CALL sem_attach",
                        "CALL shmcm_attach",
                        "CALL shmnm_attach",
                        "CALL shmnm_getwaitstat",
                        "CALL xmllib_unload_config",
                        "CALL libzvrbmc_init",
                        "CALL bmc_init",
                        "CALL bmc_SetZelvarinStatus 1,0x1",
                        "checkbmc thread initialized",
                        "bwatchth: 1",
                        "pthread_join(watch) success(ret:0,canceled)",
                        "pthread_join(checkbmc) success(ret:0,canceled)",
                        "CALL sem_wait_downnotify",
                        "send downpacket : YES (ignore)",
                        "CALL bmc_SetZelvarinStatus 1,0x81",
                        "CALL bmc_term",
                        "CALL libzvrbmc_term",
                        "CALL shmnm_detach",
                        "CALL shmcm_detach",
                        "CALL sem_detach",
                        "tavik shutting down",
                        "CALL log_term",
                        "CALL xmllib_term"});
    // Both threads are cancelled at once, so only each one's own order is fixed.
    expect_in_order(d, {"hbwatch() exit", "pthread_join(watch) success"});
    expect_in_order(d, {"CALL bmc_SetZelvarinStatus 1,0x82", "hbcheckbmc() exit",
                        "pthread_join(checkbmc) success", "CALL bmc_SetZelvarinStatus 1,0x81"});
    // The check thread's signal is never lost, so start-up does not wait for it.
    EXPECT_EQ(d.count("waiting checkbmc thread initialize"), 0);
}

struct BmcPath {
    const char *name;
    friend void PrintTo(const BmcPath &c, std::ostream *os) { *os << c.name; }
    json failures;
    std::vector<std::string> present;
    std::vector<std::string> absent;
};

class BmcPathTest : public testing::TestWithParam<BmcPath> {};

TEST_P(BmcPathTest, ShutdownTellsTheBmcWhatItsReadinessAllows) {
    const BmcPath &c = GetParam();
    DaemonRunner d(json{{"fail", c.failures}});
    ASSERT_EQ(run_to_stop(d), 0);
    for (const auto &part : c.present) {
        EXPECT_GE(d.find(part), 0) << "missing: " << part;
    }
    for (const auto &part : c.absent) {
        EXPECT_EQ(d.find(part), -1) << "unexpected: " << part;
    }
}

INSTANTIATE_TEST_SUITE_P(
    Lifecycle, BmcPathTest,
    testing::Values(BmcPath{"LibraryInitFails",
                            json::array({fail("libzvrbmc_init", 4)}),
                            {"libzvrbmc_init() failed(ret:4 )", "EVENT 10 main", "CALL bmc_init",
                             "CALL bmc_SetZelvarinStatus 1,0x81", "CALL bmc_term"},
                            {"CALL libzvrbmc_term"}},
                    BmcPath{"BmcInitFails",
                            json::array({fail("bmc_init", 3)}),
                            {"bmc_init() failed(ret:3 )", "EVENT 10 main", "CALL libzvrbmc_term"},
                            {"CALL bmc_SetZelvarinStatus", "CALL bmc_term"}},
                    BmcPath{"StartStatusRefused",
                            json::array({fail("bmc_SetZelvarinStatus", 0, 0xc1)}),
                            {"bmc_SetZelvarinStatus() failed(ret:0,CompletionCode:0xc1)", "CALL bmc_term",
                             "CALL libzvrbmc_term"},
                            {"CALL bmc_SetZelvarinStatus 1,0x81", "EVENT 10"}}),
    [](const testing::TestParamInfo<BmcPath> &param_info) { return param_info.param.name; });

}  // namespace
