/*
 * Network types of addresses.
 *
 * The address text is parsed with inet_pton, then classified by prefix on
 * the binary address: the three private IPv4 ranges get their own subtype,
 * the other non-public ranges the plain inner type, everything else outer.
 * IPv4-mapped IPv6 addresses are classified as the IPv4 address they carry.
 * No state, no locks.
 */
#include "sockopt.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>

#include <cerrno>
#include <cstring>

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
    static const unsigned char kMapped[12] = {0, 0, 0, 0, 0, 0,
                                              0, 0, 0, 0, 0xff, 0xff};
    static const unsigned char kLoopback[16] = {0, 0, 0, 0, 0, 0, 0, 0,
                                                0, 0, 0, 0, 0, 0, 0, 1};
    if (memcmp(a, kMapped, sizeof(kMapped)) == 0) {
        return ipv4_net_type(a + 12);
    }
    if (memcmp(a, kLoopback, sizeof(kLoopback)) == 0 ||
        (a[0] & 0xfe) == 0xfc || (a[0] == 0xfe && (a[1] & 0xc0) == 0x80)) {
        return KT_NET_TYPE_INNER;
    }
    return KT_NET_TYPE_OUTER;
}

}  // namespace

extern "C" {

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
    if ((flags & O_NONBLOCK) == 0 && fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) {
        return errno != 0 ? errno : EIO;
    }
    return 0;
}

}  // extern "C"
