/*
 * The process clock: g_current_time in whole seconds, kept current by a
 * clock thread while g_schedule_flag is non-zero.
 *
 * Readers may use the variables without locks from any thread; a value up to
 * one second stale is acceptable.  Use kt_get_current_time() to read the
 * clock the way the library's modules do.
 */
#ifndef KITE_SCHED_THREAD_H
#define KITE_SCHED_THREAD_H

#include <time.h>

#include "common_define.h"

KT_EXTERN_C_BEGIN

/* The current time in seconds since the epoch, kept by the clock thread. */
extern KT_API volatile time_t g_current_time;
/* Non-zero while the clock thread runs and g_current_time is current. */
extern KT_API volatile int g_schedule_flag;

/* Starts the clock thread, which sets g_current_time from time(NULL) at once
 * and then several times a second, and sets g_schedule_flag.  Starting a
 * running clock does nothing.  Returns 0, the pthread_create error, or the
 * error of locking the clock's mutex (logged; nothing done). */
KT_API int kt_sched_clock_start(void);

/* Stops the clock thread and waits for it; g_schedule_flag is 0 on return.
 * Stopping a stopped clock does nothing.  Returns 0, or the error of
 * locking the clock's mutex (logged; nothing done). */
KT_API int kt_sched_clock_stop(void);

/* g_current_time while the clock thread runs, else time(NULL). */
KT_API time_t kt_get_current_time(void);

KT_EXTERN_C_END

#endif
