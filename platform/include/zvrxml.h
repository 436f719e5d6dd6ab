/* SPDX-License-Identifier: GPL-3.0-or-later */
/*
 * zvrxml: the cluster configuration library, as the daemon and tavikctl use it.
 *
 * One process-wide configuration: xmllib_init once, then load the configuration file,
 * then read keys by path, with the keys under a policy root readable only while that
 * policy is loaded. Every operation returns 0 on success and a small positive code
 * otherwise. xmllib_times may be called from any thread between init and term; the
 * other operations are called from one thread at a time.
 */
#ifndef TAVIK_PLATFORM_ZVRXML_H
#define TAVIK_PLATFORM_ZVRXML_H

#include <time.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Value types of xmllib_get_value. */
#define XMLLIB_TYPE_STRING 0 /* NUL-terminated text that must fit the buffer */
#define XMLLIB_TYPE_INT 1    /* 32-bit signed integer, buffer of 4 bytes */

/* Remembers the calling program's name and starts the tick clock. */
int xmllib_init(const char *name);

/* Reads the cluster configuration; nothing is half-loaded on failure. */
int xmllib_load_config(void);

/* Makes the keys of one policy's root readable ("tavik", "all", "nm"), or releases it. */
int xmllib_load_policy(const char *name);
int xmllib_unload_policy(const char *name);

/*
 * Reads the key at path into buf. *size holds the buffer's capacity in bytes on entry
 * (4 for integers); on failure buf is left untouched.
 */
int xmllib_get_value(const char *path, int type, void *buf, int *size);

int xmllib_unload_config(void);
int xmllib_term(void);

/* Monotonic time in clock ticks (sysconf(_SC_CLK_TCK) per second); the argument is 0. */
clock_t xmllib_times(int unused);

/* Text of the last failure in this process, for tools; never null. */
const char *xmllib_last_error(void);

#ifdef __cplusplus
}
#endif

#endif
