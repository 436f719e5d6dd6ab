// SPDX-License-Identifier: GPL-3.0-or-later
// Finding the daemon binary.
#include "daemon_path.h"

#include <unistd.h>

#include <cstdlib>

namespace tavikctl {

namespace {

std::string from_env(const char *name) {
    const char *env = std::getenv(name);
    return env != nullptr ? env : "";
}

}  // namespace

std::string self_path() {
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n <= 0) {
        return "tavikctl";
    }
    self[n] = '\0';
    return self;
}

bool running_from_build_tree() {
    return self_path() == TAVIK_BUILD_TAVIKCTL;
}

std::string default_daemon_path() {
    if (std::string env = from_env("TAVIK_DAEMON"); !env.empty()) {
        return env;
    }
    if (running_from_build_tree() && access(TAVIK_BUILD_DAEMON, X_OK) == 0) {
        return TAVIK_BUILD_DAEMON;
    }
    return TAVIK_INSTALLED_DAEMON;
}

std::string default_bmcsim_path() {
    if (running_from_build_tree() && access(TAVIK_BUILD_BMCSIM, X_OK) == 0) {
        return TAVIK_BUILD_BMCSIM;
    }
    return TAVIK_INSTALLED_BMCSIM;
}

std::string default_policy_dir() {
    if (std::string env = from_env("TAVIK_POLICY_DIR"); !env.empty()) {
        return env;
    }
    if (running_from_build_tree()) {
        return TAVIK_SOURCE_POLICY_DIR;
    }
    return TAVIK_INSTALLED_POLICY_DIR;
}

}  // namespace tavikctl
