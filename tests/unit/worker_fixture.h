// SPDX-License-Identifier: GPL-3.0-or-later
// A fixture for tests that run a worker thread against the fakes in virtual time: every
// sleep moves the clock by its own length at once, so cycles of seconds take
// microseconds and their ticks are exact.
#pragma once

#include <gtest/gtest.h>
#include <pthread.h>
#include <zvrxml.h>

#include <functional>

#include "diag/tavik_log.h"
#include "fakes.h"
#include "tavik/tavik.h"
#include "tavik/thctl.h"

class WorkerTest : public testing::Test {
  protected:
    void SetUp() override {
        fake::reset();
        tavik_reset_globals();
        thctl_virtual_clock(true);
        thctl_virtual_clock_auto(true);
        tckconf = 100;
        bmcinit = 0;
        xmllib_init("tavik");
        xmllib_load_config();
        tavik_loginit();
    }

    void TearDown() override {
        thctl_set_sleep_hook({});
        tavik_logterm();
        thctl_virtual_clock(false);
    }

    // What the sleep hook does at one sleep: nothing, stop (bsigrecv), or cancel.
    enum class Act { none, stop, cancel };

    // Runs entry(arg) as a worker until it ends; `at_sleep` sees each sleep's number
    // (from 1) and length and says what to do there. Returns the thread's result.
    void *run(void *(*entry)(void *), void *arg, std::function<Act(int n, uint64_t usec)> at_sleep) {
        int n = 0;
        thctl_set_sleep_hook([&](uint64_t usec) {
            switch (at_sleep(++n, usec)) {
                case Act::stop:
                    bsigrecv = 1;
                    break;
                case Act::cancel:
                    thctl_cancel(pthread_self());
                    break;
                case Act::none:
                    break;
            }
        });
        pthread_t th;
        EXPECT_EQ(thctl_create(&th, nullptr, entry, arg), 0);
        void *result = nullptr;
        EXPECT_EQ(thctl_join(th, &result), 0);
        thctl_set_sleep_hook({});
        sleeps = n;
        return result;
    }

    // Stops after the nth sleep of length usec.
    static std::function<Act(int, uint64_t)> stop_after(int nth, uint64_t usec) {
        auto seen = std::make_shared<int>(0);
        return [=](int, uint64_t len) { return len == usec && ++*seen == nth ? Act::stop : Act::none; };
    }

    static bool canceled(void *result) { return result == PTHREAD_CANCELED; }
    static bool returned_zero(void *result) {
        return result != nullptr && result != PTHREAD_CANCELED &&
               std::string(static_cast<char *>(result)) == "0";
    }

    int sleeps = 0;
};
