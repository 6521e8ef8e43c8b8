/*
 * Cluster topology loaded from INI text.
 *
 * Groups live inline in the configuration record (at most four, sorted by
 * name); their names and prefixes sit in the records' own buffers, so the
 * string_t views are re-pointed whenever the records move.  Servers are one
 * array of records held by value.  Every distinct (IP text, port) of a server
 * is one heap KTAddressInfo owned by the server's uniq_addresses; the
 * per-group slots and the ip:port index only borrow those pointers, so a
 * connection kept in a record is seen through every array that holds it.
 *
 * After a successful load: by_id is sorted by id with distinct ids;
 * by_ip_port holds one entry per address record, sorted by IP bytes, then IP
 * length, then port, with no two entries equal; every slot is sorted by IP
 * text then port without duplicates, and lookup_index points at hash
 * tables of both keys, built in the tail of the by_ip_port allocation (so
 * loading allocates as often as before, and destroy frees it with the
 * entries); the lookups use it and fall back to searching the sorted arrays
 * of a record without it.  A failed load leaves whatever was
 * built for kt_server_destroy, which therefore tolerates half-filled servers
 * (all-zero records beyond by_id.count).
 *
 * No locks: loading, destroying and rendering (which writes the groups'
 * scratch server_port) need exclusive use; lookups and the log dump only
 * read.
 */
#include "server_id_func.h"

#include <cerrno>
#include <cstdarg>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include <algorithm>
#include <new>

#include "kt_alloc_util.h"
#include "kt_memory.h"
#include "logger.h"
#include "shared_func.h"
#include "sockopt.h"

namespace {

constexpr const char kGroupPrefix[] = "group-";
constexpr int kGroupPrefixLen = sizeof(kGroupPrefix) - 1;
constexpr const char kServerPrefix[] = "server-";
constexpr int kServerPrefixLen = sizeof(kServerPrefix) - 1;
constexpr int kMaxGroupNameLen = KT_SERVER_GROUP_NAME_SIZE - 2;
constexpr int kMaxIpPrefixLen = KT_SERVER_IP_PREFIX_SIZE - 2;
constexpr int kFixedServerSections = 16;
constexpr int kIniAnnotationType = KT_INI_ANNOTATION_NONE;
constexpr int kIniFlags = KT_INI_FLAG_VERBATIM_VALUES;

/* The state of one server section while it loads. */
struct SectionLoad {
    KTServerConfig *ctx;
    const char *filename;
    const char *section;
    KTServerInfo *server;
    const char *plain_hosts[KT_SERVER_MAX_HOSTS];
    int plain_count;
    int group_host_count;
};

/* ---- comparisons ---- */

int kt_server_cmp_group_info(const KTServerGroupInfo &a,
                             const KTServerGroupInfo &b)
{
    return strcmp(a.name_buff, b.name_buff);
}

/* An IP text and port as the ip:port index orders them, with the first 16
 * bytes of the text as two big-endian numbers, zero beyond the text.  Every
 * IPv4 text fits in 16 bytes, so sorting and searching mostly compare two
 * integers; the zero padding sorts a text before any longer text it begins,
 * as the byte order of the index wants (texts hold no NUL). */
struct IpKey {
    uint64_t h0;
    uint64_t h1;
    const char *str;
    int32_t len;
    int32_t port;
};

inline uint64_t load_be64(const char *p)
{
    uint64_t v;
    memcpy(&v, p, sizeof(v));
    return __builtin_bswap64(v);
}

/* Keeps the first n bytes (0 to 8) of a big-endian word. */
inline uint64_t keep_bytes(uint64_t v, int n)
{
    return n >= 8 ? v : (n <= 0 ? 0 : v & (~0ULL << (64 - 8 * n)));
}

/* Key of an index entry: its text lies in a ConnectionInfo.ip_addr buffer,
 * so 16 bytes may be read whatever the length. */
inline IpKey entry_key(const KTServerMap &m)
{
    static_assert(sizeof(((ConnectionInfo *)0)->ip_addr) >= 16, "ip_addr");
    return {keep_bytes(load_be64(m.ip_addr.str), m.ip_addr.len),
            keep_bytes(load_be64(m.ip_addr.str + 8), m.ip_addr.len - 8),
            m.ip_addr.str, m.ip_addr.len, m.port};
}

/* Key of a caller's text, which may be shorter than 16 bytes. */
IpKey probe_key(const string_t &ip, int port)
{
    char head[16] = {0};
    if (ip.len > 0) {
        memcpy(head, ip.str, std::min(ip.len, 16));
    }
    return {load_be64(head), load_be64(head + 8), ip.str, ip.len, port};
}

/* IP bytes over the shorter length, then the shorter first, then port. */
inline int cmp_ip_key(const IpKey &a, const IpKey &b)
{
    if (a.h0 != b.h0) {
        return a.h0 < b.h0 ? -1 : 1;
    }
    if (a.h1 != b.h1) {
        return a.h1 < b.h1 ? -1 : 1;
    }
    int len = std::min(a.len, b.len);
    if (len > 16) {
        int r = memcmp(a.str + 16, b.str + 16, len - 16);
        if (r != 0) {
            return r;
        }
    }
    if (a.len != b.len) {
        return a.len - b.len;
    }
    return a.port - b.port;
}

int kt_server_cmp_ip_and_port(const KTServerMap &entry, const IpKey &key)
{
    return cmp_ip_key(entry_key(entry), key);
}

int kt_server_cmp_address_ptr(const KTAddressInfo *a, const KTAddressInfo *b)
{
    int r = strcmp(a->conn.ip_addr, b->conn.ip_addr);
    return r != 0 ? r : (int)a->conn.port - (int)b->conn.port;
}

/* ---- small helpers ---- */

/* Parses all of text as a base-10 long; false on trailing text or range. */
bool parse_long(const char *text, long *value)
{
    char *end = nullptr;
    errno = 0;
    *value = strtol(text, &end, 10);
    return end != text && *end == '\0' && errno != ERANGE;
}

bool parse_port(const char *text, int *port)
{
    long value;
    if (!parse_long(text, &value) || value <= 0 || value > 65535) {
        return false;
    }
    *port = (int)value;
    return true;
}

int effective_port(const KTServerGroupInfo *group)
{
    return group->server_port > 0 ? group->server_port : group->port;
}

bool is_ipv6(const char *ip)
{
    return strchr(ip, ':') != nullptr;
}

bool kt_server_group_match(const KTServerGroupInfo *group,
                           const KTAddressInfo *addr)
{
    int type = group->filter.net_type;
    if (type != KT_NET_TYPE_ANY && (addr->net_type & type) != type) {
        return false;
    }
    const string_t &prefix = group->filter.ip_prefix;
    if (prefix.len > 0) {
        int n = std::min(prefix.len, kMaxIpPrefixLen);
        if (strnlen(addr->conn.ip_addr, n) < (size_t)n ||
            memcmp(addr->conn.ip_addr, prefix.str, n) != 0) {
            return false;
        }
    }
    return true;
}

/* ---- group sections ---- */

/* default_port is taken as given, but one beyond 16 bits would be cut
 * silently when stored in the addresses. */
int check_default_port(int default_port, const char *section,
                       const char *filename)
{
    if (default_port < 0 || default_port > 65535) {
        logError("config filename: %s, section: %s, invalid default port: %d",
                 filename, section, default_port);
        return EINVAL;
    }
    return 0;
}

int make_implicit_group(KTServerConfig *ctx, IniContext *ini,
                        const char *filename)
{
    KTServerGroupInfo *group = &ctx->group_array.groups[0];
    /* The global port is taken as given, 0 included, but a text that is no
     * number or no 16-bit port would silently become another port. */
    const char *value = iniGetStrValueEx(nullptr, "port", ini, false);
    long port = ctx->default_port;
    if (value != nullptr &&
        (!parse_long(value, &port) || port < 0 || port > 65535)) {
        logError("config filename: %s, section: %s, item: %s, invalid port: "
                 "%s",
                 filename, "", "port", value);
        return EINVAL;
    }
    if (value == nullptr && check_default_port(port, "", filename) != 0) {
        return EINVAL;
    }
    group->name_buff[0] = '\0';
    KT_SET_STRING_EX(group->group_name, group->name_buff, 0);
    group->port = (int32_t)port;
    group->filter.net_type = 0;
    KT_SET_STRING_EX(group->filter.ip_prefix, nullptr, 0);
    ctx->group_array.count = 1;
    return 0;
}

int load_group_name(KTServerGroupInfo *group, const char *section,
                    const char *filename)
{
    snprintf(group->name_buff, kMaxGroupNameLen + 1, "%s",
             section + kGroupPrefixLen);
    group->group_name.str = group->name_buff;
    if (*group->name_buff != '\0') {
        trim_right(group->name_buff);
        trim_left(group->name_buff);
    }
    group->group_name.len = (int32_t)strlen(group->name_buff);
    if (group->group_name.len == 0) {
        logError("config filename: %s, section: %s, no group name!", filename,
                 section);
        return EINVAL;
    }
    /* Items "NAME-host" and "NAME-port" must read back as items: a name with
     * '=' or a leading comment character could never be named in one. */
    if (strchr(group->name_buff, '=') != nullptr || *group->name_buff == '#' ||
        *group->name_buff == ';') {
        logError("config filename: %s, section: %s, invalid group name: %s, "
                 "it can not be used in item names",
                 filename, section, group->name_buff);
        return EINVAL;
    }
    return 0;
}

int load_group_port(KTServerGroupInfo *group, IniContext *ini,
                    const char *section, const char *filename, int default_port,
                    int group_sections)
{
    const char *value = iniGetStrValueEx(section, "port", ini, false);
    if (value == nullptr) {
        if (group_sections == 1) {
            group->port = default_port;
            return check_default_port(default_port, section, filename);
        }
        logError("config filename: %s, section: %s, no item: %s!", filename,
                 section, "port");
        return ENOENT;
    }
    if (!parse_port(value, &group->port)) {
        logError("config filename: %s, section: %s, item: %s, invalid port: "
                 "%s",
                 filename, section, "port", value);
        return EINVAL;
    }
    return 0;
}

int load_group_filter(KTServerGroupInfo *group, IniContext *ini,
                      const char *section, const char *filename)
{
    const char *value = iniGetStrValueEx(section, "net_type", ini, false);
    group->filter.net_type = kt_get_net_type_by_name(value);
    if (group->filter.net_type == 0) {
        logError("config filename: %s, section: %s, invalid net_type: %s",
                 filename, section, value != nullptr ? value : "(null)");
        return EINVAL;
    }
    KT_SET_STRING_EX(group->filter.ip_prefix, group->filter.prefix_buff, 0);
    value = iniGetStrValueEx(section, "ip_prefix", ini, false);
    if (value == nullptr) {
        return 0;
    }
    int len = (int)strlen(value);
    if (len > kMaxIpPrefixLen) {
        /* Such a prefix can never match a stored address: refuse it. */
        logError("config filename: %s, section: %s, item: %s, invalid "
                 "ip_prefix: %s, exceeds %d characters",
                 filename, section, "ip_prefix", value, kMaxIpPrefixLen);
        return EINVAL;
    }
    memcpy(group->filter.prefix_buff, value, len + 1);
    group->filter.ip_prefix.len = len;
    return 0;
}

int load_group(KTServerConfig *ctx, IniContext *ini, const char *section,
               const char *filename, int group_sections)
{
    KTServerGroupInfo *group = &ctx->group_array.groups[ctx->group_array.count];
    int result = load_group_name(group, section, filename);
    if (result == 0) {
        result = load_group_port(group, ini, section, filename,
                                 ctx->default_port, group_sections);
    }
    if (result == 0) {
        result = load_group_filter(group, ini, section, filename);
    }
    if (result == 0) {
        ctx->group_array.count++;
    }
    return result;
}

void repoint_groups(KTServerGroupArray *array)
{
    for (int i = 0; i < array->count; i++) {
        KTServerGroupInfo *group = &array->groups[i];
        group->group_name.str = group->name_buff;
        group->filter.ip_prefix.str = group->filter.prefix_buff;
    }
}

int load_groups(KTServerConfig *ctx, IniContext *ini, const char *filename)
{
    IniSectionInfo sections[KT_SERVER_MAX_GROUPS];
    int count = 0;
    int result = iniGetSectionNamesByPrefix(ini, kGroupPrefix, sections,
                                            KT_SERVER_MAX_GROUPS, &count);
    if (result != 0) {
        logError("config filename: %s, get sections by prefix %s fail, "
                 "errno: %d, error info: %s",
                 filename, kGroupPrefix, result, KT_STRERROR(result));
        return result;
    }
    if (count == 0) {
        return make_implicit_group(ctx, ini, filename);
    }
    for (int i = 0; i < count; i++) {
        result =
            load_group(ctx, ini, sections[i].section_name, filename, count);
        if (result != 0) {
            return result;
        }
    }
    KTServerGroupArray *array = &ctx->group_array;
    std::sort(array->groups, array->groups + array->count,
              [](const KTServerGroupInfo &a, const KTServerGroupInfo &b) {
                  return kt_server_cmp_group_info(a, b) < 0;
              });
    repoint_groups(array);
    return 0;
}

/* ---- address arrays ---- */

/* Doubles the pointer array (first capacity first_alloc); new part zeroed.
 * On failure the array is unchanged. */
int grow_ptr_array(KTAddressPtrArray *array, int first_alloc)
{
    const int alloc = (int)kite::grown_capacity(array->alloc, array->count + 1,
                                                first_alloc, INT32_MAX);
    kite::unique_ptr<KTAddressInfo *> addrs(
        (KTAddressInfo **)kt_calloc(alloc, sizeof(KTAddressInfo *)));
    if (addrs == nullptr) {
        return ENOMEM;
    }
    if (array->count > 0) {
        memcpy(addrs.get(), array->addrs,
               sizeof(KTAddressInfo *) * array->count);
    }
    kt_free(array->addrs);
    array->addrs = addrs.release();
    array->alloc = alloc;
    return 0;
}

KTAddressInfo *find_uniq_address(const KTAddressPtrArray *array,
                                 const KTAddressInfo *addr)
{
    for (int i = 0; i < array->count; i++) {
        KTAddressInfo *a = array->addrs[i];
        if (a->conn.port == addr->conn.port &&
            strcmp(a->conn.ip_addr, addr->conn.ip_addr) == 0) {
            return a;
        }
    }
    return nullptr;
}

int kt_server_set_group_server_address(KTServerInfo *server,
                                       KTGroupAddresses *slot,
                                       const KTAddressInfo *addr)
{
    KTAddressPtrArray *uniq = &server->uniq_addresses;
    KTAddressInfo *record = find_uniq_address(uniq, addr);
    if (record == nullptr) {
        if (uniq->count == uniq->alloc && grow_ptr_array(uniq, 2) != 0) {
            return ENOMEM;
        }
        record = (KTAddressInfo *)kt_malloc(sizeof(KTAddressInfo));
        if (record == nullptr) {
            return ENOMEM;
        }
        *record = *addr;
        uniq->addrs[uniq->count++] = record;
    }
    KTAddressPtrArray *array = &slot->address_array;
    if (array->count == array->alloc && grow_ptr_array(array, 1) != 0) {
        return ENOMEM;
    }
    array->addrs[array->count++] = record;
    return 0;
}

/* ---- server section items ---- */

KTServerGroupInfo *find_item_group(SectionLoad *load, const IniItem *item,
                                   int *slot)
{
    string_t name;
    KT_SET_STRING_EX(name, item->name, strlen(item->name) - 5);
    KTServerGroupInfo *group = kt_server_get_group_by_name(load->ctx, &name);
    if (group == nullptr) {
        logError("config filename: %s, section: %s, group: %.*s in item: %s "
                 "not found!",
                 load->filename, load->section, name.len, name.str, item->name);
        return nullptr;
    }
    *slot = (int)(group - load->ctx->group_array.groups);
    return group;
}

int load_group_port_item(SectionLoad *load, const IniItem *item)
{
    int slot;
    KTServerGroupInfo *group = find_item_group(load, item, &slot);
    if (group == nullptr) {
        return ENOENT;
    }
    if (!parse_port(item->value, &group->server_port)) {
        logError("config filename: %s, section: %s, item: %s, invalid port: "
                 "%s",
                 load->filename, load->section, item->name, item->value);
        return EINVAL;
    }
    return 0;
}

int load_group_host_item(SectionLoad *load, const IniItem *item)
{
    int slot;
    KTServerGroupInfo *group = find_item_group(load, item, &slot);
    if (group == nullptr) {
        return ENOENT;
    }
    KTGroupAddresses *group_addrs = &load->server->group_addrs[slot];
    if (group_addrs->address_array.count >= KT_SERVER_MAX_HOSTS) {
        logError("config filename: %s, section: %s, too many %s items "
                 "exceeds %d",
                 load->filename, load->section, item->name,
                 KT_SERVER_MAX_HOSTS);
        return ENOSPC;
    }
    KTAddressInfo addr;
    int result = conn_pool_parse_server_info(item->value, &addr.conn,
                                             effective_port(group));
    if (result != 0) {
        logError("config filename: %s, section: %s, item: %s, invalid host: "
                 "%s",
                 load->filename, load->section, item->name, item->value);
        return result;
    }
    addr.net_type = kt_get_net_type_by_ip(addr.conn.ip_addr);
    result =
        kt_server_set_group_server_address(load->server, group_addrs, &addr);
    if (result == 0) {
        load->group_host_count++;
    }
    return result;
}

int load_plain_host_item(SectionLoad *load, const IniItem *item)
{
    if (load->plain_count >= KT_SERVER_MAX_HOSTS) {
        logError("config filename: %s, section: %s, too many %s items "
                 "exceeds %d",
                 load->filename, load->section, "host", KT_SERVER_MAX_HOSTS);
        return ENOSPC;
    }
    load->plain_hosts[load->plain_count++] = item->value;
    return 0;
}

bool ends_with(const char *name, size_t len, const char *suffix)
{
    return len > 5 && memcmp(name + len - 5, suffix, 5) == 0;
}

int load_item(SectionLoad *load, const IniItem *item)
{
    size_t len = strlen(item->name);
    if (ends_with(item->name, len, "-port")) {
        return load_group_port_item(load, item);
    }
    if (ends_with(item->name, len, "-host")) {
        return load_group_host_item(load, item);
    }
    if (strcmp(item->name, "host") == 0) {
        return load_plain_host_item(load, item);
    }
    logError("config filename: %s, section: %s, unkown item name: %s",
             load->filename, load->section, item->name);
    return EINVAL;
}

/* ---- placing plain hosts ---- */

int parse_plain_hosts(SectionLoad *load, KTAddressInfo *addrs,
                      int *no_port_count)
{
    *no_port_count = 0;
    for (int i = 0; i < load->plain_count; i++) {
        int result = conn_pool_parse_server_info(load->plain_hosts[i],
                                                 &addrs[i].conn, 0);
        if (result != 0) {
            logError("config filename: %s, section: %s, item: %s, invalid "
                     "host: %s",
                     load->filename, load->section, "host",
                     load->plain_hosts[i]);
            return result;
        }
        addrs[i].net_type = kt_get_net_type_by_ip(addrs[i].conn.ip_addr);
        if (addrs[i].conn.port == 0) {
            (*no_port_count)++;
        }
    }
    return 0;
}

/* Kept out of line: inlined into the loop below, GCC 12 at -O3 misjudges
 * the size of ip_addr and warns (stringop-overread). */
__attribute__((noinline)) bool same_ip_and_port(const ConnectionInfo *a,
                                                const ConnectionInfo *b)
{
    return a->port == b->port && strcmp(a->ip_addr, b->ip_addr) == 0;
}

int check_plain_duplicates(SectionLoad *load, const KTAddressInfo *addrs)
{
    const int count = std::min(load->plain_count, KT_SERVER_MAX_HOSTS);
    for (int i = 0; i < count; i++) {
        for (int j = i + 1; j < count; j++) {
            const ConnectionInfo &a = addrs[i].conn, &b = addrs[j].conn;
            if (!same_ip_and_port(&a, &b)) {
                continue;
            }
            char port_text[16] = "";
            if (a.port != 0) {
                snprintf(port_text, sizeof(port_text), ":%u", a.port);
            }
            logError("config filename: %s, section: %s, duplicate ip%s %s%s",
                     load->filename, load->section,
                     a.port != 0 ? " and port" : "", a.ip_addr, port_text);
            return EEXIST;
        }
    }
    return 0;
}

int check_group_ports(SectionLoad *load)
{
    const KTServerGroupArray &array = load->ctx->group_array;
    for (int i = 0; i < array.count; i++) {
        for (int j = i + 1; j < array.count; j++) {
            const KTServerGroupInfo &a = array.groups[i], &b = array.groups[j];
            if (effective_port(&a) != effective_port(&b)) {
                continue;
            }
            logError("config filename: %s, the port: %d of group: %.*s is "
                     "same to group: %.*s",
                     load->filename, effective_port(&a), a.group_name.len,
                     a.group_name.str, b.group_name.len, b.group_name.str);
            return EEXIST;
        }
    }
    return 0;
}

int kt_server_set_host(SectionLoad *load, const KTAddressInfo *addr)
{
    KTServerConfig *ctx = load->ctx;
    int matches = 0;
    for (int i = 0; i < ctx->group_array.count; i++) {
        KTServerGroupInfo *group = &ctx->group_array.groups[i];
        int port = effective_port(group);
        if ((addr->conn.port != 0 && port != addr->conn.port) ||
            !kt_server_group_match(group, addr)) {
            continue;
        }
        KTGroupAddresses *slot = &load->server->group_addrs[i];
        if (slot->address_array.count >= KT_SERVER_MAX_HOSTS) {
            logError("config filename: %s, section: %s, too many %s items for "
                     "group %.*s exceeds %d",
                     load->filename, load->section, "host",
                     group->group_name.len, group->group_name.str,
                     KT_SERVER_MAX_HOSTS);
            return ENOSPC;
        }
        KTAddressInfo copy = *addr;
        if (copy.conn.port == 0) {
            copy.conn.port = (uint16_t)port;
        }
        if (kt_server_set_group_server_address(load->server, slot, &copy) !=
            0) {
            return ENOMEM;
        }
        matches++;
    }
    if (matches == 0) {
        char port_text[16] = "";
        if (addr->conn.port != 0) {
            snprintf(port_text, sizeof(port_text), ":%u", addr->conn.port);
        }
        logError("config filename: %s, section: %s, host %s%s not belong to "
                 "any group",
                 load->filename, load->section, addr->conn.ip_addr, port_text);
        return ENOENT;
    }
    if (matches > 1 && !ctx->share_between_groups && addr->conn.port != 0) {
        logError("config filename: %s, section: %s, host %s:%u belongs to %d "
                 "groups",
                 load->filename, load->section, addr->conn.ip_addr,
                 addr->conn.port, matches);
        return EEXIST;
    }
    return 0;
}

int kt_server_set_hosts(SectionLoad *load)
{
    KTAddressInfo addrs[KT_SERVER_MAX_HOSTS];
    int no_port_count;
    int result = parse_plain_hosts(load, addrs, &no_port_count);
    if (result == 0 && load->plain_count > 1) {
        result = check_plain_duplicates(load, addrs);
    }
    if (result == 0 && no_port_count > 0 && !load->ctx->share_between_groups) {
        result = check_group_ports(load);
    }
    for (int i = 0; result == 0 && i < load->plain_count; i++) {
        result = kt_server_set_host(load, &addrs[i]);
    }
    return result;
}

/* ---- one server section ---- */

int parse_server_id(SectionLoad *load)
{
    long id;
    if (!parse_long(load->section + kServerPrefixLen, &id) || id <= 0 ||
        id > INT32_MAX) {
        logError("config filename: %s, section: %s, invalid server id! "
                 "server section format is [%s$id]",
                 load->filename, load->section, kServerPrefix);
        return EINVAL;
    }
    load->server->id = (int32_t)id;
    return 0;
}

int sort_and_check_slots(SectionLoad *load)
{
    const KTServerGroupArray &groups = load->ctx->group_array;
    for (int i = 0; i < groups.count; i++) {
        KTAddressPtrArray *array = &load->server->group_addrs[i].address_array;
        std::sort(array->addrs, array->addrs + array->count,
                  [](const KTAddressInfo *a, const KTAddressInfo *b) {
                      return kt_server_cmp_address_ptr(a, b) < 0;
                  });
        for (int j = 1; j < array->count; j++) {
            const KTAddressInfo *a = array->addrs[j - 1];
            if (kt_server_cmp_address_ptr(a, array->addrs[j]) == 0) {
                logError("config filename: %s, section: %s, group: %.*s, "
                         "duplicate ip and port: %s:%u",
                         load->filename, load->section,
                         groups.groups[i].group_name.len,
                         groups.groups[i].group_name.str, a->conn.ip_addr,
                         a->conn.port);
                return EEXIST;
            }
        }
    }
    return 0;
}

int check_min_hosts(SectionLoad *load)
{
    const KTServerConfig *ctx = load->ctx;
    for (int i = 0; i < ctx->group_array.count; i++) {
        int count = load->server->group_addrs[i].address_array.count;
        if (count < ctx->min_hosts_each_group) {
            const KTServerGroupInfo &g = ctx->group_array.groups[i];
            logError("config filename: %s, section: %s, group: %.*s, host "
                     "count: %d < %d!",
                     load->filename, load->section, g.group_name.len,
                     g.group_name.str, count, ctx->min_hosts_each_group);
            return ENOENT;
        }
    }
    return 0;
}

int load_server_items(SectionLoad *load, IniContext *ini,
                      const IniSection *section)
{
    int count = 0;
    IniItem *items = nullptr;
    if (section != nullptr) { /* listed with the name: saves a lookup */
        items = section->items;
        count = section->count;
    } else {
        items = iniGetSectionItems(load->section, ini, &count);
    }
    if (count == 0) {
        logError("config filename: %s, section: %s, no items!", load->filename,
                 load->section);
        return EINVAL;
    }
    KTServerGroupArray *groups = &load->ctx->group_array;
    for (int i = 0; i < groups->count; i++) {
        groups->groups[i].server_port = 0;
    }
    for (int i = 0; i < count; i++) {
        int result = load_item(load, &items[i]);
        if (result != 0) {
            return result;
        }
    }
    if (load->plain_count == 0 && load->group_host_count == 0) {
        logError("config filename: %s, section: %s, no item: %s or *%s!",
                 load->filename, load->section, "host", "-host");
        return ENOENT;
    }
    return 0;
}

int load_server(KTServerConfig *ctx, IniContext *ini, const char *filename,
                const IniSectionInfo *info, KTServerInfo *server)
{
    SectionLoad load = {ctx, filename, info->section_name, server, {}, 0, 0};
    int result = parse_server_id(&load);
    if (result != 0) {
        return result;
    }
    for (int i = 0; i < ctx->group_array.count; i++) {
        server->group_addrs[i].server_group = &ctx->group_array.groups[i];
    }
    result = load_server_items(&load, ini, info->pSection);
    if (result == 0 && load.plain_count > 0) {
        result = kt_server_set_hosts(&load);
    }
    if (result == 0) {
        result = sort_and_check_slots(&load);
    }
    if (result == 0 && ctx->min_hosts_each_group > 0) {
        result = check_min_hosts(&load);
    }
    return result;
}

int load_server_list(KTServerConfig *ctx, IniContext *ini, const char *filename,
                     IniSectionInfo *sections, int count)
{
    int found = 0;
    int result =
        iniGetSectionNamesByPrefix(ini, kServerPrefix, sections, count, &found);
    if (result != 0) {
        logError("config filename: %s, get sections by prefix %s fail, "
                 "errno: %d, error info: %s",
                 filename, kServerPrefix, result, KT_STRERROR(result));
        return result;
    }
    KTServerInfoArray *by_id = &ctx->sorted_server_arrays.by_id;
    by_id->servers = (KTServerInfo *)kt_calloc(count, sizeof(KTServerInfo));
    if (by_id->servers == nullptr) {
        return ENOMEM;
    }
    by_id->alloc = count;
    for (int i = 0; i < found; i++) {
        result = load_server(ctx, ini, filename, &sections[i],
                             &by_id->servers[by_id->count]);
        if (result != 0) {
            return result;
        }
        by_id->count++;
    }
    return 0;
}

int kt_server_load_servers(KTServerConfig *ctx, const char *filename,
                           IniContext *ini)
{
    int count = iniGetSectionCountByPrefix(ini, kServerPrefix);
    if (count <= 0) {
        logError("config filename: %s, no server section such as [%s$id]",
                 filename, kServerPrefix);
        return ENOENT;
    }
    IniSectionInfo fixed[kFixedServerSections];
    kite::unique_ptr<IniSectionInfo> heap;
    IniSectionInfo *sections = fixed;
    if (count >= kFixedServerSections) {
        heap.reset((IniSectionInfo *)kt_malloc(sizeof(IniSectionInfo) * count));
        if (heap == nullptr) {
            return ENOMEM;
        }
        sections = heap.get();
    }
    return load_server_list(ctx, ini, filename, sections, count);
}

/* ---- indexes ---- */

int sort_and_check_ids(KTServerConfig *ctx, const char *filename)
{
    KTServerInfoArray *by_id = &ctx->sorted_server_arrays.by_id;
    auto by_id_order = [](const KTServerInfo &a, const KTServerInfo &b) {
        return a.id < b.id;
    };
    /* Sections usually come in id order: then the records stay put. */
    if (!std::is_sorted(by_id->servers, by_id->servers + by_id->count,
                        by_id_order)) {
        std::sort(by_id->servers, by_id->servers + by_id->count, by_id_order);
    }
    for (int i = 1; i < by_id->count; i++) {
        if (by_id->servers[i - 1].id == by_id->servers[i].id) {
            logError("config file: %s, duplicate server id: %d", filename,
                     by_id->servers[i].id);
            return EEXIST;
        }
    }
    return 0;
}

int build_ip_port_index(KTServerConfig *ctx)
{
    KTServerInfoArray *by_id = &ctx->sorted_server_arrays.by_id;
    KTServerMapArray *by_ip_port = &ctx->sorted_server_arrays.by_ip_port;
    int64_t total = 0;
    for (int i = 0; i < by_id->count; i++) {
        total += by_id->servers[i].uniq_addresses.count;
    }
    by_ip_port->maps = (KTServerMap *)kt_calloc(total, sizeof(KTServerMap));
    if (by_ip_port->maps == nullptr) {
        return ENOMEM;
    }
    KTServerMap *map = by_ip_port->maps;
    for (int i = 0; i < by_id->count; i++) {
        KTServerInfo *server = &by_id->servers[i];
        for (int j = 0; j < server->uniq_addresses.count; j++, map++) {
            ConnectionInfo *conn = &server->uniq_addresses.addrs[j]->conn;
            KT_SET_STRING(map->ip_addr, conn->ip_addr);
            map->port = conn->port;
            map->server = server;
        }
    }
    by_ip_port->count = (int32_t)total;
    return 0;
}

/* The lookup index, behind the sorted ip:port entries in their allocation.
 * Ids: a direct table (slot id - min_id holds the server's position + 1)
 * when the ids are dense enough, else an open-addressing hash table.
 * ip:ports: an open-addressing table (linear probing) of 32-byte entries,
 * each holding the first 16 text bytes, the length, the port and the
 * server, so that an IPv4 key is found with one cache line and without
 * touching the address records; longer texts compare the rest through the
 * sorted entry (pos).  Both tables answer exactly what the sorted search
 * answers: the keys are unique and compared in full. */
struct IpEntry {
    uint64_t w0;
    uint64_t w1;
    uint32_t pos; /* position in by_ip_port.maps + 1; 0 for an empty slot */
    uint16_t port;
    uint8_t len; /* texts come from ip_addr buffers of 46 bytes */
    KTServerInfo *server;
};
static_assert(sizeof(((ConnectionInfo *)0)->ip_addr) <= 256, "len");

struct IdSlot {
    int32_t id;
    int32_t pos; /* position + 1; 0 for an empty slot */
};

}  // namespace

struct kt_server_lookup_index {
    int32_t min_id;
    uint32_t id_mask; /* hash table: slots - 1; direct table: 0 */
    uint32_t id_span; /* direct table: number of slots */
    uint32_t ip_mask;
    const int32_t *direct;
    const IdSlot *id_slots;
    const IpEntry *ip_slots;
};

namespace {

using LookupIndex = kt_server_lookup_index;

constexpr int64_t kDirectSpanFactor = 4; /* direct when span <= 4 * count */

inline uint64_t load_word(const char *p)
{
    uint64_t v;
    memcpy(&v, p, sizeof(v));
    return v;
}

inline uint64_t mix64(uint64_t h)
{
    h ^= h >> 32;
    h *= 0xd6e8feb86659fd93ULL;
    h ^= h >> 32;
    return h;
}

/* The first 16 bytes of a caller's text, zero beyond its length. */
inline void head_words(const char *str, int len, uint64_t *w0, uint64_t *w1)
{
    if (len >= 16) {
        *w0 = load_word(str);
        *w1 = load_word(str + 8);
        return;
    }
    char head[16] = {0};
    if (len > 0) {
        memcpy(head, str, len);
    }
    *w0 = load_word(head);
    *w1 = load_word(head + 8);
}

/* Hash of a whole key; bytes past 16 are folded in word by word. */
uint64_t ip_hash(uint64_t w0, uint64_t w1, const char *str, int len, int port)
{
    uint64_t h = (w0 * 0x9e3779b97f4a7c15ULL) ^ (w1 + 0x632be59bd9b4e019ULL) ^
                 ((uint64_t)(uint32_t)len << 32 | (uint32_t)port);
    for (int i = 16; i < len; i += 8) {
        char word[8] = {0};
        memcpy(word, str + i, std::min(8, len - i));
        h = mix64(h) ^ load_word(word);
    }
    return mix64(h * 0xbf58476d1ce4e5b9ULL);
}

inline uint32_t id_hash(int32_t id)
{
    return (uint32_t)(mix64((uint64_t)(uint32_t)id * 0x9e3779b97f4a7c15ULL));
}

/* A power of two at least 1.5 times count: linear probing stays short. */
uint32_t table_size(int64_t count)
{
    uint32_t size = 16;
    while (size < count + count / 2) {
        size *= 2;
    }
    return size;
}

/* Bytes the index needs behind `count` map entries, and its layout. */
struct IndexLayout {
    size_t index_at, direct_at, id_slots_at, ip_slots_at, total;
    uint32_t id_span, id_size, ip_size;
};

constexpr size_t align16(size_t n)
{
    return (n + 15) & ~(size_t)15;
}

IndexLayout index_layout(const KTServerInfoArray &by_id, int map_count)
{
    IndexLayout l{};
    size_t at = align16(sizeof(KTServerMap) * std::max(map_count, 1));
    l.index_at = at;
    at = align16(at + sizeof(LookupIndex));
    if (by_id.count > 0) {
        int64_t span = (int64_t)by_id.servers[by_id.count - 1].id -
                       by_id.servers[0].id + 1;
        if (span <= kDirectSpanFactor * by_id.count + 64) {
            l.id_span = (uint32_t)span;
        }
    }
    l.direct_at = at;
    at = align16(at + sizeof(int32_t) * l.id_span);
    l.id_size = l.id_span > 0 ? 0 : table_size(by_id.count);
    l.id_slots_at = at;
    at = align16(at + sizeof(IdSlot) * l.id_size);
    l.ip_size = table_size(map_count);
    l.ip_slots_at = at;
    l.total = at + sizeof(IpEntry) * l.ip_size;
    return l;
}

void build_id_table(LookupIndex *index, const IndexLayout &l, char *base,
                    const KTServerInfoArray &by_id)
{
    if (by_id.count > 0) {
        index->min_id = by_id.servers[0].id;
    }
    if (l.id_span > 0) {
        auto *direct = reinterpret_cast<int32_t *>(base + l.direct_at);
        for (int i = 0; i < by_id.count; i++) {
            direct[by_id.servers[i].id - index->min_id] = i + 1;
        }
        index->direct = direct;
        index->id_span = l.id_span;
        return;
    }
    auto *slots = reinterpret_cast<IdSlot *>(base + l.id_slots_at);
    index->id_mask = l.id_size - 1;
    for (int i = 0; i < by_id.count; i++) {
        uint32_t at = id_hash(by_id.servers[i].id) & index->id_mask;
        while (slots[at].pos != 0) {
            at = (at + 1) & index->id_mask;
        }
        slots[at] = {by_id.servers[i].id, i + 1};
    }
    index->id_slots = slots;
}

void build_ip_table(LookupIndex *index, const IndexLayout &l, char *base,
                    const KTServerMapArray &by_ip_port)
{
    auto *slots = reinterpret_cast<IpEntry *>(base + l.ip_slots_at);
    index->ip_mask = l.ip_size - 1;
    for (int i = 0; i < by_ip_port.count; i++) {
        const KTServerMap &m = by_ip_port.maps[i];
        IpEntry e;
        head_words(m.ip_addr.str, m.ip_addr.len, &e.w0, &e.w1);
        e.pos = (uint32_t)i + 1;
        e.port = (uint16_t)m.port;
        e.len = (uint8_t)m.ip_addr.len;
        e.server = m.server;
        uint64_t h = ip_hash(e.w0, e.w1, m.ip_addr.str, e.len, e.port);
        uint32_t at = (uint32_t)h & index->ip_mask;
        while (slots[at].pos != 0) {
            at = (at + 1) & index->ip_mask;
        }
        slots[at] = e;
    }
    index->ip_slots = slots;
}

/* Builds the index in the zeroed tail of the sorted entries' allocation. */
void build_lookup_index(KTServerConfig *ctx, const IndexLayout &l)
{
    const auto &arrays = ctx->sorted_server_arrays;
    char *base = reinterpret_cast<char *>(arrays.by_ip_port.maps);
    auto *index = new (base + l.index_at) LookupIndex{};
    build_id_table(index, l, base, arrays.by_id);
    build_ip_table(index, l, base, arrays.by_ip_port);
    ctx->lookup_index = index;
}

const KTServerInfo *index_find_id(const KTServerConfig *ctx, int server_id)
{
    const LookupIndex *index = ctx->lookup_index;
    int32_t pos;
    if (index->direct != nullptr) {
        uint32_t at = (uint32_t)server_id - (uint32_t)index->min_id;
        pos = at < index->id_span ? index->direct[at] : 0;
    } else {
        uint32_t at = id_hash(server_id) & index->id_mask;
        while ((pos = index->id_slots[at].pos) != 0 &&
               index->id_slots[at].id != server_id) {
            at = (at + 1) & index->id_mask;
        }
    }
    return pos != 0 ? &ctx->sorted_server_arrays.by_id.servers[pos - 1]
                    : nullptr;
}

KTServerInfo *index_find_ip(const KTServerConfig *ctx, const string_t &ip,
                            int port)
{
    const LookupIndex *index = ctx->lookup_index;
    uint64_t w0, w1;
    head_words(ip.str, ip.len, &w0, &w1);
    uint64_t h = ip_hash(w0, w1, ip.str, ip.len, port);
    for (uint32_t at = (uint32_t)h & index->ip_mask;;
         at = (at + 1) & index->ip_mask) {
        const IpEntry &e = index->ip_slots[at];
        if (e.pos == 0) {
            return nullptr;
        }
        if (e.w0 == w0 && e.w1 == w1 && ip.len == (int)e.len &&
            port == (int)e.port &&
            (ip.len <= 16 ||
             memcmp(ctx->sorted_server_arrays.by_ip_port.maps[e.pos - 1]
                            .ip_addr.str +
                        16,
                    ip.str + 16, ip.len - 16) == 0)) {
            return e.server;
        }
    }
}

/* An index entry's key, compact for sorting: the text itself is reached
 * through the entry (index) only when 16 bytes do not decide. */
struct SortKey {
    uint64_t h0;
    uint64_t h1;
    int32_t len;
    int32_t port;
    int32_t index;
};

/* cmp_ip_key on sort keys; the entries are read only for long texts. */
inline int cmp_sort_key(const SortKey &a, const SortKey &b,
                        const KTServerMap *maps)
{
    if (a.h0 != b.h0) {
        return a.h0 < b.h0 ? -1 : 1;
    }
    if (a.h1 != b.h1) {
        return a.h1 < b.h1 ? -1 : 1;
    }
    if (a.len > 16 && b.len > 16) {
        IpKey ka = {a.h0, a.h1, maps[a.index].ip_addr.str, a.len, a.port};
        IpKey kb = {b.h0, b.h1, maps[b.index].ip_addr.str, b.len, b.port};
        return cmp_ip_key(ka, kb);
    }
    if (a.len != b.len) {
        return a.len - b.len;
    }
    return a.port - b.port;
}

/* Orders the entries into a new array (kept on success, released on
 * failure) and reports the first equal neighbours. */
int sort_and_check_ip_ports(KTServerConfig *ctx, const char *filename)
{
    KTServerMapArray *by_ip_port = &ctx->sorted_server_arrays.by_ip_port;
    const int count = by_ip_port->count;
    const KTServerMap *maps = by_ip_port->maps;
    /* The lookup index shares the sorted entries' allocation, so loading
     * allocates exactly as often as without it. */
    const IndexLayout layout =
        index_layout(ctx->sorted_server_arrays.by_id, count);
    kite::unique_ptr<SortKey> keys(
        (SortKey *)kt_malloc(sizeof(SortKey) * std::max(count, 1)));
    kite::unique_ptr<KTServerMap> sorted(
        (KTServerMap *)kt_malloc(layout.total));
    if (keys == nullptr || sorted == nullptr) {
        return ENOMEM;
    }
    memset(static_cast<void *>(sorted.get()), 0, layout.total);
    SortKey *k = keys.get();
    for (int i = 0; i < count; i++) {
        IpKey key = entry_key(maps[i]);
        k[i] = {key.h0, key.h1, key.len, key.port, i};
    }
    std::sort(k, k + count, [maps](const SortKey &a, const SortKey &b) {
        return cmp_sort_key(a, b, maps) < 0;
    });
    int result = 0;
    KTServerMap *out = sorted.get();
    for (int i = 0; i < count; i++) {
        out[i] = maps[k[i].index];
        if (result == 0 && i > 0 && cmp_sort_key(k[i - 1], k[i], maps) == 0) {
            const KTServerMap &m = out[i];
            int id1 = out[i - 1].server->id, id2 = m.server->id;
            logError("config file: %s, duplicate ip:port %.*s:%u, the server "
                     "ids: %d, %d",
                     filename, m.ip_addr.len, m.ip_addr.str, (unsigned)m.port,
                     std::min(id1, id2), std::max(id1, id2));
            result = EEXIST;
        }
    }
    kt_free(by_ip_port->maps);
    by_ip_port->maps = sorted.release();
    if (result == 0) {
        build_lookup_index(ctx, layout);
    }
    return result;
}

int build_indexes(KTServerConfig *ctx, const char *filename)
{
    int result = sort_and_check_ids(ctx, filename);
    if (result == 0) {
        result = build_ip_port_index(ctx);
    }
    if (result == 0) {
        result = sort_and_check_ip_ports(ctx, filename);
    }
    return result;
}

/* ---- rendering ---- */

const char *rendered_net_type(int net_type)
{
    return net_type == KT_NET_TYPE_ANY ? "" : get_net_type_caption(net_type);
}

bool is_implicit_group(const KTServerConfig *ctx)
{
    return ctx->group_array.count == 1 &&
           ctx->group_array.groups[0].group_name.len == 0 &&
           ctx->group_array.groups[0].filter.net_type == 0;
}

/* The one group that would take the address as a plain host, or null. */
const KTServerGroupInfo *address_uniq_match_group(const KTServerConfig *ctx,
                                                  const KTAddressInfo *addr)
{
    const KTServerGroupInfo *found = nullptr;
    for (int i = 0; i < ctx->group_array.count; i++) {
        const KTServerGroupInfo *group = &ctx->group_array.groups[i];
        if ((addr->conn.port != 0 &&
             addr->conn.port != effective_port(group)) ||
            !kt_server_group_match(group, addr)) {
            continue;
        }
        if (found != nullptr) {
            return nullptr;
        }
        found = group;
    }
    return found;
}

/* Every append of the renderer goes through here: the first failure is kept
 * and later appends are skipped, so a failed rendering reports its error
 * instead of a silently shortened text.  The room reserved before each
 * block normally makes the appends allocation-free. */
struct RenderSink {
    KiteBuffer *buffer;
    int result;

    void append(const char *format, ...) KT_PRINTF_FORMAT(2, 3)
    {
        if (result != 0) {
            return;
        }
        va_list ap;
        va_start(ap, format);
        result = kite_buffer_vappend(buffer, format, ap);
        va_end(ap);
    }

    void append_buff(const char *data, int len)
    {
        if (result == 0) {
            result = kite_buffer_append_buff(buffer, data, len);
        }
    }
};

void render_groups(const KTServerConfig *ctx, RenderSink *sink)
{
    if (is_implicit_group(ctx)) {
        /* No group section: the implicit group's port is the global item. */
        sink->append("port = %d\n\n", ctx->group_array.groups[0].port);
        return;
    }
    for (int i = 0; i < ctx->group_array.count; i++) {
        const KTServerGroupInfo *g = &ctx->group_array.groups[i];
        if (g->port <= 0) {
            /* Only a lone group that took a default_port of 0 or less gets
             * here: leave "port" out so that it loads back the same way. */
            sink->append(
                "[%s%.*s]\nnet_type = %s\nip_prefix = %.*s\n\n", kGroupPrefix,
                g->group_name.len, g->group_name.str,
                rendered_net_type(g->filter.net_type), g->filter.ip_prefix.len,
                g->filter.ip_prefix.len > 0 ? g->filter.ip_prefix.str : "");
            continue;
        }
        sink->append(
            "[%s%.*s]\nport = %d\nnet_type = %s\nip_prefix = "
            "%.*s\n\n",
            kGroupPrefix, g->group_name.len, g->group_name.str, g->port,
            rendered_net_type(g->filter.net_type), g->filter.ip_prefix.len,
            g->filter.ip_prefix.len > 0 ? g->filter.ip_prefix.str : "");
    }
}

/* Writes one address line.  A "host" item is used when the address would
 * load back into this group alone, but at most KT_SERVER_MAX_HOSTS times per
 * server (*plain_lines counts them): the loader refuses a ninth "host" item,
 * while a group host item always goes to its named group. */
void render_address(const KTServerConfig *ctx, const KTServerGroupInfo *group,
                    const KTAddressInfo *addr, int *plain_lines,
                    RenderSink *sink)
{
    if (*plain_lines < KT_SERVER_MAX_HOSTS &&
        address_uniq_match_group(ctx, addr) == group) {
        sink->append_buff("host", 4);
        (*plain_lines)++;
    } else {
        sink->append("%.*s%s", group->group_name.len, group->group_name.str,
                     "-host");
    }
    /* Brackets keep an IPv6 address apart from its port; port 0 (no port
     * known) is left out so that the line parses back to port 0. */
    const char *ip = addr->conn.ip_addr;
    const char *open = is_ipv6(ip) ? "[" : "", *close = is_ipv6(ip) ? "]" : "";
    if (addr->conn.port != 0) {
        sink->append(" = %s%s%s:%u\n", open, ip, close, addr->conn.port);
    } else {
        sink->append(" = %s%s%s\n", open, ip, close);
    }
}

int render_server(const KTServerConfig *ctx, const KTServerInfo *server,
                  RenderSink *sink)
{
    int n = 0;
    for (int i = 0; i < ctx->group_array.count; i++) {
        n += server->group_addrs[i].address_array.count;
    }
    int result = kite_buffer_check_inc_size(sink->buffer, 32 + 144 * n);
    if (result != 0) {
        return result;
    }
    sink->append("[%s%d]\n", kServerPrefix, server->id);
    int plain_lines = 0;
    for (int i = 0; i < ctx->group_array.count; i++) {
        const KTAddressPtrArray &array = server->group_addrs[i].address_array;
        for (int j = 0; j < array.count; j++) {
            render_address(ctx, &ctx->group_array.groups[i], array.addrs[j],
                           &plain_lines, sink);
        }
    }
    sink->append_buff("\n", 1);
    return sink->result;
}

/* ---- log dump ---- */

void log_groups(const KTServerConfig *ctx)
{
    for (int i = 0; i < ctx->group_array.count; i++) {
        const KTServerGroupInfo *g = &ctx->group_array.groups[i];
        logInfo("group_name: %.*s, port: %d, net_type: %s, ip_prefix: %.*s",
                g->group_name.len, g->group_name.str, g->port,
                get_net_type_caption(g->filter.net_type),
                g->filter.ip_prefix.len,
                g->filter.ip_prefix.len > 0 ? g->filter.ip_prefix.str : "");
    }
}

void log_server(const KTServerConfig *ctx, const KTServerInfo *server)
{
    logInfo("server id: %d", server->id);
    for (int i = 0; i < ctx->group_array.count; i++) {
        const KTServerGroupInfo *g = &ctx->group_array.groups[i];
        const KTAddressPtrArray &array = server->group_addrs[i].address_array;
        logInfo("[group-%.*s] ip count: %d", g->group_name.len,
                g->group_name.str, array.count);
        for (int j = 0; j < array.count; j++) {
            logInfo("    %d. %s:%u", j + 1, array.addrs[j]->conn.ip_addr,
                    array.addrs[j]->conn.port);
        }
    }
    logInfo(" ");
}

void free_server(KTServerInfo *server, int group_count)
{
    for (int i = 0; i < group_count; i++) {
        KTAddressPtrArray *array = &server->group_addrs[i].address_array;
        kt_free(array->addrs);
        array->addrs = nullptr;
        array->alloc = array->count = 0;
    }
    KTAddressPtrArray *uniq = &server->uniq_addresses;
    for (int i = 0; i < uniq->count; i++) {
        kt_free(uniq->addrs[i]);
    }
    kt_free(uniq->addrs);
    uniq->addrs = nullptr;
    uniq->alloc = uniq->count = 0;
}

// The common part of the file and buffer loads: clears the record, keeps
// the load options, parses the INI text through read_ini and loads the
// configuration from it.  A parse failure is passed on unchanged (the INI
// reader has cleaned up after itself); otherwise the INI context is freed
// whatever the load's outcome.
template <typename ReadIni>
int load_with_options(KTServerConfig *ctx, const char *caption,
                      const int default_port, const int min_hosts_each_group,
                      const bool share_between_groups, ReadIni read_ini)
{
    memset(ctx, 0, sizeof(*ctx));
    ctx->default_port = default_port;
    ctx->min_hosts_each_group = min_hosts_each_group;
    ctx->share_between_groups = share_between_groups;
    IniContext ini;
    int result = read_ini(&ini);
    if (result != 0) {
        return result;
    }
    result = kt_server_load_data(ctx, &ini, caption);
    iniFreeContext(&ini);
    return result;
}

}  // namespace

extern "C" {

int kt_server_load_from_file_ex(KTServerConfig *ctx,
                                const char *config_filename,
                                const int default_port,
                                const int min_hosts_each_group,
                                const bool share_between_groups)
{
    return load_with_options(
        ctx, config_filename, default_port, min_hosts_each_group,
        share_between_groups, [config_filename](IniContext *ini) {
            return iniLoadFromFileEx(config_filename, ini, kIniAnnotationType,
                                     nullptr, 0, kIniFlags);
        });
}

int kt_server_load_from_buffer_ex(KTServerConfig *ctx, char *content,
                                  const char *caption, const int default_port,
                                  const int min_hosts_each_group,
                                  const bool share_between_groups)
{
    return load_with_options(ctx, caption, default_port, min_hosts_each_group,
                             share_between_groups, [content](IniContext *ini) {
                                 return iniLoadFromBufferEx(
                                     content, ini, kIniAnnotationType, nullptr,
                                     0, kIniFlags);
                             });
}

int kt_server_load_data(KTServerConfig *ctx, IniContext *ini_context,
                        const char *config_filename)
{
    ctx->lookup_index = nullptr;
    int result = load_groups(ctx, ini_context, config_filename);
    if (result == 0) {
        result = kt_server_load_servers(ctx, config_filename, ini_context);
    }
    if (result == 0) {
        result = build_indexes(ctx, config_filename);
    }
    return result;
}

void kt_server_destroy(KTServerConfig *ctx)
{
    KTServerMapArray *by_ip_port = &ctx->sorted_server_arrays.by_ip_port;
    ctx->lookup_index = nullptr; /* it lives in the maps' allocation */
    if (by_ip_port->maps != nullptr) {
        kt_free(by_ip_port->maps);
        by_ip_port->maps = nullptr;
        by_ip_port->count = 0;
    }
    KTServerInfoArray *by_id = &ctx->sorted_server_arrays.by_id;
    if (by_id->servers != nullptr) {
        for (int i = 0; i < by_id->alloc; i++) {
            free_server(&by_id->servers[i], ctx->group_array.count);
        }
        kt_free(by_id->servers);
        by_id->servers = nullptr;
        by_id->count = 0;
    }
}

KTServerGroupInfo *kt_server_get_group_by_name(KTServerConfig *ctx,
                                               const string_t *group_name)
{
    for (int i = 0; i < ctx->group_array.count; i++) {
        KTServerGroupInfo *group = &ctx->group_array.groups[i];
        if (kt_string_equal(&group->group_name, group_name)) {
            return group;
        }
    }
    return nullptr;
}

KTServerInfo *kt_server_get_by_id(KTServerConfig *ctx, const int server_id)
{
    if (ctx->lookup_index != nullptr) {
        return const_cast<KTServerInfo *>(index_find_id(ctx, server_id));
    }
    /* Branch-free lower bound: the loop's only branch is its count. */
    const KTServerInfoArray &by_id = ctx->sorted_server_arrays.by_id;
    KTServerInfo *base = by_id.servers;
    int n = by_id.count;
    if (n <= 0) {
        return nullptr;
    }
    while (n > 1) {
        int half = n / 2;
        int next = std::max((n - half) / 2 - 1, 0);
        /* Both records the next step may read are fetched ahead, so the
         * cache misses of two levels overlap. */
        __builtin_prefetch(&base[next].id);
        __builtin_prefetch(&base[half + next].id);
        base = base[half - 1].id < server_id ? base + half : base;
        n -= half;
    }
    return base->id == server_id ? base : nullptr;
}

KTServerInfo *kt_server_get_by_ip_port_ex(KTServerConfig *ctx,
                                          const string_t *ip_addr,
                                          const int port)
{
    const KTServerMapArray &index = ctx->sorted_server_arrays.by_ip_port;
    if (index.count <= 0 || ip_addr == nullptr || ip_addr->len < 0) {
        return nullptr;
    }
    if (ctx->lookup_index != nullptr) {
        return index_find_ip(ctx, *ip_addr, port);
    }
    const IpKey key = probe_key(*ip_addr, port);
    const KTServerMap *base = index.maps;
    int n = index.count;
    while (n > 1) {
        int half = n / 2;
        base = kt_server_cmp_ip_and_port(base[half - 1], key) < 0 ? base + half
                                                                  : base;
        n -= half;
    }
    return kt_server_cmp_ip_and_port(*base, key) == 0 ? base->server : nullptr;
}

int kt_server_to_config_string(KTServerConfig *ctx, KiteBuffer *buffer)
{
    for (int i = 0; i < ctx->group_array.count; i++) {
        ctx->group_array.groups[i].server_port = 0;
    }
    int result = kite_buffer_check_inc_size(buffer, 1024);
    if (result != 0) {
        return result;
    }
    RenderSink sink = {buffer, 0};
    render_groups(ctx, &sink);
    if (sink.result != 0) {
        return sink.result;
    }
    const KTServerInfoArray &by_id = ctx->sorted_server_arrays.by_id;
    for (int i = 0; i < by_id.count; i++) {
        result = render_server(ctx, &by_id.servers[i], &sink);
        if (result != 0) {
            return result;
        }
    }
    return 0;
}

void kt_server_to_log(KTServerConfig *ctx)
{
    log_groups(ctx);
    logInfo("server count: %d, unique ip and port count: %d",
            ctx->sorted_server_arrays.by_id.count,
            ctx->sorted_server_arrays.by_ip_port.count);
    const KTServerInfoArray &by_id = ctx->sorted_server_arrays.by_id;
    for (int i = 0; i < by_id.count; i++) {
        log_server(ctx, &by_id.servers[i]);
    }
}

}  // extern "C"

/*
 * Connection helpers.  An array's index names the address that last worked;
 * every attempt starts there, then tries the others in array order.  Address
 * records are shared between a server's arrays, so a record may already
 * hold a connection made through another array: such a record is adopted,
 * never connected again (that would close a socket another array still
 * hands out).  An index outside the array (a record filled by hand, or an
 * array that shrank) is taken as 0.  No locks, no logging of our own.
 */
namespace {

int kt_server_current_index(KTAddressPtrArray *addr_array)
{
    if (addr_array->index < 0 || addr_array->index >= addr_array->count) {
        addr_array->index = 0;
    }
    return addr_array->index;
}

/* Copies the fixed fields of src into the caller's record, without a
 * socket; the caller's bytes behind the record stay. */
void kt_server_copy_conn_fields(ConnectionInfo *dest, const ConnectionInfo &src)
{
    dest->sock = -1;
    dest->port = src.port;
    dest->socket_domain = src.socket_domain;
    dest->validate_flag = src.validate_flag;
    memcpy(dest->ip_addr, src.ip_addr, sizeof(dest->ip_addr));
}

}  // namespace

extern "C" {

ConnectionInfo *kt_server_check_connect_ex(KTAddressPtrArray *addr_array,
                                           const int connect_timeout,
                                           const char *bind_ipaddr,
                                           const bool log_connect_error,
                                           int *err_no)
{
    if (addr_array->count <= 0) {
        *err_no = ENOENT;
        return nullptr;
    }
    const int first = kt_server_current_index(addr_array);
    ConnectionInfo *conn = &addr_array->addrs[first]->conn;
    if (conn->sock >= 0) {
        return conn;
    }
    *err_no = conn_pool_connect_server_ex(conn, connect_timeout, bind_ipaddr,
                                          log_connect_error);
    if (*err_no == 0) {
        return conn;
    }
    for (int i = 0; i < addr_array->count; i++) {
        if (i == first) {
            continue;
        }
        conn = &addr_array->addrs[i]->conn;
        *err_no =
            conn->sock >= 0
                ? 0
                : conn_pool_connect_server_ex(conn, connect_timeout,
                                              bind_ipaddr, log_connect_error);
        if (*err_no == 0) {
            addr_array->index = i;
            return conn;
        }
    }
    return nullptr;
}

void kt_server_disconnect(KTAddressPtrArray *addr_array)
{
    if (addr_array->count <= 0) {
        return;
    }
    conn_pool_disconnect_server(
        &addr_array->addrs[kt_server_current_index(addr_array)]->conn);
}

int kt_server_make_connection_ex(KTAddressPtrArray *addr_array,
                                 ConnectionInfo *conn,
                                 const int connect_timeout,
                                 const char *bind_ipaddr,
                                 const bool log_connect_error)
{
    if (addr_array->count <= 0) {
        return ENOENT;
    }
    const int first = kt_server_current_index(addr_array);
    kt_server_copy_conn_fields(conn, addr_array->addrs[first]->conn);
    int result = conn_pool_connect_server_ex(conn, connect_timeout, bind_ipaddr,
                                             log_connect_error);
    for (int i = 0; result != 0 && i < addr_array->count; i++) {
        if (i == first) {
            continue;
        }
        kt_server_copy_conn_fields(conn, addr_array->addrs[i]->conn);
        result = conn_pool_connect_server_ex(conn, connect_timeout, bind_ipaddr,
                                             log_connect_error);
        if (result == 0) {
            addr_array->index = i;
        }
    }
    return result;
}

KTAddressInfo *kt_server_get_address_by_peer(KTAddressPtrArray *addr_array,
                                             const char *peer_ip)
{
    if (addr_array->count == 1) {
        return addr_array->addrs[0];
    }
    if (addr_array->count <= 0) {
        return nullptr;
    }
    const int net_type = kt_get_net_type_by_ip(peer_ip);
    for (int i = 0; i < addr_array->count; i++) {
        if (addr_array->addrs[i]->net_type == net_type) {
            return addr_array->addrs[i];
        }
    }
    return addr_array->addrs[0];
}

}  // extern "C"
