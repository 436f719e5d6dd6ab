// SPDX-License-Identifier: GPL-3.0-or-later
// How the daemon runs: setsched's five keys with their defaults and corrections, what
// it applies to the process and what it logs, and setstacksz.
//
// setsched changes the nice value and scheduling policy of the calling thread, which
// here is the test's own: every case restores both, and the refused-nice case runs in a
// child process that gives up its privileges.
#include <grp.h>
#include <gtest/gtest.h>
#include <pthread.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#include <zvrxml.h>

#include <cerrno>
#include <optional>
#include <string>
#include <vector>

#include "diag/tavik_log.h"
#include "fakes.h"
#include "rules/stackmin.h"
#include "tavik/tavik.h"

namespace {

int current_nice() {
    errno = 0;
    return getpriority(PRIO_PROCESS, 0);
}

class Setsched : public testing::Test {
  protected:
    void SetUp() override {
        saved_nice_ = current_nice();
        saved_policy_ = sched_getscheduler(0);
        sched_getparam(0, &saved_param_);
        fake::reset();
        tavik_reset_globals();
        xmllib_init("tavik");
        xmllib_load_config();
        tavik_loginit();  // reads policy "tavik" too: count calls from here
        first_call_ = fake::calls().size();
        first_log_ = fake::logs().size();
    }
    void TearDown() override {
        restore();
        tavik_logterm();
    }

    void restore() const {
        sched_setscheduler(0, saved_policy_, &saved_param_);
        setpriority(PRIO_PROCESS, 0, saved_nice_);
    }

    // Whether this process may take a real-time policy / a lower nice value at all;
    // the probe leaves everything as it was.
    bool realtime_allowed() const {
        sched_param p = {};
        p.sched_priority = 1;
        bool ok = sched_setscheduler(0, SCHED_FIFO, &p) == 0;
        restore();
        return ok;
    }
    bool lower_nice_allowed() const {
        bool ok = setpriority(PRIO_PROCESS, 0, -20) == 0;
        restore();
        return ok;
    }

    std::vector<fake::Call> new_calls() const {
        auto all = fake::calls();
        return {all.begin() + static_cast<long>(first_call_), all.end()};
    }
    std::vector<fake::LogRecord> new_logs() const {
        auto all = fake::logs();
        return {all.begin() + static_cast<long>(first_log_), all.end()};
    }
    std::vector<std::string> texts_at(int level) const {
        std::vector<std::string> out;
        for (const auto &r : new_logs()) {
            if (r.level == level) {
                out.push_back(r.text);
            }
        }
        return out;
    }

    int saved_nice_ = 0;
    int saved_policy_ = SCHED_OTHER;
    sched_param saved_param_ = {};
    size_t first_call_ = 0;
    size_t first_log_ = 0;
};

TEST_F(Setsched, NoKeysTakesTheDefaults) {
    const bool may_lower = lower_nice_allowed();
    bmlock = 1;
    bwatchth = 0;
    EXPECT_EQ(setsched(), 0);

    std::vector<std::string> calls;
    for (const auto &c : new_calls()) {
        calls.push_back(c.name + " " + c.args);
    }
    // Keys in their order, each with its type and its own buffer size.
    EXPECT_EQ(calls, (std::vector<std::string>{
                         "xmllib_load_policy tavik", "xmllib_get_value /root/tavik/nice,1,4",
                         "xmllib_get_value /root/tavik/mlock,0,16",
                         "xmllib_get_value /root/tavik/sched/schedule,1,4",
                         "xmllib_get_value /root/tavik/sched/priority,1,4",
                         "xmllib_get_value /root/tavik/watchth,1,4", "xmllib_unload_policy tavik"}));
    std::vector<std::string> errors = {
        "xmllib_get_value(/root/tavik/nice) failed(ret:" + std::to_string(XMLLIB_E_NO_KEY) + ")",
        "xmllib_get_value(/root/tavik/mlock) failed(ret:" + std::to_string(XMLLIB_E_NO_KEY) + ")",
        "xmllib_get_value(/root/tavik/sched/schedule) failed(ret:" + std::to_string(XMLLIB_E_NO_KEY) + ")",
        "xmllib_get_value(/root/tavik/sched/priority) failed(ret:" + std::to_string(XMLLIB_E_NO_KEY) + ")",
        "xmllib_get_value(/root/tavik/watchth) failed(ret:" + std::to_string(XMLLIB_E_NO_KEY) + ")",
    };
    EXPECT_EQ(texts_at(LV_ERROR), errors);
    EXPECT_EQ(texts_at(LV_TRACE), (std::vector<std::string>{"<<< ENTER >>>", "<<< EXIT >>> : 0x00000000"}));
    EXPECT_EQ(bmlock, 0);
    EXPECT_EQ(bwatchth, 1);
    // -20 is requested; without the privilege for it only the refusal shows.
    if (may_lower) {
        EXPECT_EQ(current_nice(), -20);
        EXPECT_TRUE(texts_at(LV_WARN).empty());
    } else {
        EXPECT_EQ(current_nice(), saved_nice_);
        EXPECT_EQ(texts_at(LV_WARN), std::vector<std::string>{"setpriority(-20) failed(errno:13)"});
    }
    EXPECT_EQ(sched_getscheduler(0), saved_policy_);
}

struct MlockCase {
    const char *name;
    std::optional<std::string> text;  // none: an integer where a text belongs
    int bmlock;
    const char *error;  // the failed read's line, if any
    friend void PrintTo(const MlockCase &c, std::ostream *os) { *os << c.name; }
};

class Mlock : public Setsched, public testing::WithParamInterface<MlockCase> {};

TEST_P(Mlock, LocksOnlyForYesInAnyCase) {
    const MlockCase &c = GetParam();
    if (c.text) {
        fake::set_str("/root/tavik/mlock", *c.text);
    } else {
        fake::set_int("/root/tavik/mlock", 1);
    }
    bmlock = c.bmlock == 1 ? 0 : 1;  // start from the other value
    EXPECT_EQ(setsched(), 0);
    EXPECT_EQ(bmlock, c.bmlock);
    EXPECT_EQ(fake::has_log("/root/tavik/mlock", LV_ERROR), c.error != nullptr);
    if (c.error != nullptr) {
        EXPECT_TRUE(fake::has_log(c.error, LV_ERROR));
    }
}

// 17 and 22: the library's XMLLIB_E_TYPE_MISMATCH and XMLLIB_E_TOO_LONG.
static_assert(XMLLIB_E_TYPE_MISMATCH == 17 && XMLLIB_E_TOO_LONG == 22);
INSTANTIATE_TEST_SUITE_P(
    Setsched, Mlock,
    testing::Values(MlockCase{"Yes", "Yes", 1, nullptr}, MlockCase{"yes", "yes", 1, nullptr},
                    MlockCase{"YES", "YES", 1, nullptr}, MlockCase{"yEs", "yEs", 1, nullptr},
                    MlockCase{"y", "y", 0, nullptr}, MlockCase{"true", "true", 0, nullptr},
                    MlockCase{"no", "no", 0, nullptr}, MlockCase{"Empty", "", 0, nullptr},
                    MlockCase{"TrailingBlank", "yes ", 0, nullptr},
                    MlockCase{"NotAText", std::nullopt, 0,
                              "xmllib_get_value(/root/tavik/mlock) failed(ret:17)"},
                    MlockCase{"TooLongForItsBuffer", "yesyesyesyesyesy", 0,
                              "xmllib_get_value(/root/tavik/mlock) failed(ret:22)"}),
    [](const testing::TestParamInfo<MlockCase> &param_info) { return std::string(param_info.param.name); });

struct SchedCase {
    const char *name;
    std::optional<int> schedule;
    std::optional<int> priority;
    int used;       // the priority the call is made with
    bool accepted;  // whether a system that allows real-time policies takes it
    friend void PrintTo(const SchedCase &c, std::ostream *os) { *os << c.name; }
};

class Schedule : public Setsched, public testing::WithParamInterface<SchedCase> {};

TEST_P(Schedule, CorrectsThePriorityAndLogsWhatItAskedFor) {
    const SchedCase &c = GetParam();
    const bool rt = realtime_allowed();
    if (c.schedule) {
        fake::set_int("/root/tavik/sched/schedule", *c.schedule);
    }
    if (c.priority) {
        fake::set_int("/root/tavik/sched/priority", *c.priority);
    }
    fake::set_int("/root/tavik/nice", saved_nice_);  // keep the nice value out of it
    EXPECT_EQ(setsched(), 0);
    const int policy = sched_getscheduler(0);
    sched_param param = {};
    sched_getparam(0, &param);
    restore();  // before anything else can run under a real-time policy

    if (!c.schedule || *c.schedule == 0) {
        EXPECT_TRUE(texts_at(LV_WARN).empty()) << "schedule 0 changes and logs nothing";
        EXPECT_EQ(policy, saved_policy_);
        return;
    }
    EXPECT_EQ(texts_at(LV_WARN),
              std::vector<std::string>{"sched_setscheduler(sched:" + std::to_string(*c.schedule) +
                                       ",pri:" + std::to_string(c.used) + ")"});
    if (rt && c.accepted) {
        EXPECT_EQ(policy, *c.schedule);
        EXPECT_EQ(param.sched_priority, c.used);
    } else {
        EXPECT_EQ(policy, saved_policy_) << "a refused policy leaves the process as it was";
    }
}

INSTANTIATE_TEST_SUITE_P(Setsched, Schedule,
                         testing::Values(SchedCase{"FifoPriority0", 1, 0, 1, true},
                                         SchedCase{"FifoPriorityMinus5", 1, -5, 1, true},
                                         SchedCase{"FifoPriority100", 1, 100, 1, true},
                                         SchedCase{"FifoPriority99", 1, 99, 99, true},
                                         SchedCase{"FifoPriority1", 1, 1, 1, true},
                                         SchedCase{"FifoNoPriority", 1, std::nullopt, 1, true},
                                         SchedCase{"RoundRobinPriority10", 2, 10, 10, true},
                                         SchedCase{"UnknownPolicy", 77, 5, 5, false},
                                         SchedCase{"UnknownPolicyPriority0", 77, 0, 1, false},
                                         SchedCase{"BatchRefusesAPriority", 3, 5, 5, false},
                                         SchedCase{"Schedule0KeepsThePolicy", 0, 50, 0, false},
                                         SchedCase{"NoScheduleKey", std::nullopt, 50, 0, false}),
                         [](const testing::TestParamInfo<SchedCase> &param_info) {
                             return std::string(param_info.param.name);
                         });

TEST_F(Setsched, AppliesTheNiceValueAndTheWatchSwitch) {
    if (!lower_nice_allowed()) {
        GTEST_SKIP() << "a raised nice value could not be lowered again";
    }
    fake::set_int("/root/tavik/nice", 7);
    for (int watchth : {0, 5}) {
        fake::set_int("/root/tavik/watchth", watchth);
        EXPECT_EQ(setsched(), 0);
        EXPECT_EQ(bwatchth, watchth);
        EXPECT_EQ(current_nice(), 7);
    }
    EXPECT_TRUE(texts_at(LV_WARN).empty());
}

TEST_F(Setsched, PolicyNotLoadableChangesNothing) {
    fake::fail("xmllib_load_policy", 1, 6);
    fake::set_int("/root/tavik/nice", 7);
    fake::set_str("/root/tavik/mlock", "yes");
    fake::set_int("/root/tavik/sched/schedule", 77);
    fake::set_int("/root/tavik/watchth", 0);
    EXPECT_EQ(setsched(), 6);
    EXPECT_EQ(new_calls().size(), 1u) << "no key is read, nothing unloaded";
    EXPECT_EQ(texts_at(LV_ERROR), std::vector<std::string>{"xmllib_load_policy(tavik) failed(ret:6)"});
    EXPECT_TRUE(texts_at(LV_WARN).empty());
    EXPECT_EQ(texts_at(LV_TRACE), (std::vector<std::string>{"<<< ENTER >>>", "<<< EXIT >>> : 0x00000006"}));
    EXPECT_EQ(current_nice(), saved_nice_);
    EXPECT_EQ(sched_getscheduler(0), saved_policy_);
    EXPECT_EQ(bmlock, 0);
    EXPECT_EQ(bwatchth, 1);
}

TEST_F(Setsched, FailedUnloadIsLoggedAndTheSettingsStillApply) {
    if (!lower_nice_allowed()) {
        GTEST_SKIP() << "a raised nice value could not be lowered again";
    }
    fake::fail("xmllib_unload_policy", 1, 3);
    fake::set_int("/root/tavik/nice", 4);
    fake::set_str("/root/tavik/mlock", "yes");
    EXPECT_EQ(setsched(), 0);
    ASSERT_FALSE(texts_at(LV_ERROR).empty());
    EXPECT_EQ(texts_at(LV_ERROR).back(), "xmllib_unload_policy(tavik) failed(ret:3)");
    EXPECT_EQ(current_nice(), 4);
    EXPECT_EQ(bmlock, 1);
}

// Exit codes of the unprivileged child below.
enum ChildResult { kChildOk = 0, kChildNoDrop = 2, kChildResult = 3, kChildNoRefusal = 4, kChildStopped = 5 };

TEST_F(Setsched, NiceValueRefusedWithoutPrivilegeIsLoggedAndStartupGoesOn) {
    fake::set_int("/root/tavik/sched/schedule", 77);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // No nice headroom and, for root, no capabilities either.
        rlimit none = {0, 0};
        if (setrlimit(RLIMIT_NICE, &none) != 0 ||
            (geteuid() == 0 && (setgroups(0, nullptr) != 0 || setresgid(65534, 65534, 65534) != 0 ||
                                setresuid(65534, 65534, 65534) != 0))) {
            _exit(kChildNoDrop);
        }
        if (setsched() != 0) {
            _exit(kChildResult);
        }
        if (!fake::has_log("setpriority(-20) failed(errno:13)", LV_WARN)) {
            _exit(kChildNoRefusal);
        }
        // The refusal stops nothing: the scheduling step and the exit still follow.
        if (!fake::has_log("sched_setscheduler(sched:77,pri:1)", LV_WARN) ||
            !fake::has_log("<<< EXIT >>> : 0x00000000", LV_TRACE)) {
            _exit(kChildStopped);
        }
        _exit(kChildOk);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), kChildOk);
}

// ---- setstacksz ----

struct StackCase {
    const char *name;
    int thstacksz;
    std::optional<size_t> applied;  // the size the attribute object ends with; none: the default
    std::string setline;            // level-8 line of the change, or the start of its level-1 failure
    int setlevel;
    friend void PrintTo(const StackCase &c, std::ostream *os) { *os << c.name; }
};

class Stack : public Setsched, public testing::WithParamInterface<StackCase> {};

TEST_P(Stack, AppliesTheConfiguredSizeOrKeepsTheDefault) {
    const StackCase &c = GetParam();
    pthread_attr_t attr;
    ASSERT_EQ(pthread_attr_init(&attr), 0);
    size_t initial = 0;
    pthread_attr_getstacksize(&attr, &initial);
    thstacksz = c.thstacksz;
    EXPECT_EQ(setstacksz(&attr), 0);
    size_t size = 0;
    pthread_attr_getstacksize(&attr, &size);
    pthread_attr_destroy(&attr);
    EXPECT_EQ(size, c.applied.value_or(initial));

    std::vector<std::string> expected_detail = {"pthread_attr_getstacksize(" + std::to_string(initial) + ")"};
    if (c.setlevel == LV_DETAIL) {
        expected_detail.push_back(c.setline);
    }
    EXPECT_EQ(texts_at(LV_DETAIL), expected_detail);
    auto errors = texts_at(LV_ERROR);
    if (c.setlevel == LV_ERROR) {
        ASSERT_EQ(errors.size(), 1u);
        EXPECT_EQ(errors[0].rfind(c.setline, 0), 0u) << errors[0];
    } else {
        EXPECT_TRUE(errors.empty());
    }
    EXPECT_EQ(texts_at(LV_TRACE), (std::vector<std::string>{"<<< ENTER >>>", "<<< EXIT >>> : 0x00000000"}));
}

INSTANTIATE_TEST_SUITE_P(
    Setstacksz, Stack,
    testing::Values(StackCase{"SystemDefault", 0, std::nullopt, "", 0},
                    StackCase{"Smallest", kMinStackSize, kMinStackSize,
                              "pthread_attr_setstacksize(" + std::to_string(kMinStackSize) + ")", LV_DETAIL},
                    StackCase{"OneMegabyte", 1 << 20, 1 << 20, "pthread_attr_setstacksize(1048576)",
                              LV_DETAIL},
                    StackCase{"BelowTheSystemMinimum", 1000, std::nullopt,
                              "pthread_attr_setstacksize(1000) failed(ret:22,errno:", LV_ERROR}),
    [](const testing::TestParamInfo<StackCase> &param_info) { return std::string(param_info.param.name); });

}  // namespace
