// SPDX-License-Identifier: GPL-3.0-or-later
// Tests of `tavikctl check-config`, run as the operator runs it: the built binary
// (TAVIKCTL) on the example configuration and on broken copies of it, with the
// repository's policies. Each test writes its copies into its own temporary directory.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <array>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "rules/stackmin.h"

namespace fs = std::filesystem;

namespace {

std::string env(const char *name) {
    const char *value = std::getenv(name);
    return value != nullptr ? value : "";
}

struct ToolRun {
    int status = -1;
    std::string output;  // stdout and stderr together
};

ToolRun check_config(const std::string &file, const std::string &extra = "") {
    std::string command = "TAVIK_POLICY_DIR='" + env("TAVIK_SOURCE_DIR") + "/policy' '" + env("TAVIKCTL") +
                          "' check-config '" + file + "' " + extra + " 2>&1";
    ToolRun run;
    FILE *pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) {
        return run;
    }
    std::array<char, 4096> buf{};
    while (std::fgets(buf.data(), buf.size(), pipe) != nullptr) {
        run.output += buf.data();
    }
    int status = ::pclose(pipe);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

std::string example_text() {
    std::ifstream in(env("TAVIK_SOURCE_DIR") + "/examples/cluster.xml");
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// The output line that names key as an error, or empty.
std::string error_line(const std::string &output, const std::string &key) {
    std::istringstream lines(output);
    for (std::string line; std::getline(lines, line);) {
        if (line.find(": error: " + key + ":") != std::string::npos) {
            return line;
        }
    }
    return {};
}

class CheckConfig : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_FALSE(env("TAVIKCTL").empty());
        char pattern[] = "/tmp/check_config_test.XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        dir_ = pattern;
    }
    void TearDown() override { fs::remove_all(dir_); }

    // A copy of the example with each (from, to) replacement made exactly once.
    std::string edited(std::initializer_list<std::pair<std::string, std::string>> edits) {
        std::string text = example_text();
        for (const auto &[from, to] : edits) {
            std::size_t at = text.find(from);
            EXPECT_NE(at, std::string::npos) << from;
            if (at != std::string::npos) {
                text.replace(at, from.size(), to);
            }
        }
        std::string path = dir_ + "/cluster.xml";
        std::ofstream(path) << text;
        return path;
    }

    std::string dir_;
};

TEST_F(CheckConfig, ExampleIsClean) {
    ToolRun run = check_config(env("TAVIK_SOURCE_DIR") + "/examples/cluster.xml");
    EXPECT_EQ(run.status, 0) << run.output;
    EXPECT_NE(run.output.find("0 errors, 0 warnings"), std::string::npos) << run.output;
}

TEST_F(CheckConfig, TypoBadIntegerAndBadAddressAreAllNamed) {
    std::string file = edited({{"<nice>-20</nice>", "<nicee>-20</nicee>"},
                               {"<timeout>90000</timeout>", "<timeout>9000O</timeout>"},
                               {"<info>127.0.1.2</info>", "<info>127.0.1.300</info>"}});
    ToolRun run = check_config(file);
    EXPECT_EQ(run.status, 2) << run.output;
    EXPECT_NE(error_line(run.output, "/root/tavik/nicee").find("did you mean /root/tavik/nice?"),
              std::string::npos)
        << run.output;
    EXPECT_NE(error_line(run.output, "/root/cluster/heartbeat/timeout").find("\"9000O\""), std::string::npos)
        << run.output;
    EXPECT_NE(error_line(run.output, "/root/server@node2/device@0/info").find("127.0.1.300"),
              std::string::npos)
        << run.output;
    EXPECT_NE(run.output.find("3 errors, 0 warnings"), std::string::npos) << run.output;
}

TEST_F(CheckConfig, CorrectionsAreWarningsOnly) {
    std::string file = edited({{"<stacksize>0</stacksize>", "<stacksize>100</stacksize>"},
                               {"<interval>3000</interval>", "<interval>-1</interval>"},
                               {"<info>127.0.1.3</info>", "<info>127.0.1.3/24</info>"}});
    ToolRun run = check_config(file);
    EXPECT_EQ(run.status, 0) << run.output;
    // The daemon's minimum of the same build: a thread-sanitizer build needs more stack.
    EXPECT_NE(run.output.find("/root/tavik/thread/stacksize: 100 would be corrected to " +
                              std::to_string(kMinStackSize)),
              std::string::npos)
        << run.output;
    EXPECT_NE(run.output.find("/root/cluster/heartbeat/interval: -1 would be corrected to 3000"),
              std::string::npos)
        << run.output;
    EXPECT_NE(run.output.find("0 errors, 2 warnings"), std::string::npos) << run.output;
}

TEST_F(CheckConfig, LayoutFaults) {
    std::string file = edited({{"<priority>2</priority>", "<priority>1</priority>"},  // node2 = node1
                               {"<device name=\"0\"><info>127.0.1.3</info></device>", ""},
                               {"<device>0</device>", ""}});  // hb1
    ToolRun run = check_config(file);
    EXPECT_EQ(run.status, 2) << run.output;
    EXPECT_NE(error_line(run.output, "/root/server@node2/priority").find("node1"), std::string::npos)
        << run.output;
    EXPECT_NE(error_line(run.output, "/root/server@node3/device@0/info").find("hb2"), std::string::npos)
        << run.output;
    EXPECT_NE(error_line(run.output, "/root/heartbeat/tavik@hb1/device"), "") << run.output;
}

TEST_F(CheckConfig, MalformedFileGivesItsLine) {
    std::string file = edited({{"</watchth>", "</watchthh>"}});
    ToolRun run = check_config(file);
    EXPECT_EQ(run.status, 2) << run.output;
    EXPECT_NE(run.output.find(file + ":25: error: malformed XML"), std::string::npos) << run.output;
}

TEST_F(CheckConfig, MissingPoliciesStopTheCheck) {
    std::string command = "TAVIK_POLICY_DIR='" + dir_ + "' '" + env("TAVIKCTL") + "' check-config '" +
                          env("TAVIK_SOURCE_DIR") + "/examples/cluster.xml' >/dev/null 2>&1";
    int status = std::system(command.c_str());
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 1);
}

TEST_F(CheckConfig, PrintsTheDetectionWindowsOfEveryResource) {
    ToolRun run = check_config(env("TAVIK_SOURCE_DIR") + "/examples/cluster.xml");
    ASSERT_EQ(run.status, 0) << run.output;
    for (const char *rsc : {"hb1", "hb2"}) {
        EXPECT_NE(
            run.output.find(
                std::string("  ") + rsc +
                "       13 s (time-out 9 s + poll 4 s)  93 s (time-out 90 s + interval 3 s)  72 s (80 %)"),
            std::string::npos)
            << run.output;
    }
    run = check_config(env("TAVIK_SOURCE_DIR") + "/examples/cluster.xml", "--ratio 3");
    ASSERT_EQ(run.status, 0) << run.output;
    EXPECT_NE(run.output.find("detection windows at ratio 3"), std::string::npos) << run.output;
    EXPECT_NE(run.output.find("273 s (time-out 270 s + interval 3 s)"), std::string::npos) << run.output;
    run = check_config(env("TAVIK_SOURCE_DIR") + "/examples/cluster.xml", "--ratio 0");
    EXPECT_NE(run.status, 0) << run.output;
}

TEST_F(CheckConfig, SettingsThatDefeatDetectionAreWarningsAtTheirLines) {
    std::string file = edited({{"<timeout>90000</timeout>", "<timeout>2560000</timeout>"},
                               {"<watchth>1</watchth>", "<watchth>0</watchth>"},
                               {"<heartbeat>80</heartbeat>", "<heartbeat>0</heartbeat>"},
                               {"<device>0</device>", "<device>-1</device>"}});  // hb1
    ToolRun run = check_config(file);
    EXPECT_EQ(run.status, 0) << run.output;
    // Each warning names the line of the element it is about, wherever the sample puts it.
    auto at = [&file](const std::string &element) {
        std::ifstream in(file);
        int n = 0;
        for (std::string line; std::getline(in, line);) {
            ++n;
            if (line.find(element) != std::string::npos) {
                return file + ":" + std::to_string(n) + ": warning: ";
            }
        }
        return std::string("(no line holds ") + element + ")";
    };
    EXPECT_NE(run.output.find(at("<watchth>0</watchth>") + "/root/tavik/watchth: the watch thread is off"),
              std::string::npos)
        << run.output;
    EXPECT_NE(run.output.find(at("<timeout>2560000</timeout>") +
                              "/root/cluster/heartbeat/timeout: the per-target time-out of 256 s"),
              std::string::npos)
        << run.output;
    EXPECT_NE(
        run.output.find(at("<heartbeat>0</heartbeat>") + "/root/cluster/delaywarn/heartbeat: a rate of 0 %"),
        std::string::npos)
        << run.output;
    EXPECT_NE(run.output.find("hb1       inactive (no BMC device id)"), std::string::npos) << run.output;
    std::string hb2 = run.output.substr(run.output.find("  hb2  "));
    hb2 = hb2.substr(0, hb2.find('\n'));
    for (const char *part : {"5 s (time-out 1 s + poll 4 s)", " off ", "0 s (0 %)"}) {
        EXPECT_NE(hb2.find(part), std::string::npos) << part << " in " << run.output;
    }
    // The three, and the negative device id.
    EXPECT_NE(run.output.find("0 errors, 4 warnings"), std::string::npos) << run.output;
}

TEST_F(CheckConfig, BmcAccessFileOfTheStandardDriverAgainstTheLease) {
    {
        std::ofstream(dir_ + "/peer.pw") << "secret\n";
        fs::permissions(dir_ + "/peer.pw", fs::perms::owner_read | fs::perms::owner_write);
        std::ofstream(dir_ + "/open.pw") << "secret\n";
        fs::permissions(dir_ + "/open.pw",
                        fs::perms::owner_read | fs::perms::group_read | fs::perms::others_read);
    }
    struct Case {
        const char *timeout;  // the heartbeat time-out, ms
        const char *access;   // the access file's lines
        int status;
        const char *expect;
    };
    const Case cases[] = {
        {"90000", "driver = standard\npeer_user = hb\npeer_password_file = peer.pw\n", 0, "0 errors"},
        {"2000", "driver = standard\npeer_user = hb\npeer_password_file = peer.pw\n", 2,
         "the lease of 2 s lapses before the daemon renews it (every 4 s)"},
        {"900", "driver = standard\npeer_user = hb\npeer_password_file = peer.pw\n", 2,
         "an access time-out of 0 s cannot be a watchdog lease"},
        {"7000000", "driver = standard\npeer_user = hb\npeer_password_file = peer.pw\n", 0,
         "clamped to the watchdog's longest countdown, 6553 s"},
        {"2000", "driver = inband\n", 0, "0 errors"},
        {"90000", "driver = standard\npeer_user = hb\npeer_password_file = open.pw\n", 2,
         "readable by group or others"},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(std::string(c.timeout) + " ms, " + c.access);
        std::string file =
            edited({{"<timeout>90000</timeout>", std::string("<timeout>") + c.timeout + "</timeout>"}});
        std::ofstream(dir_ + "/bmc.conf") << c.access;
        ToolRun run = check_config(file, "--bmc-conf '" + dir_ + "/bmc.conf'");
        EXPECT_EQ(run.status, c.status) << run.output;
        EXPECT_NE(run.output.find(c.expect), std::string::npos) << run.output;
    }
}

}  // namespace

namespace {

// A cluster of 43 servers (node4..node43 before node3, in file order, which is the table's):
// its 86 pairs fill the BMC's 32 targets and leave 54 unwatched.
TEST_F(CheckConfig, PairsBeyondTheBmcTargetsAreErrorsAndStrictAndJsonReportThem) {
    std::string more;
    for (int i = 4; i <= 43; ++i) {
        more += "  <server name=\"node" + std::to_string(i) + "\"><priority>" + std::to_string(i) +
                "</priority><device name=\"0\"><info>127.0.1." + std::to_string(i) +
                "</info></device></server>\n";
    }
    std::string file = edited({{"  <server name=\"node3\">", more + "  <server name=\"node3\">"}});
    struct Mode {
        const char *extra;
        int status;
        std::vector<std::string> says;
    };
    for (const Mode &m : std::vector<Mode>{
             {"",
              2,
              {"error: /root/heartbeat/tavik@hb1: 54 (resource, node) pairs beyond the BMC's 32 targets",
               "hb1/node34, hb1/node35", "hb1/node3, hb2/node1", "and 38 more"}},
             {"--json",
              2,
              {"\"severity\": \"error\"", "\"key\": \"/root/heartbeat/tavik@hb1\"", "\"ok\": false"}},
         }) {
        ToolRun run = check_config(file, m.extra);
        EXPECT_EQ(run.status, m.status) << m.extra << run.output;
        for (const std::string &text : m.says) {
            EXPECT_NE(run.output.find(text), std::string::npos) << text << "\n" << run.output;
        }
    }
    // Warnings alone pass, unless --strict.
    std::string warned = edited({{"<stacksize>0</stacksize>", "<stacksize>100</stacksize>"}});
    EXPECT_EQ(check_config(warned).status, 0);
    EXPECT_EQ(check_config(warned, "--strict").status, 2);
    EXPECT_NE(check_config(warned, "--strict --json").output.find("\"strict\": true"), std::string::npos);
}

}  // namespace
