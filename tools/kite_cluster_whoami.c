/*
 * kite-cluster whoami FILE [--group NAME] [--default-port N] [--min-hosts N]
 *                          [--share]
 *
 * The question a server program asks at start-up: which entry of the
 * cluster file am I?  Every server with an address whose IP is in the local
 * IP table (loopback plus the host's interface addresses) is printed with
 * those addresses, one line per server in id order.  With --group only the
 * addresses of that group count.  Exit status: 0 at least one server
 * matches, 1 none does (or the file does not load, or the group is
 * unknown), 2 a usage error.
 */
#include "kite_cluster_whoami.h"

#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "local_ip_func.h"
#include "logger.h"
#include "server_id_func.h"

typedef struct {
    const char *file;
    const char *group;
    int default_port;
    int min_hosts;
    bool share;
} whoami_options_t;

static const char *const kWhoamiHelp =
    "usage: kite-cluster whoami FILE [--group NAME] [OPTIONS]\n"
    "Prints every server of FILE that has an address on this host (loopback\n"
    "or an interface address that is up), with those addresses; with --group\n"
    "only the addresses of group NAME count.  The local addresses are IPv4\n"
    "(the local IP table), so IPv6 server addresses never match.  Exits with\n"
    "1 when no server matches.\n"
    "\n"
    "options:\n"
    "  --group NAME          look at the addresses of group NAME only\n"
    "  --default-port N      as for the other commands\n"
    "  --min-hosts N\n"
    "  --share\n"
    "  --help                this text\n";

static void whoami_log_sink(int level, const char *message, int length,
                            void *arg)
{
    (void)arg;
    FILE *out = level <= KT_LOG_WARNING ? stderr : stdout;
    fwrite(message, 1, (size_t)length, out);
    fputc('\n', out);
}

static int whoami_usage(const char *what, const char *arg)
{
    fprintf(stderr, "kite-cluster whoami: %s%s%s\n\n%s", what,
            arg ? ": " : "", arg ? arg : "", kWhoamiHelp);
    return 2;
}

static bool parse_count(const char *text, int *value)
{
    char *end = NULL;
    long n;
    errno = 0;
    n = strtol(text, &end, 10);
    if (end == text || *end != '\0' || errno == ERANGE || n < 0 ||
        n > 2147483647L) {
        return false;
    }
    *value = (int)n;
    return true;
}

/* Returns 0, 1 after --help, or 2 after a usage error. */
static int parse_whoami_args(int argc, char **argv, whoami_options_t *opts)
{
    memset(opts, 0, sizeof(*opts));
    for (int i = 0; i < argc; i++) {
        const char *arg = argv[i];
        if (strcmp(arg, "--help") == 0 || strcmp(arg, "-h") == 0) {
            fputs(kWhoamiHelp, stdout);
            return 1;
        } else if (strcmp(arg, "--share") == 0) {
            opts->share = true;
        } else if (strcmp(arg, "--group") == 0) {
            if (i + 1 == argc) {
                return whoami_usage("option needs a group name", arg);
            }
            opts->group = argv[++i];
        } else if (strcmp(arg, "--default-port") == 0 ||
                   strcmp(arg, "--min-hosts") == 0) {
            int *target = arg[2] == 'd' ? &opts->default_port : &opts->min_hosts;
            if (i + 1 == argc || !parse_count(argv[++i], target)) {
                return whoami_usage("option needs a number of 0 or more", arg);
            }
        } else if (arg[0] == '-' && arg[1] == '-') {
            return whoami_usage("unknown option", arg);
        } else if (opts->file == NULL) {
            opts->file = arg;
        } else {
            return whoami_usage("too many arguments", arg);
        }
    }
    return opts->file == NULL ? whoami_usage("no configuration file", NULL) : 0;
}

/* The addresses that count: the group's, or all of the server's. */
static const KTAddressPtrArray *addresses_of(const KTServerConfig *ctx,
                                             const KTServerInfo *server,
                                             const KTServerGroupInfo *group)
{
    if (group == NULL) {
        return &server->uniq_addresses;
    }
    return &server->group_addrs[group - ctx->group_array.groups].address_array;
}

/* Prints the server's local addresses, if any; returns how many. */
static int print_local_addresses(const KTServerConfig *ctx,
                                 const KTServerInfo *server,
                                 const KTServerGroupInfo *group)
{
    const KTAddressPtrArray *array = addresses_of(ctx, server, group);
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

static int report_matches(KTServerConfig *ctx, const whoami_options_t *opts)
{
    const KTServerGroupInfo *group = NULL;
    if (opts->group != NULL) {
        string_t name = {(char *)opts->group, (int32_t)strlen(opts->group)};
        if ((group = kt_server_get_group_by_name(ctx, &name)) == NULL) {
            fprintf(stderr, "kite-cluster: %s: no group %s\n", opts->file,
                    opts->group);
            return 1;
        }
    }
    load_local_host_ip_addrs();
    int servers = 0;
    const KTServerInfoArray *by_id = &ctx->sorted_server_arrays.by_id;
    for (int i = 0; i < by_id->count; i++) {
        servers += print_local_addresses(ctx, &by_id->servers[i], group) > 0;
    }
    if (servers == 0) {
        fprintf(stderr, "kite-cluster: %s: no server has an address on this "
                "host%s%s\n", opts->file, group ? " in group " : "",
                group ? opts->group : "");
        return 1;
    }
    return 0;
}

int kite_cluster_whoami(int argc, char **argv)
{
    whoami_options_t opts;
    KTServerConfig ctx;
    int result = parse_whoami_args(argc, argv, &opts);
    if (result != 0) {
        return result == 1 ? 0 : result;
    }
    kt_log_set_sink(whoami_log_sink, NULL);
    result = kt_server_load_from_file_ex(&ctx, opts.file, opts.default_port,
                                         opts.min_hosts, opts.share);
    if (result != 0) {
        fprintf(stderr, "kite-cluster: %s: not loaded, errno: %d\n", opts.file,
                result);
        kt_server_destroy(&ctx);
        return 1;
    }
    result = report_matches(&ctx, &opts);
    fflush(stdout);
    kt_server_destroy(&ctx);
    return result;
}
