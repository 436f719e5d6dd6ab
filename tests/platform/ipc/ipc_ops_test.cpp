// SPDX-License-Identifier: GPL-3.0-or-later
// The operations of zvripc.h and zvripc_admin.h against a real namespace: attach and
// detach, the two-call enumeration protocol with exact sizes, state and status reads and
// writes, the semaphores and the change counter, creation rules and permissions.
#include <fcntl.h>
#include <semaphore.h>
#include <sys/stat.h>

#include <cstring>
#include <functional>
#include <string>

#include "ipc_support.h"

namespace {

using ipctest::NamespaceTest;

std::string list_bytes(const char *buf, int size) {
    return std::string(buf, static_cast<std::size_t>(size));
}

TEST_F(NamespaceTest, EveryCallFailsUntilAttachedAndAttachFailsWithoutNamespace) {
    EXPECT_EQ(sem_attach(), ZVRIPC_ENOENT);
    EXPECT_EQ(shmcm_attach(), ZVRIPC_ENOENT);
    EXPECT_EQ(shmnm_attach(), ZVRIPC_ENOENT);
    int value = 0;
    char acttype[32];
    char buf[64];
    int size = sizeof buf;
    const std::vector<std::pair<const char *, std::function<int()>>> calls = {
        {"getwaitstat", [&] { return shmnm_getwaitstat(&value); }},
        {"downnotify", [&] { return sem_wait_downnotify(0); }},
        {"statchange", [&] { return sem_set_statchange(); }},
        {"getaction", [&] { return shmcm_getaction(&value, acttype, 0); }},
        {"getratio", [&] { return shmcm_getratio(&value, &value); }},
        {"enumrsc", [&] { return shmnm_enumrsc("tavik", buf, &size); }},
        {"enumnode", [&] { return shmnm_enumnode(buf, &size); }},
        {"getnodepri", [&] { return shmnm_getnodepri("node1", &value); }},
        {"getrscpri", [&] { return shmnm_getrscpri("tavik", "hb1", &value); }},
        {"getrscsvstat", [&] { return shmnm_getrscsvstat("tavik", "hb1", 1, &value); }},
        {"setrscsvstat", [&] { return shmnm_setrscsvstat("tavik", "hb1", 1, 1); }},
        {"setrscstat", [&] { return shmnm_setrscstat("tavik", "hb1", 0); }},
    };
    for (const auto &[what, call] : calls) {
        EXPECT_EQ(call(), ZVRIPC_ENOTATTACHED) << what;
    }
    // After create, attach and detach, the same calls fail the same way again.
    create();
    attach();
    ipctest::detach_all();
    ipctest::detach_all();  // repeating a detach is harmless
    for (const auto &[what, call] : calls) {
        EXPECT_EQ(call(), ZVRIPC_ENOTATTACHED) << what << " after detach";
    }
}

TEST_F(NamespaceTest, NewNamespaceHoldsTheDefaults) {
    create();
    attach();
    int waitstat = -1, action = -1, ratio = -1, period = -1;
    char acttype[32] = "garbage";
    EXPECT_EQ(shmnm_getwaitstat(&waitstat), 0);
    EXPECT_EQ(waitstat, 0);
    EXPECT_EQ(shmcm_getaction(&action, acttype, 0), 0);
    EXPECT_EQ(action, 0);
    EXPECT_STREQ(acttype, "");
    EXPECT_EQ(shmcm_getratio(&ratio, &period), 0);
    EXPECT_EQ(ratio, 1);
    EXPECT_EQ(period, 0);
    for (const auto &rsc : ipctest::resources()) {
        int pri = -1;
        EXPECT_EQ(shmnm_getrscpri(rsc.type, rsc.name, &pri), 0);
        EXPECT_EQ(pri, rsc.priority);
        for (const auto &node : ipctest::three_nodes()) {
            int stat = -1;
            EXPECT_EQ(shmnm_getrscsvstat(rsc.type, rsc.name, node.priority, &stat), 0);
            EXPECT_EQ(stat, 9) << rsc.name << " on " << node.name;
        }
    }
    for (const auto &node : ipctest::three_nodes()) {
        int pri = -1;
        EXPECT_EQ(shmnm_getnodepri(node.name, &pri), 0);
        EXPECT_EQ(pri, node.priority);
    }
}

struct ListCase {
    const char *what;
    std::function<int(char *, int *)> call;
    std::string expected;  // with both closing NULs
};

TEST_F(NamespaceTest, EnumerationsFollowTheTwoCallProtocolWithExactSizes) {
    create();
    attach();
    const std::vector<ListCase> cases = {
        {"nodes", [](char *b, int *s) { return shmnm_enumnode(b, s); },
         std::string("node1\0node2\0node3\0\0", 19)},
        {"tavik", [](char *b, int *s) { return shmnm_enumrsc("tavik", b, s); },
         std::string("hb1\0hb2\0\0", 9)},
        {"other", [](char *b, int *s) { return shmnm_enumrsc("other", b, s); }, std::string("disk\0\0", 6)},
        {"no such type", [](char *b, int *s) { return shmnm_enumrsc("none", b, s); }, std::string("\0\0", 2)},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        int size = 0;
        ASSERT_EQ(c.call(nullptr, &size), 0);
        ASSERT_EQ(size, static_cast<int>(c.expected.size()));

        // One byte short: refused, the buffer untouched, the needed size reported.
        std::vector<char> buf(64, '\x55');
        int shorter = size - 1;
        EXPECT_EQ(c.call(buf.data(), &shorter), ZVRIPC_ESIZE);
        EXPECT_EQ(shorter, size);
        EXPECT_EQ(std::count(buf.begin(), buf.end(), '\x55'), 64);

        // The exact size: filled, nothing written past it.
        int exact = size;
        ASSERT_EQ(c.call(buf.data(), &exact), 0);
        EXPECT_EQ(list_bytes(buf.data(), size), c.expected);
        EXPECT_EQ(buf[static_cast<std::size_t>(size)], '\x55');
    }
    int negative = -1;
    char buf[8];
    EXPECT_EQ(shmnm_enumnode(buf, &negative), ZVRIPC_EARG);
    EXPECT_EQ(shmnm_enumnode(buf, nullptr), ZVRIPC_EARG);
    EXPECT_EQ(shmnm_enumrsc(nullptr, buf, &negative), ZVRIPC_EARG);
}

TEST_F(NamespaceTest, EmptyNamespaceEnumeratesTheEmptyListAndSnapshots) {
    create({}, {});
    attach();
    int size = 0;
    ASSERT_EQ(shmnm_enumnode(nullptr, &size), 0);
    ASSERT_EQ(size, 2);
    char buf[2] = {'x', 'x'};
    int one = 1;
    EXPECT_EQ(shmnm_enumnode(buf, &one), ZVRIPC_ESIZE);
    EXPECT_EQ(buf[0], 'x');
    ASSERT_EQ(shmnm_enumnode(buf, &size), 0);
    EXPECT_EQ(list_bytes(buf, 2), std::string("\0\0", 2));

    // Nothing to copy must not mean a copy from or to a null buffer (UBSan in the asan
    // preset reports that; the ipc_segment fuzzer first did).
    zvripc_handle *handle = nullptr;
    ASSERT_EQ(ipc_open(name_.c_str(), &handle), 0) << ipc_last_error();
    zvripc_snapshot *snap = nullptr;
    ASSERT_EQ(ipc_snapshot(handle, &snap), 0) << ipc_last_error();
    EXPECT_EQ(snap->node_count, 0);
    EXPECT_EQ(snap->rsc_count, 0);
    ipc_snapshot_free(snap);
    ipc_close(handle);
}

TEST_F(NamespaceTest, StatesAndStatusesAreCheckedStoredAndSharedAtOnce) {
    create();
    attach();
    zvripc_handle *other = nullptr;
    ASSERT_EQ(ipc_open(name_.c_str(), &other), 0);

    for (int state : {1, 2, 9, 15}) {
        ASSERT_EQ(shmnm_setrscsvstat("tavik", "hb2", 3, state), 0);
        zvripc_snapshot *snap = nullptr;
        ASSERT_EQ(ipc_snapshot(other, &snap), 0);  // a second mapping sees it at once
        EXPECT_EQ(snap->states[1 * 3 + 2], state);
        EXPECT_EQ(snap->states[1 * 3 + 1], 9) << "a neighbour changed";
        ipc_snapshot_free(snap);
    }
    for (int bad : {0, 3, 4, -1, 16, 255}) {
        EXPECT_EQ(shmnm_setrscsvstat("tavik", "hb2", 3, bad), ZVRIPC_EARG) << bad;
    }
    int stat = 0;
    ASSERT_EQ(shmnm_getrscsvstat("tavik", "hb2", 3, &stat), 0);
    EXPECT_EQ(stat, 15) << "a refused value overwrote the state";

    for (int status : {0, 3, 4, 9, 15}) {
        ASSERT_EQ(shmnm_setrscstat("other", "disk", status), 0);
        zvripc_snapshot *snap = nullptr;
        ASSERT_EQ(ipc_snapshot(other, &snap), 0);
        EXPECT_EQ(snap->resources[2].status, status);
        EXPECT_EQ(snap->resources[0].status, 9);
        ipc_snapshot_free(snap);
    }
    for (int bad : {1, 2, 5, -1, 16}) {
        EXPECT_EQ(shmnm_setrscstat("other", "disk", bad), ZVRIPC_EARG) << bad;
    }

    // Unknown resources and nodes, including a right name under the wrong type.
    EXPECT_EQ(shmnm_getrscsvstat("tavik", "disk", 1, &stat), ZVRIPC_ENOTFOUND);
    EXPECT_EQ(shmnm_getrscsvstat("tavik", "hb1", 4, &stat), ZVRIPC_ENOTFOUND);
    EXPECT_EQ(shmnm_getrscsvstat("tavik", "hb1", -1, &stat), ZVRIPC_ENOTFOUND);
    EXPECT_EQ(shmnm_setrscsvstat("tavik", "nope", 1, 1), ZVRIPC_ENOTFOUND);
    EXPECT_EQ(shmnm_setrscstat("tavik", "nope", 0), ZVRIPC_ENOTFOUND);
    EXPECT_EQ(shmnm_getnodepri("node4", &stat), ZVRIPC_ENOTFOUND);
    EXPECT_EQ(shmnm_getrscpri("other", "hb1", &stat), ZVRIPC_ENOTFOUND);
    EXPECT_NE(std::string(ipc_last_error()).find("other/hb1"), std::string::npos) << ipc_last_error();

    // The cluster side's values.
    ASSERT_EQ(ipc_set_ratio(other, 3, 5), 0);
    ASSERT_EQ(ipc_set_action(other, 0x2000005, "resume"), 0);
    ASSERT_EQ(ipc_set_waitstat(other, 1), 0);
    EXPECT_EQ(ipc_set_ratio(other, 0, 0), ZVRIPC_EARG);
    EXPECT_EQ(ipc_set_waitstat(other, 2), ZVRIPC_EARG);
    EXPECT_EQ(ipc_set_action(other, 1, std::string(32, 'x').c_str()), ZVRIPC_EARG);
    int ratio = 0, period = 0, action = 0, waitstat = 0;
    char acttype[32];
    EXPECT_EQ(shmcm_getratio(&ratio, &period), 0);
    EXPECT_EQ(ratio, 3);
    EXPECT_EQ(period, 5);
    EXPECT_EQ(shmcm_getaction(&action, acttype, 0), 0);
    EXPECT_EQ(action, 0x2000005);
    EXPECT_STREQ(acttype, "resume");
    EXPECT_EQ(shmcm_getaction(&action, acttype, 1), ZVRIPC_EARG);
    EXPECT_EQ(shmnm_getwaitstat(&waitstat), 0);
    EXPECT_EQ(waitstat, 1);
    ipc_close(other);
}

TEST_F(NamespaceTest, StatusChangeAdvancesTheCounterAndPostsTheSemaphore) {
    create();
    attach();
    sem_t *watcher = sem_open(object(".statchange").c_str(), 0);
    ASSERT_NE(watcher, SEM_FAILED);
    zvripc_handle *h = nullptr;
    ASSERT_EQ(ipc_open(name_.c_str(), &h), 0);
    unsigned long long changes = 99;
    ASSERT_EQ(ipc_changes(h, &changes), 0);
    EXPECT_EQ(changes, 0u);
    for (int i = 0; i < 3; ++i) {
        ASSERT_EQ(sem_set_statchange(), 0);
    }
    ASSERT_EQ(ipc_statchange(h), 0);
    ASSERT_EQ(ipc_changes(h, &changes), 0);
    EXPECT_EQ(changes, 4u);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(sem_trywait(watcher), 0) << "post " << i;
    }
    EXPECT_NE(sem_trywait(watcher), 0);
    sem_close(watcher);

    // The change counter needs the node-manager segment: without it, nothing is posted.
    shmnm_detach();
    EXPECT_EQ(sem_set_statchange(), ZVRIPC_ENOTATTACHED);
    ipc_close(h);
}

TEST_F(NamespaceTest, DownNotifyIsTakenOnlyWhenGiven) {
    create();
    attach();
    EXPECT_EQ(sem_wait_downnotify(0), ZVRIPC_EAGAIN);
    zvripc_handle *h = nullptr;
    ASSERT_EQ(ipc_open(name_.c_str(), &h), 0);
    ASSERT_EQ(ipc_post_downnotify(h), 0);
    EXPECT_EQ(sem_wait_downnotify(1), ZVRIPC_EARG);
    EXPECT_EQ(sem_wait_downnotify(0), 0);
    EXPECT_EQ(sem_wait_downnotify(0), ZVRIPC_EAGAIN);
    ipc_close(h);
}

TEST_F(NamespaceTest, NamespaceNameComesFromTheEnvironmentAndIsChecked) {
    create();
    struct stat st {};
    EXPECT_EQ(stat(("/dev/shm/" + name_ + ".nm").c_str(), &st), 0);
    char buf[ZVRIPC_NAME_MAX + 1];
    ASSERT_EQ(ipc_default_name(buf, sizeof buf), 0);
    EXPECT_EQ(buf, name_);
    for (const char *bad : {"a/b", ".hidden", "sp ace", "x\n"}) {
        setenv("TAVIK_IPC_NAME", bad, 1);
        EXPECT_EQ(shmnm_attach(), ZVRIPC_EARG) << bad;
        EXPECT_EQ(ipc_valid_name(bad), ZVRIPC_EARG) << bad;
    }
    setenv("TAVIK_IPC_NAME", std::string(ZVRIPC_NAME_MAX + 1, 'a').c_str(), 1);
    EXPECT_EQ(ipc_default_name(buf, sizeof buf), ZVRIPC_EARG);
    unsetenv("TAVIK_IPC_NAME");
    ASSERT_EQ(ipc_default_name(buf, sizeof buf), 0);
    EXPECT_STREQ(buf, "tavik");
}

TEST_F(NamespaceTest, ObjectsAreOwnerOnlyWhateverTheUmaskAndGroupByOption) {
    mode_t old = umask(0);
    create();
    umask(old);
    const char *suffixes[] = {".nm", ".cm", ".statchange", ".downnotify"};
    auto file_of = [&](const char *suffix) {
        bool sem = suffix[1] == 's' || suffix[1] == 'd';
        return std::string("/dev/shm/") + (sem ? "sem." : "") + name_ + suffix;
    };
    for (const char *suffix : suffixes) {
        struct stat st {};
        ASSERT_EQ(stat(file_of(suffix).c_str(), &st), 0) << suffix;
        EXPECT_EQ(st.st_mode & 0777, 0600u) << suffix;
    }
    old = umask(077);  // would strip the group bits if they were not put back
    zvripc_create_opts opts{1, static_cast<int>(getgid())};
    ASSERT_EQ(ipc_create(name_.c_str(), nullptr, 0, nullptr, 0, &opts), 0) << ipc_last_error();
    umask(old);
    for (const char *suffix : suffixes) {
        struct stat st {};
        ASSERT_EQ(stat(file_of(suffix).c_str(), &st), 0) << suffix;
        EXPECT_EQ(st.st_mode & 0777, 0660u) << suffix;
        EXPECT_EQ(st.st_gid, getgid()) << suffix;
    }
}

TEST_F(NamespaceTest, CreationIsExclusiveAndLeavesNothingBehindOnFailure) {
    create();
    attach();
    ASSERT_EQ(shmnm_setrscsvstat("tavik", "hb1", 1, 1), 0);
    // A second create neither succeeds nor disturbs what exists.
    const zvripc_node_def one[] = {{"solo", 1}};
    EXPECT_EQ(ipc_create(name_.c_str(), one, 1, nullptr, 0, nullptr), ZVRIPC_EEXIST);
    int stat = 0;
    EXPECT_EQ(shmnm_getrscsvstat("tavik", "hb1", 1, &stat), 0);
    EXPECT_EQ(stat, 1);
    ipctest::detach_all();

    ASSERT_EQ(ipc_destroy(name_.c_str()), 0);
    EXPECT_EQ(ipc_destroy(name_.c_str()), ZVRIPC_ENOENT);
    // A leftover segment blocks creation; the semaphores this attempt made are removed
    // again, the leftover is not touched.
    int fd = shm_open(object(".cm").c_str(), O_RDWR | O_CREAT | O_EXCL, 0600);
    ASSERT_GE(fd, 0);
    close(fd);
    EXPECT_EQ(ipc_create(name_.c_str(), one, 1, nullptr, 0, nullptr), ZVRIPC_EEXIST);
    EXPECT_EQ(sem_open(object(".statchange").c_str(), 0), SEM_FAILED);
    fd = shm_open(object(".cm").c_str(), O_RDONLY, 0);
    EXPECT_GE(fd, 0);
    close(fd);
    // Replacing removes the leftover and makes a whole namespace.
    zvripc_create_opts replace{1, -1};
    ASSERT_EQ(ipc_create(name_.c_str(), one, 1, nullptr, 0, &replace), 0) << ipc_last_error();
    attach();
    EXPECT_EQ(shmnm_getnodepri("solo", &stat), 0);
}

TEST_F(NamespaceTest, InvalidDefinitionsAreRefusedWithoutCreatingAnything) {
    const std::string long_node(ZVRIPC_NODE_NAME_MAX + 1, 'n');
    const std::string long_rsc(ZVRIPC_RSC_NAME_MAX + 1, 'r');
    struct Case {
        const char *what;
        std::vector<zvripc_node_def> nodes;
        std::vector<zvripc_rsc_def> rscs;
    };
    const std::vector<Case> cases = {
        {"empty node name", {{"", 1}}, {}},
        {"null node name", {{nullptr, 1}}, {}},
        {"node name too long", {{long_node.c_str(), 1}}, {}},
        {"duplicate node", {{"a", 1}, {"a", 2}}, {}},
        {"duplicate node id", {{"a", 1}, {"b", 1}}, {}},
        {"negative node id", {{"a", -1}}, {}},
        {"resource name too long", {{"a", 1}}, {{"tavik", long_rsc.c_str(), 1}}},
        {"null resource type", {{"a", 1}}, {{nullptr, "hb1", 1}}},
        {"duplicate resource", {{"a", 1}}, {{"tavik", "hb1", 1}, {"tavik", "hb1", 2}}},
        {"negative resource priority", {{"a", 1}}, {{"tavik", "hb1", -2}}},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(ipc_create(name_.c_str(), c.nodes.data(), static_cast<int>(c.nodes.size()), c.rscs.data(),
                             static_cast<int>(c.rscs.size()), nullptr),
                  ZVRIPC_EARG)
            << c.what;
        EXPECT_EQ(ipc_destroy(name_.c_str()), ZVRIPC_ENOENT) << c.what << " left something behind";
    }
    // The same name under two types is two resources; the longest names fit.
    const std::string longest_rsc(ZVRIPC_RSC_NAME_MAX, 'r');
    const std::string longest_node(ZVRIPC_NODE_NAME_MAX, 'n');
    const zvripc_node_def nodes[] = {{longest_node.c_str(), 0}};
    const zvripc_rsc_def rscs[] = {{"tavik", longest_rsc.c_str(), 1}, {"other", longest_rsc.c_str(), 1}};
    ASSERT_EQ(ipc_create(name_.c_str(), nodes, 1, rscs, 2, nullptr), 0) << ipc_last_error();
    EXPECT_EQ(ipc_create(name_.c_str(), nodes, ZVRIPC_MAX_NODES + 1, rscs, 2, nullptr), ZVRIPC_EARG);
    attach();
    int size = 0;
    ASSERT_EQ(shmnm_enumnode(nullptr, &size), 0);
    EXPECT_EQ(size, ZVRIPC_NODE_NAME_MAX + 2);
}

}  // namespace
