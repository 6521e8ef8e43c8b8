/*
 * kite-cluster: what the command files share.  Internal to the tool (not
 * installed); the tool is built on the library's public C API only.
 *
 * A command is one entry of the table in kite_cluster.c: its name, its
 * usage line, its help text and the function that runs it.  That function
 * receives the arguments after "kite-cluster" (argv[0] is the command's
 * name), parses them with kc_parse_args and returns the exit status; main
 * then flushes and closes standard output and turns a failed write into
 * status 1.
 */
#ifndef KITE_CLUSTER_TOOL_H
#define KITE_CLUSTER_TOOL_H

#include <stdbool.h>
#include <stddef.h>
#include <stdint.h>

#include "server_id_func.h"

/* Exit statuses of every command. */
#define KC_EXIT_OK 0
#define KC_EXIT_FAIL 1  /* a failed load, check, lookup, connect or write */
#define KC_EXIT_USAGE 2 /* bad arguments */

/* kc_parse_args' result after --help printed the command's help. */
#define KC_PARSED_HELP (-1)

typedef struct kc_command kc_command;

/* Runs a command: argv[0] is its name, argv[1..argc-1] its arguments.
 * Returns the exit status, or KC_PARSED_HELP (success) after --help. */
typedef int (*kc_run_func)(const kc_command *cmd, int argc, char **argv);

struct kc_command {
    const char *name;
    const char *usage;   /* one line: the arguments after the name */
    const char *summary; /* one line for the list of commands */
    const char *help;    /* what --help prints below the usage line */
    kc_run_func run;
};

typedef enum { KC_OPT_FLAG, KC_OPT_INT, KC_OPT_TEXT } kc_option_kind;

/* One option a command accepts: a flag sets a bool, an int option parses a
 * decimal number within [min_value, max_value], a text option keeps a
 * pointer to its argument. */
typedef struct {
    const char *name; /* with its dashes: "--group" */
    kc_option_kind kind;
    void *target; /* bool *, int * or const char ** */
    int min_value;
    int max_value;
} kc_option;

/* How a configuration is loaded: the file ("-" for standard input) and the
 * three load parameters of the library. */
typedef struct {
    const char *file;
    int default_port;
    int min_hosts;
    bool share;
} kc_load_options;

/* The options of kc_load_options, for a command's option table. */
#define KC_LOAD_OPTIONS(lo)                                           \
    {"--default-port", KC_OPT_INT, &(lo)->default_port, 0, 65535},    \
        {"--min-hosts", KC_OPT_INT, &(lo)->min_hosts, 0, 2147483647}, \
    {                                                                 \
        "--share", KC_OPT_FLAG, &(lo)->share, 0, 0                    \
    }

/* Help lines of those options. */
extern const char *const kc_load_options_help;

/* Parses argv[1..argc-1]: the options of opts (plus --help), anywhere;
 * "--" ends the options; "-" alone is a positional argument.  Stores the
 * positional arguments into pos (between min_pos and max_pos of them;
 * unused slots are set to null).  Returns 0, KC_PARSED_HELP after printing
 * the help, or KC_EXIT_USAGE after printing a usage error. */
int kc_parse_args(const kc_command *cmd, int argc, char **argv,
                  const kc_option *opts, int opt_count, const char **pos,
                  int min_pos, int max_pos);

/* Prints "kite-cluster: WHAT[: ARG]", the command's usage line and a
 * pointer to its --help on standard error; returns KC_EXIT_USAGE. */
int kc_usage_error(const kc_command *cmd, const char *what, const char *arg);

/* Parses a decimal int within [min, max]; 0 or EINVAL. */
int kc_parse_int(const char *text, int min, int max, int *value);

/* The text of a loaded file: the bytes and the name used in messages. */
typedef struct {
    char *data; /* NUL-terminated; released by kc_unload */
    int64_t length;
    const char *caption; /* the file name, or "(stdin)" for "-" */
} kc_text;

/* Reads lo->file ("-" for standard input) to its end and loads it into
 * ctx.  On failure the library's messages stay on standard error and one
 * line below them says in words what failed; ctx and text are released and
 * the error number is returned.  On success ctx is loaded and text holds
 * the file's bytes; release both with kc_unload. */
int kc_load(KTServerConfig *ctx, const kc_load_options *lo, kc_text *text);
void kc_unload(KTServerConfig *ctx, kc_text *text);

/* The address array a network command works on: the server's addresses in
 * the named group, or all its addresses (in order of first appearance)
 * when group is null.  Null when the group does not exist. */
KTAddressPtrArray *kc_server_addresses(KTServerConfig *ctx,
                                       KTServerInfo *server, const char *group);

/* Checks that the group named by --group exists (null: no option); prints
 * the error and returns false when it does not. */
bool kc_check_group(KTServerConfig *ctx, const char *group);

/* "ip:port", with brackets around an IPv6 address. */
void kc_format_address(const ConnectionInfo *conn, char *buff, size_t size);

/* Flushes standard output now (for output that must not wait in the
 * buffer, as serve's "listening on" lines); false when the write failed,
 * whose cause main then reports. */
bool kc_flush_output(void);

/* Prints every warning of `check` for a loaded configuration, each with
 * its line, on standard output; returns the number printed. */
int kc_print_warnings(KTServerConfig *ctx, const kc_text *text);

/* Commands living in their own files. */
int kc_cmd_serve(const kc_command *cmd, int argc, char **argv);
int kc_cmd_ping(const kc_command *cmd, int argc, char **argv);
int kc_cmd_fanout(const kc_command *cmd, int argc, char **argv);
int kc_cmd_whoami(const kc_command *cmd, int argc, char **argv);

#endif
