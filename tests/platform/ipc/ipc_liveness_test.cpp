// SPDX-License-Identifier: GPL-3.0-or-later
// The liveness block: the process attaching through zvripc.h recorded as the daemon, its
// threads stamped by the ratio and state reads they make, the supervisor's record and
// the audit ring.
#include <pthread.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstring>
#include <thread>

#include "ipc_support.h"
#include "zvripc_health.h"

namespace {

using ipctest::NamespaceTest;

class LivenessTest : public NamespaceTest {
  protected:
    zvripc_liveness read() {
        zvripc_handle *h = nullptr;
        EXPECT_EQ(ipc_open(name_.c_str(), &h), ZVRIPC_OK) << ipc_last_error();
        zvripc_liveness live{};
        EXPECT_EQ(ipc_liveness(h, &live), ZVRIPC_OK) << ipc_last_error();
        ipc_close(h);
        return live;
    }
};

TEST_F(LivenessTest, AttachRecordsTheDaemonAndItsThreadsAreStampedByKind) {
    create();
    EXPECT_EQ(read().daemon_pid, 0);
    attach();
    zvripc_liveness live = read();
    EXPECT_EQ(live.daemon_pid, getpid());
    EXPECT_EQ(live.daemon_start_ticks, ipc_process_start_ticks(getpid(), nullptr));
    EXPECT_NE(live.daemon_start_ticks, 0u);
    EXPECT_EQ(live.daemon_detached, 0);
    EXPECT_GT(live.attach_mono_ns, 0);

    // One thread per kind, as the daemon's watch and check threads call.
    int watch_tid = 0;
    int check_tid = 0;
    std::thread watch([&] {
        watch_tid = static_cast<int>(syscall(SYS_gettid));
        int ratio = 0;
        for (int i = 0; i < 3; ++i) {
            ASSERT_EQ(shmcm_getratio(&ratio, nullptr), ZVRIPC_OK);
        }
    });
    watch.join();
    std::thread check([&] {
        check_tid = static_cast<int>(syscall(SYS_gettid));
        int state = 0;
        ASSERT_EQ(shmnm_getrscsvstat("tavik", "hb1", 2, &state), ZVRIPC_OK);
        ASSERT_EQ(shmnm_getrscsvstat("tavik", "hb1", 3, &state), ZVRIPC_OK);
    });
    check.join();
    live = read();
    int found = 0;
    for (const zvripc_thread_stamp &t : live.threads) {
        if (t.tid == watch_tid) {
            ++found;
            EXPECT_EQ(t.pid, getpid());
            EXPECT_EQ(t.ratio_reads, 3u);
            EXPECT_EQ(t.state_reads, 0u);
            EXPECT_GE(t.ratio_mono_ns, live.attach_mono_ns);
        } else if (t.tid == check_tid) {
            ++found;
            EXPECT_EQ(t.state_reads, 2u);
            EXPECT_EQ(t.ratio_reads, 0u);
            EXPECT_GT(t.state_wall_ns, 0);
        }
    }
    EXPECT_EQ(found, 2);

    ASSERT_EQ(shmnm_detach(), ZVRIPC_OK);
    live = read();
    EXPECT_EQ(live.daemon_detached, 1);
    EXPECT_GE(live.detach_mono_ns, live.attach_mono_ns);
}

TEST_F(LivenessTest, SupervisorRecordAndAuditRingKeepTheNewest) {
    create();
    zvripc_handle *h = nullptr;
    ASSERT_EQ(ipc_open(name_.c_str(), &h), ZVRIPC_OK);
    zvripc_supervisor rec{};
    rec.pid = getpid();
    rec.child_pid = getppid();
    rec.phase = ZVRIPC_SUPERVISOR_BACKOFF;
    rec.restarts = 2;
    rec.last_exit = 137;
    ASSERT_EQ(ipc_set_supervisor(h, &rec), ZVRIPC_OK);
    const int total = ZVRIPC_AUDIT_RECORDS + 3;
    for (int i = 0; i < total; ++i) {
        std::string what = "change " + std::to_string(i) + std::string(40, 'x');  // longer than a field
        ASSERT_EQ(ipc_audit(h, what.c_str(), "a", "b"), ZVRIPC_OK);
    }
    zvripc_liveness live{};
    ASSERT_EQ(ipc_liveness(h, &live), ZVRIPC_OK);
    ipc_close(h);
    EXPECT_EQ(live.supervisor.pid, getpid());
    EXPECT_EQ(live.supervisor.start_ticks, ipc_process_start_ticks(getpid(), nullptr));
    EXPECT_EQ(live.supervisor.child_start_ticks, ipc_process_start_ticks(getppid(), nullptr));
    EXPECT_EQ(live.supervisor.restarts, 2);
    EXPECT_EQ(live.supervisor.last_exit, 137);
    EXPECT_EQ(live.audit_count, static_cast<unsigned long long>(total));
    ASSERT_EQ(live.audit_kept, ZVRIPC_AUDIT_RECORDS);
    for (int i = 0; i < ZVRIPC_AUDIT_RECORDS; ++i) {
        std::string want = ("change " + std::to_string(total - 1 - i) + std::string(40, 'x'))
                               .substr(0, ZVRIPC_AUDIT_TEXT - 1);
        EXPECT_EQ(std::string(live.audit[i].what), want) << i;
        EXPECT_EQ(live.audit[i].uid, getuid());
    }
}

TEST(ProcessStartTicks, TellsLiveReusedAndMissingProcessesApart) {
    char state = 0;
    EXPECT_NE(ipc_process_start_ticks(getpid(), &state), 0u);
    EXPECT_EQ(state, 'R');
    pid_t child = fork();
    if (child == 0) {
        _exit(0);
    }
    ASSERT_GT(child, 0);
    // A child that ended but was not reaped is a zombie; once reaped it is gone.
    while (ipc_process_start_ticks(child, &state) != 0 && state != 'Z') {
        usleep(1000);
    }
    waitpid(child, nullptr, 0);
    EXPECT_EQ(ipc_process_start_ticks(child, nullptr), 0u);
    EXPECT_EQ(ipc_process_start_ticks(-1, nullptr), 0u);
}

}  // namespace
