// SPDX-License-Identifier: GPL-3.0-or-later
// bench_bmc: round trip of the BMC library's requests to a simulated BMC over loopback.
// Starts one tavik-bmcsim on 127.0.1.1 (ports from the process id), then times CALLS
// (default 2000) calls of one request (host status), of one target block, and of one status
// block holding one target (one request: the library skips pages of unused slots) and 16
// targets (four requests)
// and prints the median and tail; with --json, the same figures as one JSON object on
// standard output (the text goes to standard error then). Single-threaded.
//   bench_bmc [--json] [CALLS]
#include <arpa/inet.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "zvrbmc.h"

namespace {

using Clock = std::chrono::steady_clock;

bool g_json = false;
std::string g_results;  // the JSON records of the measurements so far

void report(const char *what, std::vector<double> us) {
    std::sort(us.begin(), us.end());
    auto at = [&](double q) { return us[static_cast<std::size_t>(q * static_cast<double>(us.size() - 1))]; };
    std::fprintf(g_json ? stderr : stdout,
                 "%-34s n=%zu  median %.1f us  p90 %.1f us  p99 %.1f us  max %.1f us\n", what, us.size(),
                 at(0.5), at(0.9), at(0.99), us.back());
    char rec[512];
    std::snprintf(rec, sizeof rec,
                  "%s{\"name\": \"%s\", \"calls\": %zu, \"median_us\": %.2f, \"p90_us\": %.2f, "
                  "\"p99_us\": %.2f, \"max_us\": %.2f}",
                  g_results.empty() ? "" : ", ", what, us.size(), at(0.5), at(0.9), at(0.99), us.back());
    g_results += rec;
}

template <class F>
std::vector<double> measure(int n, F call) {
    std::vector<double> us;
    for (int i = 0; i < n; ++i) {
        const auto t0 = Clock::now();
        if (call() != 0) {
            std::fprintf(stderr, "bench_bmc: call failed: %s\n", libzvrbmc_last_error());
            std::exit(1);
        }
        us.push_back(std::chrono::duration<double, std::micro>(Clock::now() - t0).count());
    }
    return us;
}

}  // namespace

int main(int argc, char **argv) {
    int n = 2000;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--json") == 0) {
            g_json = true;
        } else if (char *end = nullptr;
                   (n = static_cast<int>(std::strtol(argv[i], &end, 10))) < 1 || *end != '\0') {
            std::fprintf(stderr,
                         "usage: bench_bmc [--json] [CALLS]   (CALLS a positive number, default 2000)\n");
            return 2;
        }
    }
    const unsigned port = 32000 - 2 * (static_cast<unsigned>(getpid()) % 5000);
    char dir[] = "/tmp/tavik-bench-bmc-XXXXXX";
    if (mkdtemp(dir) == nullptr) {
        std::perror("bench_bmc: mkdtemp");
        return 1;
    }
    int out[2];
    if (pipe(out) != 0) {
        std::perror("bench_bmc: pipe");
        return 1;
    }
    const std::string p = std::to_string(port), h = std::to_string(port + 1), d = std::string(dir) + "/bmc";
    pid_t launcher = fork();
    if (launcher == 0) {
        dup2(out[1], STDOUT_FILENO);
        close(out[0]);
        execl(TAVIK_BENCH_LAUNCHER, "tavik-bmcsim", "--addr", "127.0.1.1", "--port", p.c_str(), "--hb-port",
              h.c_str(), "--dir", d.c_str(), static_cast<char *>(nullptr));
        _exit(127);
    }
    close(out[1]);
    char line[512] = "";
    FILE *f = fdopen(out[0], "r");
    if (f == nullptr || std::fgets(line, sizeof line, f) == nullptr ||
        std::strstr(line, " ready, ") == nullptr) {
        std::fprintf(stderr, "bench_bmc: the simulated BMC did not start\n");
        kill(launcher, SIGTERM);
        waitpid(launcher, nullptr, 0);
        return 1;
    }
    setenv("TAVIK_BMC_CONF", (d + "/bmc.conf").c_str(), 1);
    int rc = libzvrbmc_init();
    if (rc == 0) {
        rc = bmc_init();
    }
    if (rc == 0) {
        std::uint8_t cc = 0, bn = 0;
        BMC_INFO_SET set[BMC_BLOCK_RECORDS] = {};
        inet_pton(AF_INET, "127.0.1.1", &set[0].ip);
        set[0].ctrl = BMC_CTRL_START;
        set[0].timeout = 1;
        BMC_INFO_GET get[BMC_BLOCK_RECORDS];
        bmc_SetZelvarinStatus(1, BMC_STATUS_STARTED, &cc);
        std::fprintf(g_json ? stderr : stdout,
                     "bench_bmc: %d calls each to the simulated BMC at 127.0.1.1:%u over loopback\n", n,
                     port);
        report("host status (1 request)",
               measure(n, [&] { return bmc_SetZelvarinStatus(1, BMC_STATUS_RUNNING, &cc) | cc; }));
        report("target block (1 request, 129 B)", measure(n, [&] {
                   return bmc_SetBmcIpAddressAll(BMC_CMD_SET_IP_ADDRESS_ALL, 1, set, &cc, &bn) | cc;
               }));
        report("status block, 1 target (1 request)", measure(n, [&] {
                   return bmc_GetBmcStatusAll(BMC_CMD_GET_STATUS_ALL, 1, &cc, &bn, get) | cc;
               }));
        BMC_INFO_SET full[BMC_BLOCK_RECORDS] = {};
        for (int i = 0; i < BMC_BLOCK_RECORDS; ++i) {
            const std::string ip = "127.0.1." + std::to_string(i + 1);
            inet_pton(AF_INET, ip.c_str(), &full[i].ip);
            full[i].ctrl = BMC_CTRL_START;
            full[i].timeout = 1;
        }
        bmc_SetBmcIpAddressAll(BMC_CMD_SET_IP_ADDRESS_ALL, 1, full, &cc, &bn);
        report("status block, 16 targets (4 requests)", measure(n, [&] {
                   return bmc_GetBmcStatusAll(BMC_CMD_GET_STATUS_ALL, 1, &cc, &bn, get) | cc;
               }));
        bmc_term();
        if (g_json) {
            std::printf("{\"bmc\": \"tavik-bmcsim on 127.0.1.1 over loopback\", \"results\": [%s]}\n",
                        g_results.c_str());
        }
    } else {
        std::fprintf(stderr, "bench_bmc: %s\n", libzvrbmc_last_error());
    }
    libzvrbmc_term();
    kill(launcher, SIGTERM);
    waitpid(launcher, nullptr, 0);
    fclose(f);
    std::error_code ec;
    std::filesystem::remove_all(dir, ec);
    return rc == 0 ? 0 : 1;
}
