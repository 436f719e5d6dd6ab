/* SPDX-License-Identifier: GPL-3.0-or-later */
/*
 * zvripc: the cluster state of one node in shared memory: semaphores, the
 * cluster-manager segment and the node-manager segment. Every operation returns 0 on
 * success. All operations are safe to call from several threads at once.
 *
 * Enumerations take two calls: first with a null buffer and *size 0, which stores the
 * byte size of the list in *size; then with a buffer of that size, which receives a
 * multi-string list (NUL-separated names closed by a second NUL).
 */
#ifndef TAVIK_PLATFORM_ZVRIPC_H
#define TAVIK_PLATFORM_ZVRIPC_H

#ifdef __cplusplus
extern "C" {
#endif

/* Heartbeat states of a (resource, node) pair, as shmnm_getrscsvstat and
 * shmnm_setrscsvstat carry them. */
#define RSCSV_ONLINE 1
#define RSCSV_OFFLINE 2
#define RSCSV_UNKNOWN 9
#define RSCSV_UNUSED 15

/* Statuses of a heartbeat resource, as shmnm_setrscstat carries them. */
#define RSC_NORMAL 0
#define RSC_CAUTION 3
#define RSC_ERROR 4
#define RSC_UNKNOWN 9
#define RSC_UNUSED 15

int sem_attach(void);
int sem_detach(void);
int shmcm_attach(void);
int shmcm_detach(void);
int shmnm_attach(void);
int shmnm_detach(void);

/* 1 in *waitstat: the daemon is being restarted. */
int shmnm_getwaitstat(int *waitstat);
/* Takes the down-notify semaphore without waiting; 0 when it was given. */
int sem_wait_downnotify(int flags);
/* Tells the cluster that published states changed. */
int sem_set_statchange(void);

int shmcm_getaction(int *act, char acttype[32], int flags);
int shmcm_getratio(int *ratio, int *period);

int shmnm_enumrsc(const char *type, char *buf, int *size);
int shmnm_enumnode(char *buf, int *size);
int shmnm_getnodepri(const char *node, int *pri);
int shmnm_getrscpri(const char *type, const char *rsc, int *pri);
int shmnm_getrscsvstat(const char *type, const char *rsc, int nodeid, int *stat);
int shmnm_setrscsvstat(const char *type, const char *rsc, int nodeid, int stat);
int shmnm_setrscstat(const char *type, const char *rsc, int stat);

#ifdef __cplusplus
}
#endif

#endif
