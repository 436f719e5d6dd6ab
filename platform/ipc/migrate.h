// SPDX-License-Identifier: GPL-3.0-or-later
// Namespaces made by an older tavik. Each older layout this project released has one
// step to the layout after it; a segment is brought to the current layout by its
// steps in turn, as bytes in memory, and then replaces the old object whole (a new
// object under a temporary name, renamed over the old one), so that a crash part-way
// leaves either the old segment or the new one under the name, never half of each.
// Readers that must not change the namespace get the same converted bytes as a private
// copy (Mapping::adopt).
#pragma once

#include <sys/stat.h>

#include <cstdint>
#include <string>
#include <vector>

#include "layout.h"

namespace zvripc {

// The oldest layout a namespace is migrated from: the layout of the first release.
inline constexpr std::uint32_t kOldestLayout = 2;

// Whether a segment of layout `version` can be brought to the current one.
bool migratable(std::uint32_t version);

// Brings the bytes of a segment (`magic` says which kind; `st` is its object's, for the
// group it was made for) from the layout they carry to the current one. ZVRIPC_EBADSEG,
// naming both versions, when the layout is unknown or the bytes do not hold what their
// layout says.
int upgrade_segment(const std::string &object, std::uint32_t magic, const struct stat &st,
                    std::vector<char> &bytes);

// Where a segment of layout `version` keeps its lock (byte offset), for taking it
// while the segment is copied.
std::size_t lock_offset(std::uint32_t magic, std::uint32_t version);

// Writes `bytes` (a whole segment of the current layout, magic included) as a new object
// with this mode and group and renames it over `object`: readers that still map the
// old object find it replaced, as after `init --force`. The lock is made anew.
int replace_segment(const std::string &object, std::vector<char> bytes, mode_t mode, gid_t gid);

// Brings both segments of namespace `ns` to the current layout, each under its own
// lock; *from is the oldest layout found (the current one when nothing was to do).
// A segment of a newer layout is refused before anything is changed.
int migrate_namespace(const std::string &ns, int *from);

// Appends an audit record ("migrate", "layout 2", "layout 3") to a node-manager
// image, so that what the older layout lacked is seen to start there.
void audit_into(std::vector<char> &nm, const char *what, const char *from, const char *to);

}  // namespace zvripc
