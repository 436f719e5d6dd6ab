// SPDX-License-Identifier: GPL-3.0-or-later
// The cooperative cancellation of the worker threads and the sleep clock: where a
// request takes effect, what the join sees, that clean-up runs exactly once, and that
// virtual-clock sleepers wake exactly at their deadline.
#include "tavik/thctl.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <ctime>
#include <fstream>
#include <functional>
#include <latch>
#include <limits>
#include <mutex>
#include <string>
#include <thread>

namespace {

using Body = std::function<void *()>;
using Clock = std::chrono::steady_clock;

char kDone[] = "done";

void *run_body(void *arg) {
    return (*static_cast<Body *>(arg))();
}

pthread_t spawn(Body &body) {
    pthread_t th{};
    EXPECT_EQ(thctl_create(&th, nullptr, run_body, &body), 0);
    return th;
}

// True as soon as flag is set; false when it stayed clear for ms milliseconds.
bool becomes_true(const std::atomic<bool> &flag, int ms) {
    auto deadline = Clock::now() + std::chrono::milliseconds(ms);
    while (!flag && Clock::now() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return flag;
}

class Thctl : public testing::Test {
  protected:
    void TearDown() override { thctl_virtual_clock(false); }
};

enum class Point { Test, Sleep };

class CancelPoint : public Thctl, public testing::WithParamInterface<Point> {};

TEST_P(CancelPoint, RequestWhileDisabledWaitsForTheNextEnabledPoint) {
    const Point point = GetParam();
    std::latch disabled(1);
    std::latch requested(1);
    std::atomic<int> reached{0};
    Body body = [&]() -> void * {
        thctl_setcancelstate(THCTL_CANCEL_DISABLE, nullptr);
        disabled.count_down();
        requested.wait();
        thctl_testcancel();  // disabled: no point
        reached = 1;
        thctl_sleep_us(1000);  // disabled: a plain sleep
        reached = 2;
        thctl_setcancelstate(THCTL_CANCEL_ENABLE, nullptr);  // enabling is not a point itself
        reached = 3;
        if (point == Point::Test) {
            thctl_testcancel();
        } else {
            thctl_sleep_us(30ULL * 1000 * 1000);
        }
        reached = 4;
        return kDone;
    };
    pthread_t th = spawn(body);
    disabled.wait();
    ASSERT_EQ(thctl_cancel(th), 0);
    requested.count_down();
    const auto start = Clock::now();
    void *result = nullptr;
    ASSERT_EQ(thctl_join(th, &result), 0);
    EXPECT_EQ(result, PTHREAD_CANCELED);
    EXPECT_EQ(reached, 3);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(10)) << "the enabled sleep was not cut short";
}

INSTANTIATE_TEST_SUITE_P(Thctl, CancelPoint, testing::Values(Point::Test, Point::Sleep),
                         [](const testing::TestParamInfo<Point> &param_info) {
                             return param_info.param == Point::Test ? std::string("Test")
                                                                    : std::string("Sleep");
                         });

TEST_F(Thctl, RequestDuringAnEnabledSleepEndsItAtOnce) {
    std::atomic<bool> woke{false};
    Body body = [&]() -> void * {
        // Longer than any test may take, and longer than a single wait can express.
        thctl_sleep_us(std::numeric_limits<uint64_t>::max());
        woke = true;
        return kDone;
    };
    pthread_t th = spawn(body);
    ASSERT_TRUE(thctl_wait_sleepers(1, 5000));
    EXPECT_FALSE(becomes_true(woke, 100)) << "an endless sleep ended by itself";
    // Sleeping means waiting, not spinning.
    clockid_t cpu;
    ASSERT_EQ(pthread_getcpuclockid(th, &cpu), 0);
    timespec used{};
    clock_gettime(cpu, &used);
    EXPECT_LT(used.tv_sec * 1000000000L + used.tv_nsec, 50L * 1000 * 1000);

    const auto start = Clock::now();
    ASSERT_EQ(thctl_cancel(th), 0);
    void *result = nullptr;
    ASSERT_EQ(thctl_join(th, &result), 0);
    EXPECT_EQ(result, PTHREAD_CANCELED);
    EXPECT_FALSE(woke);
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(5));
}

// How often a thread of this process went to sleep: once per wake-up it had.
long sleeps_of(pid_t tid) {
    std::ifstream in("/proc/self/task/" + std::to_string(tid) + "/status");
    for (std::string line; std::getline(in, line);) {
        if (line.rfind("voluntary_ctxt_switches:", 0) == 0) {
            return std::stol(line.substr(line.find(':') + 1));
        }
    }
    return -1;
}

TEST_F(Thctl, ASleepIsNotWokenWhenTheOtherWorkerStartsSleeping) {
    std::atomic<pid_t> tid{0};
    Body sleeper = [&]() -> void * {
        tid = gettid();
        thctl_sleep_us(std::numeric_limits<uint64_t>::max());
        return kDone;
    };
    pthread_t th = spawn(sleeper);
    ASSERT_TRUE(thctl_wait_sleepers(1, 5000));
    const long before = sleeps_of(tid);
    ASSERT_GE(before, 0);
    Body napper = [&]() -> void * {
        for (int i = 0; i < 20; ++i) {
            thctl_sleep_us(1000);
        }
        return kDone;
    };
    pthread_t other = spawn(napper);
    ASSERT_EQ(thctl_join(other, nullptr), 0);
    EXPECT_LT(sleeps_of(tid) - before, 5) << "the long sleep woke for the other worker's naps";
    ASSERT_EQ(thctl_cancel(th), 0);
    ASSERT_EQ(thctl_join(th, nullptr), 0);
}

TEST_F(Thctl, DisabledSleepIsNotCutShortByARequest) {
    thctl_virtual_clock(true);
    std::atomic<bool> slept{false};
    Body body = [&]() -> void * {
        thctl_setcancelstate(THCTL_CANCEL_DISABLE, nullptr);
        thctl_sleep_us(10000);
        slept = true;
        thctl_setcancelstate(THCTL_CANCEL_ENABLE, nullptr);
        thctl_testcancel();
        return kDone;
    };
    pthread_t th = spawn(body);
    ASSERT_TRUE(thctl_wait_sleepers(1, 5000));
    ASSERT_EQ(thctl_cancel(th), 0);
    EXPECT_FALSE(becomes_true(slept, 100));
    thctl_advance_us(10000);
    EXPECT_TRUE(becomes_true(slept, 5000));
    void *result = nullptr;
    ASSERT_EQ(thctl_join(th, &result), 0);
    EXPECT_EQ(result, PTHREAD_CANCELED);
}

// ---- clean-up ----

enum class WayOut { CancelledInSleep, CancelledInTest, ReturnsPoppingToRun, ReturnsPoppingToDrop };

struct CleanupCase {
    const char *name;
    WayOut way;
    std::string ran;  // routines in the order they finished
    bool cancelled;
    friend void PrintTo(const CleanupCase &c, std::ostream *os) { *os << c.name; }
};

struct CleanupLog {
    std::mutex mutex;
    std::string ran;
    void add(char c) {
        std::lock_guard lock(mutex);
        ran += c;
    }
};

// Reaches cancellation points of its own while the worker is being cancelled: they
// must not start the exit a second time.
void cleanup_b(void *arg) {
    thctl_testcancel();
    thctl_sleep_us(0);
    static_cast<CleanupLog *>(arg)->add('B');
}

void cleanup_a(void *arg) {
    static_cast<CleanupLog *>(arg)->add('A');
}

class Cleanup : public Thctl, public testing::WithParamInterface<CleanupCase> {};

TEST_P(Cleanup, RunsOnceOnEitherWayOut) {
    const CleanupCase &c = GetParam();
    CleanupLog log;
    std::latch pushed(1);
    std::latch requested(1);
    Body body = [&]() -> void * {
        thctl_cleanup_push(cleanup_a, &log);
        thctl_cleanup_push(cleanup_b, &log);
        pushed.count_down();
        requested.wait();
        switch (c.way) {
            case WayOut::CancelledInSleep:
                thctl_sleep_us(30ULL * 1000 * 1000);
                break;
            case WayOut::CancelledInTest:
                thctl_testcancel();
                break;
            case WayOut::ReturnsPoppingToRun:
            case WayOut::ReturnsPoppingToDrop: {
                // Done with the points: nothing may end this worker any more.
                thctl_setcancelstate(THCTL_CANCEL_DISABLE, nullptr);
                const int execute = c.way == WayOut::ReturnsPoppingToRun ? 1 : 0;
                thctl_cleanup_pop(execute);
                thctl_cleanup_pop(execute);
                thctl_cleanup_pop(1);  // nothing left: harmless
                break;
            }
        }
        return kDone;
    };
    pthread_t th = spawn(body);
    pushed.wait();
    ASSERT_EQ(thctl_cancel(th), 0);
    requested.count_down();
    void *result = nullptr;
    ASSERT_EQ(thctl_join(th, &result), 0);
    EXPECT_EQ(result, c.cancelled ? PTHREAD_CANCELED : static_cast<void *>(kDone));
    EXPECT_EQ(log.ran, c.ran);
}

INSTANTIATE_TEST_SUITE_P(
    Thctl, Cleanup,
    testing::Values(CleanupCase{"CancelledInSleep", WayOut::CancelledInSleep, "BA", true},
                    CleanupCase{"CancelledInTest", WayOut::CancelledInTest, "BA", true},
                    CleanupCase{"ReturnsPoppingToRun", WayOut::ReturnsPoppingToRun, "BA", false},
                    CleanupCase{"ReturnsPoppingToDrop", WayOut::ReturnsPoppingToDrop, "", false}),
    [](const testing::TestParamInfo<CleanupCase> &param_info) { return std::string(param_info.param.name); });

// ---- requests and joins of threads that are not (or no longer) workers ----

TEST_F(Thctl, UnknownOrJoinedThreadGivesEsrch) {
    errno = 0;
    EXPECT_EQ(thctl_cancel(pthread_self()), ESRCH);
    EXPECT_EQ(errno, ESRCH);
    EXPECT_EQ(thctl_join(pthread_self(), nullptr), ESRCH);

    std::atomic<bool> returned{false};
    Body body = [&]() -> void * {
        returned = true;
        return kDone;
    };
    pthread_t th = spawn(body);
    ASSERT_TRUE(becomes_true(returned, 5000));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    // Ended but not joined: the request is still taken, and changes nothing.
    EXPECT_EQ(thctl_cancel(th), 0);
    void *result = nullptr;
    ASSERT_EQ(thctl_join(th, &result), 0);
    EXPECT_EQ(result, kDone);

    EXPECT_EQ(thctl_cancel(th), ESRCH);
    EXPECT_EQ(thctl_join(th, &result), ESRCH);
}

TEST_F(Thctl, CancellationStateBelongsToWorkers) {
    int old = -1;
    EXPECT_EQ(thctl_setcancelstate(THCTL_CANCEL_DISABLE, &old), EINVAL) << "the main thread is no worker";
    EXPECT_EQ(old, -1);

    std::atomic<int> first{-1};
    std::atomic<int> second{-1};
    std::atomic<int> bad{-1};
    Body body = [&]() -> void * {
        int prev = -1;
        thctl_setcancelstate(THCTL_CANCEL_DISABLE, &prev);
        first = prev;
        thctl_setcancelstate(THCTL_CANCEL_ENABLE, &prev);
        second = prev;
        bad = thctl_setcancelstate(7, nullptr);
        return kDone;
    };
    pthread_t th = spawn(body);
    ASSERT_EQ(thctl_join(th, nullptr), 0);
    EXPECT_EQ(first, THCTL_CANCEL_ENABLE) << "workers start enabled";
    EXPECT_EQ(second, THCTL_CANCEL_DISABLE);
    EXPECT_EQ(bad, EINVAL);
}

// ---- the virtual clock ----

TEST_F(Thctl, VirtualSleepersWakeExactlyAtTheirDeadline) {
    thctl_virtual_clock(true);
    const uint64_t t0 = thctl_now_us();
    std::atomic<bool> short_woke{false};
    std::atomic<bool> long_woke{false};
    std::thread shorter([&] {
        thctl_sleep_us(100000);
        short_woke = true;
    });
    std::thread longer([&] {
        thctl_sleep_us(300000);
        long_woke = true;
    });
    ASSERT_TRUE(thctl_wait_sleepers(2, 5000));
    // Real time passing moves nothing.
    EXPECT_FALSE(becomes_true(short_woke, 50));
    EXPECT_EQ(thctl_now_us(), t0);

    thctl_advance_us(99999);
    EXPECT_FALSE(becomes_true(short_woke, 100)) << "woke 1 us early";
    thctl_advance_us(1);
    EXPECT_TRUE(becomes_true(short_woke, 5000));
    EXPECT_FALSE(becomes_true(long_woke, 100));
    thctl_advance_us(199999);
    EXPECT_FALSE(becomes_true(long_woke, 100)) << "woke 1 us early";
    thctl_advance_us(5);  // past the deadline counts as well
    EXPECT_TRUE(becomes_true(long_woke, 5000));
    EXPECT_EQ(thctl_now_us() - t0, 300004u);
    shorter.join();
    longer.join();
}

TEST_F(Thctl, SwitchingTheClockEndsSleepsTakenOnTheOther) {
    thctl_virtual_clock(true);
    std::atomic<bool> woke{false};
    std::thread sleeper([&] {
        thctl_sleep_us(10ULL * 1000 * 1000);
        woke = true;
    });
    ASSERT_TRUE(thctl_wait_sleepers(1, 5000));
    thctl_virtual_clock(false);
    EXPECT_TRUE(becomes_true(woke, 5000));
    sleeper.join();

    woke = false;
    std::thread real_sleeper([&] {
        thctl_sleep_us(10ULL * 1000 * 1000);
        woke = true;
    });
    ASSERT_TRUE(thctl_wait_sleepers(1, 5000));
    thctl_virtual_clock(true);
    EXPECT_TRUE(becomes_true(woke, 5000));
    real_sleeper.join();

    // Each switch to virtual time starts from the same point.
    thctl_virtual_clock(true);
    const uint64_t t0 = thctl_now_us();
    thctl_advance_us(5);
    thctl_virtual_clock(true);
    EXPECT_EQ(thctl_now_us(), t0);
}

}  // namespace
