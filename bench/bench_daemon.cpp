// SPDX-License-Identifier: GPL-3.0-or-later
// bench_daemon: the daemon's own operations linked with the real configuration, log and
// IPC libraries, on a cluster of 128 heartbeat resources by 32 nodes.
//
// main() writes a cluster.xml of that size into a private temporary directory, creates
// an IPC namespace of the same layout (named after the process id) with the admin API,
// opens the configuration, the log channel "tavik" (level 4, rotation at 1000000 bytes,
// the daemon's defaults) and the three IPC attachments as the daemon does, and removes
// all of it again at the end. The benchmarks:
//   BM_Loadinfo      the whole table construction: parameters, four enumerations,
//                    4096 priority look-ups and address reads, start-up states published
//   BM_MszWalk       one walk of a multi-string list of 32 node or 128 resource names
//   BM_Setrscstat    one resource status at 32 nodes, derived, logged and published
//   BM_Hbcheck       one watch scan over 128 x 32 pairs, all online, none timed out
//   BM_Hbdata        one receipt decision: heartbeat seen on an online pair (the steady
//                    state), or alternately seen and missed (a state change every call)
// The log channel's file is on TMPDIR (default /tmp). Single-threaded.
#include <benchmark/benchmark.h>
#include <unistd.h>
#include <zvripc.h>
#include <zvripc_admin.h>
#include <zvrxml.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "diag/tavik_log.h"
#include "status/status.h"
#include "table/table.h"
#include "tavik/tavik.h"

namespace {

constexpr int kResources = 128;
constexpr int kNodes = 32;

tavik_list_head *g_table = nullptr;  // one table built at set-up, for the scans

std::string hostname() {
    char host[256] = {};
    gethostname(host, sizeof host - 1);
    if (char *dot = std::strchr(host, '.'); dot != nullptr) {
        *dot = '\0';
    }
    return host;
}

// Node 0 is this host, so that the table has an own node as the daemon's has.
std::vector<std::string> node_names() {
    std::vector<std::string> names{hostname()};
    for (int j = 1; j < kNodes; ++j) {
        names.push_back("node" + std::to_string(j));
    }
    return names;
}

// Resource i uses BMC device i + 1, so every server holds 128 device entries: the
// address reads search the largest configuration the cluster's limits allow.
void write_config(const std::string &path, const std::vector<std::string> &nodes) {
    std::ofstream f(path);
    f << "<?xml version=\"1.0\"?>\n<root>\n"
         "  "
         "<tavik><mlock>no</mlock><watchth>1</watchth><log><level>4</level><size>1000000</size></log></"
         "tavik>\n"
         "  <all><num><server>"
      << kNodes << "</server><hbr>" << kResources
      << "</hbr></num></all>\n"
         "  <cluster><heartbeat><timeout>90000</timeout><interval>3000</interval></heartbeat>"
         "<delaywarn><heartbeat>80</heartbeat></delaywarn></cluster>\n";
    for (int j = 0; j < kNodes; ++j) {
        f << "  <server name=\"" << nodes[static_cast<size_t>(j)] << "\"><priority>" << j + 1
          << "</priority>";
        for (int d = 1; d <= kResources; ++d) {
            f << "<device name=\"" << d << "\"><info>127." << d << ".0." << j + 1 << "/8</info></device>";
        }
        f << "</server>\n";
    }
    f << "  <heartbeat>\n";
    for (int i = 0; i < kResources; ++i) {
        f << "    <tavik name=\"hb" << i << "\"><priority>" << i + 1 << "</priority><device>" << i + 1
          << "</device></tavik>\n";
    }
    f << "  </heartbeat>\n</root>\n";
    if (!f.flush()) {
        throw std::runtime_error("cannot write " + path);
    }
}

bool create_namespace(const std::string &ns, const std::vector<std::string> &nodes) {
    std::vector<zvripc_node_def> nd;
    for (int j = 0; j < kNodes; ++j) {
        nd.push_back({nodes[static_cast<size_t>(j)].c_str(), j + 1});
    }
    std::vector<std::string> rnames;
    for (int i = 0; i < kResources; ++i) {
        rnames.push_back("hb" + std::to_string(i));
    }
    std::vector<zvripc_rsc_def> rd;
    for (int i = 0; i < kResources; ++i) {
        rd.push_back({TAVIK_RSC_TYPE, rnames[static_cast<size_t>(i)].c_str(), i + 1});
    }
    zvripc_create_opts opts{1, -1};
    if (int rc = ipc_create(ns.c_str(), nd.data(), kNodes, rd.data(), kResources, &opts); rc != ZVRIPC_OK) {
        std::fprintf(stderr, "bench_daemon: ipc_create(%s): %s\n", ns.c_str(), ipc_last_error());
        return false;
    }
    return true;
}

// ---- benchmarks ----

void BM_Loadinfo(benchmark::State &state) {
    const bool logged = state.range(0) != 0;
    void *channel = phtaviklog.load();
    if (!logged) {
        phtaviklog = nullptr;
    }
    for (auto _ : state) {
        tavik_list_head *plist = nullptr;
        if (loadinfo(&plist) != 0) {
            state.SkipWithError("loadinfo failed");
            break;
        }
        benchmark::DoNotOptimize(plist);
        state.PauseTiming();
        std::free(plist);
        state.ResumeTiming();
    }
    phtaviklog = channel;
    state.SetLabel(logged ? "log channel open (level 4)" : "log channel closed");
}
BENCHMARK(BM_Loadinfo)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond)->MinTime(2.0);

// The lists as shmnm_enumnode and shmnm_enumrsc hand them over.
std::string multistring(int n, const char *prefix) {
    std::string list;
    for (int k = 0; k < n; ++k) {
        list += prefix + std::to_string(k);
        list.push_back('\0');
    }
    list.push_back('\0');
    if (n == 0) {
        list.push_back('\0');
    }
    return list;
}

void BM_MszWalk(benchmark::State &state) {
    const int n = static_cast<int>(state.range(0));
    const std::string list = multistring(n, n == kNodes ? "node" : "hb");
    for (auto _ : state) {
        int count = 0;
        for (const char *p = mszfirst(list.data()); p != nullptr; p = msznext(p)) {
            benchmark::DoNotOptimize(p);
            ++count;
        }
        if (count != n) {
            state.SkipWithError("the walk lost entries");
            break;
        }
    }
    state.SetItemsProcessed(state.iterations() * n);
}
BENCHMARK(BM_MszWalk)->Arg(kNodes)->Arg(kResources);

void BM_Setrscstat(benchmark::State &state) {
    const bool logged = state.range(0) != 0;
    void *channel = phtaviklog.load();
    if (!logged) {
        phtaviklog = nullptr;
    }
    tavik_list_rsc *prsc = rscat(g_table, 0);
    for (auto _ : state) {
        std::lock_guard lock(tablemutex);
        setrscstat(g_table, prsc);
    }
    phtaviklog = channel;
    state.SetLabel(logged ? "32 nodes, status line written" : "32 nodes, log channel closed");
}
BENCHMARK(BM_Setrscstat)->Arg(1)->Arg(0);

void set_all_online(tavik_list_head *plist) {
    const clock_t now = xmllib_times(0);
    for (int i = 0; i < plist->currsc; ++i) {
        tavik_list_rsc *prsc = rscat(plist, i);
        tavik_list_node *pnode = nodesof(prsc);
        for (int j = 0; j < plist->curnode; ++j) {
            pnode[j].stat = RSCSV_ONLINE;
            pnode[j].lastrecv = now;
            shmnm_setrscsvstat(TAVIK_RSC_TYPE, prsc->name, pnode[j].priority, RSCSV_ONLINE);
        }
    }
}

void BM_Hbcheck(benchmark::State &state) {
    set_all_online(g_table);
    for (auto _ : state) {
        hbcheck(g_table);
    }
    // A scan that took anything offline measured the wrong path.
    for (int i = 0; i < g_table->currsc; ++i) {
        for (int j = 0; j < g_table->curnode; ++j) {
            if (nodesof(rscat(g_table, i))[j].stat != RSCSV_ONLINE) {
                state.SkipWithError("a pair timed out during the benchmark");
                return;
            }
        }
    }
    state.SetItemsProcessed(state.iterations() * kResources * kNodes);
    state.SetLabel("128 x 32 pairs online");
}
BENCHMARK(BM_Hbcheck)->Unit(benchmark::kMicrosecond);

void BM_Hbdata(benchmark::State &state) {
    const bool flapping = state.range(0) != 0;
    set_all_online(g_table);
    tavik_list_rsc *prsc = rscat(g_table, 1);
    tavik_list_node *pnode = &nodesof(prsc)[1];
    int bmcstat = 0x03;
    for (auto _ : state) {
        std::lock_guard lock(tablemutex);
        hbdata(g_table, prsc, pnode, bmcstat);
        if (flapping) {
            bmcstat ^= 0x03;
        }
    }
    state.SetLabel(flapping ? "seen and missed in turn: a state change each call" : "seen, pair online");
}
BENCHMARK(BM_Hbdata)->Arg(0)->Arg(1);

struct Environment {
    std::string dir;
    std::string ns;
    bool ipc_created = false;
    bool xml_init = false;
    bool config_loaded = false;
    bool attached = false;

    ~Environment() {
        std::free(g_table);
        g_table = nullptr;
        if (attached) {
            shmnm_detach();
            shmcm_detach();
            sem_detach();
        }
        tavik_logterm();
        if (config_loaded) {
            xmllib_unload_config();
        }
        if (xml_init) {
            xmllib_term();
        }
        if (ipc_created) {
            ipc_destroy(ns.c_str());
        }
        if (!dir.empty()) {
            std::error_code ec;
            std::filesystem::remove_all(dir, ec);
        }
    }

    bool set_up() {
        const char *tmp = std::getenv("TMPDIR");
        std::string pattern =
            std::string(tmp != nullptr && tmp[0] != '\0' ? tmp : "/tmp") + "/tavik-bench-XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr) {
            std::perror("bench_daemon: mkdtemp");
            return false;
        }
        dir = pattern;
        ns = "bench-daemon-" + std::to_string(getpid());
        const std::vector<std::string> nodes = node_names();
        const std::string config = dir + "/cluster.xml";
        try {
            write_config(config, nodes);
        } catch (const std::exception &e) {
            std::fprintf(stderr, "bench_daemon: %s\n", e.what());
            return false;
        }
        setenv("TAVIK_CONFIG", config.c_str(), 1);
        setenv("TAVIK_POLICY_DIR", TAVIK_BENCH_POLICY_DIR, 1);
        setenv("TAVIK_LOG_DIR", (dir + "/log").c_str(), 1);
        setenv("TAVIK_IPC_NAME", ns.c_str(), 1);
        ipc_created = create_namespace(ns, nodes);
        if (!ipc_created) {
            return false;
        }
        if (int rc = xmllib_init("tavik"); rc != 0) {
            std::fprintf(stderr, "bench_daemon: xmllib_init: %s\n", xmllib_last_error());
            return false;
        }
        xml_init = true;
        if (int rc = xmllib_load_config(); rc != 0) {
            std::fprintf(stderr, "bench_daemon: xmllib_load_config: %s\n", xmllib_last_error());
            return false;
        }
        config_loaded = true;
        tavik_loginit();
        tckconf = sysconf(_SC_CLK_TCK);
        if (attachipc() != 0) {
            std::fprintf(stderr, "bench_daemon: cannot attach to %s: %s\n", ns.c_str(), ipc_last_error());
            return false;
        }
        attached = true;
        if (int rc = loadinfo(&g_table); rc != 0) {
            std::fprintf(stderr, "bench_daemon: loadinfo() failed(ret:%d)\n", rc);
            return false;
        }
        benchmark::AddCustomContext("cluster", "128 resources x 32 nodes, " + config);
        benchmark::AddCustomContext("log_dir", dir + "/log");
        return true;
    }
};

}  // namespace

int main(int argc, char **argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) {
        return 2;
    }
    int rc = 1;
    {
        Environment env;
        if (env.set_up()) {
            benchmark::RunSpecifiedBenchmarks();
            rc = 0;
        }
    }
    benchmark::Shutdown();
    return rc;
}
