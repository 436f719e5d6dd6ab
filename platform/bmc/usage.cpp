// SPDX-License-Identifier: GPL-3.0-or-later
#include "usage.h"

#include <cstdlib>
#include <ctime>

extern "C" {
__attribute__((used)) zvrbmc_usage_counters zvrbmc_usage{};
}

namespace tavik::bmc {

namespace {

std::uint64_t thread_cpu_ns() {
    timespec ts{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<std::uint64_t>(ts.tv_sec) * 1000000000u + static_cast<std::uint64_t>(ts.tv_nsec);
}

// Reading a thread's CPU clock is a system call, two per entry point: on a virtual machine
// that is a visible share of a whole cycle's cost, so only a process that asks is metered.
bool metering() {
    static const bool on = std::getenv(kCpuMeterVariable) != nullptr;  // NOLINT(concurrency-mt-unsafe)
    return on;
}

}  // namespace

void count_request(std::uint8_t netfn, std::uint8_t cmd) {
    zvrbmc_usage.requests[netfn == 0x06 ? 0 : 1][cmd].fetch_add(1, std::memory_order_relaxed);
}

CpuMeter::CpuMeter() : start_(metering() ? thread_cpu_ns() : 0) {}

CpuMeter::~CpuMeter() {
    if (metering()) {
        zvrbmc_usage.cpu_ns.fetch_add(thread_cpu_ns() - start_, std::memory_order_relaxed);
    }
}

}  // namespace tavik::bmc
