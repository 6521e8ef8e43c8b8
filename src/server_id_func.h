/*
 * Cluster topology: servers with ids and addresses, and up to four server
 * groups, each a port plus a network filter, loaded from INI text.
 *
 * Text accepted: an optional global "port"; sections "group-NAME" with
 * "port", "net_type" (outer, inner, inner-10, inner-172, inner-192, or empty
 * for any) and "ip_prefix"; sections "server-ID" with "host" items (go to
 * every group they match), "NAME-host" items (go to group NAME only) and
 * "NAME-port" items (this server's port in group NAME).
 *
 * The caller owns the KTServerConfig record.  Loading zeroes it and fills
 * it; every failure is logged once (with the file name or the buffer's
 * caption) and returned as a positive errno value, leaving what was built so
 * far for kt_server_destroy.  A loaded record may be read by several threads
 * at once through the lookups and kt_server_to_log; loading, destroying and
 * kt_server_to_config_string need exclusive use.
 */
#ifndef KITE_SERVER_ID_FUNC_H
#define KITE_SERVER_ID_FUNC_H

#include <stdbool.h>
#include <stdint.h>

#include "common_define.h"
#include "connection_pool.h"
#include "ini_file_reader.h"
#include "kite_buffer.h"

#define KT_SERVER_MAX_GROUPS 4 /* groups per configuration */
/* "host" items per server; addresses per group. */
#define KT_SERVER_MAX_HOSTS 8

#define KT_SERVER_GROUP_NAME_SIZE 64 /* names keep at most 62 characters */
#define KT_SERVER_IP_PREFIX_SIZE 16  /* prefixes keep at most 14 characters */

KT_EXTERN_C_BEGIN

/* One address of one server. */
typedef struct {
    int32_t net_type;    /* type of conn.ip_addr (kt_get_net_type_by_ip) */
    ConnectionInfo conn; /* sock -1 until connected */
} KTAddressInfo;

/* A growable array of borrowed or owned address pointers. */
typedef struct {
    int32_t alloc; /* capacity in pointers */
    int32_t count; /* pointers held */
    int32_t index; /* address to try first when connecting; 0 after loading */
    KTAddressInfo **addrs; /* count pointers, alloc allocated */
} KTAddressPtrArray;

/* One server group. */
typedef struct {
    string_t group_name; /* points at name_buff; len 0 for the implicit group */
    int32_t port;        /* the group's port */
    int32_t server_port; /* scratch: "-port" of the section being loaded */
    /* Which addresses belong to the group. */
    struct {
        int32_t net_type;   /* KT_NET_TYPE_*; 0 only for the implicit group */
        string_t ip_prefix; /* points at prefix_buff (null when implicit) */
        char prefix_buff[KT_SERVER_IP_PREFIX_SIZE]; /* the prefix text */
    } filter;
    char name_buff[KT_SERVER_GROUP_NAME_SIZE]; /* the name, NUL-terminated */
} KTServerGroupInfo;

/* The groups, sorted by name; count 1 to KT_SERVER_MAX_GROUPS once loaded. */
typedef struct {
    int32_t count;                                  /* groups in use */
    KTServerGroupInfo groups[KT_SERVER_MAX_GROUPS]; /* the first count used */
} KTServerGroupArray;

/* A server's addresses in one group, sorted by IP text then port. */
typedef struct {
    KTServerGroupInfo *server_group; /* slot i points at group i */
    KTAddressPtrArray address_array; /* borrowed from uniq_addresses */
} KTGroupAddresses;

/* One server. */
typedef struct {
    int32_t id;                       /* > 0, unique */
    KTAddressPtrArray uniq_addresses; /* owns the records; first-seen order */
    /* Entry i holds the addresses in group i of the configuration. */
    KTGroupAddresses group_addrs[KT_SERVER_MAX_GROUPS];
} KTServerInfo;

/* One entry of the ip:port index. */
typedef struct {
    string_t ip_addr;     /* points at the address record's conn.ip_addr */
    int32_t port;         /* the address's port */
    KTServerInfo *server; /* the server it belongs to */
} KTServerMap;

/* The servers of a configuration. */
typedef struct {
    int32_t alloc;         /* capacity in servers */
    int32_t count;         /* servers held */
    KTServerInfo *servers; /* sorted by id once loaded */
} KTServerInfoArray;

/* The ip:port index of a configuration. */
typedef struct {
    int32_t count;     /* entries held */
    KTServerMap *maps; /* sorted by IP text, then port */
} KTServerMapArray;

/* A cluster configuration, owned by the caller. */
typedef struct {
    int32_t default_port;           /* as given to the load */
    int32_t min_hosts_each_group;   /* > 0: addresses required in every group */
    bool share_between_groups;      /* one ip:port may sit in several groups */
    KTServerGroupArray group_array; /* the groups, sorted by name */
    /* The servers and the index over their addresses. */
    struct {
        KTServerInfoArray by_id;
        KTServerMapArray by_ip_port;
    } sorted_server_arrays;
    /* Private: hash index of ids and ip:ports built at load (it lives in
     * the same allocation as by_ip_port.maps); null when absent, and the
     * lookups then search the sorted arrays. */
    struct kt_server_lookup_index *lookup_index;
} KTServerConfig;

/*
 * Loads the configuration file into *ctx (zeroed first, nothing released).
 * default_port: port of a lone group section without "port", and default of
 * the global "port" when there is no group section.  min_hosts_each_group
 * and share_between_groups are stored and applied to the server sections.
 * Returns 0; the INI reader's error (not logged here); EINVAL, ENOENT,
 * EEXIST, ENOSPC for bad text (one message logged); ENOMEM.  After a failure
 * *ctx holds what was built; release it with kt_server_destroy.
 */
KT_API int kt_server_load_from_file_ex(KTServerConfig *ctx,
                                       const char *config_filename,
                                       const int default_port,
                                       const int min_hosts_each_group,
                                       const bool share_between_groups);

/* The same for NUL-terminated text in memory (borrowed; not modified by
 * this reader).  caption stands for the file name in every message. */
KT_API int kt_server_load_from_buffer_ex(KTServerConfig *ctx, char *content,
                                         const char *caption,
                                         const int default_port,
                                         const int min_hosts_each_group,
                                         const bool share_between_groups);

/* Loads groups, servers and indexes from an already parsed text (borrowed).
 * *ctx must be zero apart from default_port, min_hosts_each_group and
 * share_between_groups.  config_filename is used in messages.  Results as
 * kt_server_load_from_file_ex. */
KT_API int kt_server_load_data(KTServerConfig *ctx, IniContext *ini_context,
                               const char *config_filename);

/* Releases every array and address record; leaves null pointers and zero
 * counts, so calling it again or on a zeroed record does nothing.  Groups
 * and load parameters stay.  Sockets held in address records are not
 * closed. */
KT_API void kt_server_destroy(KTServerConfig *ctx);

/* The group whose name has the same bytes as *group_name (borrowed; an empty
 * name finds the implicit group), or null. */
KT_API KTServerGroupInfo *kt_server_get_group_by_name(
    KTServerConfig *ctx, const string_t *group_name);

/* The server with that id (binary search), or null for 0 or an unknown id. */
KT_API KTServerInfo *kt_server_get_by_id(KTServerConfig *ctx,
                                         const int server_id);

/* The server that owns the address ip_addr:port (binary search; *ip_addr is
 * borrowed and need not be NUL-terminated; the text is compared as written),
 * or null. */
KT_API KTServerInfo *kt_server_get_by_ip_port_ex(KTServerConfig *ctx,
                                                 const string_t *ip_addr,
                                                 const int port);

/*
 * Appends the configuration as INI text that loads back to the same groups,
 * servers and addresses (the buffer's contents are kept and no NUL is
 * added).  A configuration without group section renders as a global
 * "port = N" item.  IPv6 addresses are written in brackets.  Clears every
 * group's server_port.  Returns 0, or the buffer's error (ENOMEM) with the
 * text appended so far left in the buffer.
 */
KT_API int kt_server_to_config_string(KTServerConfig *ctx, KiteBuffer *buffer);

/* Writes the groups, the counts and every server's addresses per group to
 * the log at info level, without the error prefix. */
KT_API void kt_server_to_log(KTServerConfig *ctx);

/*
 * Connecting to a server through one of its address arrays (normally a
 * group slot's address_array, or uniq_addresses).  The array's index is the
 * address tried first: the one that last worked.  An index outside the
 * array is taken as 0.  Address records are shared between a server's
 * arrays, so a connection kept in a record is seen through all of them; no
 * locks: the caller serialises all use of one server's arrays.
 * connect_timeout (seconds, 0 or less: no limit), bind_ipaddr (null or "":
 * no bind) and log_connect_error go to conn_pool_connect_server_ex, which
 * alone logs (only when log_connect_error is set).
 */

/* Returns the connection kept in one of the array's records, connecting if
 * need be: the record at index when it holds a socket (*err_no untouched);
 * else the record at index, connected (*err_no = its result); else the
 * other records from position 0 up, where one that already holds a socket
 * is adopted (*err_no = 0) and the others are connected until one succeeds
 * (*err_no = each result); index then names the record returned.
 * Returns null with *err_no = ENOENT for an empty array, or with the last
 * attempt's errno when every address fails (index unchanged). */
KT_API ConnectionInfo *kt_server_check_connect_ex(KTAddressPtrArray *addr_array,
                                                  const int connect_timeout,
                                                  const char *bind_ipaddr,
                                                  const bool log_connect_error,
                                                  int *err_no);

/* Closes the connection kept in the record at index, if any, and sets its
 * sock to -1.  Other records are not touched; an empty array does
 * nothing. */
KT_API void kt_server_disconnect(KTAddressPtrArray *addr_array);

/* Connects the caller's own record *conn (its socket then belongs to the
 * caller, who closes it), trying the address at index first, then the
 * others from position 0 up: each time the fixed fields of the address's
 * conn are copied into *conn (the caller's bytes behind the record are
 * kept), sock set to -1, and *conn connected.  index moves to an address
 * other than the first tried when that one succeeds.  Address records are
 * never changed.  Returns 0; ENOENT for an empty array; else the last
 * attempt's errno, with conn->sock -1. */
KT_API int kt_server_make_connection_ex(KTAddressPtrArray *addr_array,
                                        ConnectionInfo *conn,
                                        const int connect_timeout,
                                        const char *bind_ipaddr,
                                        const bool log_connect_error);

/* The address that suits a peer (read only; borrowed from the array): the
 * only one of a one-address array; else the first whose net_type equals the
 * type of peer_ip (borrowed; kt_get_net_type_by_ip), or the first address
 * when none does.  Null for an empty array. */
KT_API KTAddressInfo *kt_server_get_address_by_peer(
    KTAddressPtrArray *addr_array, const char *peer_ip);

KT_EXTERN_C_END

/* Short forms: no default port, no minimum, no sharing; lookup by a
 * NUL-terminated IP. */
static inline int kt_server_load_from_file(KTServerConfig *ctx,
                                           const char *config_filename)
{
    return kt_server_load_from_file_ex(ctx, config_filename, 0, 0, false);
}

/* kt_server_get_by_ip_port_ex with the length of the NUL-terminated
 * ip_addr. */
static inline KTServerInfo *kt_server_get_by_ip_port(KTServerConfig *ctx,
                                                     const char *ip_addr,
                                                     const int port)
{
    string_t ip;
    ip.str = (char *)ip_addr;
    ip.len = 0;
    while (ip_addr[ip.len] != '\0') {
        ip.len++;
    }
    return kt_server_get_by_ip_port_ex(ctx, &ip, port);
}

/* Short forms of the connection helpers: no bind, failures logged. */
static inline ConnectionInfo *kt_server_check_connect(
    KTAddressPtrArray *addr_array, const int connect_timeout, int *err_no)
{
    return kt_server_check_connect_ex(addr_array, connect_timeout, NULL, true,
                                      err_no);
}

/* kt_server_make_connection_ex without bind, failures logged. */
static inline int kt_server_make_connection(KTAddressPtrArray *addr_array,
                                            ConnectionInfo *conn,
                                            const int connect_timeout)
{
    return kt_server_make_connection_ex(addr_array, conn, connect_timeout, NULL,
                                        true);
}

#endif
