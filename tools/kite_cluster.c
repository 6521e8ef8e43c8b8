/*
 * kite-cluster: checks, renders, dumps and queries a cluster configuration
 * file, and pings, serves and fans requests out to its servers, through the
 * library's public API.
 *
 *   kite-cluster COMMAND [OPTIONS] ARGUMENTS   (kite-cluster --help)
 *
 * Commands are the entries of kCommands below; each parses its own
 * arguments with kc_parse_args.  The library's log records are caught by a
 * sink: errors and warnings go to standard error as the library wrote them,
 * the info lines of the dump to standard output.  Standard output is
 * flushed and closed by main, so that a failed write (a full disk, a closed
 * pipe) ends every command with status 1.  Exit status: 0 success, 1 a
 * failed load, check, lookup, connection or write, 2 a usage error.
 */
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "connection_pool.h"
#include "ini_file_reader.h"
#include "kite_buffer.h"
#include "kite_cluster.h"
#include "kt_memory.h"
#include "logger.h"
#include "shared_func.h"

const char *const kc_load_options_help =
    "  --default-port N   port of a lone group section without \"port\", and\n"
    "                     of the file when it has no group section\n"
    "  --min-hosts N      addresses every server needs in every group\n"
    "  --share            let one ip:port sit in several groups\n"
    "  --help             this text\n"
    "FILE \"-\" reads the configuration from standard input.\n";

static int cmd_check(const kc_command *cmd, int argc, char **argv);
static int cmd_render(const kc_command *cmd, int argc, char **argv);
static int cmd_dump(const kc_command *cmd, int argc, char **argv);
static int cmd_lookup(const kc_command *cmd, int argc, char **argv);

/* The commands, in the order --help lists them.  A command added in a file
 * of its own takes one line here. */
static const kc_command kCommands[] = {
    {"check", "[--strict] [LOAD OPTIONS] FILE",
     "load and check FILE; print one summary line and any warnings",
     "Loads and checks FILE.  On success prints one line: the numbers of\n"
     "groups, servers and distinct ip:port addresses.  Before it, one line\n"
     "per warning (\"FILE:LINE: warning: ...\") for what loads but is almost\n"
     "surely a mistake: a section that is neither group- nor server-, a\n"
     "section that appears twice, an item the loader ignores or that repeats\n"
     "in one section, two addresses that are the same address written\n"
     "differently.  With --strict a warning fails the check (status 1).\n",
     cmd_check},
    {"render", "[LOAD OPTIONS] FILE",
     "print the configuration as loadable text",
     "Prints the configuration as text that loads back to the same groups,\n"
     "servers and addresses.\n",
     cmd_render},
    {"dump", "[LOAD OPTIONS] FILE", "print the configuration dump",
     "Prints the library's dump of the configuration: groups, counts and\n"
     "every server's addresses per group.\n",
     cmd_dump},
    {"lookup", "[LOAD OPTIONS] FILE ID|IP:PORT",
     "print the server with that id or address",
     "Prints the server with that id, or the server owning that address\n"
     "([IPv6]:PORT for IPv6), with its addresses per group; exits with 1\n"
     "when there is none.\n",
     cmd_lookup},
    {"ping",
     "[--group NAME] [--timeout SECONDS] [--bind IP] [LOAD OPTIONS] FILE",
     "connect every server through whichever address answers",
     "For every server, in id order, connects through the first of its\n"
     "addresses that answers (all its addresses in order of appearance, or\n"
     "those of one group, sorted) and prints one line: the id, the address\n"
     "that answered and its position, then each address that refused with\n"
     "what it returned.  A closing line counts the servers that answered;\n"
     "the status is 1 when one did not.\n"
     "  --group NAME       use the server's addresses in that group\n"
     "  --timeout SECONDS  connect time-out per address (default 2, 0: none)\n"
     "  --bind IP          local address to connect from\n",
     kc_cmd_ping},
    {"serve", "[--group NAME] [--skip IP:PORT] [LOAD OPTIONS] FILE ID",
     "answer framed requests on a server's addresses (demos, tests)",
     "Listens on the addresses of server ID (all of them, or those of one\n"
     "group) and answers every framed request with a framed reply whose\n"
     "body is \"server ID: \" followed by the request's body.  Prints one\n"
     "\"listening on\" line per address, then serves until SIGTERM or\n"
     "SIGINT, and exits with 0.  Frame, both ways: a 16-byte header (bytes\n"
     "0-3 \"KCF1\", 4-7 the body length and 8-11 the server id, both\n"
     "unsigned big-endian, 12-15 zero), then the body (at most 1 MiB; a\n"
     "request's body at most 1 MiB - 32 bytes).\n"
     "A connection that sends anything else is closed.\n"
     "  --group NAME       listen on the server's addresses in that group\n"
     "  --skip IP:PORT     leave that address unserved (shows fallback)\n",
     kc_cmd_serve},
    {"fanout", "[--group NAME] [--timeout-ms N] [LOAD OPTIONS] FILE MESSAGE",
     "send MESSAGE to every server at once and gather the replies",
     "Connects every server (as ping does), sends MESSAGE in one framed\n"
     "request to all of them at once and waits for every framed reply (the\n"
     "frame of serve) within one time-out.  Prints one line per server: its\n"
     "outcome, the reply's size and the time it took, then a summary line;\n"
     "the status is 1 when a server did not reply.\n"
     "  --group NAME       use the server's addresses in that group\n"
     "  --timeout-ms N     time allowed for the whole exchange (default "
     "2000);\n"
     "                     connecting, before it, allows each address this\n"
     "                     time rounded up to whole seconds\n",
     kc_cmd_fanout},
    {"whoami", "[--group NAME] [LOAD OPTIONS] FILE",
     "print the servers that have an address on this host",
     "Prints every server of FILE that has an address on this host\n"
     "(loopback or an interface address that is up, through the local IP\n"
     "table), with those addresses, one line per server in id order.  The\n"
     "table is IPv4, so IPv6 server addresses never match.  Exits with 1\n"
     "when no server matches.\n"
     "  --group NAME       look at the addresses of that group only\n",
     kc_cmd_whoami},
};

static const size_t kCommandCount = sizeof(kCommands) / sizeof(kCommands[0]);

static void print_main_help(void)
{
    printf("usage: kite-cluster COMMAND [OPTIONS] ARGUMENTS\n\ncommands:\n");
    for (size_t i = 0; i < kCommandCount; i++) {
        printf("  %-8s %s\n", kCommands[i].name, kCommands[i].summary);
    }
    printf("\nLOAD OPTIONS (every command):\n%s\n"
           "\"kite-cluster COMMAND --help\" tells more of one command.\n"
           "exit status: 0 success, 1 failure (load, check, lookup, "
           "connection,\nwrite), 2 usage error\n",
           kc_load_options_help);
}

static void print_command_help(const kc_command *cmd)
{
    printf("usage: kite-cluster %s %s\n%s\nLOAD OPTIONS:\n%s", cmd->name,
           cmd->usage, cmd->help, kc_load_options_help);
}

static int main_usage_error(const char *what, const char *arg)
{
    fprintf(stderr,
            "kite-cluster: %s%s%s\nusage: kite-cluster COMMAND "
            "[OPTIONS] ARGUMENTS\nTry 'kite-cluster --help'.\n",
            what, arg ? ": " : "", arg ? arg : "");
    return KC_EXIT_USAGE;
}

int kc_usage_error(const kc_command *cmd, const char *what, const char *arg)
{
    fprintf(stderr,
            "kite-cluster %s: %s%s%s\nusage: kite-cluster %s %s\n"
            "Try 'kite-cluster %s --help'.\n",
            cmd->name, what, arg ? ": " : "", arg ? arg : "", cmd->name,
            cmd->usage, cmd->name);
    return KC_EXIT_USAGE;
}

int kc_parse_int(const char *text, int min, int max, int *value)
{
    char *end = NULL;
    long n;
    errno = 0;
    n = strtol(text, &end, 10);
    if (end == text || *end != '\0' || errno == ERANGE || n < min || n > max) {
        return EINVAL;
    }
    *value = (int)n;
    return 0;
}

static int parse_option(const kc_command *cmd, const kc_option *opt,
                        const char *value)
{
    if (opt->kind == KC_OPT_TEXT) {
        *(const char **)opt->target = value;
        return 0;
    }
    if (kc_parse_int(value, opt->min_value, opt->max_value,
                     (int *)opt->target) != 0) {
        char what[96];
        snprintf(what, sizeof(what), "%s needs a number from %d to %d",
                 opt->name, opt->min_value, opt->max_value);
        return kc_usage_error(cmd, what, value);
    }
    return 0;
}

int kc_parse_args(const kc_command *cmd, int argc, char **argv,
                  const kc_option *opts, int opt_count, const char **pos,
                  int min_pos, int max_pos)
{
    int count = 0;
    bool options_done = false;
    for (int i = 0; i < max_pos; i++) {
        pos[i] = NULL;
    }
    for (int i = 1; i < argc; i++) {
        const char *arg = argv[i];
        const kc_option *opt = NULL;
        if (!options_done && arg[0] == '-' && arg[1] != '\0') {
            if (strcmp(arg, "--") == 0) {
                options_done = true;
                continue;
            }
            if (strcmp(arg, "--help") == 0 || strcmp(arg, "-h") == 0) {
                print_command_help(cmd);
                return KC_PARSED_HELP;
            }
            for (int j = 0; j < opt_count && opt == NULL; j++) {
                opt = strcmp(arg, opts[j].name) == 0 ? &opts[j] : NULL;
            }
            if (opt == NULL) {
                return kc_usage_error(cmd, "unknown option", arg);
            }
            if (opt->kind == KC_OPT_FLAG) {
                *(bool *)opt->target = true;
            } else if (i + 1 == argc) {
                return kc_usage_error(cmd, "option needs a value", arg);
            } else if (parse_option(cmd, opt, argv[++i]) != 0) {
                return KC_EXIT_USAGE;
            }
        } else if (count == max_pos) {
            return kc_usage_error(cmd, "too many arguments", arg);
        } else {
            pos[count++] = arg;
        }
    }
    if (count < min_pos) {
        return kc_usage_error(cmd, "missing arguments", NULL);
    }
    return 0;
}

/* ---- loading ---- */

static bool only_blanks(const char *text, int64_t length)
{
    for (int64_t i = 0; i < length; i++) {
        if (strchr(" \t\r\n\v\f", text[i]) == NULL) {
            return false;
        }
    }
    return true;
}

/* The failure of kt_server_load_data in words; the library's own message
 * above tells which section and item. */
static const char *load_failure_words(int result, IniContext *ini)
{
    if (iniGetSectionCountByPrefix(ini, "server-") == 0) {
        return "no server section ([server-ID])";
    }
    switch (result) {
    case EINVAL: return "a section name or an item is invalid";
    case ENOENT: return "a required item, group or address is missing";
    case EEXIST: return "a server id, address or port is given twice";
    case ENOSPC: return "too many addresses";
    case ENOMEM: return "out of memory";
    default: return kt_strerror(result);
    }
}

static void load_failed(const kc_text *text, const char *words, int result)
{
    fprintf(stderr, "kite-cluster: %s: not loaded: %s (errno: %d)\n",
            text->caption, words, result);
}

int kc_load(KTServerConfig *ctx, const kc_load_options *lo, kc_text *text)
{
    bool is_stdin = strcmp(lo->file, "-") == 0;
    IniContext ini;
    int result;
    memset(ctx, 0, sizeof(*ctx));
    text->caption = is_stdin ? "(stdin)" : lo->file;
    result = kt_get_file_content(is_stdin ? "/dev/stdin" : lo->file,
                                 &text->data, &text->length);
    if (result != 0) {
        char words[160];
        snprintf(words, sizeof(words), "cannot read the file: %s",
                 kt_strerror(result));
        load_failed(text, words, result);
        return result;
    }
    /* The library's steps one by one (what kt_server_load_from_buffer_ex
     * does), so that a text the INI reader refuses is told apart. */
    result = iniLoadFromBufferEx(text->data, &ini, KT_INI_ANNOTATION_NONE, NULL,
                                 0, KT_INI_FLAG_VERBATIM_VALUES);
    if (result != 0) {
        load_failed(text, "the text is not valid INI (see the line above)",
                    result);
        kc_unload(ctx, text);
        return result;
    }
    ctx->default_port = lo->default_port;
    ctx->min_hosts_each_group = lo->min_hosts;
    ctx->share_between_groups = lo->share;
    result = kt_server_load_data(ctx, &ini, text->caption);
    if (result != 0) {
        load_failed(text,
                    only_blanks(text->data, text->length)
                        ? "the file is empty"
                        : load_failure_words(result, &ini),
                    result);
        kc_unload(ctx, text);
    }
    iniFreeContext(&ini);
    return result;
}

void kc_unload(KTServerConfig *ctx, kc_text *text)
{
    kt_server_destroy(ctx);
    kt_free(text->data);
    text->data = NULL;
    text->length = 0;
}

/* Parses "[OPTIONS] FILE [extra...]" with the load options, loads FILE.
 * Returns 0 with ctx loaded, KC_PARSED_HELP, or an exit status. */
static int parse_and_load(const kc_command *cmd, int argc, char **argv,
                          kc_option *extra_opts, int extra_count,
                          const char **pos, int pos_count, KTServerConfig *ctx,
                          kc_text *text)
{
    kc_load_options lo = {NULL, 0, 0, false};
    kc_option opts[8] = {KC_LOAD_OPTIONS(&lo)};
    int n = 3;
    for (int i = 0; i < extra_count && n < 8; i++) {
        opts[n++] = extra_opts[i];
    }
    int result =
        kc_parse_args(cmd, argc, argv, opts, n, pos, pos_count, pos_count);
    if (result != 0) {
        return result;
    }
    lo.file = pos[0];
    return kc_load(ctx, &lo, text) == 0 ? 0 : KC_EXIT_FAIL;
}

/* ---- check, render, dump, lookup ---- */

static int cmd_check(const kc_command *cmd, int argc, char **argv)
{
    bool strict = false;
    kc_option strict_opt = {"--strict", KC_OPT_FLAG, &strict, 0, 0};
    const char *pos[1];
    KTServerConfig ctx;
    kc_text text;
    int result =
        parse_and_load(cmd, argc, argv, &strict_opt, 1, pos, 1, &ctx, &text);
    if (result != 0) {
        return result;
    }
    int warnings = kc_print_warnings(&ctx, &text);
    if (strict && warnings > 0) {
        printf("%s: failed under --strict, warnings: %d\n", text.caption,
               warnings);
        result = KC_EXIT_FAIL;
    } else {
        printf("%s: ok, groups: %d, servers: %d, addresses: %d", text.caption,
               ctx.group_array.count, ctx.sorted_server_arrays.by_id.count,
               ctx.sorted_server_arrays.by_ip_port.count);
        printf(warnings > 0 ? ", warnings: %d\n" : "\n", warnings);
    }
    kc_unload(&ctx, &text);
    return result;
}

static int cmd_render(const kc_command *cmd, int argc, char **argv)
{
    const char *pos[1];
    KTServerConfig ctx;
    kc_text text;
    KiteBuffer buffer;
    int result = parse_and_load(cmd, argc, argv, NULL, 0, pos, 1, &ctx, &text);
    if (result != 0) {
        return result;
    }
    kite_buffer_init(&buffer);
    result = kt_server_to_config_string(&ctx, &buffer);
    if (result == 0 && buffer.length > 0) {
        fwrite(buffer.data, 1, (size_t)buffer.length, stdout);
    }
    kite_buffer_destroy(&buffer);
    kc_unload(&ctx, &text);
    if (result != 0) {
        fprintf(stderr,
                "kite-cluster: render fail, errno: %d, error info: "
                "%s\n",
                result, kt_strerror(result));
        return KC_EXIT_FAIL;
    }
    return KC_EXIT_OK;
}

static int cmd_dump(const kc_command *cmd, int argc, char **argv)
{
    const char *pos[1];
    KTServerConfig ctx;
    kc_text text;
    int result = parse_and_load(cmd, argc, argv, NULL, 0, pos, 1, &ctx, &text);
    if (result != 0) {
        return result;
    }
    kt_server_to_log(&ctx);
    kc_unload(&ctx, &text);
    return KC_EXIT_OK;
}

void kc_format_address(const ConnectionInfo *conn, char *buff, size_t size)
{
    bool v6 = strchr(conn->ip_addr, ':') != NULL;
    snprintf(buff, size, v6 ? "[%s]:%u" : "%s:%u", conn->ip_addr, conn->port);
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
            char addr[KT_IP_ADDRESS_SIZE + 16];
            kc_format_address(&array->addrs[j]->conn, addr, sizeof(addr));
            printf(" %s", addr);
        }
        printf("%s\n", array->count == 0 ? " none" : "");
    }
}

static int cmd_lookup(const kc_command *cmd, int argc, char **argv)
{
    const char *pos[2];
    KTServerConfig ctx;
    kc_text text;
    KTServerInfo *server;
    ConnectionInfo conn;
    int id;
    int result = parse_and_load(cmd, argc, argv, NULL, 0, pos, 2, &ctx, &text);
    if (result != 0) {
        return result;
    }
    if (kc_parse_int(pos[1], 0, 2147483647, &id) == 0) {
        server = kt_server_get_by_id(&ctx, id);
    } else if (conn_pool_parse_server_info(pos[1], &conn, 0) == 0 &&
               conn.port != 0) {
        string_t ip = {conn.ip_addr, (int32_t)strlen(conn.ip_addr)};
        server = kt_server_get_by_ip_port_ex(&ctx, &ip, conn.port);
    } else {
        kc_unload(&ctx, &text);
        return kc_usage_error(cmd, "key is neither an id nor IP:PORT", pos[1]);
    }
    if (server == NULL) {
        fprintf(stderr, "kite-cluster: no server for %s\n", pos[1]);
        result = KC_EXIT_FAIL;
    } else {
        print_server(&ctx, server);
    }
    kc_unload(&ctx, &text);
    return result;
}

/* ---- what the network commands share ---- */

KTAddressPtrArray *kc_server_addresses(KTServerConfig *ctx,
                                       KTServerInfo *server, const char *group)
{
    if (group == NULL) {
        return &server->uniq_addresses;
    }
    string_t name = {(char *)group, (int32_t)strlen(group)};
    KTServerGroupInfo *info = kt_server_get_group_by_name(ctx, &name);
    if (info == NULL) {
        return NULL;
    }
    return &server->group_addrs[info - ctx->group_array.groups].address_array;
}

bool kc_check_group(KTServerConfig *ctx, const char *group)
{
    string_t name = {(char *)group, group ? (int32_t)strlen(group) : 0};
    if (group != NULL && kt_server_get_group_by_name(ctx, &name) == NULL) {
        fprintf(stderr, "kite-cluster: no group named \"%s\"\n", group);
        return false;
    }
    return true;
}

/* ---- main ---- */

static void log_sink(int level, const char *message, int length, void *arg)
{
    (void)arg;
    FILE *out = level <= KT_LOG_WARNING ? stderr : stdout;
    fwrite(message, 1, (size_t)length, out);
    fputc('\n', out);
}

/* The cause of the first failed flush of standard output, or 0. */
static int g_output_errno;

bool kc_flush_output(void)
{
    if (fflush(stdout) == 0) {
        return true;
    }
    if (g_output_errno == 0) {
        g_output_errno = errno != 0 ? errno : EIO;
    }
    return false;
}

/* Flushes and closes standard output: a write that failed on the way (a
 * full disk, a closed pipe) fails the command. */
static int finish_output(int status)
{
    bool flushed = kc_flush_output();
    bool failed = !flushed || ferror(stdout) != 0;
    if (fclose(stdout) != 0 && !failed) {
        failed = true;
        g_output_errno = errno != 0 ? errno : EIO;
    }
    int err = g_output_errno;
    if (!failed) {
        return status;
    }
    fprintf(stderr, "kite-cluster: cannot write the output: %s\n",
            err != 0 ? kt_strerror(err) : "write error");
    return status == KC_EXIT_OK ? KC_EXIT_FAIL : status;
}

int main(int argc, char **argv)
{
    int status;
    kt_log_set_sink(log_sink, NULL);
    kt_log_set_level(KT_LOG_INFO);
    if (argc < 2) {
        return main_usage_error("no command", NULL);
    }
    if (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0 ||
        strcmp(argv[1], "help") == 0) {
        print_main_help();
        return finish_output(KC_EXIT_OK);
    }
    for (size_t i = 0; i < kCommandCount; i++) {
        if (strcmp(argv[1], kCommands[i].name) == 0) {
            status = kCommands[i].run(&kCommands[i], argc - 1, argv + 1);
            return finish_output(status == KC_PARSED_HELP ? KC_EXIT_OK
                                                          : status);
        }
    }
    return main_usage_error(argv[1][0] == '-' ? "the command comes first"
                                              : "unknown command",
                            argv[1]);
}
