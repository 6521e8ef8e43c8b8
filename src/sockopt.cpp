/*
 * Network types of addresses.
 *
 * The address text is parsed with inet_pton, then classified by prefix on
 * the binary address: the three private IPv4 ranges get their own subtype,
 * the other non-public ranges the plain inner type, everything else outer.
 * IPv4-mapped IPv6 addresses are classified as the IPv4 address they carry.
 * No state, no locks.
 *
 * Host addresses come from getifaddrs, one pass over the list: an interface
 * must be up, not loopback, carry an IPv4 address and, when prefixes are
 * given, have a name that starts with one of them.  The only state is the
 * provider hook, an atomic pointer read once per call.
 */
#include "sockopt.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstring>

#include "logger.h"

namespace {

/* Strict dotted quad, as inet_pton accepts it: four decimal octets of 1 to
 * 3 digits, at most 255, no leading zero, nothing else.  Faster than
 * inet_pton, which measures the text first. */
bool parse_ipv4(const char *ip, uint8_t *out)
{
    for (int part = 0; part < 4; part++) {
        if (*ip < '0' || *ip > '9') {
            return false;
        }
        int value = 0, digits = 0;
        while (*ip >= '0' && *ip <= '9') {
            if (digits > 0 && value == 0) {
                return false;
            }
            value = value * 10 + (*ip++ - '0');
            if (++digits > 3 || value > 255) {
                return false;
            }
        }
        out[part] = (unsigned char)value;
        if (*ip != (part < 3 ? '.' : '\0')) {
            return false;
        }
        ip++;
    }
    return true;
}

int ipv4_net_type(const unsigned char *a)
{
    if (a[0] == 10) {
        return KT_NET_TYPE_INNER_10;
    }
    if (a[0] == 172 && (a[1] & 0xf0) == 16) {
        return KT_NET_TYPE_INNER_172;
    }
    if (a[0] == 192 && a[1] == 168) {
        return KT_NET_TYPE_INNER_192;
    }
    if (a[0] == 127 || a[0] == 0 || (a[0] == 169 && a[1] == 254) ||
        (a[0] == 100 && (a[1] & 0xc0) == 64)) {
        return KT_NET_TYPE_INNER;
    }
    return KT_NET_TYPE_OUTER;
}

int ipv6_net_type(const unsigned char *a)
{
    static const unsigned char kMapped[12] = {0, 0, 0, 0, 0,    0,
                                              0, 0, 0, 0, 0xff, 0xff};
    static const unsigned char kLoopback[16] = {0, 0, 0, 0, 0, 0, 0, 0,
                                                0, 0, 0, 0, 0, 0, 0, 1};
    if (memcmp(a, kMapped, sizeof(kMapped)) == 0) {
        return ipv4_net_type(a + 12);
    }
    if (memcmp(a, kLoopback, sizeof(kLoopback)) == 0 || (a[0] & 0xfe) == 0xfc ||
        (a[0] == 0xfe && (a[1] & 0xc0) == 0x80)) {
        return KT_NET_TYPE_INNER;
    }
    return KT_NET_TYPE_OUTER;
}

std::atomic<kt_hostaddrs_provider_func> g_hostaddrs_provider{nullptr};

bool name_has_prefix(const char *name, char **prefixes, int prefix_count)
{
    if (prefix_count == 0) {
        return true;
    }
    for (int i = 0; i < prefix_count; i++) {
        if (prefixes[i] != nullptr &&
            strncmp(name, prefixes[i], strlen(prefixes[i])) == 0) {
            return true;
        }
    }
    return false;
}

bool is_listed(const struct ifaddrs *ifa, char **prefixes, int prefix_count)
{
    return ifa->ifa_addr != nullptr && ifa->ifa_addr->sa_family == AF_INET &&
           (ifa->ifa_flags & IFF_UP) != 0 &&
           (ifa->ifa_flags & IFF_LOOPBACK) == 0 && ifa->ifa_name != nullptr &&
           name_has_prefix(ifa->ifa_name, prefixes, prefix_count);
}

int list_interface_addrs(char **prefixes, int prefix_count,
                         char ip_addrs[][KT_IPV4_ADDRESS_SIZE], int max_count,
                         int *count)
{
    struct ifaddrs *list = nullptr;
    if (getifaddrs(&list) != 0) {
        int result = errno != 0 ? errno : EIO;
        kt_log_call_fail(KT_LOG_ERROR, __FILE__, __LINE__, "getifaddrs",
                         result);
        return result;
    }
    for (struct ifaddrs *ifa = list; ifa != nullptr && *count < max_count;
         ifa = ifa->ifa_next) {
        if (!is_listed(ifa, prefixes, prefix_count)) {
            continue;
        }
        const auto *sin = reinterpret_cast<const sockaddr_in *>(ifa->ifa_addr);
        if (inet_ntop(AF_INET, &sin->sin_addr, ip_addrs[*count],
                      KT_IPV4_ADDRESS_SIZE) != nullptr) {
            (*count)++;
        }
    }
    freeifaddrs(list);
    return 0;
}

}  // namespace

extern "C" {

int gethostaddrs(char **if_alias_prefixes, const int alias_count,
                 char ip_addrs[][KT_IPV4_ADDRESS_SIZE], const int max_count,
                 int *count)
{
    if (count == nullptr) {
        return EINVAL;
    }
    *count = 0;
    if (ip_addrs == nullptr || alias_count < 0 ||
        (alias_count > 0 && if_alias_prefixes == nullptr)) {
        return EINVAL;
    }
    kt_hostaddrs_provider_func provider =
        g_hostaddrs_provider.load(std::memory_order_acquire);
    if (provider == nullptr) {
        return list_interface_addrs(if_alias_prefixes, alias_count, ip_addrs,
                                    max_count, count);
    }
    int result =
        provider(if_alias_prefixes, alias_count, ip_addrs, max_count, count);
    *count = result != 0 ? 0 : std::clamp(*count, 0, std::max(max_count, 0));
    return result;
}

kt_hostaddrs_provider_func kt_set_hostaddrs_provider(
    kt_hostaddrs_provider_func provider)
{
    return g_hostaddrs_provider.exchange(provider, std::memory_order_acq_rel);
}

bool kt_parse_ipv4(const char *ip, uint8_t *addr)
{
    return ip != nullptr && parse_ipv4(ip, addr);
}

int kt_get_net_type_by_name(const char *net_type)
{
    static const struct {
        const char *name;
        int type;
    } kNames[] = {{"outer", KT_NET_TYPE_OUTER},
                  {"inner", KT_NET_TYPE_INNER},
                  {"inner-10", KT_NET_TYPE_INNER_10},
                  {"inner-172", KT_NET_TYPE_INNER_172},
                  {"inner-192", KT_NET_TYPE_INNER_192},
                  {"", KT_NET_TYPE_ANY}};
    if (net_type == nullptr) {
        return 0;
    }
    for (const auto &entry : kNames) {
        if (strcmp(entry.name, net_type) == 0) {
            return entry.type;
        }
    }
    return 0;
}

int kt_get_net_type_by_ip(const char *ip)
{
    unsigned char addr[sizeof(struct in6_addr)];
    if (ip == nullptr) {
        return 0;
    }
    if (parse_ipv4(ip, addr)) {
        return ipv4_net_type(addr);
    }
    if (inet_pton(AF_INET6, ip, addr) == 1) {
        return ipv6_net_type(addr);
    }
    return 0;
}

int kt_set_nonblock(const int fd)
{
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0) {
        return errno != 0 ? errno : EIO;
    }
    if ((flags & O_NONBLOCK) == 0 &&
        fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) {
        return errno != 0 ? errno : EIO;
    }
    return 0;
}

}  // extern "C"
