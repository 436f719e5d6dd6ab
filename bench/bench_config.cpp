// SPDX-License-Identifier: GPL-3.0-or-later
// bench_config: one configuration look-up (xmllib_get_value) with the real libzvrxml on
// the sample configuration examples/cluster.xml: an integer under a loaded policy (the
// heartbeat time-out, as table construction reads it), a server's BMC address (as the
// address pass reads it, no policy), and a key that does not exist (the failure path
// that ends in a default). Single-threaded, as the library's callers are.
#include <benchmark/benchmark.h>
#include <zvrxml.h>

#include <cstdio>
#include <cstdlib>

namespace {

void BM_GetInt(benchmark::State &state) {
    if (xmllib_load_policy("nm") != 0) {
        state.SkipWithError(xmllib_last_error());
        return;
    }
    for (auto _ : state) {
        int value = 0;
        int size = sizeof value;
        if (xmllib_get_value("/root/cluster/heartbeat/timeout", XMLLIB_TYPE_INT, &value, &size) != 0) {
            state.SkipWithError(xmllib_last_error());
            break;
        }
        benchmark::DoNotOptimize(value);
    }
    xmllib_unload_policy("nm");
    state.SetLabel("/root/cluster/heartbeat/timeout, policy nm");
}
BENCHMARK(BM_GetInt);

void BM_GetAddress(benchmark::State &state) {
    for (auto _ : state) {
        char ip[46];
        int size = sizeof ip;
        if (xmllib_get_value("/root/server@node3/device@0/info", XMLLIB_TYPE_STRING, ip, &size) != 0) {
            state.SkipWithError(xmllib_last_error());
            break;
        }
        benchmark::DoNotOptimize(ip);
    }
    state.SetLabel("/root/server@node3/device@0/info");
}
BENCHMARK(BM_GetAddress);

void BM_GetMissing(benchmark::State &state) {
    for (auto _ : state) {
        char ip[46];
        int size = sizeof ip;
        benchmark::DoNotOptimize(
            xmllib_get_value("/root/server@node9/device@0/info", XMLLIB_TYPE_STRING, ip, &size));
    }
    state.SetLabel("/root/server@node9/device@0/info (no such server)");
}
BENCHMARK(BM_GetMissing);

}  // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 2;
    }
    // The sample and the policies of the source tree, unless the caller chose others.
    setenv("TAVIK_CONFIG", TAVIK_BENCH_SOURCE_DIR "/examples/cluster.xml", 0);
    setenv("TAVIK_POLICY_DIR", TAVIK_BENCH_SOURCE_DIR "/policy", 0);
    if (xmllib_init("tavik") != 0 || xmllib_load_config() != 0) {
        std::fprintf(stderr, "bench_config: %s\n", xmllib_last_error());
        xmllib_term();
        return 1;
    }
    benchmark::AddCustomContext("config", std::getenv("TAVIK_CONFIG"));
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    xmllib_unload_config();
    xmllib_term();
    return 0;
}
