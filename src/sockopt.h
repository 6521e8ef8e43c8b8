/*
 * Network types of addresses: which network an IP address belongs to, by
 * name and by address.
 *
 * A network type is a bit set: KT_NET_TYPE_OUTER (1) for public addresses,
 * KT_NET_TYPE_INNER (2) for private ones, and one more bit for each of the
 * three private IPv4 ranges, so that the inner subtypes include the inner
 * bit.  KT_NET_TYPE_ANY (31) holds every bit.  The functions keep no state
 * and may be called from any thread.
 */
#ifndef KITE_SOCKOPT_H
#define KITE_SOCKOPT_H

#include <stdbool.h>
#include <stdint.h>

#include "common_define.h"

/* Network types of an address, as bits: public (outer) or private (inner),
 * the private ranges also by their own bit; KT_NET_TYPE_ANY matches all. */
#define KT_NET_TYPE_OUTER 1
#define KT_NET_TYPE_INNER 2
#define KT_NET_TYPE_INNER_10 (KT_NET_TYPE_INNER | 4)   /* 10.0.0.0/8 */
#define KT_NET_TYPE_INNER_172 (KT_NET_TYPE_INNER | 8)  /* 172.16.0.0/12 */
#define KT_NET_TYPE_INNER_192 (KT_NET_TYPE_INNER | 16) /* 192.168.0.0/16 */
#define KT_NET_TYPE_ANY 31

/* Room for an IPv4 address in dotted text plus its NUL (INET_ADDRSTRLEN). */
#define KT_IPV4_ADDRESS_SIZE 16

KT_EXTERN_C_BEGIN

/* The type of a network-type name: "outer", "inner", "inner-10",
 * "inner-172", "inner-192" (exact, case-sensitive), and the empty text for
 * KT_NET_TYPE_ANY.  Returns 0 for any other text and for null (borrowed). */
KT_API int kt_get_net_type_by_name(const char *net_type);

/*
 * The type of an IP address given as text (borrowed, may be null):
 *   IPv4: 10/8 inner-10, 172.16/12 inner-172, 192.168/16 inner-192; the other
 *   non-public ranges (127/8 loopback, 169.254/16 link-local, 100.64/10
 *   shared, 0/8) inner; every other address outer.
 *   IPv6: ::1, fc00::/7 (unique local) and fe80::/10 (link local) inner; an
 *   IPv4-mapped address (::ffff:a.b.c.d) takes its IPv4 address's type; every
 *   other address outer.
 * Returns 0 when the text is not an IP address.
 */
KT_API int kt_get_net_type_by_ip(const char *ip);

/* Parses a dotted-quad IPv4 text (borrowed) exactly as inet_pton does
 * (four decimal octets, no leading zeros, nothing after) into addr[4], in
 * network order.  Returns true on success; addr is unspecified otherwise. */
KT_API bool kt_parse_ipv4(const char *ip, uint8_t *addr);

/* The caption of a network type for logs: "outer", "inner", "inner-10",
 * "inner-172", "inner-192", "any" for KT_NET_TYPE_ANY, and "UNKOWN" for every
 * other value.  The result is a static text. */
static inline const char *get_net_type_caption(const int net_type)
{
    switch (net_type) {
    case KT_NET_TYPE_OUTER: return "outer";
    case KT_NET_TYPE_INNER: return "inner";
    case KT_NET_TYPE_INNER_10: return "inner-10";
    case KT_NET_TYPE_INNER_172: return "inner-172";
    case KT_NET_TYPE_INNER_192: return "inner-192";
    case KT_NET_TYPE_ANY: return "any";
    default: return "UNKOWN";
    }
}

/* Puts descriptor fd into non-blocking mode (O_NONBLOCK), keeping its other
 * status flags.  Returns 0, or fcntl's errno (EBADF for a closed fd). */
KT_API int kt_set_nonblock(const int fd);

/*
 * Lists the IPv4 addresses of this host's interfaces that are up, the
 * loopback interface skipped, in the order getifaddrs gives them.
 * if_alias_prefixes (borrowed; alias_count entries, none null) filters by
 * interface name: with alias_count > 0 only interfaces whose name starts
 * with one of the prefixes are listed (e.g. "eth0:" for the aliases of eth0).
 * Stores at most max_count NUL-terminated addresses in ip_addrs (caller's
 * array of max_count slots) and their number in *count; addresses beyond
 * max_count are left out.  Returns 0; EINVAL for a null ip_addrs or count,
 * or a negative alias_count; getifaddrs' errno (logged) with *count 0.
 * When a provider is installed it is called instead, with the same
 * arguments, and its *count is kept within 0..max_count.
 */
KT_API int gethostaddrs(char **if_alias_prefixes, const int alias_count,
                        char ip_addrs[][KT_IPV4_ADDRESS_SIZE],
                        const int max_count, int *count);

/* A replacement for the interface listing behind gethostaddrs; same
 * arguments and results. */
typedef int (*kt_hostaddrs_provider_func)(char **if_alias_prefixes,
                                          int alias_count,
                                          char ip_addrs[][KT_IPV4_ADDRESS_SIZE],
                                          int max_count, int *count);

/* Installs provider in place of the system listing (null restores it) and
 * returns the previous one (null for the system's).  Meant for tests and
 * for programs that pin their addresses; set it before any thread may call
 * gethostaddrs. */
KT_API kt_hostaddrs_provider_func
kt_set_hostaddrs_provider(kt_hostaddrs_provider_func provider);

KT_EXTERN_C_END

#endif
