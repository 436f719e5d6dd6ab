// SPDX-License-Identifier: GPL-3.0-or-later
// The change history the library keeps in the node-manager segment: a write counts only
// when it changes the value, whoever writes (the daemon's calls or the admin calls); the
// times of the last change and of the latest sixteen; the history seen from another
// process and kept apart per pair under concurrent writers. The fixture is set up and torn
// down on the test's thread; one case writes from several threads at once.
#include <sys/wait.h>
#include <time.h>

#include <thread>

#include "ipc_support.h"

namespace {

using ipctest::NamespaceTest;

long long mono_now() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return t.tv_sec * 1000000000LL + t.tv_nsec;
}

long long wall_now() {
    timespec t{};
    clock_gettime(CLOCK_REALTIME, &t);
    return t.tv_sec * 1000000000LL + t.tv_nsec;
}

struct SnapshotDeleter {
    void operator()(zvripc_snapshot *s) const { ipc_snapshot_free(s); }
};
using Snap = std::unique_ptr<zvripc_snapshot, SnapshotDeleter>;

class HistoryTest : public NamespaceTest {
  protected:
    void SetUp() override {
        NamespaceTest::SetUp();
        create();
        attach();
        ASSERT_EQ(ipc_open(name_.c_str(), &handle_), ZVRIPC_OK) << ipc_last_error();
    }
    void TearDown() override {
        ipc_close(handle_);
        NamespaceTest::TearDown();
    }
    Snap snap() {
        zvripc_snapshot *s = nullptr;
        EXPECT_EQ(ipc_snapshot(handle_, &s), ZVRIPC_OK) << ipc_last_error();
        return Snap(s);
    }
    // Resource r (0 hb1, 1 hb2, 2 disk) on node n (0..2, ids 1..3).
    static const zvripc_history &pair(const Snap &s, int r, int n) {
        return s->state_history[r * s->node_count + n];
    }

    zvripc_handle *handle_ = nullptr;
};

// One write: through the daemon's operations or through the admin ones.
struct Write {
    bool daemon;
    bool status;  // a resource status instead of a (resource, node) state
    const char *rsc;
    int node;  // id
    int value;
};

int apply(zvripc_handle *h, const Write &w) {
    const char *type = std::string(w.rsc) == "disk" ? "other" : "tavik";
    if (w.status) {
        return w.daemon ? shmnm_setrscstat(type, w.rsc, w.value) : ipc_set_status(h, type, w.rsc, w.value);
    }
    return w.daemon ? shmnm_setrscsvstat(type, w.rsc, w.node, w.value)
                    : ipc_set_state(h, type, w.rsc, w.node, w.value);
}

TEST_F(HistoryTest, OnlyWritesThatChangeTheValueCount) {
    struct Step {
        Write write;
        int result;
        unsigned long long hb1_node2, hb1_status, disk_node3;  // counts after the step
    };
    // A new namespace holds 9 everywhere, so writing 9 is no change.
    const std::vector<Step> steps = {
        {{true, false, "hb1", 2, 9}, ZVRIPC_OK, 0, 0, 0},
        {{true, false, "hb1", 2, 2}, ZVRIPC_OK, 1, 0, 0},
        {{true, false, "hb1", 2, 2}, ZVRIPC_OK, 1, 0, 0},
        {{false, false, "hb1", 2, 1}, ZVRIPC_OK, 2, 0, 0},
        {{false, false, "hb1", 2, 1}, ZVRIPC_OK, 2, 0, 0},
        {{true, false, "hb1", 2, 3}, ZVRIPC_EARG, 2, 0, 0},       // refused value
        {{true, false, "hb1", 7, 2}, ZVRIPC_ENOTFOUND, 2, 0, 0},  // no such node
        {{true, true, "hb1", 0, 4}, ZVRIPC_OK, 2, 1, 0},
        {{false, true, "hb1", 0, 4}, ZVRIPC_OK, 2, 1, 0},
        {{false, true, "hb1", 0, 0}, ZVRIPC_OK, 2, 2, 0},
        {{true, true, "hb1", 0, 1}, ZVRIPC_EARG, 2, 2, 0},
        {{false, false, "disk", 3, 15}, ZVRIPC_OK, 2, 2, 1},
    };
    for (std::size_t i = 0; i < steps.size(); ++i) {
        const Step &step = steps[i];
        SCOPED_TRACE("step " + std::to_string(i));
        Snap before = snap();
        const long long t0 = mono_now();
        const long long w0 = wall_now();
        EXPECT_EQ(apply(handle_, step.write), step.result) << ipc_last_error();
        const long long t1 = mono_now();
        const long long w1 = wall_now();
        Snap after = snap();
        EXPECT_EQ(pair(after, 0, 1).changes, step.hb1_node2);
        EXPECT_EQ(after->status_history[0].changes, step.hb1_status);
        EXPECT_EQ(pair(after, 2, 2).changes, step.disk_node3);
        // Whatever changed got the time of this write; everything else kept its history.
        for (int r = 0; r < after->rsc_count; ++r) {
            for (int n = 0; n < after->node_count; ++n) {
                const zvripc_history &a = pair(after, r, n);
                const zvripc_history &b = pair(before, r, n);
                if (a.changes != b.changes) {
                    EXPECT_EQ(a.changes, b.changes + 1);
                    EXPECT_GE(a.last_mono_ns, t0);
                    EXPECT_LE(a.last_mono_ns, t1);
                    EXPECT_GE(a.last_wall_ns, w0);
                    EXPECT_LE(a.last_wall_ns, w1);
                    EXPECT_EQ(a.recent_mono_ns[0], a.last_mono_ns);
                } else {
                    EXPECT_EQ(a.last_mono_ns, b.last_mono_ns) << r << "/" << n;
                    EXPECT_EQ(a.last_wall_ns, b.last_wall_ns) << r << "/" << n;
                }
            }
        }
    }
    Snap s = snap();
    EXPECT_EQ(pair(s, 0, 0).changes, 0u);
    EXPECT_EQ(pair(s, 0, 0).last_wall_ns, 0);
    EXPECT_EQ(pair(s, 0, 0).recent_count, 0);
    EXPECT_EQ(pair(s, 0, 1).recent_count, 2);
    EXPECT_GT(pair(s, 0, 1).recent_mono_ns[0], pair(s, 0, 1).recent_mono_ns[1]);
}

TEST_F(HistoryTest, KeepsTheTimesOfTheLatestSixteenChanges) {
    std::vector<long long> between;  // a time after each change
    for (int i = 0; i < 20; ++i) {
        ASSERT_EQ(shmnm_setrscsvstat("tavik", "hb2", 3, i % 2 == 0 ? 1 : 2), ZVRIPC_OK);
        between.push_back(mono_now());
    }
    Snap s = snap();
    const zvripc_history &h = pair(s, 1, 2);
    EXPECT_EQ(h.changes, 20u);
    ASSERT_EQ(h.recent_count, ZVRIPC_HISTORY_RECENT);
    EXPECT_EQ(h.recent_mono_ns[0], h.last_mono_ns);
    for (int i = 0; i + 1 < ZVRIPC_HISTORY_RECENT; ++i) {
        EXPECT_GT(h.recent_mono_ns[i], h.recent_mono_ns[i + 1]) << i;
    }
    // The oldest time kept is that of change 5 (of 1..20): after change 4, before 5.
    EXPECT_GT(h.recent_mono_ns[ZVRIPC_HISTORY_RECENT - 1], between[3]);
    EXPECT_LE(h.recent_mono_ns[ZVRIPC_HISTORY_RECENT - 1], between[4]);
    struct Ask {
        long long since;
        int count;
    };
    for (const Ask &a : std::vector<Ask>{{between[9], 10},
                                         {between[18], 1},
                                         {between[19], 0},
                                         {between[2], ZVRIPC_HISTORY_RECENT},
                                         {0, ZVRIPC_HISTORY_RECENT}}) {
        EXPECT_EQ(ipc_history_changes_since(&h, a.since), a.count) << a.since;
    }
    EXPECT_EQ(ipc_history_changes_since(nullptr, 0), 0);
    EXPECT_EQ(ipc_history_changes_since(&pair(s, 0, 0), 0), 0);
}

TEST_F(HistoryTest, CreationTimeAndSnapshotTimeFrameTheHistory) {
    Snap first = snap();
    EXPECT_GT(first->created_mono_ns, 0);
    EXPECT_LE(first->created_mono_ns, first->taken_mono_ns);
    EXPECT_LE(first->created_wall_ns, first->taken_wall_ns);
    EXPECT_LT(first->taken_mono_ns - first->created_mono_ns, 60LL * 1000000000);
    ASSERT_EQ(shmnm_setrscsvstat("tavik", "hb1", 1, 1), ZVRIPC_OK);
    Snap second = snap();
    EXPECT_EQ(second->created_mono_ns, first->created_mono_ns);
    EXPECT_GE(pair(second, 0, 0).last_mono_ns, first->taken_mono_ns);
    EXPECT_LE(pair(second, 0, 0).last_mono_ns, second->taken_mono_ns);
}

TEST_F(HistoryTest, AnotherProcessSeesTheHistoryItsWritesMade) {
    pid_t pid = fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        // A second attacher, as the daemon is: its own mapping of the same segment.
        ipctest::detach_all();
        int rc = sem_attach() | shmcm_attach() | shmnm_attach();
        for (int i = 0; rc == 0 && i < 100; ++i) {
            rc = shmnm_setrscsvstat("tavik", "hb2", 1, i % 2 == 0 ? 1 : 2);
        }
        _exit(rc == 0 ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    Snap s = snap();
    EXPECT_EQ(pair(s, 1, 0).changes, 100u);
    EXPECT_EQ(s->states[1 * s->node_count + 0], 2);
}

TEST_F(HistoryTest, ConcurrentWritersOfDifferentPairsKeepEachCountExact) {
    constexpr int kToggles = 500;
    std::vector<std::thread> threads;
    const std::vector<std::pair<const char *, int>> pairs = {{"hb1", 1}, {"hb1", 2}, {"hb2", 1}, {"hb2", 3}};
    for (const auto &[rsc, node] : pairs) {
        threads.emplace_back([rsc = rsc, node = node, this] {
            for (int i = 0; i < kToggles; ++i) {
                // The daemon's call and the admin call alternate, as the daemon and
                // `tavikctl set` would on one node.
                int state = i % 2 == 0 ? 1 : 2;
                int rc = i % 4 < 2 ? shmnm_setrscsvstat("tavik", rsc, node, state)
                                   : ipc_set_state(handle_, "tavik", rsc, node, state);
                ASSERT_EQ(rc, ZVRIPC_OK);
            }
        });
    }
    std::thread status_writer([] {
        for (int i = 0; i < kToggles; ++i) {
            ASSERT_EQ(shmnm_setrscstat("tavik", "hb2", i % 2 == 0 ? 0 : 3), ZVRIPC_OK);
        }
    });
    for (auto &t : threads) {
        t.join();
    }
    status_writer.join();
    Snap s = snap();
    EXPECT_EQ(pair(s, 0, 0).changes, static_cast<unsigned long long>(kToggles));
    EXPECT_EQ(pair(s, 0, 1).changes, static_cast<unsigned long long>(kToggles));
    EXPECT_EQ(pair(s, 1, 0).changes, static_cast<unsigned long long>(kToggles));
    EXPECT_EQ(pair(s, 1, 2).changes, static_cast<unsigned long long>(kToggles));
    EXPECT_EQ(pair(s, 1, 1).changes, 0u);
    EXPECT_EQ(s->status_history[1].changes, static_cast<unsigned long long>(kToggles));
    EXPECT_EQ(s->status_history[0].changes, 0u);
}

}  // namespace
