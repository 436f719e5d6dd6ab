// SPDX-License-Identifier: GPL-3.0-or-later
// Whether the configuration, the policy directory and its policies are the
// administrator's: owned by root or by this process's user, and writable by nobody
// else. The daemon runs as root and takes its failover timing from them. Free
// functions, no shared state: thread-safe.
#pragma once

#include <sys/stat.h>

#include <string>

namespace zvrxml {

// Empty when st (of `path`) is trusted, else a sentence naming the path, its owner and
// mode and what is wrong.
std::string untrusted(const std::string &path, const struct stat &st);

// The same for the policy directory and every NAME.xml in it; empty when all are fine.
std::string untrusted_policy_dir(const std::string &dir);

}  // namespace zvrxml
