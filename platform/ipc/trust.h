// SPDX-License-Identifier: GPL-3.0-or-later
// Whom the objects of a namespace may belong to before this process relies on them:
// root or this process's own user as owner, nobody else able to write, and a group only
// when it is the one the namespace was created for. Every check looks at an open
// descriptor, so the object checked is the object used. The semaphores are mapped here
// from their files for the same reason. Free functions, no shared state: thread-safe.
#pragma once

#include <semaphore.h>
#include <sys/stat.h>

#include <cstdint>
#include <string>

namespace zvripc {

// "owner nobody (65534), group nogroup (65534), mode 0666"
std::string describe_owner(const struct stat &st);

// Owner and others: the part of the check that needs nothing from inside the object.
// `kind` is "segment" or "semaphore". ZVRIPC_OK or ZVRIPC_EPERM with the reason.
int check_owner(const char *kind, const std::string &object, const struct stat &st);

// The group part: group write is allowed only to `group`, the group recorded at creation
// (kNoGroup: to none).
int check_group(const char *kind, const std::string &object, const struct stat &st, std::uint32_t group);

// The group recorded in the node-manager segment of namespace `ns`: kNoGroup when the
// segment is missing, foreign or not trusted itself.
std::uint32_t recorded_group(const std::string &ns);

// Opens the named semaphore `object` (such as "/tavik.statchange") from its file, checks
// it and maps it, guarded (fault_guard.h, `slot`). ZVRIPC_ENOENT when it does not exist.
int open_semaphore(const std::string &object, std::uint32_t group, sem_t **sem, int *slot);
void close_semaphore(sem_t *sem, int slot);

// Creating: sets the mode and group of a semaphore just made, through a descriptor.
int set_semaphore_mode(const std::string &object, mode_t mode, int gid);

// For a create that found an object in the way: its owner and mode, or empty.
std::string describe_existing(const std::string &file);

// glibc keeps a named semaphore as the file sem.NAME in the shared-memory directory, and
// a segment as NAME there.
std::string semaphore_file(const std::string &object);
std::string segment_file(const std::string &object);

}  // namespace zvripc
