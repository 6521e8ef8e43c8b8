/*
 * The host's own IP addresses: one process-wide table in text form, holding
 * "127.0.0.1" and the IPv4 addresses of the host's interfaces (gethostaddrs
 * of the socket module).
 *
 * The table is filled by load_local_host_ip_addrs, by inserts, or lazily by
 * the first look-up that finds it empty.  Entries keep their insertion order
 * and never move or disappear, so returned addresses point into the table
 * and stay valid for the life of the process.  Every fill (load, insert,
 * lazy load) is serialised by one lock, and the first fill happens once even
 * when first look-ups race; look-ups take no lock and may run on any thread
 * at any time.  g_if_alias_prefix is read by the load: set it before.
 */
#ifndef KITE_LOCAL_IP_FUNC_H
#define KITE_LOCAL_IP_FUNC_H

#include <stdbool.h>
#include <stdint.h>

#include "common_define.h"
#include "sockopt.h"

/* At most this many addresses, each of at most KT_IPV4_ADDRESS_SIZE - 1
 * characters. */
#define KT_MAX_LOCAL_IP_ADDRS 16
/* At most this many alias prefixes are taken from g_if_alias_prefix. */
#define KT_MAX_IF_ALIAS_PREFIX_COUNT 4
/* Bytes of g_if_alias_prefix, its terminating NUL included. */
#define KT_IF_ALIAS_PREFIX_SIZE 32

KT_EXTERN_C_BEGIN

/* The number of addresses in the table; 0 at start.  Written only under the
 * table's lock, after the entry it counts (release); read it with acquire
 * semantics when other threads may be filling. */
extern KT_API int32_t g_local_host_ip_count;
/* The table: entry i in bytes 16i to 16i + 15, a NUL-terminated address. */
extern KT_API char
    g_local_host_ip_addrs[KT_MAX_LOCAL_IP_ADDRS * KT_IPV4_ADDRESS_SIZE];
/* Comma-separated interface alias prefixes (e.g. "eth0:, bond0:"), empty by
 * default; blanks around each prefix are ignored, the first 4 are used. */
extern KT_API char g_if_alias_prefix[KT_IF_ALIAS_PREFIX_SIZE];

/* Inserts "127.0.0.1", then the interface addresses that gethostaddrs lists
 * (filtered by g_if_alias_prefix), in order; duplicates are skipped and
 * addresses past the 16th entry dropped.  A failure of gethostaddrs is not
 * reported: the table keeps what it has. */
KT_API void load_local_host_ip_addrs(void);

/* Adds ip (borrowed) at the end of the table.  Returns 1 when inserted, 0
 * when already present (exact text), -1 when the table is full, when ip is
 * null or longer than 15 characters (logged as a warning; never cut). */
KT_API int insert_into_local_host_ip(const char *ip);

/* True when ip (borrowed; null gives false) equals an entry of the table.
 * Loads the table first when it is empty. */
KT_API bool is_local_host_ip(const char *ip);

/* The first address after previous_ip in table order, "127.0.0.1" skipped;
 * with null, the first such address.  Null after the last address, and for
 * "127.0.0.1" or an address not in the table.  Loads the table first when it
 * is empty. */
KT_API const char *get_next_local_ip(const char *previous_ip);

/* get_next_local_ip(NULL), or "127.0.0.1" when that is null. */
KT_API const char *get_first_local_ip(void);

/* The first non-loopback address of the table that is private
 * (is_private_ip), or null. */
KT_API const char *get_first_local_private_ip(void);

/* Writes "local_host_ip_count: N," and "  ADDRESS" for each entry into buff
 * (caller's, size bytes), cut to fit and NUL-terminated; nothing is written
 * when size <= 0 or buff is null.  The whole text needs at most 297 bytes.
 * Returns buff. */
KT_API char *local_host_ip_addrs_to_string(char *buff, const int size);

/* Logs the text form at info level, without the standard prefix. */
KT_API void log_local_host_ip_addrs(void);

/* Prints "local_host_ip_count=N", then "I. ADDRESS" per entry counted from
 * 1, then an empty line, to standard output. */
KT_API void print_local_host_ip_addrs(void);

KT_EXTERN_C_END

#endif
