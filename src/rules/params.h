// SPDX-License-Identifier: GPL-3.0-or-later
// The configuration keys the daemon reads as integers: where each lives, the default a
// failed read leaves, and the correction applied to the value read. The daemon reads
// through this table, and `tavikctl check-config` and the detection windows judge a file
// with it, so a changed default or bound changes both. Constant data and pure functions:
// safe from any thread.
#pragma once

#include <span>
#include <string_view>

namespace rules {

enum class Key {
    maxnode,
    maxrsc,
    hbto,
    hbint,
    warnrate,
    stacksize,
    nice,
    schedule,
    priority,
    watchth,
    loglevel,
    logsize
};

// What a correction did, and so which message the daemon logs for it.
enum class Fix {
    none,           // the value stands
    silent,         // changed, nothing worth a message
    invalid_ms,     // "invalid NAME(v). set to D msec."
    zero_ms,        // "NAME(v). set to N msec."
    negative,       // "invalid NAME(v). set to 0."
    under_minimum,  // "under minimum NAME(v). set to MIN."
};

struct Corrected {
    int value;
    Fix fix;
};

struct Param {
    Key id;
    int defval;
    const char *policy;
    const char *path;
    const char *name;                 // in the daemon's correction messages; null without one
    Corrected (*correct)(int value);  // null: any value read is kept
    const char *zero_means;           // what 0 does, for people reading a correction; may be null
};

// Every integer key, grouped by policy in the order the daemon's table build reads them.
std::span<const Param> params();
const Param &param(Key id);
const Param *find_param(std::string_view path);

// The value the daemon goes on with after reading `value` for p.
Corrected correct(const Param &p, int value);

// The real-time priority the daemon asks for under scheduling policy `schedule`: a
// priority out of 1..99 becomes 1 (0 keeps the inherited policy and ignores it).
int rtpriority(int schedule, int priority);

// The memory-lock key is the one text key among the daemon's settings.
inline constexpr const char *kMlockPath = "/root/tavik/mlock";
inline constexpr int kMlockSize = 16;

}  // namespace rules
