// SPDX-License-Identifier: GPL-3.0-or-later
// Mapping one shared-memory object of a namespace, after checking whose it is and that
// it holds at least its header, and checking the prefix every segment starts with.
// Objects are opened from their files in /dev/shm as shm_open would, but never waiting:
// a FIFO planted under a segment's name would otherwise block the open for ever.
#include <fcntl.h>
#include <sched.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "fault_guard.h"
#include "namespace.h"
#include "segment.h"
#include "trust.h"

namespace zvripc {

int open_object(const char *kind, const std::string &object, const std::string &file, int access) {
    int fd = ::open(file.c_str(), access | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd >= 0) {
        return fd;
    }
    int err = errno;
    if (err == ENOENT) {
        return -fail(ZVRIPC_ENOENT, "%s %s does not exist", kind, object.c_str());
    }
    if (err == ELOOP) {
        return -fail(ZVRIPC_EPERM, "%s %s: %s: a symbolic link; refused", kind, object.c_str(), file.c_str());
    }
    if (err == ENXIO) {  // a FIFO without a reader; any other one is refused after fstat
        return -fail(ZVRIPC_EPERM, "%s %s: %s: not a regular file; refused", kind, object.c_str(),
                     file.c_str());
    }
    return -fail(ZVRIPC_ESYS, "%s %s: cannot open %s: %s", kind, object.c_str(), file.c_str(),
                 errno_text(err).c_str());
}

int Mapping::open(const std::string &object, std::uint64_t min_size, bool writable) {
    reset();
    int fd = open_object("segment", object, segment_file(object), writable ? O_RDWR : O_RDONLY);
    if (fd < 0) {
        return -fd;
    }
    struct stat st {};
    if (fstat(fd, &st) != 0) {
        int err = errno;
        close(fd);
        return fail(ZVRIPC_ESYS, "segment %s: cannot stat: %s", object.c_str(), errno_text(err).c_str());
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
    void *addr = mmap(nullptr, size, writable ? PROT_READ | PROT_WRITE : PROT_READ, MAP_SHARED, fd, 0);
    int err = errno;
    close(fd);
    if (addr == MAP_FAILED) {
        return fail(ZVRIPC_ESYS, "segment %s: cannot map: %s", object.c_str(), errno_text(err).c_str());
    }
    slot_ = guard_mapping(addr, size);
    if (slot_ < 0) {
        munmap(addr, size);
        return ZVRIPC_ESYS;
    }
    object_ = object;
    writable_ = writable;
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
        release_guard(slot_);
        munmap(addr_, size_);
    }
    slot_ = -1;
    addr_ = nullptr;
    size_ = 0;
}

bool Mapping::current() const {
    if (addr_ == nullptr) {
        return false;
    }
    struct stat st {};
    return fstatat(AT_FDCWD, segment_file(object_).c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
           st.st_dev == dev_ && st.st_ino == ino_;
}

int Mapping::intact() const {
    if (!guard_lost(slot_)) {
        return ZVRIPC_OK;
    }
    struct stat st {};
    long long now = ::stat(segment_file(object_).c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
    return fail(ZVRIPC_EBADSEG,
                "segment %s changed under this process: it shrank from %llu to %lld bytes (truncated by a "
                "process that may write it); it is no longer used",
                object_.c_str(), static_cast<unsigned long long>(size_), now);
}

int Mapping::stable_copy(std::vector<char> &out, const pthread_mutex_t *lock) const {
    constexpr int kTries = 100;
    const auto lock_at = reinterpret_cast<const char *>(lock) - static_cast<const char *>(addr_);
    std::vector<char> again(size_);
    out.resize(size_);
    for (int i = 0; i < kTries; ++i) {
        std::memcpy(out.data(), addr_, size_);
        std::memcpy(again.data(), addr_, size_);
        int held = 0;
        std::memcpy(&held, out.data() + lock_at, sizeof held);  // glibc: the lock word leads
        if (held == 0 && std::memcmp(out.data(), again.data(), size_) == 0) {
            return intact();
        }
        sched_yield();
    }
    return fail(ZVRIPC_ELOCK, "segment %s kept changing while it was read without its lock", object_.c_str());
}

int Mapping::adopt(const std::vector<char> &image) {
    void *copy = mmap(nullptr, image.size(), PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (copy == MAP_FAILED) {
        return fail(ZVRIPC_ESYS, "segment %s: cannot map a copy of %zu bytes: %s", object_.c_str(),
                    image.size(), errno_text(errno).c_str());
    }
    std::memcpy(copy, image.data(), image.size());
    mprotect(copy, image.size(), PROT_READ);
    release_guard(slot_);
    munmap(addr_, size_);
    slot_ = -1;  // private memory cannot shrink
    addr_ = copy;
    size_ = image.size();
    writable_ = false;
    return ZVRIPC_OK;
}

int check_prefix(const std::string &object, Prefix *prefix, std::uint32_t magic, std::uint32_t header_size,
                 std::uint64_t mapped) {
    std::uint32_t found = magic_of(prefix).load(std::memory_order_acquire);
    if (found != magic) {
        return fail(ZVRIPC_EBADSEG, "segment %s: bad magic 0x%08x (expected 0x%08x)", object.c_str(), found,
                    magic);
    }
    if (prefix->version < kVersion) {
        return fail(
            ZVRIPC_EBADSEG,
            "segment %s: layout version %u, this library reads %u: made by an older tavik; restarting "
            "the service (or `tavikctl init --if-missing`) migrates it",
            object.c_str(), prefix->version, kVersion);
    }
    if (prefix->version != kVersion) {
        return fail(ZVRIPC_EBADSEG,
                    "segment %s: layout version %u, this library reads %u: made by a newer tavik",
                    object.c_str(), prefix->version, kVersion);
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

}  // namespace zvripc
