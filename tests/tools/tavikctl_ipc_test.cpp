// SPDX-License-Identifier: GPL-3.0-or-later
// tavikctl's IPC commands as a user runs them: the built binary, a configuration file
// in a temporary directory and a namespace of this process's own, removed however the
// test ends.
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>
#include <thread>

#include "ipc_support.h"

namespace {

struct Result {
    int status = -1;
    std::string out, err;
};

std::string slurp(const std::string &path) {
    std::ifstream in(path);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

class TavikctlTest : public ::testing::Test {
  protected:
    void SetUp() override {
        name_ = ipctest::unique_name("ctl");
        dir_ = std::filesystem::temp_directory_path() / name_;
        std::filesystem::create_directories(dir_);
        config_ = (dir_ / "cluster.xml").string();
        write(
            config_,
            "<root>\n"
            "  <server name=\"node1\"><priority>1</priority><device "
            "name=\"0\"><info>127.0.1.1</info></device></server>\n"
            "  <server name=\"node2\"><priority>2</priority><device "
            "name=\"0\"><info>127.0.1.2</info></device></server>\n"
            "  <server name=\"node3\"><priority>3</priority><device "
            "name=\"0\"><info>127.0.1.3</info></device></server>\n"
            "  <heartbeat><tavik name=\"hb1\"><priority>1</priority><device>0</device></tavik></heartbeat>\n"
            "</root>\n");
    }
    void TearDown() override {
        ipc_destroy(name_.c_str());
        std::filesystem::remove_all(dir_);
    }
    static void write(const std::string &path, const std::string &text) { std::ofstream(path) << text; }

    // Runs tavikctl with args and --name of this test (unless no_name), with a deadline.
    Result run(std::vector<std::string> args, bool with_name = true) {
        if (with_name) {
            args.push_back("--name");
            args.push_back(name_);
        }
        std::string out = (dir_ / "out").string(), err = (dir_ / "err").string();
        pid_t pid = fork();
        if (pid == 0) {
            int o = open(out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            int e = open(err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
            dup2(o, 1);
            dup2(e, 2);
            std::vector<char *> argv{const_cast<char *>(TAVIKCTL_PATH)};
            for (auto &a : args) {
                argv.push_back(a.data());
            }
            argv.push_back(nullptr);
            execv(TAVIKCTL_PATH, argv.data());
            _exit(127);
        }
        Result result;
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        int status = 0;
        while (waitpid(pid, &status, WNOHANG) == 0) {
            if (std::chrono::steady_clock::now() > deadline) {
                kill(pid, SIGKILL);
                waitpid(pid, &status, 0);
                ADD_FAILURE() << "tavikctl did not finish";
                return result;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        result.status = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        result.out = slurp(out);
        result.err = slurp(err);
        return result;
    }

    std::string name_;
    std::filesystem::path dir_;
    std::string config_;
};

bool has(const std::string &text, const std::string &part) {
    return text.find(part) != std::string::npos;
}

// The exit status of `status` while no daemon is attached to the namespace.
constexpr int kNoDaemon = 2;

TEST_F(TavikctlTest, InitStatusSetRatioJsonDestroy) {
    Result r = run({"init", "--config", config_});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(has(r.out, "namespace \"" + name_ + "\": created from " + config_)) << r.out;

    r = run({"status"});
    ASSERT_EQ(r.status, kNoDaemon) << r.err;
    EXPECT_TRUE(has(r.out, "namespace \"" + name_ + "\"")) << r.out;
    EXPECT_TRUE(has(r.out, "node3(3)")) << r.out;
    EXPECT_TRUE(has(r.out, "ratio 1  period 0")) << r.out;

    r = run({"set", "ratio", "3"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(has(r.out, "ratio 3, period 0 (was ratio 1, period 0)")) << r.out;

    r = run({"status", "--json"});
    ASSERT_EQ(r.status, kNoDaemon) << r.err;
    nlohmann::json doc = nlohmann::json::parse(r.out);
    EXPECT_EQ(doc["ratio"], 3);
    EXPECT_EQ(doc["period"], 0);
    EXPECT_EQ(doc["action"], 0);
    EXPECT_EQ(doc["waitstat"], 0);
    EXPECT_EQ(doc["changes"], 0);
    ASSERT_EQ(doc["resources"].size(), 1u);
    const auto &rsc = doc["resources"][0];
    EXPECT_EQ(rsc["name"], "hb1");
    EXPECT_EQ(rsc["type"], "tavik");
    EXPECT_EQ(rsc["priority"], 1);
    EXPECT_EQ(rsc["status"], "unknown");
    EXPECT_EQ(rsc["status_code"], 9);
    ASSERT_EQ(rsc["nodes"].size(), 3u);
    for (int n = 0; n < 3; ++n) {
        EXPECT_EQ(rsc["nodes"][n]["name"], "node" + std::to_string(n + 1));
        EXPECT_EQ(rsc["nodes"][n]["id"], n + 1);
        EXPECT_EQ(rsc["nodes"][n]["state"], "unknown");
        EXPECT_EQ(rsc["nodes"][n]["state_code"], 9);
    }

    r = run({"destroy"});
    ASSERT_EQ(r.status, 0) << r.err;
    for (auto args : {std::vector<std::string>{"status"}, {"destroy"}, {"set", "ratio", "2"}}) {
        r = run(args);
        // status cannot tell anything without a namespace; the others fail.
        EXPECT_EQ(r.status, args[0] == "status" ? 3 : 1) << args[0];
        EXPECT_TRUE(has(r.err, "namespace \"" + name_ + "\" does not exist")) << r.err;
    }
}

TEST_F(TavikctlTest, SetCommandsChangeWhatTheClusterSideWould) {
    ASSERT_EQ(run({"init", "--config", config_}).status, 0);
    struct Step {
        std::vector<std::string> args;
        int status;
        const char *says;
    };
    const std::vector<Step> steps = {
        {{"set", "state", "hb1", "node2", "online"},
         0,
         "tavik/hb1 on node2(2): unknown -> online (changes 1)"},
        {{"set", "state", "hb1", "3", "2"}, 0, "tavik/hb1 on node3(3): unknown -> offline (changes 2)"},
        {{"set", "state", "hb1", "node9", "online"}, 1, "no node named or numbered \"node9\""},
        {{"set", "state", "hb9", "node1", "online"}, 1, "no resource tavik/hb9"},
        {{"set", "state", "hb1", "node1", "up"}, 1, "state: \"up\""},
        {{"set", "action", "0x2000005", "--type", "resume"}, 0, "action 0x02000005 (was 0x00000000)"},
        {{"set", "action", "later"}, 1, "action: \"later\""},
        {{"set", "waitstat", "1"}, 0, "waitstat 1 (was 0)"},
        {{"set", "waitstat", "2"}, 1, "neither 0 nor 1"},
        {{"set", "ratio", "0"}, 1, "at least 1"},
        {{"set", "ratio", "2", "--period", "7"}, 0, "ratio 2, period 7"},
        {{"set", "downnotify"}, 0, "down-notify semaphore given"},
    };
    for (const auto &step : steps) {
        Result r = run(step.args);
        EXPECT_EQ(r.status, step.status) << step.args[1] << ": " << r.out << r.err;
        EXPECT_TRUE(has(r.out + r.err, step.says)) << r.out << r.err;
    }
    setenv("TAVIK_IPC_NAME", name_.c_str(), 1);
    int action = 0, ratio = 0, period = 0, waitstat = 0, stat = 0;
    char acttype[32];
    ASSERT_EQ(sem_attach() | shmcm_attach() | shmnm_attach(), 0);
    EXPECT_EQ(shmcm_getaction(&action, acttype, 0), 0);
    EXPECT_EQ(action, 0x2000005);
    EXPECT_STREQ(acttype, "resume");
    EXPECT_EQ(shmcm_getratio(&ratio, &period), 0);
    EXPECT_EQ(ratio * 100 + period, 207);
    EXPECT_EQ(shmnm_getwaitstat(&waitstat), 0);
    EXPECT_EQ(waitstat, 1);
    EXPECT_EQ(shmnm_getrscsvstat("tavik", "hb1", 2, &stat), 0);
    EXPECT_EQ(stat, 1);
    EXPECT_EQ(sem_wait_downnotify(0), 0);
    ipctest::detach_all();
    unsetenv("TAVIK_IPC_NAME");
}

TEST_F(TavikctlTest, InitRefusesToReplaceWithoutForceAndNamesBadConfiguration) {
    ASSERT_EQ(run({"init", "--config", config_}).status, 0);
    Result r = run({"init", "--config", config_});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(has(r.err, "exists already")) << r.err;
    EXPECT_TRUE(has(r.err, "--force")) << r.err;
    r = run({"init", "--config", config_, "--force"});
    EXPECT_EQ(r.status, 0) << r.err;

    const std::string bad = (dir_ / "bad.xml").string();
    const std::vector<std::pair<std::string, std::string>> configs = {
        {"<root>\n<server name=\"a\"><priority>x</priority></server></root>",
         bad + ":2: server \"a\" has no integer <priority>"},
        {"<root><server name=\"a\"><priority>1</priority></server><server "
         "name=\"b\"><priority>1</priority></server></root>",
         "priority 1, which another node has already"},
        {"<root><heartbeat/></root>", "no <server> element"},
        {"<root><server name=\"a\"><priority>1</priority></server><heartbeat><tavik "
         "name=\"a-name-longer-than-31-characters\">"
         "<priority>1</priority></tavik></heartbeat></root>",
         "more than 31"},
        {"<root><server", "malformed XML"},
    };
    for (const auto &[text, says] : configs) {
        write(bad, text);
        r = run({"init", "--force", "--config", bad});
        EXPECT_EQ(r.status, 1) << text;
        EXPECT_TRUE(has(r.err, says)) << r.err;
    }
    // A refused configuration did not replace the namespace that was there.
    r = run({"status", "--json"});
    ASSERT_EQ(r.status, kNoDaemon) << r.err;
    EXPECT_EQ(nlohmann::json::parse(r.out)["resources"][0]["nodes"].size(), 3u);
    r = run({"init", "--config", (dir_ / "missing.xml").string()});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(has(r.err, "missing.xml")) << r.err;
}

TEST_F(TavikctlTest, WatchRedrawsOnChangeAndStopsOnSigterm) {
    ASSERT_EQ(run({"init", "--config", config_}).status, 0);
    int out[2];
    ASSERT_EQ(pipe(out), 0);
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        dup2(out[1], 1);
        close(out[0]);
        execl(TAVIKCTL_PATH, TAVIKCTL_PATH, "status", "--watch", "--json", "--name", name_.c_str(),
              static_cast<char *>(nullptr));
        _exit(127);
    }
    close(out[1]);
    std::string got;
    // Reads until `count` lines arrived or two seconds passed.
    auto read_lines = [&](std::size_t count) {
        auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(2);
        while (static_cast<std::size_t>(std::count(got.begin(), got.end(), '\n')) < count &&
               std::chrono::steady_clock::now() < deadline) {
            pollfd p{out[0], POLLIN, 0};
            if (poll(&p, 1, 100) == 1) {
                char buf[4096];
                ssize_t n = read(out[0], buf, sizeof buf);
                if (n <= 0) {
                    break;
                }
                got.append(buf, static_cast<std::size_t>(n));
            }
        }
    };
    read_lines(1);
    ASSERT_TRUE(has(got, "\"changes\":0")) << got;
    ASSERT_EQ(run({"set", "state", "hb1", "node1", "online"}).status, 0);
    read_lines(2);
    kill(pid, SIGTERM);
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    close(out[0]);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
    ASSERT_EQ(std::count(got.begin(), got.end(), '\n'), 2) << got;
    nlohmann::json second = nlohmann::json::parse(got.substr(got.find('\n') + 1));
    EXPECT_EQ(second["changes"], 1);
    EXPECT_EQ(second["resources"][0]["nodes"][0]["state"], "online");
}

// ---- history, flapping and detection windows in `tavikctl status` --------------------

// The line of `text` that holds every one of `parts`, or empty.
std::string line_with(const std::string &text, std::initializer_list<std::string> parts) {
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        bool all = true;
        for (const auto &p : parts) {
            all = all && has(line, p);
        }
        if (all) {
            return line;
        }
    }
    return {};
}

TEST_F(TavikctlTest, StatusShowsSinceAndChangesOfEveryStateAndStatus) {
    const auto before_init = std::chrono::steady_clock::now();
    ASSERT_EQ(run({"init", "--config", config_}).status, 0);
    for (const char *state : {"online", "offline", "offline", "online"}) {  // the repeat is no change
        ASSERT_EQ(run({"set", "state", "hb1", "node2", state}).status, 0);
    }
    ASSERT_EQ(run({"set", "state", "hb1", "node3", "offline"}).status, 0);
    Result r = run({"status", "--json", "--config", config_});
    ASSERT_EQ(r.status, kNoDaemon) << r.err;
    // No state can be older than the namespace (a sanitizer build on a busy machine takes
    // seconds for these commands, so the bound is what passed, not a constant).
    const double since_init =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - before_init).count();
    nlohmann::json doc = nlohmann::json::parse(r.out);
    EXPECT_EQ(doc["changes"], 5);  // the change counter counts announcements, not changes
    const auto &nodes = doc["resources"][0]["nodes"];
    const std::vector<int> changes = {0, 3, 1};
    for (int n = 0; n < 3; ++n) {
        SCOPED_TRACE(n);
        EXPECT_EQ(nodes[n]["changes"], changes[n]);
        EXPECT_EQ(nodes[n]["last_change"].is_null(), changes[n] == 0);
        EXPECT_GE(nodes[n]["since_seconds"].get<double>(), 0.0);
        EXPECT_LE(nodes[n]["since_seconds"].get<double>(), since_init + 0.05);
        // The text and the number come from one snapshot.
        EXPECT_EQ(nodes[n]["since"],
                  std::to_string(static_cast<int>(nodes[n]["since_seconds"].get<double>())) + "s");
    }
    EXPECT_EQ(doc["resources"][0]["status_changes"], 0);
    EXPECT_TRUE(doc["resources"][0]["status_last_change"].is_null());
    EXPECT_EQ(doc["created"].get<std::string>().size(), std::string("2026-12-08T14:03:12.345Z").size());

    r = run({"status", "--config", config_});
    ASSERT_EQ(r.status, kNoDaemon) << r.err;
    EXPECT_TRUE(std::regex_search(r.out, std::regex(R"(\nhb1 +node2\(2\) +online +\d+s +3\n)"))) << r.out;
    EXPECT_TRUE(std::regex_search(r.out, std::regex(R"(\nhb1 +\(status\) +unknown +\d+s +0\n)"))) << r.out;
}

TEST_F(TavikctlTest, FlappingListsThePairsAboveTheCountWithinTheWindow) {
    ASSERT_EQ(run({"init", "--config", config_}).status, 0);
    for (int i = 0; i < 5; ++i) {
        ASSERT_EQ(run({"set", "state", "hb1", "node2", i % 2 == 0 ? "online" : "offline"}).status, 0);
    }
    ASSERT_EQ(run({"set", "state", "hb1", "node3", "online"}).status, 0);
    ASSERT_EQ(run({"set", "state", "hb1", "node3", "offline"}).status, 0);

    Result r = run({"status", "--flapping", "3"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(has(r.out, "1 pair changed more than 3 times in the last 10m0s")) << r.out;
    EXPECT_NE(line_with(r.out, {"hb1", "node2(2)", "online", "5"}), "") << r.out;
    EXPECT_FALSE(has(r.out, "node3(3)")) << r.out;

    r = run({"status", "--flapping", "1", "--json"});
    ASSERT_EQ(r.status, 0) << r.err;
    nlohmann::json doc = nlohmann::json::parse(r.out);
    ASSERT_EQ(doc["pairs"].size(), 2u) << r.out;
    EXPECT_EQ(doc["pairs"][0]["node"], "node2");  // the busiest first
    EXPECT_EQ(doc["pairs"][0]["changes_in_window"], 5);
    EXPECT_EQ(doc["pairs"][1]["node"], "node3");
    EXPECT_EQ(doc["pairs"][1]["changes_in_window"], 2);
    EXPECT_EQ(doc["window_seconds"], 600);

    // Once the window no longer reaches back to the changes, nothing flaps.
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    r = run({"status", "--flapping", "0", "--window", "1s"});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_TRUE(has(r.out, "no pair changed more than 0 times in the last 1s")) << r.out;
    ASSERT_EQ(run({"set", "state", "hb1", "node3", "online"}).status, 0);
    r = run({"status", "--flapping", "0", "--window", "1s", "--json"});
    ASSERT_EQ(r.status, 0) << r.err;
    doc = nlohmann::json::parse(r.out);
    ASSERT_EQ(doc["pairs"].size(), 1u) << r.out;
    EXPECT_EQ(doc["pairs"][0]["changes_in_window"], 1);
    EXPECT_EQ(doc["pairs"][0]["changes"], 3);

    struct Bad {
        std::vector<std::string> args;
        const char *says;
    };
    for (const Bad &bad :
         std::vector<Bad>{{{"status", "--flapping", "16"}, "at most 15"},
                          {{"status", "--flapping", "2", "--window", "5x"}, "--window: \"5x\""},
                          {{"status", "--flapping", "2", "--window", "0s"}, "is not a duration"},
                          {{"status", "--flapping", "2", "--watch"}, "cannot be combined"}}) {
        r = run(bad.args);
        EXPECT_EQ(r.status, 1) << bad.args.back();
        EXPECT_TRUE(has(r.err, bad.says)) << r.err;
    }
}

TEST_F(TavikctlTest, StatusGivesTheDetectionWindowsAtTheLiveRatio) {
    setenv("TAVIK_POLICY_DIR", TAVIK_TEST_POLICY_DIR, 1);
    const std::string timed = (dir_ / "timed.xml").string();
    std::string text = slurp(config_);
    text.replace(text.find("<root>\n"), 7,
                 "<root>\n  <cluster><heartbeat><timeout>4000</timeout><interval>1000</interval></heartbeat>"
                 "<delaywarn><heartbeat>80</heartbeat></delaywarn></cluster>\n");
    write(timed, text);
    ASSERT_EQ(run({"init", "--config", timed}).status, 0);
    Result r = run({"status", "--config", timed});
    ASSERT_EQ(r.status, kNoDaemon) << r.err;
    EXPECT_TRUE(has(r.out, "detection windows at ratio 1")) << r.out;
    EXPECT_NE(line_with(r.out, {"hb1", "3 s (time-out 1 s + poll 2 s)", "5 s (time-out 4 s + interval 1 s)",
                                "3.2 s (80 %)"}),
              "")
        << r.out;
    EXPECT_TRUE(has(r.out, "a hung host goes offline after at most 6 s (access time-out 4 s + poll 2 s)"))
        << r.out;

    ASSERT_EQ(run({"set", "ratio", "3"}).status, 0);
    r = run({"status", "--json", "--config", timed});
    ASSERT_EQ(r.status, kNoDaemon) << r.err;
    nlohmann::json d = nlohmann::json::parse(r.out)["detection"];
    EXPECT_EQ(d["ratio"], 3);
    EXPECT_EQ(d["bmc_window_s"], 3.0);  // the ratio leaves the BMC's time-out alone
    EXPECT_EQ(d["effective_timeout_s"], 12);
    EXPECT_EQ(d["watch_window_s"], 13.0);
    EXPECT_EQ(d["delay_warning_ticks"], sysconf(_SC_CLK_TCK) * 12 / 100 * 80);
    EXPECT_EQ(d["resources"][0]["name"], "hb1");
    EXPECT_EQ(d["resources"][0]["active"], true);
    EXPECT_EQ(d["warnings"].size(), 0u);

    // Without a readable configuration the rest is still shown, and says why not this.
    r = run({"status", "--config", (dir_ / "missing.xml").string()});
    ASSERT_EQ(r.status, kNoDaemon) << r.err;
    EXPECT_TRUE(has(r.out, "detection windows: not shown: ")) << r.out;
    EXPECT_TRUE(has(r.out, "missing.xml")) << r.out;
    r = run({"status", "--json", "--config", (dir_ / "missing.xml").string()});
    EXPECT_TRUE(nlohmann::json::parse(r.out)["detection"].is_null()) << r.out;
    unsetenv("TAVIK_POLICY_DIR");
}

}  // namespace
