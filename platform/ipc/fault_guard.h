// SPDX-License-Identifier: GPL-3.0-or-later
// Shared objects that may shrink under this process. Whoever may write a segment or a
// semaphore file may also truncate it, and touching a mapped page past the new end raises
// SIGBUS, which would kill the daemon before it could tell its BMC or its peers. A
// guarded mapping instead has its pages replaced by private zero-filled memory on such a
// fault and is marked lost; the access that faulted completes on that memory, and the
// caller turns the mark into an error. A segment's lock is registered too, so that its
// copy in that memory keeps the C library's unlock from writing through null
// (lock_word.h). The registry is a fixed table of atomics read
// by the signal handler; registering and releasing are thread-safe.
#pragma once

#include <cstddef>

namespace zvripc {

// Guards [addr, addr + size); returns the slot, or -1 (with the error set) when the table
// is full. Installs the SIGBUS handler when it is not in place.
int guard_mapping(void *addr, std::size_t size);
// Before the range is unmapped.
void release_guard(int slot);
// Whether the guarded range lost its object's pages (slot -1: never).
bool guard_lost(int slot);
// The lock inside a guarded range (a segment's), before it is first taken.
void guard_lock(const void *lock);
// Whether the guarded range holding addr lost its object's pages; touches addr first, so
// that a loss not yet met is met here.
bool guard_lost_at(const void *addr);

}  // namespace zvripc
