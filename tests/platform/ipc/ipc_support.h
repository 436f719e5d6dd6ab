// SPDX-License-Identifier: GPL-3.0-or-later
// Shared set-up of the libzvripc tests: a namespace with a name unique to this process
// and test, created from a small layout and removed again however the test ends, with
// the process-wide attachment undone. Single-threaded set-up and tear-down.
#pragma once

#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <atomic>
#include <cstdlib>
#include <string>
#include <vector>

#include "zvripc.h"
#include "zvripc_admin.h"

namespace ipctest {

// Objects under a name with this pid can only be left by a dead process that had the same
// pid (an interrupted earlier run); they are removed so that no test takes them for its own.
inline std::string unique_name(const char *tag) {
    static std::atomic<int> serial{0};
    std::string name =
        std::string("tavikt_") + tag + "_" + std::to_string(getpid()) + "_" + std::to_string(serial++);
    ipc_destroy(name.c_str());
    return name;
}

inline void detach_all() {
    shmnm_detach();
    shmcm_detach();
    sem_detach();
}

// Three nodes with ids 1, 2, 3 and two "tavik" resources plus one of another type.
inline const std::vector<zvripc_node_def> &three_nodes() {
    static const std::vector<zvripc_node_def> nodes = {{"node1", 1}, {"node2", 2}, {"node3", 3}};
    return nodes;
}

inline const std::vector<zvripc_rsc_def> &resources() {
    static const std::vector<zvripc_rsc_def> rscs = {
        {"tavik", "hb1", 1}, {"tavik", "hb2", 2}, {"other", "disk", 7}};
    return rscs;
}

// A test with its own namespace, selected through TAVIK_IPC_NAME for the attach calls.
class NamespaceTest : public ::testing::Test {
  protected:
    void SetUp() override {
        name_ = unique_name("ns");
        setenv("TAVIK_IPC_NAME", name_.c_str(), 1);
    }
    void TearDown() override {
        detach_all();
        ipc_destroy(name_.c_str());
        unsetenv("TAVIK_IPC_NAME");
    }
    void create(const std::vector<zvripc_node_def> &nodes = three_nodes(),
                const std::vector<zvripc_rsc_def> &rscs = resources()) {
        ASSERT_EQ(ipc_create(name_.c_str(), nodes.data(), static_cast<int>(nodes.size()), rscs.data(),
                             static_cast<int>(rscs.size()), nullptr),
                  ZVRIPC_OK)
            << ipc_last_error();
    }
    void attach() {
        ASSERT_EQ(sem_attach(), 0) << ipc_last_error();
        ASSERT_EQ(shmcm_attach(), 0) << ipc_last_error();
        ASSERT_EQ(shmnm_attach(), 0) << ipc_last_error();
    }
    std::string object(const char *suffix) const { return "/" + name_ + suffix; }

    std::string name_;
};

// A writable mapping of one segment of a namespace, for tests that reach inside it.
class RawSegment {
  public:
    explicit RawSegment(const std::string &object);
    ~RawSegment();
    RawSegment(const RawSegment &) = delete;
    RawSegment &operator=(const RawSegment &) = delete;
    template <class T>
    T *as() const {
        return static_cast<T *>(addr_);
    }
    std::size_t size() const { return size_; }

  private:
    void *addr_ = MAP_FAILED;
    std::size_t size_ = 0;
};

}  // namespace ipctest
