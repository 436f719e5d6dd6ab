// SPDX-License-Identifier: GPL-3.0-or-later
// Mapping one shared-memory object of a namespace, after checking whose it is and that
// it holds at least its header, and checking the prefix every segment starts with.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "namespace.h"
#include "segment.h"
#include "trust.h"

namespace zvripc {

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
        return fail(ZVRIPC_ESYS, "segment %s: cannot open: %s", object.c_str(), errno_text(err).c_str());
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
    void *addr = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    int err = errno;
    close(fd);
    if (addr == MAP_FAILED) {
        return fail(ZVRIPC_ESYS, "segment %s: cannot map: %s", object.c_str(), errno_text(err).c_str());
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

}  // namespace zvripc
