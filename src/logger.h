/*
 * Logger: one record per call, written whole before the call returns.
 *
 * logError and logWarning put the standard prefix "file: NAME, line: N, "
 * (NAME being the base name of the calling source file) in front of the
 * message.  logInfo and logDebug write the message as given, for dumps and
 * thread start/exit lines; logInfoPrefixed and logDebugPrefixed add the
 * prefix for the info and debug messages that need it.
 *
 * The default sink writes to standard error one line per record: the local
 * time, the level in brackets, then the message, with a single write(2) so
 * that records of concurrent threads never interleave.  The level comes from
 * the environment variable KITE_LOG_LEVEL (error, warning, info, debug;
 * default info), read at first use, or from kt_log_set_level.
 * Every function here may be called from any thread at any time.
 */
#ifndef KITE_LOGGER_H
#define KITE_LOGGER_H

#include <stdarg.h>

#include "common_define.h"

/* Levels, in syslog's numbering: a record is written when its level is not
 * above the current level. */
#define KT_LOG_ERROR 3
#define KT_LOG_WARNING 4
#define KT_LOG_INFO 6
#define KT_LOG_DEBUG 7

KT_EXTERN_C_BEGIN

/* Receives each record that passes the level filter: its level, the
 * message (prefix included, no trailing newline, NUL-terminated) and its
 * length.  Called on the logging thread; must not call the logger. */
typedef void (*kt_log_sink_func)(int level, const char *message, int length,
                                 void *arg);

/* Writes one record at level if the current level lets it through.  When
 * file is not null the standard prefix is built from file's base name and
 * line.  A record is formatted on the stack in a buffer of 4 KiB: a longer
 * one is cut to fit and ends with "...(truncated)". */
KT_API void kt_log_write(int level, const char *file, int line,
                         const char *format, ...) KT_PRINTF_FORMAT(4, 5);
KT_API void kt_log_vwrite(int level, const char *file, int line,
                          const char *format, va_list ap);

/* Sets the current level (one of KT_LOG_*; other values are clamped into
 * that range).  Returns the previous level. */
KT_API int kt_log_set_level(int level);
KT_API int kt_log_get_level(void);

/* Parses "error", "warning", "info" or "debug" (any case); returns the
 * level, or -1 for any other text or null. */
KT_API int kt_log_level_from_name(const char *name);

/* Installs sink (with its argument) in place of standard error; null
 * restores standard error.  Safe while other threads log, however often it
 * is called: each record goes to one sink with that sink's own argument.  A
 * record being written when the sink changes may still reach the sink
 * installed before; a swap waits for the records of the sink before that.
 * Not to be called from inside a sink. */
KT_API void kt_log_set_sink(kt_log_sink_func sink, void *arg);

/* The error text for errnum: strerror(errnum), or "Unkown error" when the
 * system has no text for it.  The result is never null. */
KT_API const char *kt_strerror(int errnum);

/* Logs "call FUNC fail, errno: %d, error info: %s" style messages for a
 * failed system call at level, with file and line as the prefix. */
KT_API void kt_log_call_fail(int level, const char *file, int line,
                             const char *call, int errnum);

KT_EXTERN_C_END

/* printf-style logging at each level.  Errors and warnings carry the
 * standard prefix "file: <name>, line: N, "; info and debug lines are
 * plain, and the Prefixed forms add the prefix to them. */
#define logError(...) \
    kt_log_write(KT_LOG_ERROR, __FILE__, __LINE__, __VA_ARGS__)
#define logWarning(...) \
    kt_log_write(KT_LOG_WARNING, __FILE__, __LINE__, __VA_ARGS__)
#define logInfo(...) kt_log_write(KT_LOG_INFO, NULL, 0, __VA_ARGS__)
#define logDebug(...) kt_log_write(KT_LOG_DEBUG, NULL, 0, __VA_ARGS__)
#define logInfoPrefixed(...) \
    kt_log_write(KT_LOG_INFO, __FILE__, __LINE__, __VA_ARGS__)
#define logDebugPrefixed(...) \
    kt_log_write(KT_LOG_DEBUG, __FILE__, __LINE__, __VA_ARGS__)

/* The "Unkown error" rule under its customary name. */
#define KT_STRERROR(errnum) kt_strerror(errnum)

#endif
