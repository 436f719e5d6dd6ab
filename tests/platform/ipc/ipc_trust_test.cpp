// SPDX-License-Identifier: GPL-3.0-or-later
// Who may own and write a namespace: attach and ipc_open refuse an object that another
// user owns, that others may write or that a group other than the recorded one may
// write, naming the object, its owner and its mode; and a writer that scribbles over the
// mapped segments while calls run never makes the library read or write out of bounds
// (run under the asan preset).
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <random>
#include <thread>

#include "ipc_support.h"
#include "layout.h"

namespace {

using ipctest::NamespaceTest;
using ipctest::RawSegment;

constexpr uid_t kNobody = 65534;

std::string file_of(const std::string &name, const char *suffix) {
    const bool sem = suffix[1] == 's' || suffix[1] == 'd';
    return (sem ? "/dev/shm/sem." : "/dev/shm/") + name + suffix;
}

int attach_of(const char *suffix) {
    if (std::string(suffix) == ".nm") {
        return shmnm_attach();
    }
    return std::string(suffix) == ".cm" ? shmcm_attach() : sem_attach();
}

struct Tamper {
    const char *what;
    const char *suffix;
    mode_t mode;  // applied to the object's file
    uid_t owner;  // -1: unchanged
    const char *reason;
};

TEST_F(NamespaceTest, AttachRefusesObjectsOthersOwnOrMayWrite) {
    const bool root = geteuid() == 0;
    const std::vector<Tamper> cases = {
        {"nm writable by others", ".nm", 0606, static_cast<uid_t>(-1), "others may write it"},
        {"semaphore writable by others", ".statchange", 0666, static_cast<uid_t>(-1), "others may write it"},
        {"nm writable by a group never recorded", ".nm", 0660, static_cast<uid_t>(-1),
         "created for no group"},
        {"nm given to another user", ".nm", 0600, kNobody, "neither root nor"},
        {"semaphore given to another user", ".statchange", 0600, kNobody, "neither root nor"},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.what);
        if (c.owner != static_cast<uid_t>(-1) && !root) {
            continue;  // only root gives files away
        }
        create();
        const std::string file = file_of(name_, c.suffix);
        ASSERT_EQ(chmod(file.c_str(), c.mode), 0);
        ASSERT_EQ(chown(file.c_str(), c.owner, static_cast<gid_t>(-1)), 0);
        EXPECT_EQ(attach_of(c.suffix), ZVRIPC_EPERM);
        const std::string error = ipc_last_error();
        EXPECT_NE(error.find(object(c.suffix)), std::string::npos) << error;
        EXPECT_NE(error.find(c.reason), std::string::npos) << error;
        char mode[16];
        std::snprintf(mode, sizeof mode, "mode %04o", static_cast<unsigned>(c.mode));
        EXPECT_NE(error.find(mode), std::string::npos) << error;
        zvripc_handle *h = nullptr;
        EXPECT_EQ(ipc_open(name_.c_str(), &h), ZVRIPC_EPERM);
        ipc_close(h);
        ipctest::detach_all();
        ASSERT_EQ(ipc_destroy(name_.c_str()), ZVRIPC_OK);
    }
}

TEST_F(NamespaceTest, GroupWriteIsAcceptedOnlyForTheRecordedGroupAndLinksNever) {
    const std::vector<zvripc_node_def> &nodes = ipctest::three_nodes();
    const std::vector<zvripc_rsc_def> &rscs = ipctest::resources();
    zvripc_create_opts opts{0, static_cast<int>(getegid())};
    ASSERT_EQ(ipc_create(name_.c_str(), nodes.data(), 3, rscs.data(), 3, &opts), ZVRIPC_OK)
        << ipc_last_error();
    attach();
    ipctest::detach_all();
    if (geteuid() == 0) {
        const std::string file = file_of(name_, ".cm");
        ASSERT_EQ(chown(file.c_str(), static_cast<uid_t>(-1), kNobody), 0);
        EXPECT_EQ(shmcm_attach(), ZVRIPC_EPERM);
        EXPECT_NE(std::string(ipc_last_error()).find("created for group"), std::string::npos)
            << ipc_last_error();
    }
    // A name that is a link is refused, not followed.
    for (const char *suffix : {".downnotify", ".nm"}) {
        const std::string file = file_of(name_, suffix);
        ASSERT_EQ(unlink(file.c_str()), 0);
        ASSERT_EQ(symlink(file_of(name_, ".cm").c_str(), file.c_str()), 0);
        EXPECT_EQ(attach_of(suffix), ZVRIPC_EPERM) << suffix;
        EXPECT_NE(std::string(ipc_last_error()).find("symbolic link"), std::string::npos) << ipc_last_error();
    }
}

// Bytes of a segment a scribbler may change: all but the lock, whose damage would only
// make calls wait (a writer that can write the segment can stop the cluster anyway).
bool outside_lock(std::size_t at, std::size_t lock_at) {
    return at < lock_at || at >= lock_at + sizeof(pthread_mutex_t);
}

TEST_F(NamespaceTest, ReadsStayInBoundsWhileAWriterScribblesOverTheSegments) {
    create();
    attach();
    zvripc_handle *h = nullptr;
    ASSERT_EQ(ipc_open(name_.c_str(), &h), ZVRIPC_OK) << ipc_last_error();
    RawSegment nm(object(".nm"));
    RawSegment cm(object(".cm"));
    std::atomic<bool> stop{false};
    std::thread writer([&] {
        std::mt19937 rng(1234);
        auto *nm_bytes = nm.as<unsigned char>();
        auto *cm_bytes = cm.as<unsigned char>();
        while (!stop.load()) {
            std::size_t at = rng() % nm.size();
            if (outside_lock(at, offsetof(zvripc::NmHeader, lock))) {
                // Mostly non-zero bytes, so that names lose their terminating NUL.
                nm_bytes[at] = static_cast<unsigned char>(rng() % 8 == 0 ? 0 : rng() | 1);
            }
            at = rng() % cm.size();
            if (outside_lock(at, offsetof(zvripc::CmSegment, lock))) {
                cm_bytes[at] = static_cast<unsigned char>(rng() | 1);
            }
        }
    });
    std::vector<char> buf;
    for (int round = 0; round < 20000; ++round) {
        for (int kind = 0; kind < 2; ++kind) {
            int size = 0;
            ASSERT_EQ(kind == 0 ? shmnm_enumnode(nullptr, &size) : shmnm_enumrsc("tavik", nullptr, &size), 0);
            buf.assign(static_cast<std::size_t>(size), '\x7f');
            ASSERT_EQ(
                kind == 0 ? shmnm_enumnode(buf.data(), &size) : shmnm_enumrsc("tavik", buf.data(), &size), 0);
            ASSERT_EQ(static_cast<std::size_t>(size), buf.size());
            ASSERT_EQ(buf[buf.size() - 1], '\0');
        }
        int pri = 0;
        int stat = 0;
        EXPECT_EQ(shmnm_getnodepri("node2", &pri), 0);
        EXPECT_EQ(pri, 2);
        EXPECT_EQ(shmnm_getrscsvstat("tavik", "hb1", 2, &stat), 0);
        EXPECT_EQ(shmnm_setrscsvstat("tavik", "hb1", 2, round % 2 == 0 ? 1 : 2), 0);
        char acttype[32];
        EXPECT_EQ(shmcm_getaction(&stat, acttype, 0), 0);
        EXPECT_LT(std::strlen(acttype), sizeof acttype);
        zvripc_snapshot *snap = nullptr;
        ASSERT_EQ(ipc_snapshot(h, &snap), 0) << ipc_last_error();
        EXPECT_STREQ(snap->nodes[2].name, "node3");
        EXPECT_LT(std::strlen(snap->acttype), sizeof snap->acttype);
        ipc_snapshot_free(snap);
    }
    stop = true;
    writer.join();
    ipc_close(h);
}

}  // namespace
