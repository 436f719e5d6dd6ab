// SPDX-License-Identifier: GPL-3.0-or-later
// What the library has cost its process so far: CPU time inside the entry points, sessions
// opened and requests sent by command. Not exported: benchmarks read it from outside the
// process, at the address the library's own symbol table gives for `zvrbmc_usage`, so
// measuring adds nothing to the library's interface. Counters only; relaxed atomics, so
// any thread may add to them. The CPU time is counted only in a process started with
// TAVIK_BMC_CPU_METER set (to anything); the other counters always.
#pragma once

#include <atomic>
#include <cstdint>

extern "C" {
struct zvrbmc_usage_counters {
    std::atomic<std::uint64_t> cpu_ns;            // thread CPU time inside entry points
    std::atomic<std::uint64_t> sessions;          // sessions opened (LAN) or devices opened (in-band)
    std::atomic<std::uint64_t> requests[2][256];  // [0]: App netfn (0x06), [1]: OEM (0x30), by command
};
extern zvrbmc_usage_counters zvrbmc_usage;
}

namespace tavik::bmc {

inline constexpr const char *kCpuMeterVariable = "TAVIK_BMC_CPU_METER";

// Counts one request sent, whatever its answer.
void count_request(std::uint8_t netfn, std::uint8_t cmd);

// Adds the calling thread's CPU time between its construction and destruction to the total,
// in a metered process.
class CpuMeter {
  public:
    CpuMeter();
    ~CpuMeter();
    CpuMeter(const CpuMeter &) = delete;
    CpuMeter &operator=(const CpuMeter &) = delete;

  private:
    std::uint64_t start_;
};

}  // namespace tavik::bmc
