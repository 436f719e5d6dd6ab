// SPDX-License-Identifier: GPL-3.0-or-later
// The daemon's signals as its parent sees them: the dispositions it sets, signals that
// must change nothing, SIGTERM, SIGUSR1 at points of start-up and shutdown where no
// worker can be cancelled, and how the daemon's threads run (scheduling, memory lock),
// read from /proc.
#include <gtest/gtest.h>
#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "daemon_runner.h"

using nlohmann::json;

namespace {

constexpr int kStartMs = 5000;
constexpr int kExitMs = 10000;
constexpr int kSettleMs = 300;

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kSanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool kSanitized = true;
#else
constexpr bool kSanitized = false;
#endif
#else
constexpr bool kSanitized = false;
#endif

// A small cluster the table can be built from: this host and one peer on one resource.
json cluster_scenario(const json &config = json::object(), const json &extra = json::object()) {
    const std::string host = DaemonRunner::host_name();
    json cfg = {{"/root/heartbeat/tavik@hb1/device", 0},
                {"/root/server@" + host + "/device@0/info", "127.0.1.1"},
                {"/root/server@peer/device@0/info", "127.0.1.2"}};
    cfg.update(config);
    json scenario = {{"config", cfg},
                     {"nodes", json::array({json::array({host, 1}), json::array({"peer", 2})})},
                     {"resources", json::array({json::array({"hb1", 1})})}};
    scenario.update(extra);
    return scenario;
}

// A gate file unique to this test process; the daemon's gated call waits for it.
class Gate {
  public:
    explicit Gate(const std::string &call)
        : path_(std::filesystem::temp_directory_path() /
                ("tavik-gate-" + std::to_string(getpid()) + "-" + call)) {
        std::filesystem::remove(path_);
    }
    ~Gate() { std::filesystem::remove(path_); }
    const std::string &path() const { return path_; }
    void open() const { std::ofstream(path_).put('\n'); }

  private:
    std::string path_;
};

std::string status_field(pid_t pid, const std::string &key, const std::string &task = "") {
    std::ifstream in("/proc/" + std::to_string(pid) + (task.empty() ? "" : "/task/" + task) + "/status");
    for (std::string line; std::getline(in, line);) {
        if (line.rfind(key + ":", 0) == 0) {
            return line.substr(key.size() + 1);
        }
    }
    return "";
}

uint64_t signal_mask(pid_t pid, const std::string &key, const std::string &task = "") {
    return std::stoull(status_field(pid, key, task), nullptr, 16);
}

constexpr uint64_t bit(int signo) {
    return 1ULL << (signo - 1);
}

// One thread of the daemon as /proc/<pid>/task/<tid>/stat shows it.
struct Task {
    std::string tid;
    std::string comm;
    char state;
    int nice;
    int policy;
};

std::vector<Task> tasks(pid_t pid) {
    std::vector<Task> out;
    const std::string dir = "/proc/" + std::to_string(pid) + "/task";
    for (const auto &entry : std::filesystem::directory_iterator(dir)) {
        std::ifstream in(entry.path() / "stat");
        std::ostringstream whole;
        whole << in.rdbuf();
        const std::string stat = whole.str();
        const auto open = stat.find('(');
        const auto close = stat.rfind(')');
        if (open == std::string::npos || close == std::string::npos) {
            continue;  // the thread ended under us
        }
        std::istringstream rest(stat.substr(close + 2));
        std::vector<std::string> fields;  // fields[0] is the state, field 3 of the line
        for (std::string f; rest >> f;) {
            fields.push_back(f);
        }
        out.push_back({entry.path().filename(), stat.substr(open + 1, close - open - 1), fields.at(0).at(0),
                       std::stoi(fields.at(16)), std::stoi(fields.at(38))});
    }
    return out;
}

char process_state(pid_t pid) {
    for (const auto &t : tasks(pid)) {
        if (t.tid == std::to_string(pid)) {
            return t.state;
        }
    }
    return '?';
}

// Waits until the trace has not grown for kSettleMs.
void await_quiet(const DaemonRunner &d) {
    size_t size = d.trace().size();
    for (int i = 0; i < 50; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(kSettleMs));
        size_t now = d.trace().size();
        if (now == size) {
            return;
        }
        size = now;
    }
}

// Lines added to the trace since `from` lines.
std::vector<std::string> since(const DaemonRunner &d, size_t from) {
    auto lines = d.trace();
    return {lines.begin() + static_cast<long>(std::min(from, lines.size())), lines.end()};
}

// Leaves signals ignored in the test process while the daemon is forked, so that the
// daemon inherits them through exec the way it would from any parent.
class InheritedIgnore {
  public:
    explicit InheritedIgnore(std::vector<int> signals) : signals_(std::move(signals)) {
        for (int s : signals_) {
            struct sigaction ign = {};
            ign.sa_handler = SIG_IGN;
            struct sigaction old = {};
            sigaction(s, &ign, &old);
            saved_.push_back(old);
        }
    }
    ~InheritedIgnore() { restore(); }
    void restore() {
        for (size_t i = 0; i < saved_.size(); ++i) {
            sigaction(signals_[i], &saved_[i], nullptr);
        }
        saved_.clear();
    }

  private:
    std::vector<int> signals_;
    std::vector<struct sigaction> saved_;
};

bool await_count(const DaemonRunner &d, const std::string &part, int n, int timeout_ms) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeout_ms);
    while (d.count(part) < n && std::chrono::steady_clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return d.count(part) >= n;
}

TEST(Signals, SetsTheDispositionsOfOneToThirtyAndLeavesTheRest) {
    constexpr int kRealtime = 40;  // a real-time signal glibc does not use itself
    InheritedIgnore inherited({SIGTERM, SIGSYS, kRealtime});
    DaemonRunner d(cluster_scenario());
    d.start();
    inherited.restore();
    ASSERT_TRUE(d.await_usr1(kStartMs));
    ASSERT_TRUE(d.await_trace("bwatchth:", kStartMs));

    uint64_t ignored = 0;
    for (int s : {1, 2, 3, 5, 7, 13, 14, 16, 18, 20, 21, 22, 23, 24, 25, 26, 27, 28, 29, 30}) {
        ignored |= bit(s);
    }
    uint64_t low30 = bit(31) - 1;
    const pid_t pid = d.pid();
    EXPECT_EQ(signal_mask(pid, "SigIgn") & low30, ignored) << "SigIgn " << status_field(pid, "SigIgn");
    const uint64_t caught = signal_mask(pid, "SigCgt");
    EXPECT_EQ(caught & (bit(SIGUSR1) | bit(SIGUSR2)), bit(SIGUSR1) | bit(SIGUSR2));
    EXPECT_EQ(caught & bit(SIGTERM), 0u) << "SIGTERM inherited as ignored must be back at its default";
    // 31 and above keep what the process inherited.
    EXPECT_NE(signal_mask(pid, "SigIgn") & bit(SIGSYS), 0u);
    EXPECT_NE(signal_mask(pid, "SigIgn") & bit(kRealtime), 0u);
    // The stop and start signals reach no thread but the signal thread's signalfd.
    for (const auto &t : tasks(pid)) {
        EXPECT_EQ(signal_mask(pid, "SigBlk", t.tid) & (bit(SIGUSR1) | bit(SIGUSR2)),
                  bit(SIGUSR1) | bit(SIGUSR2))
            << "thread " << t.tid << " (" << t.comm << ")";
    }

    d.signal(SIGUSR2);
    ASSERT_TRUE(d.await_trace("get signal(USR2):start hbcheckbmc", kStartMs));
    EXPECT_NE(signal_mask(pid, "SigIgn") & bit(SIGUSR2), 0u) << "SIGUSR2 is ignored after its first receipt";
    EXPECT_EQ(signal_mask(pid, "SigCgt") & bit(SIGUSR2), 0u);
    d.signal(SIGUSR1);
    EXPECT_EQ(d.wait_exit(kExitMs), 0);
}

TEST(Signals, IgnoredSignalsAndASecondSigusr2ChangeNothing) {
    // No watch thread, so that nothing but the signals could add to the trace.
    DaemonRunner d(cluster_scenario({{"/root/tavik/watchth", 0}}));
    d.start();
    ASSERT_TRUE(d.await_usr1(kStartMs));
    ASSERT_TRUE(d.await_trace("bwatchth: 0", kStartMs));
    await_quiet(d);
    const auto before = d.trace();
    for (int s : {SIGHUP, SIGINT, SIGQUIT, SIGPIPE, SIGALRM, SIGTSTP, SIGTTIN, SIGTTOU}) {
        d.signal(s);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(kSettleMs));
    EXPECT_EQ(d.trace(), before);
    char state = process_state(d.pid());
    EXPECT_TRUE(state == 'S' || state == 'R' || state == 'D') << "state " << state;

    d.signal(SIGUSR2);
    ASSERT_TRUE(d.await_trace("get signal(USR2):start hbcheckbmc", kStartMs));
    const size_t after_first = d.trace().size();
    d.signal(SIGUSR2);
    std::this_thread::sleep_for(std::chrono::milliseconds(kSettleMs));
    for (const auto &line : since(d, after_first)) {
        EXPECT_EQ(line.find("signal"), std::string::npos) << line;
    }
    EXPECT_EQ(d.count("get signal(USR2)"), 1);
    state = process_state(d.pid());
    EXPECT_TRUE(state == 'S' || state == 'R' || state == 'D') << "state " << state;

    // The stop still works as ever.
    d.signal(SIGUSR1);
    EXPECT_EQ(d.wait_exit(kExitMs), 0);
    EXPECT_GE(d.find("tavik shutting down"), 0);
}

TEST(Signals, SigtermEndsTheDaemonAtOnceWithoutItsShutdown) {
    InheritedIgnore inherited({SIGTERM});  // the daemon must restore the default itself
    DaemonRunner d(cluster_scenario());
    d.start();
    inherited.restore();
    ASSERT_TRUE(d.await_usr1(kStartMs));
    ASSERT_TRUE(d.await_trace("bwatchth:", kStartMs));
    d.signal(SIGTERM);
    EXPECT_EQ(d.wait_exit(kExitMs), 128 + SIGTERM);
    for (const char *part :
         {"get signal", "pthread_join", "CALL sem_wait_downnotify", "CALL bmc_SetZelvarinStatus 1,0x81",
          "CALL bmc_term", "CALL shmnm_detach", "tavik shutting down", "CALL log_term", "CALL xmllib_term"}) {
        EXPECT_EQ(d.find(part), -1) << "unexpected: " << part;
    }
}

struct EarlyStop {
    const char *name;
    const char *gated;    // the call start-up is held at
    const char *reached;  // the last trace line before the gate
    bool logged;          // whether the receipt can be logged yet
    friend void PrintTo(const EarlyStop &c, std::ostream *os) { *os << c.name; }
};

class EarlyStopTest : public testing::TestWithParam<EarlyStop> {};

TEST_P(EarlyStopTest, Sigusr1BeforeTheThreadsExistStillEndsWithStatusZero) {
    const EarlyStop &c = GetParam();
    Gate gate(c.gated);
    DaemonRunner d(cluster_scenario(json::object(), json{{"gates", {{c.gated, gate.path()}}}}));
    d.start();
    ASSERT_TRUE(d.await_trace(c.reached, kStartMs));
    d.signal(SIGUSR1);
    if (c.logged) {
        ASSERT_TRUE(d.await_trace("get signal(USR1):stop threads", kStartMs));
    } else {
        std::this_thread::sleep_for(std::chrono::milliseconds(kSettleMs));
    }
    gate.open();
    EXPECT_EQ(d.wait_exit(kExitMs), 0);
    EXPECT_EQ(d.drain_usr1(), 1) << "start-up still signals its parent once";
    EXPECT_EQ(d.count("get signal(USR1):stop threads"), c.logged ? 1 : 0);
    if (c.logged) {
        EXPECT_LT(d.find("get signal(USR1)"), d.find(std::string("CALL ") + c.gated));
    }
    // No thread existed to cancel: both leave by their first look at the stop flag.
    EXPECT_EQ(d.find("pthread_cancel("), -1);
    EXPECT_GE(d.find("pthread_join(watch) success(ret:0,thret:0)"), 0);
    EXPECT_GE(d.find("pthread_join(checkbmc) success(ret:0,thret:0)"), 0);
    EXPECT_GE(d.find("tavik shutting down"), 0);
}

INSTANTIATE_TEST_SUITE_P(
    Signals, EarlyStopTest,
    testing::Values(EarlyStop{"BeforeTheThreads", "libzvrbmc_init", "CALL xmllib_unload_config", true},
                    EarlyStop{"BeforeTheLogChannel", "log_init", "CALL xmllib_load_config", false}),
    [](const testing::TestParamInfo<EarlyStop> &param_info) { return param_info.param.name; });

TEST(Signals, SecondSigusr1AfterTheJoinsCancelsNothing) {
    Gate gate("sem_wait_downnotify");  // right after both joins
    DaemonRunner d(cluster_scenario(json::object(), json{{"gates", {{"sem_wait_downnotify", gate.path()}}}}));
    d.start();
    ASSERT_TRUE(d.await_usr1(kStartMs));
    ASSERT_TRUE(d.await_trace("bwatchth:", kStartMs));
    d.signal(SIGUSR1);
    ASSERT_TRUE(d.await_trace("pthread_join(checkbmc) success", kExitMs));
    d.signal(SIGUSR1);
    ASSERT_TRUE(await_count(d, "get signal(USR1):stop threads", 2, kStartMs));
    gate.open();
    EXPECT_EQ(d.wait_exit(kExitMs), 0);
    EXPECT_EQ(d.find("pthread_cancel("), -1) << "a joined thread was asked to stop";
    EXPECT_EQ(d.count("tavik shutting down"), 1);
}

TEST(Signals, SignalThreadRunsWithTheDaemonsNiceValueAndPolicy) {
    DaemonRunner d(cluster_scenario(
        {{"/root/tavik/nice", 7}, {"/root/tavik/sched/schedule", 2}, {"/root/tavik/sched/priority", 1}}));
    d.start();
    ASSERT_TRUE(d.await_usr1(kStartMs));
    ASSERT_TRUE(d.await_trace("bwatchth:", kStartMs));
    const std::string pid = std::to_string(d.pid());
    const auto all = tasks(d.pid());
    d.signal(SIGUSR1);
    EXPECT_EQ(d.wait_exit(kExitMs), 0);

    const Task *main = nullptr;
    const Task *sig = nullptr;
    for (const auto &t : all) {
        if (t.tid == pid) {
            main = &t;
        } else if (t.comm == "tavik-signal") {
            sig = &t;
        }
    }
    ASSERT_NE(main, nullptr);
    ASSERT_NE(sig, nullptr) << "no thread named tavik-signal";
    EXPECT_EQ(main->nice, 7);
    EXPECT_EQ(sig->nice, main->nice);
    EXPECT_EQ(sig->policy, main->policy);
    EXPECT_GE(d.find("sched_setscheduler(sched:2,pri:1)"), 0);
}

struct LockCase {
    const char *name;
    const char *mlock;
    bool locked;
    friend void PrintTo(const LockCase &c, std::ostream *os) { *os << c.name; }
};

class MemoryLock : public testing::TestWithParam<LockCase> {};

TEST_P(MemoryLock, LocksAllMemoryOnlyWhenAskedTo) {
    const LockCase &c = GetParam();
    if (kSanitized && c.locked) {
        GTEST_SKIP() << "locking a sanitizer's shadow memory would exhaust the machine";
    }
    DaemonRunner d(cluster_scenario({{"/root/tavik/mlock", c.mlock}}));
    d.start();
    ASSERT_TRUE(d.await_usr1(kStartMs));
    ASSERT_TRUE(d.await_trace("bwatchth:", kStartMs));
    const long locked_kb = std::stol(status_field(d.pid(), "VmLck"));
    d.signal(SIGUSR1);
    EXPECT_EQ(d.wait_exit(kExitMs), 0);
    if (d.find("mlockall() failed") >= 0) {
        EXPECT_TRUE(c.locked) << "locking was tried without being asked for";
        EXPECT_EQ(locked_kb, 0);
    } else if (c.locked) {
        EXPECT_GT(locked_kb, 0);
    } else {
        EXPECT_EQ(locked_kb, 0);
    }
}

INSTANTIATE_TEST_SUITE_P(Signals, MemoryLock,
                         testing::Values(LockCase{"Yes", "Yes", true}, LockCase{"No", "no", false}),
                         [](const testing::TestParamInfo<LockCase> &param_info) {
                             return param_info.param.name;
                         });

}  // namespace
