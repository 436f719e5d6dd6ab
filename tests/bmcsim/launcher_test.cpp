// SPDX-License-Identifier: GPL-3.0-or-later
// tavik-bmcsim without a running simulator: bad arguments, a busy address, a missing
// module or simulator program, a simulator that ends on its own, and the files it
// writes. Single-threaded; ports come from free_port_base.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include "config.h"
#include "sim_harness.h"

namespace {

using tavik::test::run_program;

class Launcher : public ::testing::Test {
  protected:
    void SetUp() override { base_ = tavik::test::free_port_base(3); }
    tavik::test::RunResult launch(std::vector<std::string> args) {
        args.insert(args.begin(), tavik::test::launcher_path());
        return run_program(args, dir_.path());
    }
    std::vector<std::string> common(const std::string &addr = "127.0.1.7") {
        return {"--addr",    addr,
                "--port",    std::to_string(base_),
                "--hb-port", std::to_string(base_ + 1),
                "--dir",     dir_.file("bmc")};
    }
    tavik::test::TempDir dir_;
    unsigned base_ = 0;
};

TEST_F(Launcher, BadArgumentsAreUsageErrors) {
    struct Case {
        std::vector<std::string> args;
        const char *message;
    };
    const std::string d = dir_.file("bmc");
    const std::vector<Case> cases = {
        {{"--port", "9001", "--dir", d}, "--addr is required"},
        {{"--addr", "127.0.1.7", "--port", "0", "--dir", d}, "--port"},
        {{"--addr", "127.0.1.7", "--port", "9001", "--dir", d, "--frobnicate"}, "frobnicate"},
        {{"--addr", "127.0.1", "--port", "9001", "--dir", d}, "not an IPv4 address"},
        {{"--addr", "127.0.1.7", "--port", "9001", "--hb-port", "9001", "--dir", d}, "two ports"},
        {{"--addr", "127.0.1.7", "--port", "9001", "--dir", d, "--refuse", "0x32"}, "refuse=0x32"},
        {{"--addr", "127.0.1.7", "--port", "9001", "--dir", d, "--drop-to", "nobody"}, "drop_to=nobody"},
        {{"--addr", "127.0.1.7", "--port", "9001", "--dir", d, "--user", "a b"}, "--user"},
        {{"--addr", "127.0.1.7", "--port", "9001", "--dir", d, "--local-port", "9002"}, "needs --standard"},
        {{"--addr", "127.0.1.7", "--port", "9001", "--dir", d, "--vm-port", "9001"}, "a LAN port already"},
    };
    for (const auto &c : cases) {
        auto r = launch(c.args);
        EXPECT_EQ(r.status, 2) << r.out;
        EXPECT_NE(r.out.find(c.message), std::string::npos) << r.out;
    }
    EXPECT_NE(access(d.c_str(), F_OK), 0) << "nothing is written for a bad command line";
}

TEST_F(Launcher, BusyAddressIsReportedByName) {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<std::uint16_t>(base_ + 1));
    inet_pton(AF_INET, "127.0.1.7", &a.sin_addr);
    ASSERT_EQ(bind(fd, reinterpret_cast<sockaddr *>(&a), sizeof a), 0);
    auto r = launch(common());
    close(fd);
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.out.find("heartbeat address 127.0.1.7:" + std::to_string(base_ + 1) + " is busy"),
              std::string::npos)
        << r.out;
}

TEST_F(Launcher, MissingModuleOrSimulatorIsReported) {
    auto args = common();
    args.insert(args.end(), {"--module", dir_.file("none.so")});
    auto r = launch(args);
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.out.find(dir_.file("none.so")), std::string::npos) << r.out;

    args = common();
    args.insert(args.end(), {"--ipmi-sim", dir_.file("no-such-simulator")});
    r = launch(args);
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.out.find("cannot run " + dir_.file("no-such-simulator")), std::string::npos) << r.out;
}

TEST_F(Launcher, SimulatorEndingOnItsOwnIsAFailure) {
    auto args = common();
    args.insert(args.end(), {"--ipmi-sim", "false"});
    auto r = launch(args);
    EXPECT_EQ(r.status, 1) << r.out;
    EXPECT_NE(r.out.find("ipmi_sim exited with status 1"), std::string::npos) << r.out;
}

TEST_F(Launcher, WritesTheSimulatorAndAccessFiles) {
    auto args = common();
    args.insert(args.end(),
                {"--ipmi-sim", "false", "--period-ms", "120", "--timeout-ms", "700", "--refuse", "0x32:0xd5",
                 "--drop-from", "127.0.1.8", "--vm-port", std::to_string(base_ + 2)});
    launch(args);
    const std::string d = dir_.file("bmc");
    struct stat st {};
    ASSERT_EQ(stat((d + "/password").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    ASSERT_EQ(stat((d + "/state").c_str(), &st), 0);
    EXPECT_TRUE(S_ISDIR(st.st_mode));

    tavik::bmc::Config cfg;
    std::string err;
    ASSERT_EQ(tavik::bmc::load_config(d + "/bmc.conf", cfg, err), tavik::bmc::LoadError::None) << err;
    EXPECT_EQ(cfg.driver, tavik::bmc::Driver::Lan);
    EXPECT_EQ(cfg.host, "127.0.1.7");
    EXPECT_EQ(cfg.port, base_);
    EXPECT_EQ(cfg.timeout_ms, 700u);
    EXPECT_EQ(cfg.password_file, d + "/password");
    EXPECT_EQ(cfg.password.size(), 16u);

    const std::string lan = tavik::test::read_text(d + "/lan.conf");
    EXPECT_NE(lan.find("addr 127.0.1.7 " + std::to_string(base_) + "\n"), std::string::npos) << lan;
    EXPECT_NE(lan.find("\"" + cfg.user + "\" \"" + cfg.password + "\" admin"), std::string::npos) << lan;
    EXPECT_NE(lan.find("tavik_bmcsim.so\" \"addr=127.0.1.7 hbport=" + std::to_string(base_ + 1) +
                       " period_ms=120 refuse=0x32:0xd5 drop_from=127.0.1.8\""),
              std::string::npos)
        << lan;
    EXPECT_NE(lan.find("serial kcs 127.0.1.7 " + std::to_string(base_ + 2) + " codec VM\n"),
              std::string::npos)
        << lan;
    EXPECT_NE(tavik::test::read_text(d + "/emu.cmd").find("mc_setbmc 0x20\n"), std::string::npos);

    // A second start in the same folder keeps the password the access file points to.
    launch(args);
    std::string again;
    ASSERT_TRUE(tavik::bmc::read_password(d + "/password", again, err)) << err;
    EXPECT_EQ(again, cfg.password);
}

}  // namespace
