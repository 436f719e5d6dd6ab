/* SPDX-License-Identifier: GPL-3.0-or-later */
/*
 * zvrbmc_admin: reading back from the local BMC what its heartbeat firmware holds, for
 * tools (tavikctl bmc targets). The daemon does not use this header. The calls take the
 * session of zvrbmc.h: libzvrbmc_init() and bmc_init() must have succeeded, and
 * bmc_term() / libzvrbmc_term() end it. Reading back changes nothing on the BMC: it is
 * not a poll and leaves every target, result and time-out as it was.
 *
 * Results are those of zvrbmc.h: 0 when the exchange happened, and then *CompletionCode
 * holds the BMC's completion code; the outputs are written only when both are 0. A BMC
 * whose firmware predates the read-back answers 0xC1 (unknown command).
 * libzvrbmc_last_error() describes the last failure.
 *
 * Not safe to call from two threads at once (like zvrbmc.h).
 */
#ifndef TAVIK_PLATFORM_ZVRBMC_ADMIN_H
#define TAVIK_PLATFORM_ZVRBMC_ADMIN_H

#include <stdint.h>

#include "zvrbmc.h"

#ifdef __cplusplus
#define ZVRBMC_NOEXCEPT noexcept
extern "C" {
#else
#define ZVRBMC_NOEXCEPT
#endif

/* Read-back commands (netfn 0x30, docs/bmc-protocol.md). */
#define BMC_CMD_GET_TARGETS 0x34
#define BMC_CMD_GET_FIRMWARE_STATE 0x35

/* Slots the firmware holds: two blocks of BMC_BLOCK_RECORDS. */
#define BMC_SLOTS 32

/* One slot as the firmware holds it, with what a poll would report for it now. */
typedef struct zvrbmc_held_target {
    uint32_t ip;     /* IPv4 address, network byte order; 0: the slot is empty */
    uint8_t ctrl;    /* BMC_CTRL_STOP or BMC_CTRL_START, as programmed */
    uint8_t timeout; /* seconds, as programmed */
    uint8_t result;  /* BMC_RESULT_*: 0 ready, 1 still collecting, 2 stopped, 3 empty */
    uint8_t status;  /* BMC_HB_* bits; 0 unless the result is ready */
} zvrbmc_held_target;

/* The firmware's own state. */
typedef struct zvrbmc_firmware_state {
    int host_alive;              /* 1: the BMC tells its peers that its host is alive */
    unsigned access_timeout_s;   /* host-status lapse in seconds (0x37); 0: no lapse */
    int status_age_s;            /* seconds since the last host status; -1: none ever came */
    unsigned last_status;        /* that status (0x01, 0x02, 0x81, 0x82); 0: none */
    unsigned period_ms;          /* milliseconds between two heartbeat rounds */
    uint32_t datagrams_sent;     /* heartbeat datagrams sent since the BMC started */
    uint32_t datagrams_received; /* ... and accepted from started targets */
} zvrbmc_firmware_state;

#ifdef __cplusplus
static_assert(sizeof(zvrbmc_held_target) == 8, "zvrbmc_held_target is 8 bytes");
#else
_Static_assert(sizeof(zvrbmc_held_target) == 8, "zvrbmc_held_target is 8 bytes");
#endif

/* Reads the 16 slots of block `block` (1 or 2) into first[0..15], in slot order. Four
 * requests (one per page of 4 slots) under one time-out; first is written only when all
 * four were answered with completion code 0. 9 for a null pointer or block 0. */
int bmc_admin_get_targets(uint8_t block, zvrbmc_held_target *first, uint8_t *CompletionCode) ZVRBMC_NOEXCEPT;

/* Reads the firmware's own state. 9 for a null pointer. */
int bmc_admin_get_firmware_state(zvrbmc_firmware_state *state, uint8_t *CompletionCode) ZVRBMC_NOEXCEPT;

/* The driver the access file chose (after libzvrbmc_init; no session needed). */
#define BMC_DRIVER_INBAND 0
#define BMC_DRIVER_LAN 1
#define BMC_DRIVER_STANDARD 2 /* IPMI 2.0 only: watchdog lease, peers watched from the host */

/* Completion codes of the standard driver's own (no BMC sends them). */
#define BMC_CC_WATCHDOG_IN_USE 0x7e /* somebody else runs the local BMC's watchdog timer */

#define ZVRBMC_WHY_SIZE 160

/* A reading of a BMC's watchdog timer (standard driver). */
typedef struct zvrbmc_watchdog {
    uint8_t timer_use;         /* 1 BIOS FRB2 ... 4 SMS/OS, 5 OEM (tavik's lease) */
    uint8_t running;           /* 1: counting down (running bit or a countdown under way) */
    uint8_t action;            /* timeout action; tavik's lease: 0, none */
    uint8_t expired_flags;     /* timer-use expiration flags */
    uint16_t initial_ds;       /* countdown it was set to, 100 ms units */
    uint16_t present_ds;       /* countdown left, 100 ms units */
    uint8_t ours;              /* 1: a tavik lease (timer use OEM, action none) */
    uint8_t live;              /* 1: ... and live now */
    char why[ZVRBMC_WHY_SIZE]; /* "live lease", "the BMC watchdog is in use as SMS/OS", ... */
} zvrbmc_watchdog;

/* What the standard driver last heard of one peer's BMC. */
typedef struct zvrbmc_peer {
    uint32_t ip;           /* network byte order */
    int32_t answer_age_ms; /* since its BMC last answered a ping or a request; -1: never */
    uint8_t pong_seen;     /* 1: it answered a presence ping at least once */
    uint8_t session;       /* 1: a session to it is open */
    uint8_t lease_read;    /* 1: its watchdog was read; `lease` holds the last reading */
    uint8_t live;          /* 1: its host holds a live lease now */
    int32_t lease_age_ms;  /* since that reading; -1: none */
    zvrbmc_watchdog lease;
    char why[ZVRBMC_WHY_SIZE]; /* why it is not heard, or what its lease is */
} zvrbmc_peer;

int bmc_admin_get_driver(int *driver) ZVRBMC_NOEXCEPT;

/* Standard driver: reads the local BMC's watchdog with Get Watchdog Timer (changes
 * nothing). Other drivers: kBadArgument (9). */
int bmc_admin_get_watchdog(zvrbmc_watchdog *out, uint8_t *CompletionCode) ZVRBMC_NOEXCEPT;

/* Standard driver: what this process's library heard of each peer of its started targets
 * (the library watches only targets programmed in this process). Up to `max` records;
 * *count is how many exist. Other drivers: 9. */
int bmc_admin_get_peers(zvrbmc_peer *out, unsigned max, unsigned *count) ZVRBMC_NOEXCEPT;

/* What tells a host's peers that it is alive (bmc.conf `lease`, standard driver). */
#define BMC_LEASE_WATCHDOG 0 /* tavik's own lease on the host's BMC watchdog */
#define BMC_LEASE_OBSERVE 1  /* another program's timer, while that program pets it */
#define BMC_LEASE_NONE 2     /* the BMC's presence only */

/* Standard driver: the lease source the access file gives the host whose BMC is at `ip`
 * (network byte order; 0: this host's own) (after libzvrbmc_init; no session needed).
 * Other drivers: 9. */
int bmc_admin_get_lease_source(uint32_t ip, int *source) ZVRBMC_NOEXCEPT;

#define ZVRBMC_MAX_SUITES 16

/* A look at one BMC before a node joins, as a peer's host reaches it (standard driver). */
typedef struct zvrbmc_preflight {
    uint8_t pong;          /* 1: it answered a presence ping */
    uint8_t capabilities;  /* 1: it answered Get Channel Authentication Capabilities */
    uint8_t suites_listed; /* 1: it answered Get Channel Cipher Suites */
    uint8_t suites_count;  /* how many of suites[] it offers */
    uint8_t suites[ZVRBMC_MAX_SUITES];
    uint8_t suite;           /* the cipher suite the login used */
    uint8_t suite_agreed;    /* 1: configured, or one tavik speaks is offered (or no list came) */
    uint8_t login;           /* 1: a session as the peer user opened */
    uint8_t login_refused;   /* 1: the BMC refused the user, password or privilege */
    uint8_t slots_read;      /* 1: Get Session Info answered; the next four hold it */
    uint8_t sessions_active; /* active sessions, all channels (this look's own included) */
    uint8_t sessions_max;    /* possible active sessions */
    uint8_t user_id;         /* the peer user's id on that BMC */
    uint8_t privilege;       /* the session's privilege: 2 user, 3 operator, 4 admin */
    uint8_t watchdog_read;   /* 1: `watchdog` holds a reading */
    uint8_t lease_workable;  /* BMC_LEASE_*: the source that BMC's timer leaves */
    uint8_t lease_expected;  /* BMC_LEASE_*: the source the access file expects of its host */
    zvrbmc_watchdog watchdog;
    char settings[ZVRBMC_WHY_SIZE];   /* "timer use SMS/OS, action hard reset, 300.0 s, stopped" */
    char suite_note[ZVRBMC_WHY_SIZE]; /* no suite in common, or the list unanswered */
    char why[ZVRBMC_WHY_SIZE];        /* the first step that failed, and why; "" when none */
} zvrbmc_preflight;

/* Standard driver, after libzvrbmc_init (no bmc_init needed): looks at the BMC at ip
 * (network byte order) on the access file's peer_port, as its peer user: presence ping,
 * cipher suites, login, Get Session Info, Get Watchdog Timer. Reads only: no lease is
 * taken, no timer written. Takes up to about three times timeout_ms for a BMC that does
 * not answer. 0 when the look was made, whatever it found (out->why names what failed);
 * 9 for a null pointer or another driver. */
int bmc_admin_preflight(uint32_t ip, zvrbmc_preflight *out) ZVRBMC_NOEXCEPT;

#ifdef __cplusplus
}
#endif

#endif
