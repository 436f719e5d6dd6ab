// SPDX-License-Identifier: GPL-3.0-or-later
// DEPENDS ON GLIBC. These checks read the private fields of glibc's pthread_mutex_t
// (__data.__kind and __data.__lock) and rely on what glibc and the kernel's robust-futex
// protocol keep there; a new glibc may change them, and another C library has neither,
// so elsewhere the checks accept every lock and only the POSIX calls guard it. They exist
// because a damaged lock word made glibc abort or wait for ever: the inputs that showed it
// are the ipc_segment fuzz corpus's crash-glibc-*, crash-hang-lock-word-* and lock-*
// seeds (tests/fuzz/corpus/ipc_segment), and tests/platform/ipc holds a test of each.
// The wait and the robust-list repair below exist because a segment truncated under a
// held or awaited lock made glibc write through a stale list entry or abort in its wait
// (NamespaceTest.ObjectsTruncatedWhileCallsRunFailTheCallsInsteadOfKillingTheProcess).
#include <sched.h>

#include "lock_word.h"
#include "namespace.h"

#if defined(__GLIBC__) && defined(__linux__)
#include <linux/futex.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <csignal>
#include <cstdint>

#include "segment.h"
#endif

namespace zvripc {

#if defined(__GLIBC__) && defined(__linux__)

namespace {

// The kind word glibc keeps in a mutex made as init_robust_mutex makes it.
int robust_kind() {
    static const int kind = [] {
        pthread_mutex_t mutex;
        if (init_robust_mutex(&mutex, "(reference)") != ZVRIPC_OK) {
            return -1;
        }
        int k = mutex.__data.__kind;
        pthread_mutex_destroy(&mutex);
        return k;
    }();
    return kind;
}

// Whether a thread of this id exists (kill accepts any thread id on Linux).
bool thread_exists(pid_t tid) {
    return kill(tid, 0) == 0 || errno == EPERM;
}

}  // namespace

int check_lock_kind(const std::string &object, pthread_mutex_t *mutex) {
    // glibc chooses the protocol (plain, robust, priority inheritance or protection)
    // from the kind word at every call, and for a priority-inheritance kind naming an
    // owner that does not exist it aborts or waits for ever: refuse any other kind than
    // ours before a lock call reads it.
    const int kind = std::atomic_ref<int>(mutex->__data.__kind).load(std::memory_order_relaxed);
    if (kind != robust_kind()) {
        return fail(ZVRIPC_EBADSEG,
                    "segment %s: the lock is not a process-shared robust mutex (kind %#x, expected %#x)",
                    object.c_str(), static_cast<unsigned>(kind), static_cast<unsigned>(robust_kind()));
    }
    return ZVRIPC_OK;
}

int check_lock_holder(const std::string &object, pthread_mutex_t *mutex) {
    // The word names its holder's thread id (the robust-futex protocol), and the
    // kernel marks it when that thread ends. A holder that does not exist, or this
    // thread (which holds no segment lock between calls), means that the word was
    // overwritten: nobody would ever give the lock back. Every attacher shares one
    // PID namespace, so the id means the same thread here as for its holder.
    const auto word = static_cast<std::uint32_t>(
        std::atomic_ref<int>(mutex->__data.__lock).load(std::memory_order_relaxed));
    if (word == 0) {
        // Given back between the trylock that found it busy and this read (another
        // process's call ended): the caller's wait takes it at once.
        return ZVRIPC_OK;
    }
    const auto holder = static_cast<pid_t>(word & FUTEX_TID_MASK);
    if (holder == 0 || holder == gettid() || !thread_exists(holder)) {
        return fail(ZVRIPC_EBADSEG, "segment %s: the lock word 0x%08x names no live holder", object.c_str(),
                    word);
    }
    return ZVRIPC_OK;
}

// The kernel's bit in the lock word for "a thread sleeps on it"; the word is an int.
constexpr int kWaiters = static_cast<int>(FUTEX_WAITERS);

int wait_lock_word(pthread_mutex_t *mutex, long ms) {
    std::atomic_ref<int> word(mutex->__data.__lock);
    int seen = word.load(std::memory_order_relaxed);
    if (seen == 0 || (seen & FUTEX_OWNER_DIED) != 0) {
        return 0;  // free, or left by a dead holder: the next try takes it
    }
    const int awaited = seen | kWaiters;
    if (awaited != seen && !word.compare_exchange_strong(seen, awaited)) {
        return 0;  // changed meanwhile
    }
    const timespec slice{ms / 1000, ms % 1000 * 1000000};
    // A process-shared lock: the shared futex (no FUTEX_PRIVATE_FLAG).
    const long rc = syscall(SYS_futex, &mutex->__data.__lock, FUTEX_WAIT, awaited, &slice, nullptr, 0);
    return rc == 0 || (errno != ETIMEDOUT && errno != EFAULT) ? 0 : errno;
}

void mark_lock_waited(pthread_mutex_t *mutex) {
    std::atomic_ref<int>(mutex->__data.__lock).fetch_or(kWaiters, std::memory_order_relaxed);
}

#else

int check_lock_kind(const std::string &, pthread_mutex_t *) {
    return ZVRIPC_OK;
}

int check_lock_holder(const std::string &, pthread_mutex_t *) {
    return ZVRIPC_OK;
}

int wait_lock_word(pthread_mutex_t *, long) {
    sched_yield();
    return ETIMEDOUT;
}

void mark_lock_waited(pthread_mutex_t *) {}

#endif

// glibc's doubly linked form of the robust list (64-bit targets): every link points at
// the __next field of a lock's __list, the __prev field sits just before it, and the
// list's head (registered with the kernel) counts as an entry whose __prev field is the
// word before it.
#if defined(__GLIBC__) && defined(__linux__) && __PTHREAD_MUTEX_HAVE_PREV

namespace {

// The kernel's struct robust_list_head, as glibc registers it for each thread.
struct RobustHead {
    void *list;
    long futex_offset;
    void *list_op_pending;
};

// Looked up once per thread; initial-exec and constant-initialised, so that each lock
// call reads it with one load (it is read twice per lock).
thread_local RobustHead *known_head __attribute__((tls_model("initial-exec"))) = nullptr;

RobustHead *robust_head() {
    if (known_head == nullptr) {
        void *found = nullptr;
        std::size_t length = 0;
        if (syscall(SYS_get_robust_list, 0, &found, &length) == 0) {
            known_head = static_cast<RobustHead *>(found);
        }
    }
    return known_head;
}

void *untagged(void *link) {
    return static_cast<char *>(link) - (reinterpret_cast<std::uintptr_t>(link) & 1U);
}

__pthread_list_t sink;

}  // namespace

const void *robust_front() {
    RobustHead *head = robust_head();
    return head != nullptr ? head->list : nullptr;
}

void forget_lost_lock(pthread_mutex_t *mutex, const void *front_before) {
    RobustHead *head = robust_head();
    if (head == nullptr || front_before == nullptr) {
        return;
    }
    void *entry = &mutex->__data.__list.__next;
    if (untagged(head->list_op_pending) == entry) {
        head->list_op_pending = nullptr;
    }
    if (untagged(head->list) != entry) {
        return;  // given back and unlinked as usual, or never listed
    }
    // Lock calls nest last in, first out, so what was first before this lock was taken
    // follows it still.
    void *next = const_cast<void *>(front_before);
    *reinterpret_cast<void **>(static_cast<char *>(untagged(next)) - sizeof(void *)) = head;
    head->list = next;
}

void defuse_lost_lock(pthread_mutex_t *copy) {
    auto *entry = reinterpret_cast<__pthread_list_t *>(&sink.__next);
    copy->__data.__list.__prev = entry;
    copy->__data.__list.__next = entry;
}

#else

const void *robust_front() {
    return nullptr;
}

void forget_lost_lock(pthread_mutex_t *, const void *) {}

void defuse_lost_lock(pthread_mutex_t *) {}

#endif

}  // namespace zvripc
