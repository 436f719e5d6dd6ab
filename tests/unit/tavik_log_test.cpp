// SPDX-License-Identifier: GPL-3.0-or-later
// The daemon's log channel over the fake log library.
#include "diag/tavik_log.h"

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>
#include <zvrxml.h>

#include <cstdlib>
#include <string>

#include "fakes.h"
#include "tavik/tavik.h"

namespace {

class LogChannel : public testing::Test {
  protected:
    void SetUp() override {
        fake::reset();
        tavik_reset_globals();
        xmllib_init("tavik");
        xmllib_load_config();
    }
    void TearDown() override { tavik_logterm(); }
};

TEST_F(LogChannel, WritesNothingWhileClosed) {
    TLOG(LV_ERROR, "before %d", 1);
    tavik_loginit();
    tavik_logterm();
    TLOG(LV_ERROR, "after %d", 2);
    EXPECT_TRUE(fake::logs().empty());
    tavik_logterm();  // closing twice is harmless
}

TEST_F(LogChannel, OpensWithConfiguredLevelAndSizeOnce) {
    fake::set_int("/root/tavik/log/level", 63);
    fake::set_int("/root/tavik/log/size", 5000);
    tavik_loginit();
    fake::set_int("/root/tavik/log/level", 1);
    tavik_loginit();
    EXPECT_EQ(fake::count_calls("log_init"), 1);
    EXPECT_EQ(fake::count_calls("log_init", "tavik,63,5000,0"), 1);
    EXPECT_EQ(fake::count_calls("xmllib_unload_policy", "tavik"), 1);
}

TEST_F(LogChannel, TakesDefaultsWithoutPolicyOrKeys) {
    fake::fail("xmllib_load_policy", 1, 6);
    tavik_loginit();
    tavik_logterm();
    tavik_loginit();  // policy loads now, but no keys are set
    EXPECT_EQ(fake::count_calls("log_init", "tavik,4,1000000,0"), 2);
}

TEST_F(LogChannel, RecordsCarrySourceAndCutLongTexts) {
    tavik_loginit();
    const int line = __LINE__ + 1;
    TLOG(LV_DETAIL, "value %s", "x");
    taviklog(LV_ERROR, "f.cpp", 1, "fn", nullptr);
    std::string longtext(5000, 'a');
    TLOG(LV_ERROR, "%s", longtext.c_str());
    auto logs = fake::logs();
    ASSERT_EQ(logs.size(), 2u) << "a null format writes nothing";
    EXPECT_EQ(logs[0].level, LV_DETAIL);
    EXPECT_EQ(logs[0].file, "tavik_log_test.cpp");
    EXPECT_EQ(logs[0].line, line);
    EXPECT_EQ(logs[0].func, "TestBody");
    EXPECT_EQ(logs[0].text, "value x");
    EXPECT_EQ(logs[1].text, std::string(4095, 'a'));
}

// A record the channel's level filters out is never formatted: its only argument is a
// string in a page that cannot be read, so formatting it would crash the child process.
TEST_F(LogChannel, RecordsBelowTheChannelLevelAreNotFormatted) {
    fake::set_int("/root/tavik/log/level", LV_INFO);
    fake::set_log_threshold(LV_INFO);
    tavik_loginit();
    const long page = sysconf(_SC_PAGESIZE);
    void *guard =
        mmap(nullptr, static_cast<std::size_t>(page), PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    ASSERT_NE(guard, MAP_FAILED);
    for (int level : {LV_DETAIL, LV_DUMP, LV_TRACE}) {
        EXPECT_EXIT(
            {
                TLOG(level, "%s", static_cast<const char *>(guard));
                std::_Exit(fake::logs().empty() ? 0 : 1);
            },
            testing::ExitedWithCode(0), "")
            << "level " << level;
    }
    for (int level : {LV_ERROR, LV_WARN, LV_INFO}) {
        TLOG(level, "kept %d", level);
    }
    ASSERT_EQ(fake::logs().size(), 3u);
    EXPECT_EQ(fake::logs()[2].text, "kept 4");
    munmap(guard, static_cast<std::size_t>(page));
}

}  // namespace
