// SPDX-License-Identifier: GPL-3.0-or-later
// bench_wakeup: the CPU time this machine charges a thread for one timed wake-up that does
// nothing else, the floor under every sleep and every awaited answer of the daemon. Sleeps
// COUNT times for PERIOD_MS each (clock_nanosleep) and prints the thread's CPU time per
// wake-up in microseconds. The system benchmark runs it beside a steady run, since the
// figure depends on the machine's load.
//   bench_wakeup [COUNT [PERIOD_MS]]
#include <time.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace {

double thread_cpu_us() {
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) * 1e6 + static_cast<double>(ts.tv_nsec) / 1e3;
}

bool parse(const char *text, long lo, long hi, long &out) {
    char *end = nullptr;
    errno = 0;
    out = std::strtol(text, &end, 10);
    return errno == 0 && end != text && *end == '\0' && out >= lo && out <= hi;
}

}  // namespace

int main(int argc, char **argv) {
    long count = 20, period_ms = 250;
    if (argc > 3 || (argc > 1 && !parse(argv[1], 1, 1000000, count)) ||
        (argc > 2 && !parse(argv[2], 1, 60000, period_ms))) {
        std::fprintf(stderr,
                     "usage: bench_wakeup [COUNT [PERIOD_MS]]\n"
                     "  COUNT 1-1000000 (default 20), PERIOD_MS 1-60000 (default 250)\n");
        return 2;
    }
    const timespec period{period_ms / 1000, (period_ms % 1000) * 1000000L};
    const double start = thread_cpu_us();
    for (long i = 0; i < count; ++i) {
        while (clock_nanosleep(CLOCK_MONOTONIC, 0, &period, nullptr) == EINTR) {
        }
    }
    std::printf("%.1f\n", (thread_cpu_us() - start) / static_cast<double>(count));
    return 0;
}
