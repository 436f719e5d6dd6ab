// SPDX-License-Identifier: GPL-3.0-or-later
// Finding the daemon binary.
#include "daemon_path.h"

#include <unistd.h>

#include <cstdlib>

namespace tavikctl {

std::string default_daemon_path() {
    if (const char *env = std::getenv("TAVIK_DAEMON"); env != nullptr && *env != '\0') {
        return env;
    }
    // A tavikctl running from the build tree uses the daemon of the same build.
    char self[4096];
    ssize_t n = readlink("/proc/self/exe", self, sizeof self - 1);
    if (n > 0) {
        self[n] = '\0';
        if (std::string(self) == TAVIK_BUILD_TAVIKCTL && access(TAVIK_BUILD_DAEMON, X_OK) == 0) {
            return TAVIK_BUILD_DAEMON;
        }
    }
    return TAVIK_INSTALLED_DAEMON;
}

}  // namespace tavikctl
