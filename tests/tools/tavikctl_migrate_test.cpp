// SPDX-License-Identifier: GPL-3.0-or-later
// Namespaces that earlier releases wrote, as an operator upgrading a node meets them:
// every layout before the current one has a fixture (the bytes both segments held, with
// that release's `status --json` of them), is read as it stands, and is migrated by the
// service's `init --if-missing` with everything it held. Changing the layout without a
// fixture and a migration for the one before fails here.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <semaphore.h>
#include <sys/wait.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>

#include "ipc_support.h"

namespace {

namespace fs = std::filesystem;
using nlohmann::json;

struct Ran {
    int status = -1;
    std::string out;
};

Ran tavikctl(const std::string &args) {
    Ran r;
    FILE *p = popen((std::string(TAVIKCTL_PATH) + " " + args + " 2>&1").c_str(), "r");
    char buf[4096];
    for (std::size_t n; (n = std::fread(buf, 1, sizeof buf, p)) > 0;) {
        r.out.append(buf, n);
    }
    int st = pclose(p);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return r;
}

fs::path fixture(int layout) {
    return fs::path(TAVIK_IPC_FIXTURES) / ("layout-" + std::to_string(layout));
}

// The fixture's segments under a namespace of the test's own, with semaphores.
void install(int layout, const std::string &ns) {
    for (const char *seg : {"nm", "cm"}) {
        fs::copy_file(fixture(layout) / seg, "/dev/shm/" + ns + "." + seg);
        fs::permissions("/dev/shm/" + ns + "." + seg, fs::perms::owner_read | fs::perms::owner_write);
    }
    for (const char *sem : {".statchange", ".downnotify"}) {
        sem_t *s = sem_open(("/" + ns + sem).c_str(), O_CREAT | O_EXCL, 0600, 0u);
        ASSERT_NE(s, SEM_FAILED);
        sem_close(s);
    }
}

// Everything a release showed of a namespace that a later one must still show.
void expect_same_content(const json &want, const json &got, const std::string &when) {
    SCOPED_TRACE(when);
    for (const char *key : {"ratio", "period", "action", "acttype", "waitstat", "changes", "created"}) {
        EXPECT_EQ(got[key], want[key]) << key;
    }
    ASSERT_EQ(got["resources"].size(), want["resources"].size());
    for (std::size_t r = 0; r < want["resources"].size(); ++r) {
        const json &wr = want["resources"][r], &gr = got["resources"][r];
        for (const char *key :
             {"name", "type", "priority", "status_code", "status_changes", "status_last_change"}) {
            EXPECT_EQ(gr[key], wr[key]) << wr["name"] << " " << key;
        }
        ASSERT_EQ(gr["nodes"].size(), wr["nodes"].size());
        for (std::size_t n = 0; n < wr["nodes"].size(); ++n) {
            for (const char *key : {"name", "id", "state_code", "changes", "last_change"}) {
                EXPECT_EQ(gr["nodes"][n][key], wr["nodes"][n][key]) << wr["name"] << " " << key;
            }
        }
    }
    // The audit ring of a layout that had one keeps every entry, newest first.
    if (want.contains("daemon") && want["daemon"].contains("audit")) {
        const json &wa = want["daemon"]["audit"], &ga = got["daemon"]["audit"];
        const std::size_t added = ga.size() - std::min(ga.size(), wa.size());
        for (std::size_t i = 0; i < wa.size() && i + added < ga.size(); ++i) {
            EXPECT_EQ(ga[i + added], wa[i]) << "audit entry " << i;
        }
    }
}

class FixtureTest : public ::testing::TestWithParam<int> {
  protected:
    void TearDown() override { ipc_destroy(ns_.c_str()); }
    std::string ns_ = ipctest::unique_name("fix");
};

// The rule: each layout before the current one has its fixture.
TEST(LayoutFixtures, EveryEarlierLayoutHasOne) {
    for (int layout = 2; layout < ipc_layout_version(); ++layout) {
        EXPECT_TRUE(fs::exists(fixture(layout) / "nm") && fs::exists(fixture(layout) / "expected.json"))
            << "layout " << layout
            << " has no fixture: record it with tests/platform/ipc/fixtures/make-fixture.sh "
            << "and the tag of the last release that wrote it";
    }
}

TEST_P(FixtureTest, ReadAsItStandsThenMigratedWithEverything) {
    const int layout = GetParam();
    if (!fs::exists(fixture(layout) / "nm")) {
        GTEST_SKIP() << "no fixture of layout " << layout;
    }
    install(layout, ns_);
    const json want = json::parse(std::ifstream(fixture(layout) / "expected.json"));
    const std::string name = " --name " + ns_;

    Ran before = tavikctl("status --json" + name);
    ASSERT_NE(before.status, 3) << before.out;
    json read = json::parse(before.out.substr(before.out.find('{')));
    EXPECT_EQ(read["layout"], layout);
    expect_same_content(want, read, "read as it stands");

    Ran init = tavikctl("init --if-missing --config " +
                        (fs::path(TAVIK_IPC_FIXTURES) / "cluster.xml").string() + name);
    ASSERT_EQ(init.status, 0) << init.out;
    const bool older = layout < ipc_layout_version();
    EXPECT_EQ(init.out.find("migrated from layout " + std::to_string(layout)) != std::string::npos, older)
        << init.out;

    Ran after = tavikctl("status --json" + name);
    json migrated = json::parse(after.out.substr(after.out.find('{')));
    EXPECT_EQ(migrated["layout"], ipc_layout_version());
    expect_same_content(want, migrated, "migrated");
    if (older) {
        EXPECT_EQ(migrated["daemon"]["audit"][0]["what"], "migrate") << after.out;
    }
    // Migrated once is migrated for good: the next start leaves it as it is.
    EXPECT_NE(tavikctl("init --if-missing --config " +
                       (fs::path(TAVIK_IPC_FIXTURES) / "cluster.xml").string() + name)
                  .out.find("left as it is"),
              std::string::npos);
}

// The current layout's own fixture too, so the next change has one to start from.
INSTANTIATE_TEST_SUITE_P(Layouts, FixtureTest, ::testing::Range(2, ipc_layout_version() + 1));

}  // namespace
