/*
 * kite-cluster check: warnings about what loads but is almost surely a
 * mistake, each with the line it stands on.
 *
 * The library's loader stays as it is; this file reads the same text a
 * second time, line by line, with the reader's grammar (the text has
 * already been accepted by the INI reader, so every line is a blank, a
 * comment, a section header or an item), and keeps every section header
 * and item with its line.  The checks then run over those lists and over
 * the loaded configuration:
 *   - a section whose name starts like neither "group-" nor "server-" (the
 *     loader never reads it);
 *   - a section header that appears a second time (the reader merges the
 *     two, so a copied [server-N] silently adds addresses to server N);
 *   - an item the loader ignores (a global item other than "port", a
 *     global "port" when there are group sections, an unknown item of a
 *     group section);
 *   - an item repeated in one section ("host" and "-host" items excepted:
 *     a server has several addresses);
 *   - two address records whose texts differ but whose addresses are the
 *     same (inet_pton; IPv4-mapped IPv6 compared as its IPv4 form), on the
 *     same port.
 * Warnings are printed sorted by line.
 */
#include <arpa/inet.h>
#include <stdarg.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "connection_pool.h"
#include "ini_file_reader.h"
#include "kite_cluster.h"

typedef struct {
    char name[KT_INI_SECTION_NAME_SIZE];
    int line;
    int first; /* index of the first header of the same name */
} header_t;

typedef struct {
    int section; /* index of the section's first header; -1 global */
    int line;
    char name[KT_INI_ITEM_NAME_SIZE];
    char value[KT_INI_ITEM_VALUE_SIZE];
} item_t;

typedef struct {
    int line;
    int seq; /* keeps the order of warnings on one line */
    char text[400];
} warning_t;

typedef struct {
    header_t *headers;
    int header_count;
    item_t *items;
    int item_count;
    warning_t *warnings;
    int warning_count;
} lint_t;

/* Appends one element to a growable array; exits on exhaustion, since a
 * configuration of that size cannot have been loaded in the first place. */
static void *append(void *array, int *count, size_t size)
{
    if ((*count & (*count - 1)) == 0) { /* full at 0, 1, 2, 4...: double */
        array = realloc(array, size * (size_t)(*count == 0 ? 1 : *count * 2));
        if (array == NULL) {
            fprintf(stderr, "kite-cluster: out of memory\n");
            exit(KC_EXIT_FAIL);
        }
    }
    memset((char *)array + size * (size_t)*count, 0, size);
    (*count)++;
    return array;
}

static void warn(lint_t *lint, int line, const char *format, ...)
    __attribute__((format(printf, 3, 4)));

static void warn(lint_t *lint, int line, const char *format, ...)
{
    va_list ap;
    lint->warnings =
        append(lint->warnings, &lint->warning_count, sizeof(warning_t));
    warning_t *w = &lint->warnings[lint->warning_count - 1];
    w->line = line;
    w->seq = lint->warning_count;
    va_start(ap, format);
    vsnprintf(w->text, sizeof(w->text), format, ap);
    va_end(ap);
}

static bool is_blank(char c)
{
    return c == ' ' || c == '\t' || c == '\r' || c == '\v' || c == '\f' ||
           c == '\n';
}

static void trim(const char **start, const char **end)
{
    while (*start < *end && is_blank(**start)) (*start)++;
    while (*end > *start && is_blank(*(*end - 1))) (*end)--;
}

static void copy_span(char *dest, size_t size, const char *start,
                      const char *end)
{
    size_t len =
        (size_t)(end - start) < size - 1 ? (size_t)(end - start) : size - 1;
    memcpy(dest, start, len);
    dest[len] = '\0';
}

static void add_header(lint_t *lint, const char *start, const char *end,
                       int line)
{
    lint->headers =
        append(lint->headers, &lint->header_count, sizeof(header_t));
    int index = lint->header_count - 1;
    header_t *h = &lint->headers[index];
    copy_span(h->name, sizeof(h->name), start + 1, end - 1);
    h->line = line;
    h->first = index;
    for (int i = 0; i < index; i++) {
        if (strcmp(lint->headers[i].name, h->name) == 0) {
            h->first = i;
            break;
        }
    }
}

static void add_item(lint_t *lint, const char *start, const char *end, int line)
{
    const char *eq = memchr(start, '=', (size_t)(end - start));
    const char *name_end = eq, *value = eq + 1;
    if (eq == NULL) {
        return; /* cannot happen in a text the reader accepted */
    }
    trim(&start, &name_end);
    trim(&value, &end);
    lint->items = append(lint->items, &lint->item_count, sizeof(item_t));
    item_t *item = &lint->items[lint->item_count - 1];
    item->section = lint->header_count == 0
                        ? -1
                        : lint->headers[lint->header_count - 1].first;
    item->line = line;
    copy_span(item->name, sizeof(item->name), start, name_end);
    copy_span(item->value, sizeof(item->value), value, end);
}

static void scan(lint_t *lint, const char *text, int64_t length)
{
    const char *pos = text, *end = text + length;
    int line = 0;
    if (length >= 3 && memcmp(text, "\xEF\xBB\xBF", 3) == 0) {
        pos += 3;
    }
    while (pos < end) {
        const char *nl = memchr(pos, '\n', (size_t)(end - pos));
        const char *start = pos, *stop = nl != NULL ? nl : end;
        line++;
        pos = nl != NULL ? nl + 1 : end;
        trim(&start, &stop);
        if (start == stop || *start == '#' || *start == ';') {
            continue;
        }
        if (*start == '[') {
            add_header(lint, start, stop, line);
        } else {
            add_item(lint, start, stop, line);
        }
    }
}

static bool starts_with(const char *text, const char *prefix)
{
    return strncmp(text, prefix, strlen(prefix)) == 0;
}

static bool ends_with(const char *text, const char *suffix)
{
    size_t n = strlen(text), m = strlen(suffix);
    return n > m && strcmp(text + n - m, suffix) == 0;
}

static void check_headers(lint_t *lint, bool *has_groups)
{
    *has_groups = false;
    for (int i = 0; i < lint->header_count; i++) {
        const header_t *h = &lint->headers[i];
        bool group = starts_with(h->name, "group-");
        *has_groups = *has_groups || group;
        if (!group && !starts_with(h->name, "server-")) {
            warn(lint, h->line,
                 "section [%s] is neither a group- nor a "
                 "server- section; the loader ignores it",
                 h->name);
        } else if (h->first != i) {
            warn(lint, h->line,
                 "section [%s] appears again (first at line "
                 "%d); the reader merges the two",
                 h->name, lint->headers[h->first].line);
        }
    }
}

/* Why the loader ignores the item, or null when it reads it. */
static const char *ignored_because(const item_t *item, const char *section,
                                   bool has_groups)
{
    if (section == NULL) {
        if (strcmp(item->name, "port") != 0) {
            return "only \"port\" is read before the first section";
        }
        return has_groups ? "a global \"port\" is read only when there is no "
                            "group section"
                          : NULL;
    }
    if (starts_with(section, "group-") && strcmp(item->name, "port") != 0 &&
        strcmp(item->name, "net_type") != 0 &&
        strcmp(item->name, "ip_prefix") != 0) {
        return "a group section has only \"port\", \"net_type\" and "
               "\"ip_prefix\"";
    }
    return NULL;
}

static void check_items(lint_t *lint, bool has_groups)
{
    for (int i = 0; i < lint->item_count; i++) {
        const item_t *item = &lint->items[i];
        const char *section =
            item->section < 0 ? NULL : lint->headers[item->section].name;
        bool server = section != NULL && starts_with(section, "server-");
        if (section != NULL && !server && !starts_with(section, "group-")) {
            continue; /* the whole section is warned about */
        }
        const char *why = ignored_because(item, section, has_groups);
        if (why != NULL) {
            warn(lint, item->line, "item \"%s\" is ignored: %s", item->name,
                 why);
            continue;
        }
        if (server && (strcmp(item->name, "host") == 0 ||
                       ends_with(item->name, "-host"))) {
            continue;
        }
        for (int j = 0; j < i; j++) {
            if (lint->items[j].section == item->section &&
                strcmp(lint->items[j].name, item->name) == 0) {
                warn(lint, item->line,
                     "item \"%s\" repeats in %s%s%s (first "
                     "at line %d)",
                     item->name,
                     section ? "section ["
                             : "the "
                               "global items",
                     section ? section : "", section ? "]" : "",
                     lint->items[j].line);
                break;
            }
        }
    }
}

/* The address as 16 bytes, IPv4 in its IPv4-mapped form; false when the
 * text is no IP address. */
static bool canonical_address(const char *ip, unsigned char out[16])
{
    struct in_addr v4;
    if (inet_pton(AF_INET, ip, &v4) == 1) {
        memset(out, 0, 10);
        out[10] = out[11] = 0xff;
        memcpy(out + 12, &v4, 4);
        return true;
    }
    return inet_pton(AF_INET6, ip, out) == 1;
}

/* The line of the first address item of server `id` whose IP text is ip. */
static int address_line(const lint_t *lint, int id, const char *ip)
{
    for (int i = 0; i < lint->item_count; i++) {
        const item_t *item = &lint->items[i];
        ConnectionInfo conn;
        if (item->section < 0 ||
            !starts_with(lint->headers[item->section].name, "server-") ||
            atoi(lint->headers[item->section].name + 7) != id ||
            (strcmp(item->name, "host") != 0 &&
             !ends_with(item->name, "-host"))) {
            continue;
        }
        if (conn_pool_parse_server_info(item->value, &conn, 0) == 0 &&
            strcmp(conn.ip_addr, ip) == 0) {
            return item->line;
        }
    }
    return 0;
}

static void check_addresses(lint_t *lint, KTServerConfig *ctx)
{
    const KTServerMapArray *maps = &ctx->sorted_server_arrays.by_ip_port;
    for (int i = 0; i < maps->count; i++) {
        unsigned char a[16], b[16];
        const KTServerMap *m1 = &maps->maps[i];
        if (!canonical_address(m1->ip_addr.str, a)) {
            continue;
        }
        for (int j = 0; j < maps->count; j++) {
            const KTServerMap *m2 = &maps->maps[j];
            if (j == i || m1->port != m2->port ||
                strcmp(m1->ip_addr.str, m2->ip_addr.str) == 0 ||
                !canonical_address(m2->ip_addr.str, b) ||
                memcmp(a, b, 16) != 0) {
                continue;
            }
            /* Warn once, on the later line of the two. */
            int l1 = address_line(lint, m1->server->id, m1->ip_addr.str);
            int l2 = address_line(lint, m2->server->id, m2->ip_addr.str);
            if (l1 > l2 || (l1 == l2 && i > j)) {
                bool v6 = strchr(m1->ip_addr.str, ':') != NULL;
                bool v6b = strchr(m2->ip_addr.str, ':') != NULL;
                warn(lint, l1,
                     "address %s%s%s:%d of server %d is the address "
                     "%s%s%s:%d of server %d (line %d) written differently",
                     v6 ? "[" : "", m1->ip_addr.str, v6 ? "]" : "", m1->port,
                     m1->server->id, v6b ? "[" : "", m2->ip_addr.str,
                     v6b ? "]" : "", m2->port, m2->server->id, l2);
            }
        }
    }
}

static int by_line(const void *a, const void *b)
{
    const warning_t *w1 = a, *w2 = b;
    return w1->line != w2->line ? w1->line - w2->line : w1->seq - w2->seq;
}

int kc_print_warnings(KTServerConfig *ctx, const kc_text *text)
{
    lint_t lint;
    bool has_groups;
    memset(&lint, 0, sizeof(lint));
    scan(&lint, text->data, text->length);
    check_headers(&lint, &has_groups);
    check_items(&lint, has_groups);
    check_addresses(&lint, ctx);
    if (lint.warning_count > 1) {
        qsort(lint.warnings, (size_t)lint.warning_count, sizeof(warning_t),
              by_line);
    }
    for (int i = 0; i < lint.warning_count; i++) {
        printf("%s:%d: warning: %s\n", text->caption, lint.warnings[i].line,
               lint.warnings[i].text);
    }
    free(lint.headers);
    free(lint.items);
    free(lint.warnings);
    return lint.warning_count;
}
