// SPDX-License-Identifier: GPL-3.0-or-later
// What the files that create, attach and check the two segments share: the prefix every
// segment starts with, the lock inside each, and the fixed-size name fields.
#pragma once

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <string>

#include "layout.h"

namespace zvripc {

// The magic is stored last at creation and read first at attach: a segment is published
// by it.
inline std::atomic_ref<std::uint32_t> magic_of(Prefix *prefix) {
    return std::atomic_ref<std::uint32_t>(prefix->magic);
}

// mapping.cpp: the prefix against the kind (magic), the layout version, the header size
// and the size actually mapped.
int check_prefix(const std::string &object, Prefix *prefix, std::uint32_t magic, std::uint32_t header_size,
                 std::uint64_t mapped);

// segment_lock.cpp: a process-shared robust mutex, as every segment's lock is made.
int init_robust_mutex(pthread_mutex_t *mutex, const std::string &object);

// segment_lock.cpp: refuses a lock that could never be taken (see there) and recovers
// one whose last holder died; waits a bounded time for a live holder.
int check_lock(const std::string &object, pthread_mutex_t *mutex, std::uint64_t *recoveries);

// Writes text into a fixed-size name field, cut to fit, NUL-filled.
inline void copy_field(char *field, std::size_t size, const char *text) {
    std::memset(field, 0, size);
    std::memcpy(field, text, std::min(std::strlen(text), size - 1));
}

}  // namespace zvripc
