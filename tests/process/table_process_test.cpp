// SPDX-License-Identifier: GPL-3.0-or-later
// The heartbeat table as the daemon's parent sees it: a table that cannot be built ends
// the daemon with status 10 after an orderly release, and a built one publishes its
// start-up states before the BMC is touched.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <cstring>

#include "daemon_runner.h"

using nlohmann::json;

namespace {

constexpr int kStartMs = 5000;
constexpr int kExitMs = 10000;

// hb1 on device 1 over the host (1), peer2 (2, addressed) and peer3 (3, no address).
json cluster() {
    const std::string host = DaemonRunner::host_name();
    return json{{"nodes",
                 json::array({json::array({host, 1}), json::array({"peer2", 2}), json::array({"peer3", 3})})},
                {"resources", json::array({json::array({"hb1", 1})})},
                {"config",
                 {{"/root/heartbeat/tavik@hb1/device", 1},
                  {"/root/server@" + host + "/device@1/info", "127.0.1.1"},
                  {"/root/server@peer2/device@1/info", "127.0.1.2/8"}}}};
}

TEST(TableProcess, AFailedTableEndsWithTenAfterReleasingInOrder) {
    json scenario = cluster();
    scenario["fail"] = json::array({json{{"call", "shmnm_enumrsc"}, {"nth", 1}, {"result", 7}}});
    DaemonRunner d(scenario);
    d.start();
    EXPECT_EQ(d.wait_exit(kExitMs), 10);
    EXPECT_EQ(d.drain_usr1(), 1);
    expect_in_order(d, {"shmnm_enumrsc() failed(ret:7)", "loadinfo() failed(ret:7)", "tavik shutting down",
                        "CALL log_term", "CALL shmnm_detach", "CALL shmcm_detach", "CALL sem_detach",
                        "CALL xmllib_unload_config", "CALL xmllib_term"});
    EXPECT_EQ(d.find("CALL libzvrbmc_init"), -1);
    EXPECT_EQ(d.find("CALL shmnm_setrscsvstat"), -1);
}

TEST(TableProcess, AStartUpPublishesTheStartUpStatesBeforeTheBmcIsUsed) {
    DaemonRunner d(cluster());
    d.start();
    ASSERT_TRUE(d.await_usr1(kStartMs));
    ASSERT_TRUE(d.await_trace("bwatchth:", kStartMs));
    d.signal(SIGUSR1);
    EXPECT_EQ(d.wait_exit(kExitMs), 0);
    expect_in_order(
        d, {"TOTAL(1436)=H(28)+R(352*1)+N(352*3*1)", "CALL shmnm_setrscsvstat tavik,hb1,1,2",
            "CALL shmnm_setrscsvstat tavik,hb1,2,2", "CALL shmnm_setrscsvstat tavik,hb1,3,15",
            "CALL shmnm_setrscstat tavik,hb1,4", "CALL xmllib_unload_config", "CALL libzvrbmc_init"});
    EXPECT_EQ(d.find("CALL sem_set_statchange"), -1);
    EXPECT_EQ(d.find("CALL shmnm_getrscsvstat"), -1);
}

TEST(TableProcess, ADaemonBeingRestartedResumesTheClustersStates) {
    json scenario = cluster();
    scenario["waitstat"] = 1;
    DaemonRunner d(scenario);
    d.start();
    ASSERT_TRUE(d.await_usr1(kStartMs));
    ASSERT_TRUE(d.await_trace("bwatchth:", kStartMs));
    d.signal(SIGUSR1);
    EXPECT_EQ(d.wait_exit(kExitMs), 0);
    // The fake cluster holds no state yet: the states read back are unknown (9).
    expect_in_order(d,
                    {"change mode to resume(act:0x00000000)", "CALL shmnm_getrscsvstat tavik,hb1,1",
                     "CALL shmnm_setrscsvstat tavik,hb1,1,9", "CALL shmnm_setrscsvstat tavik,hb1,3,15",
                     "CALL shmnm_setrscstat tavik,hb1,4", "CALL sem_set_statchange", "CALL libzvrbmc_init"});
}

}  // namespace
