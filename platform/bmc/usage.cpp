// SPDX-License-Identifier: GPL-3.0-or-later
#include "usage.h"

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

}  // namespace

void count_request(std::uint8_t netfn, std::uint8_t cmd) {
    zvrbmc_usage.requests[netfn == 0x06 ? 0 : 1][cmd].fetch_add(1, std::memory_order_relaxed);
}

CpuMeter::CpuMeter() : start_(thread_cpu_ns()) {}

CpuMeter::~CpuMeter() {
    zvrbmc_usage.cpu_ns.fetch_add(thread_cpu_ns() - start_, std::memory_order_relaxed);
}

}  // namespace tavik::bmc
