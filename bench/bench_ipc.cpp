// SPDX-License-Identifier: GPL-3.0-or-later
// bench_ipc: the cost of the two calls the daemon's threads make every cycle, as the
// daemon makes them (attached through zvripc.h, so the calls also stamp the calling
// thread's liveness slot), beside a call that stamps nothing (the wait status), and of a
// full status read (snapshot plus liveness) as `tavikctl status` makes it, and as
// `tavikctl metrics` makes it through a read-only handle (no lock: copies until two
// agree). Every call includes the check that no object shrank under the process.
//   bench_ipc [--benchmark_repetitions=5 ...]
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "zvripc.h"
#include "zvripc_admin.h"
#include "zvripc_health.h"

namespace {

std::string g_name;

void BM_GetRatioStamped(benchmark::State &state) {
    int ratio = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(shmcm_getratio(&ratio, nullptr));
    }
}
BENCHMARK(BM_GetRatioStamped);

void BM_GetStateStamped(benchmark::State &state) {
    int stat = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(shmnm_getrscsvstat("tavik", "hb1", 2, &stat));
    }
}
BENCHMARK(BM_GetStateStamped);

void BM_GetWaitstatUnstamped(benchmark::State &state) {
    int waitstat = 0;
    for (auto _ : state) {
        benchmark::DoNotOptimize(shmnm_getwaitstat(&waitstat));
    }
}
BENCHMARK(BM_GetWaitstatUnstamped);

// What tavikctl status does per refresh, through a handle of either kind: the read-only
// one copies without the lock until two copies agree.
void BM_StatusRead(benchmark::State &state, int (*open)(const char *, zvripc_handle **)) {
    zvripc_handle *h = nullptr;
    if (open(g_name.c_str(), &h) != ZVRIPC_OK) {
        state.SkipWithError("cannot open the namespace");
        return;
    }
    zvripc_liveness live{};
    for (auto _ : state) {
        zvripc_snapshot *snap = nullptr;
        benchmark::DoNotOptimize(ipc_snapshot(h, &snap));
        benchmark::DoNotOptimize(ipc_liveness(h, &live));
        ipc_snapshot_free(snap);
    }
    ipc_close(h);
}
BENCHMARK_CAPTURE(BM_StatusRead, locked, ipc_open);
BENCHMARK_CAPTURE(BM_StatusRead, read_only, ipc_open_readonly);

}  // namespace

int main(int argc, char **argv) {
    g_name = "bench_ipc_" + std::to_string(getpid());
    const zvripc_node_def nodes[] = {{"node1", 1}, {"node2", 2}, {"node3", 3}};
    const zvripc_rsc_def rscs[] = {{"tavik", "hb1", 1}, {"tavik", "hb2", 2}};
    if (ipc_create(g_name.c_str(), nodes, 3, rscs, 2, nullptr) != ZVRIPC_OK) {
        return 1;
    }
    setenv("TAVIK_IPC_NAME", g_name.c_str(), 1);
    int rc = 1;
    if (sem_attach() == 0 && shmcm_attach() == 0 && shmnm_attach() == 0) {
        benchmark::Initialize(&argc, argv);
        benchmark::RunSpecifiedBenchmarks();
        benchmark::Shutdown();
        rc = 0;
    }
    shmnm_detach();
    shmcm_detach();
    sem_detach();
    ipc_destroy(g_name.c_str());
    return rc;
}
