// SPDX-License-Identifier: GPL-3.0-or-later
// Loop-time tracking: the longest cycle of each worker's loop so far, logged whenever it
// grows.
//
// Thread safety: each function is called by its own worker only, never concurrently
// with itself, and touches only that worker's maximum; tckconf is read-only by then.
#include "looptime.h"

#include <zvrxml.h>

#include <cstdint>

#include "diag/tavik_log.h"
#include "tavik/tavik.h"

namespace {

// loop: the word that tells the two workers' lines apart. Records carry the public
// function's name, so it is passed through.
int looptime(const char *func, const char *loop, clock_t stime, clock_t *pmaxtime) {
    taviklog(LV_TRACE, __FILE_NAME__, __LINE__, func, "<<< ENTER >>>");
    // Ticks are unsigned counts: a difference stays right when the clock wraps.
    const auto prevtime = static_cast<uint64_t>(*pmaxtime);
    const auto curtime = static_cast<uint64_t>(xmllib_times(0));
    const uint64_t diffcl = curtime - static_cast<uint64_t>(stime);
    if (prevtime < diffcl) {
        *pmaxtime = static_cast<clock_t>(diffcl);
        // %08x and %d show the low 32 bits, as the log has always shown them.
        taviklog(LV_ERROR, __FILE_NAME__, __LINE__, func, "C:0x%08x,S:0x%08x,D:%d(O:%d)",
                 static_cast<unsigned>(curtime), static_cast<unsigned>(stime), static_cast<int>(diffcl),
                 static_cast<int>(prevtime));
        taviklog(LV_DETAIL, __FILE_NAME__, __LINE__, func, " renew max %s time(from %d to %d)[1sec=%d]", loop,
                 static_cast<int>(prevtime), static_cast<int>(diffcl), static_cast<int>(tckconf));
    }
    taviklog(LV_TRACE, __FILE_NAME__, __LINE__, func, "<<< EXIT >>> : 0x%08lx", 0UL);
    return 0;
}

}  // namespace

int thslooptime(clock_t stime, clock_t *pmaxtime) {
    return looptime(__func__, "sloop", stime, pmaxtime);
}

int thwlooptime(clock_t stime, clock_t *pmaxtime) {
    return looptime(__func__, "wloop", stime, pmaxtime);
}
