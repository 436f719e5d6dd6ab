// SPDX-License-Identifier: GPL-3.0-or-later
// The daemon's log channel "tavik". The channel is opened once on the main thread
// before the worker threads start and closed after they have been joined; taviklog may
// be called from any thread and uses only its own stack, so it needs no lock of ours
// (the log library accepts concurrent writes on one handle).
#pragma once

#include <atomic>

// Level bits of trace records.
constexpr int LV_ERROR = 1;
constexpr int LV_WARN = 2;
constexpr int LV_INFO = 4;
constexpr int LV_DETAIL = 8;
constexpr int LV_DUMP = 16;
constexpr int LV_TRACE = 32;

// The channel handle; null while no channel is open. Written only by the main thread,
// but read by every thread that logs, the signal thread included, hence atomic.
extern std::atomic<void *> phtaviklog;

// Opens the channel with the level and size of policy "tavik"; does nothing when open.
void tavik_loginit();

// Writes one trace record, the text cut to 4095 characters. Nothing when the channel is
// closed or fmt is null.
void taviklog(int level, const char *pname, int line, const char *pfunc, const char *fmt, ...)
    __attribute__((format(printf, 5, 6)));

// Closes the channel.
void tavik_logterm();

// Call sites log through this macro, which adds the source file, line and function.
#define TLOG(level, ...) taviklog((level), __FILE_NAME__, __LINE__, __func__, __VA_ARGS__)

// Helpers log under the operation they serve, so that every line of one operation
// carries its name: an operator filters the log on "loadinfo:" or "hbdata:", not on the
// helper that happens to write a line.
#define TLOG_OP(level, op, ...) taviklog((level), __FILE_NAME__, __LINE__, (op), __VA_ARGS__)

// The entry and exit trace lines most operations write.
#define TLOG_ENTER() TLOG(LV_TRACE, "<<< ENTER >>>")
#define TLOG_EXIT(ret) TLOG(LV_TRACE, "<<< EXIT >>> : 0x%08lx", static_cast<unsigned long>(ret))
