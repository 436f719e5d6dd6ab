// SPDX-License-Identifier: GPL-3.0-or-later
// Opening, checking, creating and removing the objects of an IPC namespace. Attaching
// trusts nothing in a segment it has not checked: sizes against the object's real size,
// counts against the limits and the size, names for their terminating NUL, the lock for
// being one that can be taken; and it keeps its own copy of the counts. The error text
// is per thread.
#include "namespace.h"

#include <fcntl.h>
#include <linux/futex.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unordered_set>
#include <vector>

#include "trust.h"
#include "zvripc.h"

namespace zvripc {

namespace {

thread_local char error_text[512];

// How long attach waits for a segment lock that a live holder has.
constexpr long kAttachLockWaitMs = 1000;

std::atomic_ref<std::uint32_t> magic_of(Prefix *prefix) {
    return std::atomic_ref<std::uint32_t>(prefix->magic);
}

// Bounded length of a fixed-size name field; the size itself when no NUL is there.
std::size_t field_length(const char *field, std::size_t size) {
    return strnlen(field, size);
}

bool name_char_ok(char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '_' ||
           c == '-' || c == '.';
}

int init_robust_mutex(pthread_mutex_t *mutex, const std::string &object) {
    pthread_mutexattr_t attr;
    int rc = pthread_mutexattr_init(&attr);
    if (rc == 0) {
        rc = pthread_mutexattr_setpshared(&attr, PTHREAD_PROCESS_SHARED);
        if (rc == 0) {
            rc = pthread_mutexattr_setrobust(&attr, PTHREAD_MUTEX_ROBUST);
        }
        if (rc == 0) {
            rc = pthread_mutex_init(mutex, &attr);
        }
        pthread_mutexattr_destroy(&attr);
    }
    if (rc != 0) {
        return fail(ZVRIPC_ESYS, "%s: cannot set up the lock: %s", object.c_str(), std::strerror(rc));
    }
    return ZVRIPC_OK;
}

// Objects made by one create call, removed again unless the call succeeds.
class Rollback {
  public:
    ~Rollback() {
        if (committed_) {
            return;
        }
        for (const auto &name : shm_) {
            shm_unlink(name.c_str());
        }
        for (const auto &name : sem_) {
            sem_unlink(name.c_str());
        }
    }
    void add_shm(const std::string &name) { shm_.push_back(name); }
    void add_sem(const std::string &name) { sem_.push_back(name); }
    void commit() { committed_ = true; }

  private:
    std::vector<std::string> shm_, sem_;
    bool committed_ = false;
};

int create_semaphore(const std::string &object, mode_t mode, int gid, Rollback &rollback) {
    sem_t *sem = sem_open(object.c_str(), O_CREAT | O_EXCL, mode, 0u);
    if (sem == SEM_FAILED) {
        int err = errno;
        if (err == EEXIST) {
            return fail(ZVRIPC_EEXIST, "semaphore %s exists already (%s)", object.c_str(),
                        describe_existing(semaphore_file(object)).c_str());
        }
        return fail(ZVRIPC_ESYS, "semaphore %s: cannot create: %s", object.c_str(), std::strerror(err));
    }
    rollback.add_sem(object);
    sem_close(sem);
    // sem_open applies the umask, which can only take bits away; put back exactly the
    // mode (and group) asked for.
    return set_semaphore_mode(object, mode, gid);
}

// Creates a segment of `size` bytes and hands its mapping to fill, which must set
// everything but the magic; the magic is stored last.
template <class Fill>
int create_segment(const std::string &object, std::uint64_t size, mode_t mode, int gid, std::uint32_t magic,
                   Rollback &rollback, Fill &&fill) {
    int fd = shm_open(object.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd < 0) {
        int err = errno;
        if (err == EEXIST) {
            return fail(ZVRIPC_EEXIST, "segment %s exists already (%s)", object.c_str(),
                        describe_existing(segment_file(object)).c_str());
        }
        return fail(ZVRIPC_ESYS, "segment %s: cannot create: %s", object.c_str(), std::strerror(err));
    }
    rollback.add_shm(object);
    int rc = ZVRIPC_OK;
    if (fchmod(fd, mode) != 0 ||
        (gid >= 0 && fchown(fd, static_cast<uid_t>(-1), static_cast<gid_t>(gid)) != 0)) {
        rc = fail(ZVRIPC_ESYS, "segment %s: cannot set mode %04o%s: %s", object.c_str(),
                  static_cast<unsigned>(mode), gid >= 0 ? " and group" : "", std::strerror(errno));
    } else if (ftruncate(fd, static_cast<off_t>(size)) != 0) {
        rc = fail(ZVRIPC_ESYS, "segment %s: cannot size to %llu bytes: %s", object.c_str(),
                  static_cast<unsigned long long>(size), std::strerror(errno));
    }
    void *addr = MAP_FAILED;
    if (rc == ZVRIPC_OK) {
        addr = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
        if (addr == MAP_FAILED) {
            rc = fail(ZVRIPC_ESYS, "segment %s: cannot map: %s", object.c_str(), std::strerror(errno));
        }
    }
    close(fd);
    if (rc != ZVRIPC_OK) {
        return rc;
    }
    auto *prefix = static_cast<Prefix *>(addr);
    rc = fill(addr);
    if (rc == ZVRIPC_OK) {
        prefix->version = kVersion;
        prefix->writer_gid = gid >= 0 ? static_cast<std::uint32_t>(gid) : kNoGroup;
        prefix->total_size = size;
        magic_of(prefix).store(magic, std::memory_order_release);
    }
    munmap(addr, size);
    return rc;
}

void copy_field(char *field, std::size_t size, const char *text) {
    std::memset(field, 0, size);
    std::memcpy(field, text, std::min(std::strlen(text), size - 1));
}

int check_length(const char *what, const char *text, std::size_t max, int index) {
    if (text == nullptr) {
        return fail(ZVRIPC_EARG, "%s of entry %d is missing", what, index);
    }
    std::size_t len = std::strlen(text);
    if (len == 0) {
        return fail(ZVRIPC_EARG, "%s of entry %d is empty", what, index);
    }
    if (len > max) {
        return fail(ZVRIPC_EARG, "%s \"%s\" is %zu bytes long, more than %zu", what, text, len, max);
    }
    return ZVRIPC_OK;
}

int check_definitions(const zvripc_node_def *nodes, int node_count, const zvripc_rsc_def *rscs,
                      int rsc_count) {
    if (node_count < 0 || node_count > ZVRIPC_MAX_NODES || (node_count > 0 && nodes == nullptr)) {
        return fail(ZVRIPC_EARG, "node count %d is outside 0..%d", node_count, ZVRIPC_MAX_NODES);
    }
    if (rsc_count < 0 || rsc_count > ZVRIPC_MAX_RESOURCES || (rsc_count > 0 && rscs == nullptr)) {
        return fail(ZVRIPC_EARG, "resource count %d is outside 0..%d", rsc_count, ZVRIPC_MAX_RESOURCES);
    }
    std::unordered_set<std::string> names;
    std::unordered_set<int> ids;
    for (int i = 0; i < node_count; ++i) {
        if (int rc = check_length("node name", nodes[i].name, ZVRIPC_NODE_NAME_MAX, i)) {
            return rc;
        }
        if (nodes[i].priority < 0) {
            return fail(ZVRIPC_EARG, "node \"%s\" has the negative priority %d", nodes[i].name,
                        nodes[i].priority);
        }
        if (!names.insert(nodes[i].name).second) {
            return fail(ZVRIPC_EARG, "node \"%s\" is given twice", nodes[i].name);
        }
        if (!ids.insert(nodes[i].priority).second) {
            return fail(ZVRIPC_EARG, "node \"%s\" has priority %d, which another node has already",
                        nodes[i].name, nodes[i].priority);
        }
    }
    std::unordered_set<std::string> keys;
    for (int i = 0; i < rsc_count; ++i) {
        if (int rc = check_length("resource type", rscs[i].type, ZVRIPC_RSC_TYPE_MAX, i)) {
            return rc;
        }
        if (int rc = check_length("resource name", rscs[i].name, ZVRIPC_RSC_NAME_MAX, i)) {
            return rc;
        }
        if (rscs[i].priority < 0) {
            return fail(ZVRIPC_EARG, "resource %s/%s has the negative priority %d", rscs[i].type,
                        rscs[i].name, rscs[i].priority);
        }
        if (!keys.insert(std::string(rscs[i].type) + '\0' + rscs[i].name).second) {
            return fail(ZVRIPC_EARG, "resource %s/%s is given twice", rscs[i].type, rscs[i].name);
        }
    }
    return ZVRIPC_OK;
}

std::string rsc_key(const char *type, const char *name) {
    std::string key(type);
    key += '\0';
    key += name;
    return key;
}

}  // namespace

int fail(int code, const char *format, ...) {
    va_list args;
    va_start(args, format);
    std::vsnprintf(error_text, sizeof error_text, format, args);
    va_end(args);
    return code;
}

void clear_error() {
    error_text[0] = '\0';
}

Stamp stamp_now() {
    timespec wall{};
    timespec mono{};
    clock_gettime(CLOCK_REALTIME, &wall);
    clock_gettime(CLOCK_MONOTONIC, &mono);
    return {wall.tv_sec * std::int64_t{1000000000} + wall.tv_nsec,
            mono.tv_sec * std::int64_t{1000000000} + mono.tv_nsec};
}

namespace {

// Under the segment's lock.
void note_change(HistoryRecord &h, const Stamp &at) {
    h.last_wall_ns = at.wall;
    h.last_mono_ns = at.mono;
    h.recent_mono_ns[h.count % kHistoryRecent] = at.mono;
    ++h.count;
}

}  // namespace

const char *last_error() {
    return error_text;
}

bool valid_state(int state) {
    return state == RSCSV_ONLINE || state == RSCSV_OFFLINE || state == RSCSV_UNKNOWN || state == RSCSV_UNUSED;
}

bool valid_status(int status) {
    return status == RSC_NORMAL || status == RSC_CAUTION || status == RSC_ERROR || status == RSC_UNKNOWN ||
           status == RSC_UNUSED;
}

int resolve_name(const char *name, std::string &out) {
    const char *source = "namespace name";
    if (name == nullptr) {
        name = std::getenv("TAVIK_IPC_NAME");
        source = "TAVIK_IPC_NAME";
        if (name == nullptr || *name == '\0') {
            name = ZVRIPC_DEFAULT_NAME;
        }
    }
    std::size_t len = std::strlen(name);
    if (len == 0 || len > ZVRIPC_NAME_MAX || name[0] == '.') {
        return fail(ZVRIPC_EARG, "%s \"%.*s\" must be 1 to %d characters and not begin with '.'", source, 64,
                    name, ZVRIPC_NAME_MAX);
    }
    for (std::size_t i = 0; i < len; ++i) {
        if (!name_char_ok(name[i])) {
            return fail(ZVRIPC_EARG, "%s \"%.*s\" may hold only letters, digits, '_', '-' and '.'", source,
                        64, name);
        }
    }
    out.assign(name, len);
    return ZVRIPC_OK;
}

ObjectNames object_names(const std::string &ns) {
    std::string base = "/" + ns;
    return {base + ".nm", base + ".cm", base + ".statchange", base + ".downnotify"};
}

// ---- Mapping -------------------------------------------------------------------------

int Mapping::open(const std::string &object, std::uint64_t min_size) {
    reset();
    int fd = shm_open(object.c_str(), O_RDWR | O_CLOEXEC, 0);
    if (fd < 0) {
        int err = errno;
        if (err == ENOENT) {
            return fail(ZVRIPC_ENOENT, "segment %s does not exist", object.c_str());
        }
        if (err == ELOOP) {  // shm_open never follows a link
            return fail(ZVRIPC_EPERM, "segment %s is refused: it is a symbolic link", object.c_str());
        }
        return fail(ZVRIPC_ESYS, "segment %s: cannot open: %s", object.c_str(), std::strerror(err));
    }
    struct stat st {};
    if (fstat(fd, &st) != 0) {
        int err = errno;
        close(fd);
        return fail(ZVRIPC_ESYS, "segment %s: cannot stat: %s", object.c_str(), std::strerror(err));
    }
    if (int rc = check_owner("segment", object, st)) {
        close(fd);
        return rc;
    }
    auto size = static_cast<std::uint64_t>(st.st_size);
    if (st.st_size < 0 || size < min_size) {
        close(fd);
        return fail(ZVRIPC_EBADSEG, "segment %s holds %lld bytes, fewer than its header needs (%llu)",
                    object.c_str(), static_cast<long long>(st.st_size),
                    static_cast<unsigned long long>(min_size));
    }
    void *addr = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    int err = errno;
    close(fd);
    if (addr == MAP_FAILED) {
        return fail(ZVRIPC_ESYS, "segment %s: cannot map: %s", object.c_str(), std::strerror(err));
    }
    object_ = object;
    addr_ = addr;
    size_ = size;
    dev_ = st.st_dev;
    ino_ = st.st_ino;
    mode_ = static_cast<unsigned>(st.st_mode & 07777);
    st_ = st;
    return ZVRIPC_OK;
}

void Mapping::reset() {
    if (addr_ != nullptr) {
        munmap(addr_, size_);
    }
    addr_ = nullptr;
    size_ = 0;
}

bool Mapping::current() const {
    if (addr_ == nullptr) {
        return false;
    }
    int fd = shm_open(object_.c_str(), O_RDONLY | O_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    struct stat st {};
    bool same = fstat(fd, &st) == 0 && st.st_dev == dev_ && st.st_ino == ino_;
    close(fd);
    return same;
}

// ---- SegmentLock ---------------------------------------------------------------------

namespace {

// Takes a segment's lock, waiting at most until `deadline` (CLOCK_REALTIME) when one is
// given, and makes it consistent when its last holder died inside its critical section.
// 0 when the lock is held, else the pthread error (the lock is then not held).
int take_lock(pthread_mutex_t *mutex, std::uint64_t *recoveries, const timespec *deadline) {
    int rc = deadline != nullptr ? pthread_mutex_timedlock(mutex, deadline) : pthread_mutex_lock(mutex);
    if (rc == EOWNERDEAD) {
        // The holder died inside its critical section. Every update made under this lock
        // is a store of whole aligned values, so the data is as the last finished update
        // left it (or as one half-done update of a pair left it), and the segment can go
        // on being used.
        rc = pthread_mutex_consistent(mutex);
        if (rc == 0) {
            ++*recoveries;
        } else {
            pthread_mutex_unlock(mutex);
        }
    }
    return rc;
}

}  // namespace

SegmentLock::SegmentLock(pthread_mutex_t *mutex, std::uint64_t *recoveries) : mutex_(mutex) {
    int rc = take_lock(mutex, recoveries, nullptr);
    if (rc != 0) {
        mutex_ = nullptr;
        result_ = fail(ZVRIPC_ELOCK, "cannot take the segment lock: %s", std::strerror(rc));
    } else {
        result_ = ZVRIPC_OK;
    }
}

SegmentLock::~SegmentLock() {
    if (mutex_ != nullptr) {
        pthread_mutex_unlock(mutex_);
    }
}

// ---- SemPair -------------------------------------------------------------------------

int SemPair::open(const std::string &ns) {
    reset();
    ObjectNames names = object_names(ns);
    const std::uint32_t group = recorded_group(ns);
    sem_t *statchange = nullptr;
    sem_t *downnotify = nullptr;
    if (int rc = open_semaphore(names.statchange, group, &statchange)) {
        return rc;
    }
    if (int rc = open_semaphore(names.downnotify, group, &downnotify)) {
        close_semaphore(statchange);
        return rc;
    }
    statchange_ = statchange;
    downnotify_ = downnotify;
    return ZVRIPC_OK;
}

void SemPair::reset() {
    close_semaphore(statchange_);
    close_semaphore(downnotify_);
    statchange_ = downnotify_ = nullptr;
}

namespace {

int post(sem_t *sem, const char *what) {
    // A semaphore at its maximum value is signalled already; one more post would add
    // nothing a waiter could tell apart.
    if (sem_post(sem) != 0 && errno != EOVERFLOW) {
        return fail(ZVRIPC_ESYS, "cannot post the %s semaphore: %s", what, std::strerror(errno));
    }
    return ZVRIPC_OK;
}

}  // namespace

int SemPair::post_statchange() {
    return post(statchange_, "status-change");
}

int SemPair::post_downnotify() {
    return post(downnotify_, "down-notify");
}

int SemPair::try_downnotify() {
    while (sem_trywait(downnotify_) != 0) {
        if (errno == EAGAIN) {
            return fail(ZVRIPC_EAGAIN, "the down-notify semaphore was not given");
        }
        if (errno != EINTR) {
            return fail(ZVRIPC_ESYS, "cannot take the down-notify semaphore: %s", std::strerror(errno));
        }
    }
    return ZVRIPC_OK;
}

// ---- CmView --------------------------------------------------------------------------

namespace {

int check_prefix(const std::string &object, Prefix *prefix, std::uint32_t magic, std::uint32_t header_size,
                 std::uint64_t mapped) {
    std::uint32_t found = magic_of(prefix).load(std::memory_order_acquire);
    if (found != magic) {
        return fail(ZVRIPC_EBADSEG, "segment %s: bad magic 0x%08x (expected 0x%08x)", object.c_str(), found,
                    magic);
    }
    if (prefix->version != kVersion) {
        return fail(ZVRIPC_EBADSEG, "segment %s: layout version %u, this library reads %u", object.c_str(),
                    prefix->version, kVersion);
    }
    if (prefix->header_size != header_size || mapped < header_size) {
        return fail(ZVRIPC_EBADSEG, "segment %s: header of %u bytes, expected %u", object.c_str(),
                    prefix->header_size, header_size);
    }
    if (prefix->total_size != mapped) {
        return fail(ZVRIPC_EBADSEG, "segment %s: says %llu bytes, but holds %llu", object.c_str(),
                    static_cast<unsigned long long>(prefix->total_size),
                    static_cast<unsigned long long>(mapped));
    }
    return ZVRIPC_OK;
}

#if defined(__GLIBC__) && defined(__linux__)
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
#endif

// Checks a segment's lock before anything relies on it: a lock word overwritten with
// anything else than what a locker leaves there would make every later call wait for
// ever, or stop the process inside the C library. The lock is taken once and given back;
// a lock left behind by a holder that died is recovered here already.
int check_lock(const std::string &object, pthread_mutex_t *mutex, std::uint64_t *recoveries) {
#if defined(__GLIBC__) && defined(__linux__)
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
#endif
    int rc = pthread_mutex_trylock(mutex);
    if (rc == EOWNERDEAD) {
        rc = pthread_mutex_consistent(mutex);
        if (rc == 0) {
            ++*recoveries;
        } else {
            pthread_mutex_unlock(mutex);
        }
    } else if (rc == EBUSY) {
#if defined(__GLIBC__) && defined(__linux__)
        // The word names its holder's thread id (the robust-futex protocol), and the
        // kernel marks it when that thread ends. A holder that does not exist, or this
        // thread (which holds no segment lock between calls), means that the word was
        // overwritten: nobody would ever give the lock back. Every attacher shares one
        // PID namespace, so the id means the same thread here as for its holder.
        const auto word = static_cast<std::uint32_t>(
            std::atomic_ref<int>(mutex->__data.__lock).load(std::memory_order_relaxed));
        const auto holder = static_cast<pid_t>(word & FUTEX_TID_MASK);
        if (holder == 0 || holder == gettid() || !thread_exists(holder)) {
            return fail(ZVRIPC_EBADSEG, "segment %s: the lock word 0x%08x names no live holder",
                        object.c_str(), word);
        }
#endif
        // A live holder keeps the lock for a few loads and stores; one that keeps it for
        // a second is stopped (or the word names a thread that has nothing to do with it).
        timespec deadline{};
        clock_gettime(CLOCK_REALTIME, &deadline);
        const long nsec = deadline.tv_nsec + kAttachLockWaitMs % 1000 * 1000000;
        deadline.tv_sec += kAttachLockWaitMs / 1000 + nsec / 1000000000;
        deadline.tv_nsec = nsec % 1000000000;
        rc = take_lock(mutex, recoveries, &deadline);
        if (rc == ETIMEDOUT) {
            return fail(ZVRIPC_ELOCK, "segment %s: the lock has been held for more than %ld ms",
                        object.c_str(), kAttachLockWaitMs);
        }
    }
    if (rc != 0) {
        return fail(ZVRIPC_EBADSEG, "segment %s: the lock cannot be taken: %s", object.c_str(),
                    std::strerror(rc));
    }
    pthread_mutex_unlock(mutex);
    return ZVRIPC_OK;
}

}  // namespace

int CmView::open(const std::string &ns) {
    reset();
    std::string object = object_names(ns).cm;
    if (int rc = map_.open(object, sizeof(Prefix))) {
        return rc;
    }
    auto *seg = static_cast<CmSegment *>(map_.addr());
    int rc = check_prefix(object, &seg->prefix, kCmMagic, sizeof(CmSegment), map_.size());
    if (rc == ZVRIPC_OK) {
        rc = check_group("segment", object, map_.stat(), seg->prefix.writer_gid);
    }
    if (rc == ZVRIPC_OK) {
        rc = check_lock(object, &seg->lock, &seg->recoveries);
    }
    if (rc != ZVRIPC_OK) {
        map_.reset();
        return rc;
    }
    seg_ = seg;
    return ZVRIPC_OK;
}

int CmView::get_action(int *action, char *acttype) {
    SegmentLock lock(&seg_->lock, &seg_->recoveries);
    if (lock.result() != ZVRIPC_OK) {
        return lock.result();
    }
    *action = seg_->action;
    if (acttype != nullptr) {
        std::memcpy(acttype, seg_->acttype, sizeof seg_->acttype);
        acttype[sizeof seg_->acttype - 1] = '\0';
    }
    return ZVRIPC_OK;
}

int CmView::get_ratio(int *ratio, int *period) {
    SegmentLock lock(&seg_->lock, &seg_->recoveries);
    if (lock.result() != ZVRIPC_OK) {
        return lock.result();
    }
    *ratio = seg_->ratio;
    if (period != nullptr) {
        *period = seg_->period;
    }
    return ZVRIPC_OK;
}

int CmView::set_ratio(int ratio, int period) {
    if (ratio < 1 || period < 0) {
        return fail(ZVRIPC_EARG, "ratio %d must be at least 1 and period %d at least 0", ratio, period);
    }
    SegmentLock lock(&seg_->lock, &seg_->recoveries);
    if (lock.result() != ZVRIPC_OK) {
        return lock.result();
    }
    seg_->ratio = ratio;
    seg_->period = period;
    return ZVRIPC_OK;
}

int CmView::set_action(int action, const char *acttype) {
    if (acttype != nullptr && std::strlen(acttype) > ZVRIPC_ACTTYPE_MAX) {
        return fail(ZVRIPC_EARG, "action type \"%s\" is longer than %d bytes", acttype, ZVRIPC_ACTTYPE_MAX);
    }
    SegmentLock lock(&seg_->lock, &seg_->recoveries);
    if (lock.result() != ZVRIPC_OK) {
        return lock.result();
    }
    seg_->action = action;
    if (acttype != nullptr) {
        copy_field(seg_->acttype, sizeof seg_->acttype, acttype);
    }
    return ZVRIPC_OK;
}

int CmView::read_all(int *action, char *acttype, int *ratio, int *period, std::uint64_t *recoveries) {
    SegmentLock lock(&seg_->lock, &seg_->recoveries);
    if (lock.result() != ZVRIPC_OK) {
        return lock.result();
    }
    *action = seg_->action;
    std::memcpy(acttype, seg_->acttype, sizeof seg_->acttype);
    acttype[sizeof seg_->acttype - 1] = '\0';
    *ratio = seg_->ratio;
    *period = seg_->period;
    *recoveries = seg_->recoveries;
    return ZVRIPC_OK;
}

// ---- NmView --------------------------------------------------------------------------

void NmView::reset() {
    map_.reset();
    hdr_ = nullptr;
    nodes_ = nullptr;
    rscs_ = nullptr;
    states_ = nullptr;
    state_history_ = status_history_ = nullptr;
    liveness_ = nullptr;
    nodes_count_ = rscs_count_ = 0;
    node_entries_.clear();
    rsc_entries_.clear();
    rsc_index_.clear();
    node_by_name_.clear();
    node_by_id_.clear();
}

int NmView::open(const std::string &ns) {
    reset();
    std::string object = object_names(ns).nm;
    if (int rc = map_.open(object, sizeof(Prefix))) {
        return rc;
    }
    auto *hdr = static_cast<NmHeader *>(map_.addr());
    int rc = check_prefix(object, &hdr->prefix, kNmMagic, sizeof(NmHeader), map_.size());
    if (rc == ZVRIPC_OK) {
        rc = check_group("segment", object, map_.stat(), hdr->prefix.writer_gid);
    }
    if (rc == ZVRIPC_OK &&
        (hdr->node_record_size != sizeof(NodeRecord) || hdr->rsc_record_size != sizeof(RscRecord))) {
        rc = fail(ZVRIPC_EBADSEG, "segment %s: records of %u and %u bytes, expected %zu and %zu",
                  object.c_str(), hdr->node_record_size, hdr->rsc_record_size, sizeof(NodeRecord),
                  sizeof(RscRecord));
    }
    if (rc == ZVRIPC_OK &&
        (hdr->history_record_size != sizeof(HistoryRecord) || hdr->history_recent != kHistoryRecent)) {
        rc = fail(ZVRIPC_EBADSEG,
                  "segment %s: history records of %u bytes with %u change times, expected %zu and %u",
                  object.c_str(), hdr->history_record_size, hdr->history_recent, sizeof(HistoryRecord),
                  kHistoryRecent);
    }
    // Counts are read only once the header is known to be whole.
    std::uint32_t nodes = rc == ZVRIPC_OK ? hdr->node_count : 0;
    std::uint32_t rscs = rc == ZVRIPC_OK ? hdr->rsc_count : 0;
    if (rc == ZVRIPC_OK && (nodes > ZVRIPC_MAX_NODES || rscs > ZVRIPC_MAX_RESOURCES)) {
        rc = fail(ZVRIPC_EBADSEG, "segment %s: %u nodes and %u resources, more than %d and %d",
                  object.c_str(), nodes, rscs, ZVRIPC_MAX_NODES, ZVRIPC_MAX_RESOURCES);
    }
    if (rc == ZVRIPC_OK && nm_total_size(nodes, rscs) != map_.size()) {
        rc = fail(ZVRIPC_EBADSEG, "segment %s: %u nodes and %u resources need %llu bytes, it holds %llu",
                  object.c_str(), nodes, rscs, static_cast<unsigned long long>(nm_total_size(nodes, rscs)),
                  static_cast<unsigned long long>(map_.size()));
    }
    if (rc != ZVRIPC_OK) {
        map_.reset();
        return rc;
    }
    auto *base = static_cast<char *>(map_.addr());
    auto *node_records = reinterpret_cast<NodeRecord *>(base + nm_nodes_offset());
    auto *rsc_records = reinterpret_cast<RscRecord *>(base + nm_rscs_offset(nodes));
    // Each record is copied before it is looked at: a writer that changes it meanwhile
    // changes nothing that was checked.
    for (std::uint32_t i = 0; i < nodes && rc == ZVRIPC_OK; ++i) {
        NodeRecord node;
        std::memcpy(&node, &node_records[i], sizeof node);
        std::size_t len = field_length(node.name, sizeof node.name);
        if (len == 0 || len == sizeof node.name) {
            rc = fail(ZVRIPC_EBADSEG, "segment %s: node %u has an empty or unterminated name", object.c_str(),
                      i);
        } else if (!node_by_name_.emplace(std::string(node.name, len), i).second ||
                   !node_by_id_.emplace(node.priority, i).second) {
            rc = fail(ZVRIPC_EBADSEG, "segment %s: node %u (%s) repeats a name or priority", object.c_str(),
                      i, node.name);
        } else {
            node_entries_.push_back({std::string(node.name, len), node.priority});
        }
    }
    for (std::uint32_t i = 0; i < rscs && rc == ZVRIPC_OK; ++i) {
        RscRecord r;
        std::memcpy(&r, &rsc_records[i], sizeof r);
        std::size_t tlen = field_length(r.type, sizeof r.type);
        std::size_t nlen = field_length(r.name, sizeof r.name);
        if (tlen == 0 || tlen == sizeof r.type || nlen == 0 || nlen == sizeof r.name) {
            rc = fail(ZVRIPC_EBADSEG, "segment %s: resource %u has an empty or unterminated type or name",
                      object.c_str(), i);
        } else if (!rsc_index_.emplace(rsc_key(r.type, r.name), i).second) {
            rc = fail(ZVRIPC_EBADSEG, "segment %s: resource %u (%s/%s) is there twice", object.c_str(), i,
                      r.type, r.name);
        } else {
            rsc_entries_.push_back({std::string(r.type, tlen), std::string(r.name, nlen), r.priority});
        }
    }
    if (rc == ZVRIPC_OK) {
        rc = check_liveness_block(object, base + nm_liveness_offset(nodes, rscs));
    }
    if (rc == ZVRIPC_OK) {
        rc = check_lock(object, &hdr->lock, &hdr->recoveries);
    }
    if (rc != ZVRIPC_OK) {
        reset();
        return rc;
    }
    hdr_ = hdr;
    nodes_ = node_records;
    rscs_ = rsc_records;
    states_ = reinterpret_cast<std::int32_t *>(base + nm_states_offset(nodes, rscs));
    state_history_ = reinterpret_cast<HistoryRecord *>(base + nm_history_offset(nodes, rscs));
    status_history_ = reinterpret_cast<HistoryRecord *>(base + nm_status_history_offset(nodes, rscs));
    liveness_ = reinterpret_cast<LivenessBlock *>(base + nm_liveness_offset(nodes, rscs));
    nodes_count_ = nodes;
    rscs_count_ = rscs;
    return ZVRIPC_OK;
}

namespace {

// Fills a multi-string list from the names that pass `take`, following the two-call
// protocol: a null buffer asks for the size, a buffer smaller than the list is refused.
template <class Take, class Name>
int fill_list(std::uint32_t count, Take &&take, Name &&name, char *buf, int *size) {
    if (size == nullptr || *size < 0) {
        return fail(ZVRIPC_EARG, "the size argument is null or negative");
    }
    std::uint64_t need = 1;
    for (std::uint32_t i = 0; i < count; ++i) {
        if (take(i)) {
            need += name(i).size() + 1;
        }
    }
    need = std::max<std::uint64_t>(need, 2);  // the empty list is two NUL bytes
    if (buf == nullptr) {
        *size = static_cast<int>(need);
        return ZVRIPC_OK;
    }
    if (static_cast<std::uint64_t>(*size) < need) {
        int given = *size;
        *size = static_cast<int>(need);
        return fail(ZVRIPC_ESIZE, "a buffer of %d bytes is too small for the list of %llu bytes", given,
                    static_cast<unsigned long long>(need));
    }
    char *out = buf;
    for (std::uint32_t i = 0; i < count; ++i) {
        if (take(i)) {
            const std::string &text = name(i);
            std::memcpy(out, text.c_str(), text.size() + 1);
            out += text.size() + 1;
        }
    }
    *out++ = '\0';
    if (out == buf + 1) {
        *out = '\0';
    }
    *size = static_cast<int>(need);
    return ZVRIPC_OK;
}

}  // namespace

int NmView::enum_rsc(const char *type, char *buf, int *size) const {
    if (type == nullptr) {
        return fail(ZVRIPC_EARG, "the resource type is null");
    }
    return fill_list(
        rscs_count_, [&](std::uint32_t i) { return rsc_entries_[i].type == type; },
        [&](std::uint32_t i) -> const std::string & { return rsc_entries_[i].name; }, buf, size);
}

int NmView::enum_node(char *buf, int *size) const {
    return fill_list(
        nodes_count_, [](std::uint32_t) { return true; },
        [&](std::uint32_t i) -> const std::string & { return node_entries_[i].name; }, buf, size);
}

int NmView::node_priority(const char *node, int *pri) const {
    if (node == nullptr || pri == nullptr) {
        return fail(ZVRIPC_EARG, "null node name or result pointer");
    }
    auto it = node_by_name_.find(node);
    if (it == node_by_name_.end()) {
        return fail(ZVRIPC_ENOTFOUND, "no node \"%s\"", node);
    }
    *pri = node_entries_[it->second].priority;
    return ZVRIPC_OK;
}

int NmView::find_rsc(const char *type, const char *rsc, std::uint32_t *index) const {
    if (type == nullptr || rsc == nullptr) {
        return fail(ZVRIPC_EARG, "null resource type or name");
    }
    auto it = rsc_index_.find(rsc_key(type, rsc));
    if (it == rsc_index_.end()) {
        return fail(ZVRIPC_ENOTFOUND, "no resource %s/%s", type, rsc);
    }
    *index = it->second;
    return ZVRIPC_OK;
}

int NmView::find_node(int nodeid, std::uint32_t *index) const {
    auto it = node_by_id_.find(nodeid);
    if (it == node_by_id_.end()) {
        return fail(ZVRIPC_ENOTFOUND, "no node with id %d", nodeid);
    }
    *index = it->second;
    return ZVRIPC_OK;
}

int NmView::rsc_priority(const char *type, const char *rsc, int *pri) const {
    std::uint32_t r = 0;
    if (pri == nullptr) {
        return fail(ZVRIPC_EARG, "null result pointer");
    }
    if (int rc = find_rsc(type, rsc, &r)) {
        return rc;
    }
    *pri = rsc_entries_[r].priority;
    return ZVRIPC_OK;
}

int NmView::get_state(const char *type, const char *rsc, int nodeid, int *stat) {
    std::uint32_t r = 0;
    std::uint32_t n = 0;
    if (stat == nullptr) {
        return fail(ZVRIPC_EARG, "null result pointer");
    }
    if (int rc = find_rsc(type, rsc, &r)) {
        return rc;
    }
    if (int rc = find_node(nodeid, &n)) {
        return rc;
    }
    SegmentLock lock(&hdr_->lock, &hdr_->recoveries);
    if (lock.result() != ZVRIPC_OK) {
        return lock.result();
    }
    *stat = states_[static_cast<std::size_t>(r) * nodes_count_ + n];
    return ZVRIPC_OK;
}

int NmView::set_state(const char *type, const char *rsc, int nodeid, int stat) {
    std::uint32_t r = 0;
    std::uint32_t n = 0;
    if (!valid_state(stat)) {
        return fail(ZVRIPC_EARG, "state %d is not one of %d, %d, %d, %d", stat, RSCSV_ONLINE, RSCSV_OFFLINE,
                    RSCSV_UNKNOWN, RSCSV_UNUSED);
    }
    if (int rc = find_rsc(type, rsc, &r)) {
        return rc;
    }
    if (int rc = find_node(nodeid, &n)) {
        return rc;
    }
    // The clocks are read before the lock, so that it is held for stores only.
    const Stamp now = stamp_now();
    SegmentLock lock(&hdr_->lock, &hdr_->recoveries);
    if (lock.result() != ZVRIPC_OK) {
        return lock.result();
    }
    const std::size_t at = static_cast<std::size_t>(r) * nodes_count_ + n;
    if (states_[at] != stat) {
        states_[at] = stat;
        note_change(state_history_[at], now);
    }
    return ZVRIPC_OK;
}

int NmView::set_status(const char *type, const char *rsc, int stat) {
    std::uint32_t r = 0;
    if (!valid_status(stat)) {
        return fail(ZVRIPC_EARG, "status %d is not one of %d, %d, %d, %d, %d", stat, RSC_NORMAL, RSC_CAUTION,
                    RSC_ERROR, RSC_UNKNOWN, RSC_UNUSED);
    }
    if (int rc = find_rsc(type, rsc, &r)) {
        return rc;
    }
    const Stamp now = stamp_now();
    SegmentLock lock(&hdr_->lock, &hdr_->recoveries);
    if (lock.result() != ZVRIPC_OK) {
        return lock.result();
    }
    if (rscs_[r].status != stat) {
        rscs_[r].status = stat;
        note_change(status_history_[r], now);
    }
    return ZVRIPC_OK;
}

int NmView::get_waitstat(int *waitstat) {
    if (waitstat == nullptr) {
        return fail(ZVRIPC_EARG, "null result pointer");
    }
    SegmentLock lock(&hdr_->lock, &hdr_->recoveries);
    if (lock.result() != ZVRIPC_OK) {
        return lock.result();
    }
    *waitstat = hdr_->waitstat;
    return ZVRIPC_OK;
}

int NmView::set_waitstat(int waitstat) {
    if (waitstat != 0 && waitstat != 1) {
        return fail(ZVRIPC_EARG, "wait status %d is neither 0 nor 1", waitstat);
    }
    SegmentLock lock(&hdr_->lock, &hdr_->recoveries);
    if (lock.result() != ZVRIPC_OK) {
        return lock.result();
    }
    hdr_->waitstat = waitstat;
    return ZVRIPC_OK;
}

std::uint64_t NmView::changes() const {
    return std::atomic_ref<std::uint64_t>(hdr_->changes).load(std::memory_order_acquire);
}

std::uint64_t NmView::advance_changes() {
    return std::atomic_ref<std::uint64_t>(hdr_->changes).fetch_add(1, std::memory_order_acq_rel) + 1;
}

int NmView::read_all(int *statuses, int *states, HistoryRecord *status_history, HistoryRecord *state_history,
                     int *waitstat, std::uint64_t *changes, std::uint64_t *recoveries) {
    SegmentLock lock(&hdr_->lock, &hdr_->recoveries);
    if (lock.result() != ZVRIPC_OK) {
        return lock.result();
    }
    for (std::uint32_t r = 0; r < rscs_count_; ++r) {
        statuses[r] = rscs_[r].status;
    }
    // A namespace without resources or nodes hands empty (possibly null) buffers: memcpy
    // must not see a null pointer even for zero bytes.
    const std::size_t pairs = static_cast<std::size_t>(rscs_count_) * nodes_count_;
    if (pairs != 0) {
        std::memcpy(states, states_, pairs * sizeof(int));
        std::memcpy(state_history, state_history_, pairs * sizeof(HistoryRecord));
    }
    if (rscs_count_ != 0) {
        std::memcpy(status_history, status_history_, rscs_count_ * sizeof(HistoryRecord));
    }
    *waitstat = hdr_->waitstat;
    *changes = this->changes();
    *recoveries = hdr_->recoveries;
    return ZVRIPC_OK;
}

// ---- creation and removal ------------------------------------------------------------

int create_namespace(const std::string &ns, const zvripc_node_def *nodes, int node_count,
                     const zvripc_rsc_def *rscs, int rsc_count, const zvripc_create_opts &opts) {
    if (int rc = check_definitions(nodes, node_count, rscs, rsc_count)) {
        return rc;
    }
    if (opts.gid < -1) {
        return fail(ZVRIPC_EARG, "group id %d is not valid", opts.gid);
    }
    if (opts.replace != 0) {
        int rc = destroy_namespace(ns);
        if (rc != ZVRIPC_OK && rc != ZVRIPC_ENOENT) {
            return rc;
        }
    }
    ObjectNames names = object_names(ns);
    mode_t mode = opts.gid >= 0 ? 0660 : 0600;
    Rollback rollback;
    if (int rc = create_semaphore(names.statchange, mode, opts.gid, rollback)) {
        return rc;
    }
    if (int rc = create_semaphore(names.downnotify, mode, opts.gid, rollback)) {
        return rc;
    }
    int rc = create_segment(names.cm, sizeof(CmSegment), mode, opts.gid, kCmMagic, rollback, [&](void *addr) {
        auto *seg = static_cast<CmSegment *>(addr);
        seg->prefix.header_size = sizeof(CmSegment);
        seg->action = 0;
        seg->ratio = 1;
        seg->period = 0;
        return init_robust_mutex(&seg->lock, names.cm);
    });
    if (rc != ZVRIPC_OK) {
        return rc;
    }
    auto n = static_cast<std::uint32_t>(node_count);
    auto r = static_cast<std::uint32_t>(rsc_count);
    rc = create_segment(names.nm, nm_total_size(n, r), mode, opts.gid, kNmMagic, rollback, [&](void *addr) {
        auto *hdr = static_cast<NmHeader *>(addr);
        hdr->prefix.header_size = sizeof(NmHeader);
        hdr->node_count = n;
        hdr->rsc_count = r;
        hdr->node_record_size = sizeof(NodeRecord);
        hdr->rsc_record_size = sizeof(RscRecord);
        hdr->waitstat = 0;
        hdr->history_record_size = sizeof(HistoryRecord);
        hdr->history_recent = kHistoryRecent;
        const Stamp created = stamp_now();
        hdr->created_wall_ns = created.wall;
        hdr->created_mono_ns = created.mono;
        auto *base = static_cast<char *>(addr);
        auto *node_records = reinterpret_cast<NodeRecord *>(base + nm_nodes_offset());
        for (std::uint32_t i = 0; i < n; ++i) {
            copy_field(node_records[i].name, sizeof node_records[i].name, nodes[i].name);
            node_records[i].priority = nodes[i].priority;
        }
        auto *rsc_records = reinterpret_cast<RscRecord *>(base + nm_rscs_offset(n));
        for (std::uint32_t i = 0; i < r; ++i) {
            copy_field(rsc_records[i].type, sizeof rsc_records[i].type, rscs[i].type);
            copy_field(rsc_records[i].name, sizeof rsc_records[i].name, rscs[i].name);
            rsc_records[i].priority = rscs[i].priority;
            rsc_records[i].status = RSC_UNKNOWN;
        }
        auto *states = reinterpret_cast<std::int32_t *>(base + nm_states_offset(n, r));
        for (std::uint64_t i = 0; i < static_cast<std::uint64_t>(n) * r; ++i) {
            states[i] = RSCSV_UNKNOWN;
        }
        init_liveness_block(base + nm_liveness_offset(n, r));
        return init_robust_mutex(&hdr->lock, names.nm);
    });
    if (rc != ZVRIPC_OK) {
        return rc;
    }
    rollback.commit();
    return ZVRIPC_OK;
}

int destroy_namespace(const std::string &ns) {
    ObjectNames names = object_names(ns);
    int missing = 0;
    int rc = ZVRIPC_OK;
    auto note = [&](int result, const std::string &object) {
        if (result == 0) {
            return;
        }
        if (errno == ENOENT) {
            ++missing;
        } else if (rc == ZVRIPC_OK) {
            rc = fail(ZVRIPC_ESYS, "cannot remove %s: %s", object.c_str(), std::strerror(errno));
        }
    };
    note(shm_unlink(names.nm.c_str()), names.nm);
    note(shm_unlink(names.cm.c_str()), names.cm);
    note(sem_unlink(names.statchange.c_str()), names.statchange);
    note(sem_unlink(names.downnotify.c_str()), names.downnotify);
    if (missing == 4) {
        return fail(ZVRIPC_ENOENT, "namespace \"%s\" does not exist", ns.c_str());
    }
    return rc;
}

}  // namespace zvripc
