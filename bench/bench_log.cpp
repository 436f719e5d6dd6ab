// SPDX-License-Identifier: GPL-3.0-or-later
// bench_log: records per second through libzvrlog into a file on local disk, with one and
// with three threads on one channel (the daemon's three threads), and the cost of a record
// below the channel level; both straight through log_write and through the daemon's own
// taviklog, which formats the text first. The channel is the daemon's default: level 4,
// rotation at 1000000 bytes, so rotations are part of the figure. One channel is shared
// by all benchmark threads, as log_write allows.
//   bench_log [--benchmark_repetitions=5 ...]   (TMPDIR selects the disk; default /tmp)
#include <benchmark/benchmark.h>
#include <sys/vfs.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "diag/tavik_log.h"
#include "zvrlog.h"

namespace {

void *g_channel = nullptr;

// A typical trace line of the daemon, about 110 bytes with its prefix.
constexpr const char *kText = "rsc(hb1)/node(node2(2)) -> ONLINE";

void BM_Record(benchmark::State &state) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(log_write(g_channel, 1, 0, "hbdata.cpp", 120, "hbdata", kText));
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Record)->Threads(1)->Threads(3)->UseRealTime();

// Level 32 ("<<< ENTER >>>" lines) on a level-4 channel: the price of a disabled trace.
void BM_RecordBelowLevel(benchmark::State &state) {
    for (auto _ : state) {
        benchmark::DoNotOptimize(log_write(g_channel, 32, 0, "hbdata.cpp", 100, "hbdata", "<<< ENTER >>>"));
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RecordBelowLevel)->Threads(1)->Threads(3)->UseRealTime();

// The daemon's call: formatting into its 4096-byte buffer, then log_write. The message is
// the receipt's state-change line.
void BM_Taviklog(benchmark::State &state) {
    for (auto _ : state) {
        taviklog(LV_ERROR, "hbdata.cpp", 44, "change_state", "rsc(%s)/node(%s(%d)) -> %s", "hb1", "node2", 2,
                 "ONLINE");
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_Taviklog)->Threads(1)->Threads(3)->UseRealTime();

// The "<<< EXIT >>>" line most operations write at level 32: below the channel level, the
// daemon still formats it before the library drops it.
void BM_TaviklogBelowLevel(benchmark::State &state) {
    for (auto _ : state) {
        taviklog(LV_TRACE, "hbdata.cpp", 100, "hbdata", "<<< EXIT >>> : 0x%08lx", 0UL);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_TaviklogBelowLevel)->Threads(1)->Threads(3)->UseRealTime();

const char *filesystem_name(const std::string &dir) {
    struct statfs fs {};
    if (statfs(dir.c_str(), &fs) != 0) {
        return "unknown";
    }
    switch (fs.f_type) {
        case 0xEF53:
            return "ext4";
        case 0x58465342:
            return "xfs";
        case 0x9123683E:
            return "btrfs";
        case 0x01021994:
            return "tmpfs (memory, not disk)";
        case 0x794c7630:
            return "overlayfs";
        default:
            return "other";
    }
}

}  // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 2;
    }
    const char *tmp = std::getenv("TMPDIR");
    std::string dir = std::string(tmp != nullptr && tmp[0] != '\0' ? tmp : "/tmp") + "/bench_log-" +
                      std::to_string(getpid());
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    setenv("TAVIK_LOG_DIR", dir.c_str(), 1);
    int rc = log_init("bench", &g_channel, 4, 1000000, 0);
    if (rc != ZVRLOG_OK) {
        std::fprintf(stderr, "bench_log: cannot open a log channel in %s (result %d)\n", dir.c_str(), rc);
        log_term(g_channel);
        std::filesystem::remove_all(dir, ec);
        return 1;
    }
    phtaviklog = g_channel;
    benchmark::AddCustomContext("log_dir", dir);
    benchmark::AddCustomContext("log_fs", filesystem_name(dir));
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    phtaviklog = nullptr;
    log_term(g_channel);
    std::filesystem::remove_all(dir, ec);
    return 0;
}
