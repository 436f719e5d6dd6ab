// SPDX-License-Identifier: GPL-3.0-or-later
// Building the heartbeat table of 128 resources by 32 nodes (loadinfo, start-up states
// included) against the fake platform libraries, with the log channel closed and open.
// The fakes' own bookkeeping (linear look-ups, recorded calls) is part of the figure;
// the fake cluster is rebuilt outside the timed region before every iteration.
// Single-threaded.
#include <benchmark/benchmark.h>
#include <unistd.h>
#include <zvrxml.h>

#include <cstdlib>
#include <cstring>
#include <string>

#include "diag/tavik_log.h"
#include "fakes.h"
#include "table/table.h"

namespace {

constexpr int kResources = 128;
constexpr int kNodes = 32;

std::string hostname() {
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    if (char *dot = std::strchr(host, '.'); dot != nullptr) {
        *dot = '\0';
    }
    return host;
}

void cluster(const std::string &host, bool logged) {
    fake::reset();
    tavik_reset_globals();
    xmllib_init("tavik");
    xmllib_load_config();
    for (int i = 0; i < kResources; ++i) {
        std::string rsc = "hb" + std::to_string(i);
        fake::add_resource(rsc, i + 1);
        fake::set_int("/root/heartbeat/tavik@" + rsc + "/device", i + 1);
    }
    for (int j = 0; j < kNodes; ++j) {
        std::string node = j == 0 ? host : "node" + std::to_string(j);
        fake::add_node(node, j + 1);
        for (int d = 1; d <= kResources; ++d) {
            fake::set_str("/root/server@" + node + "/device@" + std::to_string(d) + "/info",
                          "127." + std::to_string(d) + ".0." + std::to_string(j + 1) + "/8");
        }
    }
    if (logged) {
        tavik_loginit();
    }
}

void BM_LoadinfoTable(benchmark::State &state) {
    const bool logged = state.range(0) != 0;
    const std::string host = hostname();
    for (auto _ : state) {
        state.PauseTiming();
        cluster(host, logged);
        state.ResumeTiming();
        tavik_list_head *plist = nullptr;
        if (loadinfo(&plist) != 0) {
            state.SkipWithError("loadinfo failed");
            break;
        }
        benchmark::DoNotOptimize(plist);
        state.PauseTiming();
        std::free(plist);
        tavik_logterm();
        state.ResumeTiming();
    }
    state.SetLabel(logged ? "log channel open" : "log channel closed");
}

BENCHMARK(BM_LoadinfoTable)->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
