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

/*
 * Results. 0 is success; every kind of failure has its own code, so that a caller can
 * tell them apart without parsing xmllib_last_error's text.
 */
#define XMLLIB_OK 0
#define XMLLIB_E_NOT_INIT 1     /* xmllib_init has not succeeded, or xmllib_term ran */
#define XMLLIB_E_ALREADY_INIT 2 /* xmllib_init while already initialised */
#define XMLLIB_E_ARGUMENT                                                                 \
    3                                /* null pointer, unknown type, buffer size too small \
                                        for an integer (< 4) or < 1, bad policy name */
#define XMLLIB_E_POLICY_DIR 4        /* the policy directory is not a readable directory */
#define XMLLIB_E_CONFIG_MISSING 5    /* the configuration file does not exist */
#define XMLLIB_E_CONFIG_UNREADABLE 6 /* it exists but cannot be read, or is not a regular file */
#define XMLLIB_E_CONFIG_TOO_LARGE 7  /* it is larger than XMLLIB_MAX_FILE_SIZE */
#define XMLLIB_E_CONFIG_MALFORMED                                                        \
    8                              /* not well-formed UTF-8 XML, or its document element \
                                      is not <root> */
#define XMLLIB_E_CONFIG_DOCTYPE 9  /* it has a DOCTYPE: DTDs and entities are refused */
#define XMLLIB_E_NOT_LOADED 10     /* no configuration is loaded */
#define XMLLIB_E_POLICY_UNKNOWN 11 /* no NAME.xml in the policy directory */
#define XMLLIB_E_POLICY_BAD 12     /* NAME.xml cannot be read or is not a valid policy */
#define XMLLIB_E_POLICY_LOADED                             \
    13 /* the policy, or another one of the same key root, \
          is already loaded */
#define XMLLIB_E_POLICY_NOT_LOADED                                                    \
    14                            /* unload of a policy that is not loaded, or a read \
                                    under a key root whose policy is not loaded */
#define XMLLIB_E_PATH 15          /* not a key path: /root/PART/... with non-empty parts */
#define XMLLIB_E_UNDECLARED 16    /* under a loaded policy's root, but not declared by it */
#define XMLLIB_E_TYPE_MISMATCH 17 /* the policy declares the key with the other type */
#define XMLLIB_E_NO_KEY 18        /* no element at that path in the configuration */
#define XMLLIB_E_NOT_LEAF 19      /* the element holds elements, not a value */
#define XMLLIB_E_NOT_INT 20       /* not a decimal or 0x integer (empty, junk, sign on hex) */
#define XMLLIB_E_INT_RANGE 21     /* an integer outside INT_MIN..INT_MAX */
#define XMLLIB_E_TOO_LONG 22      /* the string with its NUL does not fit the buffer */
#define XMLLIB_E_INTERNAL 23      /* out of memory or another unexpected failure */
#define XMLLIB_E_UNTRUSTED                                                             \
    24 /* the configuration, the policy directory or a policy in it belongs to another \
          user or others may write it */

/* Largest configuration or policy file read, in bytes. */
#define XMLLIB_MAX_FILE_SIZE (4 * 1024 * 1024)

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

/*
 * Text of the last failure, for tools; never null. The text is kept per thread (a
 * failure on one thread never changes the text another thread is reading) and stays
 * valid until that thread's next failing call.
 */
const char *xmllib_last_error(void);

/*
 * Lists the keys a loaded policy declares, for tools that check a configuration.
 * Stores the index-th key's path (NUL-terminated, in *path_size bytes at most) in path
 * and its type in *type, and sets *path_size to the bytes stored. Keys are numbered
 * from 0 in the order of the policy file. XMLLIB_E_NO_KEY past the last key,
 * XMLLIB_E_POLICY_NOT_LOADED when the policy is not loaded, XMLLIB_E_TOO_LONG when the
 * path does not fit; path and *type are left untouched on failure.
 */
int xmllib_policy_key(const char *policy, int index, char *path, int *path_size, int *type);

#ifdef __cplusplus
}
#endif

#endif
