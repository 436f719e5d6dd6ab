/* SPDX-License-Identifier: GPL-3.0-or-later */
/*
 * zvrlog: the cluster log library. A channel is one log file; trace records carry a
 * level bit, the source file, line and function and a text that is already formatted;
 * event records (level LOG_LEVEL_EVENT) carry a message number and the parameters that
 * the library's catalogue declares for that number, in place of a text.
 *
 * log_write is safe to call from several threads on one handle at once.
 */
#ifndef TAVIK_PLATFORM_ZVRLOG_H
#define TAVIK_PLATFORM_ZVRLOG_H

#ifdef __cplusplus
extern "C" {
#endif

#define LOG_LEVEL_EVENT 0x8000

/*
 * Results of the three calls. A channel never fails silently: whenever a record cannot
 * reach its file, it goes to standard error instead, with the reason.
 */
#define ZVRLOG_OK 0
#define ZVRLOG_E_ARG 1 /* null handle, null or malformed argument: nothing written */
#define ZVRLOG_E_FALLBACK                                         \
    2 /* log_init: channel open, but on standard error (its first \
         record says why); the handle is valid */
#define ZVRLOG_E_WRITE                                                                     \
    3                       /* log_write: the file refused the record; it went to standard \
                               error instead */
#define ZVRLOG_E_INTERNAL 4 /* out of memory or another internal failure: nothing written */

/* Event message numbers the daemon writes. */
#define LOG_EVENT_BMC_INIT_FAILED 10 /* no parameters */
#define LOG_EVENT_HEARTBEAT_DELAY                        \
    71 /* rsc (string), node (string), time-out s (int), \
          ticks per second (long), interval in ticks     \
          (unsigned long long), rate % (int) */

/*
 * Opens the channel `name`; stores its handle through `handle`. `level` is the channel's
 * threshold, `size` the byte size at which the file rotates; `flags` is 0.
 */
int log_init(const char *name, void **handle, int level, int size, int flags);

/*
 * Writes one record. Trace records: msgid 0 and `text` (not a format). Event records:
 * level LOG_LEVEL_EVENT, a message number, `text` null, then the event's parameters.
 */
int log_write(void *handle, int level, int msgid, const char *file, int line, const char *func,
              const char *text, ...);

/*
 * Whether log_write would write a trace record of `level` on this channel: 1 if so, 0 if
 * the channel's level filters it out, or for a null handle. A caller may skip formatting
 * a record that would not be written. The answer never changes while the channel is open.
 */
int log_enabled(void *handle, int level);

/* Flushes and closes the channel; the handle is invalid afterwards. */
int log_term(void *handle);

#ifdef __cplusplus
}
#endif

#endif
