// SPDX-License-Identifier: GPL-3.0-or-later
// The tavik daemon's process entry. It takes no arguments; its parent starts it and
// steers it with SIGUSR1 (stop) and SIGUSR2 (start heartbeat checking).
#include <cstdio>

#include "tavik.h"

int main(int argc, char **argv) {
    // Run by hand (`tavik --help`), it would signal its caller as if that were its
    // supervisor: refuse before anything else happens.
    if (argc > 1) {
        std::fprintf(
            stderr,
            "usage: %s (no arguments): the daemon is started by `tavikctl run`, which supervises it; "
            "see tavikctl run --help\n",
            argc > 0 ? argv[0] : "tavik");
        return 2;
    }
    return tavik_main();
}
