/* SPDX-License-Identifier: GPL-3.0-or-later */
/*
 * zvrbmc: access to the local BMC. Every operation returns 0 when the exchange with the
 * BMC happened; the BMC operations also store the BMC's completion code, and a call
 * succeeds only when both are 0. Not safe to call from two threads at once.
 *
 * Targets and results travel in blocks of 16 records of 8 bytes, numbered from 1.
 */
#ifndef TAVIK_PLATFORM_ZVRBMC_H
#define TAVIK_PLATFORM_ZVRBMC_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define BMC_BLOCK_RECORDS 16

/* Commands of the daemon's BMC operations. */
#define BMC_CMD_SET_IP_ADDRESS_ALL 0x31
#define BMC_CMD_GET_STATUS_ALL 0x32
#define BMC_CMD_SET_ACCESS_TIME 0x37

/* Values of bmc_SetZelvarinStatus's ctrl. */
#define BMC_STATUS_STARTED 0x01
#define BMC_STATUS_RUNNING 0x02
#define BMC_STATUS_SHUTDOWN 0x81
#define BMC_STATUS_CHECK_STOPPED 0x82

/* Values of BMC_INFO_SET.ctrl. */
#define BMC_CTRL_STOP 0x00
#define BMC_CTRL_START 0xff

/* One target handed to the BMC. */
typedef struct _BMC_INFO_SET {
    uint32_t ip;     /* IPv4 address, network byte order */
    uint8_t ctrl;    /* BMC_CTRL_STOP or BMC_CTRL_START */
    uint8_t timeout; /* seconds */
    uint8_t pad[2];  /* zero */
} BMC_INFO_SET;

/* The result state of BMC_INFO_GET.stat[0], in its bits 4 to 6. */
#define BMC_RESULT_SHIFT 4
#define BMC_RESULT_MASK 0x70
#define BMC_RESULT_READY 0
#define BMC_RESULT_COLLECTING 1
#define BMC_RESULT_STOPPED 2
#define BMC_RESULT_EMPTY 3

/* Bits of the heartbeat status byte BMC_INFO_GET.stat[1]. */
#define BMC_HB_DATAGRAM_SEEN 0x01 /* a datagram from that BMC within the target's time-out */
#define BMC_HB_HOST_ALIVE 0x02    /* that BMC's host is alive, as that BMC last announced */

/* What the BMC reports on one target. */
typedef struct _BMC_INFO_GET {
    uint32_t ip;     /* the target, as sent */
    uint8_t stat[2]; /* stat[0]: result state (BMC_RESULT_*); stat[1]: heartbeat status (BMC_HB_*) */
    uint8_t timeout; /* not read by the daemon */
    uint8_t pad;
} BMC_INFO_GET;

#ifdef __cplusplus
static_assert(sizeof(BMC_INFO_SET) == 8, "BMC_INFO_SET is 8 bytes");
static_assert(sizeof(BMC_INFO_GET) == 8, "BMC_INFO_GET is 8 bytes");
static_assert(__builtin_offsetof(BMC_INFO_SET, ctrl) == 4 && __builtin_offsetof(BMC_INFO_SET, timeout) == 5,
              "BMC_INFO_SET layout");
static_assert(__builtin_offsetof(BMC_INFO_GET, stat) == 4 && __builtin_offsetof(BMC_INFO_GET, timeout) == 6,
              "BMC_INFO_GET layout");
#else
_Static_assert(sizeof(BMC_INFO_SET) == 8, "BMC_INFO_SET is 8 bytes");
_Static_assert(sizeof(BMC_INFO_GET) == 8, "BMC_INFO_GET is 8 bytes");
#endif

int libzvrbmc_init(void);
int libzvrbmc_term(void);
int bmc_init(void);
int bmc_term(void);

int bmc_SetZelvarinStatus(int unit, uint8_t ctrl, uint8_t *CompletionCode);
int bmc_SetZelvarinAccessTime(uint8_t cmd, uint16_t seconds, uint8_t *CompletionCode);
/* Programs block `block` (from 1) with the 16 records starting at `first`. */
int bmc_SetBmcIpAddressAll(uint8_t cmd, uint8_t block, const BMC_INFO_SET *first, uint8_t *CompletionCode,
                           uint8_t *BlockNumber);
/* Reads block `block` (from 1) into the 16 records starting at `first`. */
int bmc_GetBmcStatusAll(uint8_t cmd, uint8_t block, uint8_t *CompletionCode, uint8_t *BlockNumber,
                        BMC_INFO_GET *first);

/* Text of the last failure in this process, for tools; never null. */
const char *libzvrbmc_last_error(void);

#ifdef __cplusplus
}
#endif

#endif
