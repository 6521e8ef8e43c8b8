/*
 * kite-cluster: checks, renders, dumps and queries a cluster configuration
 * file through the library's public API.
 *
 *   kite-cluster check  [--default-port N] [--min-hosts N] [--share] FILE
 *   kite-cluster render [options] FILE
 *   kite-cluster dump   [options] FILE
 *   kite-cluster lookup [options] FILE ID|IP:PORT
 *
 * The library's log records are caught by a sink: errors go to standard
 * error as the library wrote them, the info lines of the dump to standard
 * output.  Exit status: 0 success, 1 a failed load or an absent server, 2 a
 * usage error.
 */
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "connection_pool.h"
#include "kite_buffer.h"
#include "kite_cluster_whoami.h"
#include "logger.h"
#include "server_id_func.h"

typedef struct {
    const char *command;
    const char *file;
    const char *key;
    int default_port;
    int min_hosts;
    bool share;
} options_t;

static const char *const kUsage =
    "usage: kite-cluster COMMAND [OPTIONS] FILE [KEY]\n"
    "\n"
    "commands:\n"
    "  check FILE            load and check FILE; print one summary line\n"
    "  render FILE           print the configuration as loadable text\n"
    "  dump FILE             print the configuration dump\n"
    "  lookup FILE ID        print the server with that id\n"
    "  lookup FILE IP:PORT   print the server owning that address\n"
    "                        ([IPv6]:PORT for IPv6)\n"
    "  whoami FILE [--group NAME]\n"
    "                        print the servers with an address on this host\n"
    "\n"
    "options (every command):\n"
    "  --default-port N      port of a lone group section without \"port\",\n"
    "                        and of the file when it has no group section\n"
    "  --min-hosts N         addresses every server needs in every group\n"
    "  --share               let one ip:port sit in several groups\n"
    "  --help                this text\n"
    "\n"
    "exit status: 0 success, 1 load failure or server not found, 2 usage\n";

/* One line of help per command, printed by "kite-cluster COMMAND --help". */
static const struct {
    const char *command;
    const char *help;
} kCommandHelp[] = {
    {"check", "usage: kite-cluster check [OPTIONS] FILE\n"
              "Loads and checks FILE.  On success prints one line: the numbers "
              "of groups,\nservers and distinct ip:port addresses; on failure "
              "prints the library's\nmessage and exits with 1.\n"},
    {"render", "usage: kite-cluster render [OPTIONS] FILE\n"
               "Prints the configuration as text that loads back to the same "
               "groups,\nservers and addresses.\n"},
    {"dump", "usage: kite-cluster dump [OPTIONS] FILE\n"
             "Prints the library's dump of the configuration: groups, counts "
             "and every\nserver's addresses per group.\n"},
    {"lookup", "usage: kite-cluster lookup [OPTIONS] FILE ID|IP:PORT\n"
               "Prints the server with that id, or the server owning that "
               "address\n([IPv6]:PORT for IPv6), with its addresses per group; "
               "exits with 1 when\nthere is none.\n"},
};

static void print_help(const char *command)
{
    for (size_t i = 0; command != NULL &&
                       i < sizeof(kCommandHelp) / sizeof(kCommandHelp[0]); i++) {
        if (strcmp(command, kCommandHelp[i].command) == 0) {
            fputs(kCommandHelp[i].help, stdout);
            fputs("\noptions:\n", stdout);
            fputs(strstr(kUsage, "  --default-port"), stdout);
            return;
        }
    }
    fputs(kUsage, stdout);
}

static void log_sink(int level, const char *message, int length, void *arg)
{
    (void)arg;
    FILE *out = level <= KT_LOG_WARNING ? stderr : stdout;
    fwrite(message, 1, (size_t)length, out);
    fputc('\n', out);
}

static int usage_error(const char *what, const char *arg)
{
    fprintf(stderr, "kite-cluster: %s%s%s\n\n%s", what, arg ? ": " : "",
            arg ? arg : "", kUsage);
    return 2;
}

static int parse_int_arg(const char *text, int *value)
{
    char *end = NULL;
    long n;
    errno = 0;
    n = strtol(text, &end, 10);
    if (end == text || *end != '\0' || errno == ERANGE || n < 0 ||
        n > 2147483647L) {
        return EINVAL;
    }
    *value = (int)n;
    return 0;
}

/* Returns 0, 1 for --help, or 2 after printing a usage error. */
static int parse_args(int argc, char **argv, options_t *opts)
{
    int positional = 0;
    memset(opts, 0, sizeof(*opts));
    for (int i = 1; i < argc; i++) {
        const char *arg = argv[i];
        if (strcmp(arg, "--help") == 0 || strcmp(arg, "-h") == 0) {
            print_help(opts->command);
            return 1;
        } else if (strcmp(arg, "--share") == 0) {
            opts->share = true;
        } else if (strcmp(arg, "--default-port") == 0 ||
                   strcmp(arg, "--min-hosts") == 0) {
            int *target = arg[2] == 'd' ? &opts->default_port : &opts->min_hosts;
            if (i + 1 == argc || parse_int_arg(argv[++i], target) != 0) {
                return usage_error("option needs a number of 0 or more", arg);
            }
        } else if (arg[0] == '-' && arg[1] == '-') {
            return usage_error("unknown option", arg);
        } else if (positional == 0) {
            opts->command = arg;
            positional++;
        } else if (positional == 1) {
            opts->file = arg;
            positional++;
        } else if (positional == 2) {
            opts->key = arg;
            positional++;
        } else {
            return usage_error("too many arguments", arg);
        }
    }
    if (opts->command == NULL) {
        return usage_error("no command", NULL);
    }
    if (opts->file == NULL) {
        return usage_error("no configuration file", NULL);
    }
    if ((strcmp(opts->command, "lookup") == 0) != (opts->key != NULL)) {
        return usage_error(opts->key ? "unexpected argument" : "lookup needs "
                           "ID or IP:PORT", opts->key);
    }
    return 0;
}

static int load(KTServerConfig *ctx, const options_t *opts)
{
    int result = kt_server_load_from_file_ex(ctx, opts->file,
                                             opts->default_port,
                                             opts->min_hosts, opts->share);
    if (result != 0) {
        /* The library has logged why; its error number alone is added, as
         * its system text (e.g. "No such file" for ENOENT) would mislead. */
        fprintf(stderr, "kite-cluster: %s: not loaded, errno: %d\n",
                opts->file, result);
        kt_server_destroy(ctx);
    }
    return result;
}

static int cmd_check(KTServerConfig *ctx, const options_t *opts)
{
    printf("%s: ok, groups: %d, servers: %d, addresses: %d\n", opts->file,
           ctx->group_array.count, ctx->sorted_server_arrays.by_id.count,
           ctx->sorted_server_arrays.by_ip_port.count);
    return 0;
}

static int cmd_render(KTServerConfig *ctx)
{
    KiteBuffer buffer;
    int result;
    kite_buffer_init(&buffer);
    result = kt_server_to_config_string(ctx, &buffer);
    if (result == 0 && buffer.length > 0) {
        fwrite(buffer.data, 1, (size_t)buffer.length, stdout);
    }
    kite_buffer_destroy(&buffer);
    if (result != 0) {
        fprintf(stderr, "kite-cluster: render fail, errno: %d, error info: "
                "%s\n", result, kt_strerror(result));
        return 1;
    }
    return 0;
}

static void print_address(const KTAddressInfo *addr)
{
    const char *ip = addr->conn.ip_addr;
    if (strchr(ip, ':') != NULL) {
        printf(" [%s]:%u", ip, addr->conn.port);
    } else {
        printf(" %s:%u", ip, addr->conn.port);
    }
}

static void print_server(const KTServerConfig *ctx, const KTServerInfo *server)
{
    printf("server id: %d, addresses: %d\n", server->id,
           server->uniq_addresses.count);
    for (int i = 0; i < ctx->group_array.count; i++) {
        const KTServerGroupInfo *group = &ctx->group_array.groups[i];
        const KTAddressPtrArray *array = &server->group_addrs[i].address_array;
        printf("  group %.*s%s (port %d):", group->group_name.len,
               group->group_name.str, group->group_name.len ? "" : "(implicit)",
               group->port);
        for (int j = 0; j < array->count; j++) {
            print_address(array->addrs[j]);
        }
        printf("%s\n", array->count == 0 ? " none" : "");
    }
}

static int cmd_lookup(KTServerConfig *ctx, const char *key)
{
    KTServerInfo *server;
    int id;
    if (parse_int_arg(key, &id) == 0) {
        server = kt_server_get_by_id(ctx, id);
    } else {
        ConnectionInfo conn;
        string_t ip;
        if (conn_pool_parse_server_info(key, &conn, 0) != 0 || conn.port == 0) {
            return usage_error("lookup key is neither an id nor IP:PORT", key);
        }
        ip.str = conn.ip_addr;
        ip.len = (int32_t)strlen(conn.ip_addr);
        server = kt_server_get_by_ip_port_ex(ctx, &ip, conn.port);
    }
    if (server == NULL) {
        fprintf(stderr, "kite-cluster: no server for %s\n", key);
        return 1;
    }
    print_server(ctx, server);
    return 0;
}

int main(int argc, char **argv)
{
    if (argc > 1 && strcmp(argv[1], "whoami") == 0) {
        return kite_cluster_whoami(argc - 2, argv + 2);
    }
    options_t opts;
    KTServerConfig ctx;
    int result = parse_args(argc, argv, &opts);
    if (result != 0) {
        if (result == 1) {
            return 0;
        }
        return result;
    }
    if (strcmp(opts.command, "check") != 0 &&
        strcmp(opts.command, "render") != 0 &&
        strcmp(opts.command, "dump") != 0 &&
        strcmp(opts.command, "lookup") != 0) {
        return usage_error("unknown command", opts.command);
    }
    kt_log_set_sink(log_sink, NULL);
    kt_log_set_level(KT_LOG_INFO);
    if (load(&ctx, &opts) != 0) {
        return 1;
    }
    if (strcmp(opts.command, "check") == 0) {
        result = cmd_check(&ctx, &opts);
    } else if (strcmp(opts.command, "render") == 0) {
        result = cmd_render(&ctx);
    } else if (strcmp(opts.command, "dump") == 0) {
        kt_server_to_log(&ctx);
        result = 0;
    } else {
        result = cmd_lookup(&ctx, opts.key);
    }
    fflush(stdout);
    kt_server_destroy(&ctx);
    return result;
}
