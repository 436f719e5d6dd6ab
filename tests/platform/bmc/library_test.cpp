// SPDX-License-Identifier: GPL-3.0-or-later
// The C entry points of libzvrbmc without a BMC: the access file's refusals and their
// texts, the call order, bad arguments, the time bound against a silent address, and
// calls from several threads at once; the CPU meter's switch.
#include <gtest/gtest.h>
#include <stdlib.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "result.h"
#include "sim_harness.h"
#include "usage.h"
#include "zvrbmc.h"

namespace {

using namespace tavik::bmc;
using Clock = std::chrono::steady_clock;

class BmcLibrary : public ::testing::Test {
  protected:
    void TearDown() override {
        bmc_term();
        libzvrbmc_term();
        unsetenv("TAVIK_BMC_CONF");
    }
    // Writes an access file (and a 0600 password file) and points the library at it.
    void use_conf(const std::string &text) {
        tavik::test::write_text(dir_.file("pw"), "pw\n", 0600);
        tavik::test::write_text(dir_.file("bmc.conf"), text);
        setenv("TAVIK_BMC_CONF", dir_.file("bmc.conf").c_str(), 1);
    }
    std::string error() const { return libzvrbmc_last_error(); }
    tavik::test::TempDir dir_;
};

TEST_F(BmcLibrary, InitRefusalsGiveTheirCodeAndReason) {
    struct Case {
        const char *conf;  // nullptr: no file
        unsigned pw_mode;
        int rc;
        const char *reason;
    };
    const Case cases[] = {
        {nullptr, 0600, kConfigMissing, "No such file or directory"},
        {"driver = lan\nhost = 127.0.1.1\n", 0600, kConfigInvalid, "driver = lan needs key 'user'"},
        {"driver = lan\nhost = 127.0.1.1\nuser = u\npassword_file = pw\n", 0644, kPasswordRefused,
         "readable by group or others"},
    };
    for (const auto &c : cases) {
        unlink(dir_.file("bmc.conf").c_str());
        setenv("TAVIK_BMC_CONF", dir_.file("bmc.conf").c_str(), 1);
        if (c.conf != nullptr) {
            tavik::test::write_text(dir_.file("bmc.conf"), c.conf);
        }
        tavik::test::write_text(dir_.file("pw"), "pw\n", c.pw_mode);
        EXPECT_EQ(libzvrbmc_init(), c.rc) << c.reason;
        EXPECT_NE(error().find(c.reason), std::string::npos) << error();
        EXPECT_NE(error().find(dir_.file("bmc.conf")), std::string::npos) << error();
        EXPECT_EQ(bmc_init(), kNotInitialised) << "a failed libzvrbmc_init leaves nothing to open";
    }
}

TEST_F(BmcLibrary, DefaultAccessFileIsUnderEtc) {
    unsetenv("TAVIK_BMC_CONF");
    if (access("/etc/tavik/bmc.conf", F_OK) == 0) {
        GTEST_SKIP() << "/etc/tavik/bmc.conf exists on this machine";
    }
    EXPECT_EQ(libzvrbmc_init(), kConfigMissing);
    EXPECT_NE(error().find("/etc/tavik/bmc.conf"), std::string::npos) << error();
}

TEST_F(BmcLibrary, CallOrderIsEnforced) {
    std::uint8_t cc = 0xee, bn = 0;
    BMC_INFO_SET set[BMC_BLOCK_RECORDS] = {};
    BMC_INFO_GET get[BMC_BLOCK_RECORDS] = {};
    EXPECT_EQ(bmc_init(), kNotInitialised);
    EXPECT_EQ(bmc_SetZelvarinStatus(1, BMC_STATUS_STARTED, &cc), kNotInitialised);
    EXPECT_EQ(cc, 0) << "the completion code is defined even when the call fails";
    EXPECT_EQ(libzvrbmc_term(), kNotInitialised);
    EXPECT_NE(error().find("libzvrbmc_init has not succeeded"), std::string::npos) << error();

    use_conf("driver = lan\nhost = 127.0.1.1\nport = 9\nuser = u\npassword_file = pw\n");
    ASSERT_EQ(libzvrbmc_init(), kOk) << error();
    EXPECT_EQ(libzvrbmc_init(), kAlreadyInitialised);
    EXPECT_EQ(bmc_SetZelvarinAccessTime(BMC_CMD_SET_ACCESS_TIME, 9, &cc), kNotInitialised);
    EXPECT_EQ(bmc_SetBmcIpAddressAll(BMC_CMD_SET_IP_ADDRESS_ALL, 1, set, &cc, &bn), kNotInitialised);
    EXPECT_EQ(bmc_GetBmcStatusAll(BMC_CMD_GET_STATUS_ALL, 1, &cc, &bn, get), kNotInitialised);
    EXPECT_EQ(bmc_term(), kNotInitialised);
    EXPECT_NE(error().find("bmc_init has not succeeded"), std::string::npos) << error();
    EXPECT_EQ(libzvrbmc_term(), kOk);
    EXPECT_EQ(libzvrbmc_init(), kOk) << "terminated, the library can start again: " << error();
}

TEST_F(BmcLibrary, BadArgumentsAreRefusedBeforeAnyExchange) {
    use_conf("driver = lan\nhost = 127.0.1.1\nport = 9\nuser = u\npassword_file = pw\n");
    ASSERT_EQ(libzvrbmc_init(), kOk) << error();
    std::uint8_t cc = 0, bn = 0;
    BMC_INFO_SET set[BMC_BLOCK_RECORDS] = {};
    BMC_INFO_GET get[BMC_BLOCK_RECORDS] = {};
    EXPECT_EQ(bmc_SetZelvarinStatus(1, BMC_STATUS_RUNNING, nullptr), kBadArgument);
    EXPECT_EQ(bmc_SetZelvarinStatus(256, BMC_STATUS_RUNNING, &cc), kBadArgument);
    EXPECT_EQ(bmc_SetZelvarinStatus(-1, BMC_STATUS_RUNNING, &cc), kBadArgument);
    EXPECT_EQ(bmc_SetZelvarinAccessTime(BMC_CMD_SET_ACCESS_TIME, 9, nullptr), kBadArgument);
    EXPECT_EQ(bmc_SetBmcIpAddressAll(BMC_CMD_SET_IP_ADDRESS_ALL, 0, set, &cc, &bn), kBadArgument);
    EXPECT_EQ(bmc_SetBmcIpAddressAll(BMC_CMD_SET_IP_ADDRESS_ALL, 1, nullptr, &cc, &bn), kBadArgument);
    EXPECT_EQ(bmc_SetBmcIpAddressAll(BMC_CMD_SET_IP_ADDRESS_ALL, 1, set, &cc, nullptr), kBadArgument);
    EXPECT_EQ(bmc_GetBmcStatusAll(BMC_CMD_GET_STATUS_ALL, 0, &cc, &bn, get), kBadArgument);
    EXPECT_EQ(bmc_GetBmcStatusAll(BMC_CMD_GET_STATUS_ALL, 1, &cc, &bn, nullptr), kBadArgument);
    EXPECT_EQ(bmc_GetBmcStatusAll(BMC_CMD_GET_STATUS_ALL, 1, nullptr, &bn, get), kBadArgument);
    EXPECT_NE(error().find("bmc_GetBmcStatusAll"), std::string::npos) << error();
}

TEST_F(BmcLibrary, OpeningASilentAddressEndsWithinTheTimeOut) {
    // Nothing listens there: every packet is lost, as with a BMC that is switched off.
    const unsigned port = tavik::test::free_port_base(1);
    use_conf("driver = lan\nhost = 127.0.1.250\nport = " + std::to_string(port) +
             "\nuser = u\npassword_file = pw\ntimeout_ms = 300\n");
    ASSERT_EQ(libzvrbmc_init(), kOk) << error();
    const auto t0 = Clock::now();
    EXPECT_EQ(bmc_init(), kOpenFailed);
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - t0);
    EXPECT_LE(took.count(), 300 + 60) << "bmc_init blocked longer than timeout_ms";
    EXPECT_NE(error().find("127.0.1.250:" + std::to_string(port)), std::string::npos) << error();
}

TEST_F(BmcLibrary, InbandWithoutADeviceFailsClearly) {
    if (access("/dev/ipmi0", F_OK) == 0 || access("/dev/ipmi/0", F_OK) == 0) {
        GTEST_SKIP() << "this machine has an in-band IPMI device";
    }
    use_conf("driver = inband\n");
    ASSERT_EQ(libzvrbmc_init(), kOk) << error();
    EXPECT_EQ(bmc_init(), kOpenFailed);
    EXPECT_NE(error().find("in-band"), std::string::npos) << error();
}

TEST_F(BmcLibrary, ConcurrentCallersAreSerialised) {
    use_conf("driver = lan\nhost = 127.0.1.1\nport = 9\nuser = u\npassword_file = pw\n");
    std::atomic<int> wrong{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < 300; ++i) {
                std::uint8_t cc = 0, bn = 0;
                BMC_INFO_GET get[BMC_BLOCK_RECORDS];
                if (t == 0) {
                    int rc = libzvrbmc_init();
                    wrong += rc != kOk && rc != kAlreadyInitialised;
                    libzvrbmc_term();
                } else {
                    int rc = bmc_GetBmcStatusAll(BMC_CMD_GET_STATUS_ALL, 1, &cc, &bn, get);
                    wrong += rc != kNotInitialised;
                }
                wrong += libzvrbmc_last_error() == nullptr;
            }
        });
    }
    for (auto &th : threads) {
        th.join();
    }
    EXPECT_EQ(wrong.load(), 0);
}

// Whether one metered stretch of busy work added to the library's CPU counter.
bool meter_counts() {
    const std::uint64_t before = zvrbmc_usage.cpu_ns.load();
    {
        const CpuMeter meter;
        volatile std::uint64_t sink = 0;
        for (int i = 0; i < 1000000; ++i) {
            sink = sink + static_cast<std::uint64_t>(i);
        }
    }
    return zvrbmc_usage.cpu_ns.load() != before;
}

// The meter costs two system calls per call, so a process pays for it only when it asks.
// The switch is read once per process, so the metered case runs in a fresh one.
TEST(BmcUsage, CpuIsMeteredOnlyWhenTheProcessAsks) {
    // First: the fresh process re-runs this body up to here, before anything read the switch.
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(
        {
            setenv(kCpuMeterVariable, "1", 1);
            std::exit(meter_counts() ? 0 : 1);
        },
        ::testing::ExitedWithCode(0), "");
    ASSERT_EQ(std::getenv(kCpuMeterVariable), nullptr);
    EXPECT_FALSE(meter_counts());
}

}  // namespace
