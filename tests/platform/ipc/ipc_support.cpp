// SPDX-License-Identifier: GPL-3.0-or-later
// RawSegment: maps a segment directly, bypassing the library's checks.
#include "ipc_support.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <stdexcept>

namespace ipctest {

RawSegment::RawSegment(const std::string &object) {
    int fd = shm_open(object.c_str(), O_RDWR, 0);
    if (fd < 0) {
        throw std::runtime_error(object + ": cannot open");
    }
    struct stat st {};
    fstat(fd, &st);
    size_ = static_cast<std::size_t>(st.st_size);
    addr_ = mmap(nullptr, size_, PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
    close(fd);
    if (addr_ == MAP_FAILED) {
        throw std::runtime_error(object + ": cannot map");
    }
}

RawSegment::~RawSegment() {
    if (addr_ != MAP_FAILED) {
        munmap(addr_, size_);
    }
}

}  // namespace ipctest
