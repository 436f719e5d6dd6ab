// SPDX-License-Identifier: GPL-3.0-or-later
// The tavik daemon's process entry. It takes no arguments; its parent starts it and
// steers it with SIGUSR1 (stop) and SIGUSR2 (start heartbeat checking).
#include "tavik.h"

int main() {
    return tavik_main();
}
