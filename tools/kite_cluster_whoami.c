/*
 * kite-cluster whoami: the question a server program asks at start-up,
 * "which entry of the cluster file am I?".  Every server with an address
 * whose IP is in the local IP table (loopback plus the host's interface
 * addresses) is printed with those addresses, one line per server in id
 * order; with --group only the addresses of that group count.  The table is
 * IPv4, so IPv6 server addresses never match.
 */
#include <stdio.h>

#include "kite_cluster.h"
#include "local_ip_func.h"
#include "server_id_func.h"

/* Prints the server's local addresses, if any; returns how many. */
static int print_local_addresses(KTServerConfig *ctx, KTServerInfo *server,
                                 const char *group)
{
    const KTAddressPtrArray *array = kc_server_addresses(ctx, server, group);
    int found = 0;
    for (int i = 0; i < array->count; i++) {
        const ConnectionInfo *conn = &array->addrs[i]->conn;
        if (!is_local_host_ip(conn->ip_addr)) {
            continue;
        }
        if (found++ == 0) {
            printf("server id: %d, local addresses:", server->id);
        }
        printf(" %s:%u", conn->ip_addr, conn->port);
    }
    if (found > 0) {
        printf("\n");
    }
    return found;
}

int kc_cmd_whoami(const kc_command *cmd, int argc, char **argv)
{
    kc_load_options lo = {0};
    const char *group = NULL;
    const kc_option opts[] = {KC_LOAD_OPTIONS(&lo),
                              {"--group", KC_OPT_TEXT, &group, 0, 0}};
    const char *pos[1];
    int result =
        kc_parse_args(cmd, argc, argv, opts,
                      (int)(sizeof(opts) / sizeof(opts[0])), pos, 1, 1);
    if (result != 0) {
        return result;
    }
    lo.file = pos[0];
    KTServerConfig ctx;
    kc_text text;
    if (kc_load(&ctx, &lo, &text) != 0) {
        return KC_EXIT_FAIL;
    }
    if (!kc_check_group(&ctx, group)) {
        kc_unload(&ctx, &text);
        return KC_EXIT_FAIL;
    }
    load_local_host_ip_addrs();
    int servers = 0;
    KTServerInfoArray *by_id = &ctx.sorted_server_arrays.by_id;
    for (int i = 0; i < by_id->count; i++) {
        servers += print_local_addresses(&ctx, &by_id->servers[i], group) > 0;
    }
    if (servers == 0) {
        fprintf(stderr,
                "kite-cluster: %s: no server has an address on this "
                "host%s%s\n",
                text.caption, group ? " in group " : "", group ? group : "");
    }
    kc_unload(&ctx, &text);
    return servers > 0 ? KC_EXIT_OK : KC_EXIT_FAIL;
}
