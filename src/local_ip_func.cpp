/*
 * The process-wide table of the host's own addresses.
 *
 * Data structure: g_local_host_ip_addrs holds up to 16 entries of 16 bytes,
 * each a NUL-terminated IPv4 text, appended in insertion order; an entry is
 * written once, before g_local_host_ip_count grows past it, and never moves.
 *
 * Locking: every writer (load, insert, the lazy first load) holds
 * g_fill_lock, so inserts never race each other and two threads whose first
 * look-ups meet an empty table load it once: the second finds the count set
 * when it gets the lock.  Readers take no lock: they read the count with
 * acquire semantics (std::atomic_ref; the writer stores it with release
 * after the entries) and then only the entries below it, which no one
 * writes any more.  A load writes all its entries first and publishes them
 * with one store of the count, so a look-up never sees a table that holds
 * "127.0.0.1" but not yet the interface addresses.
 *
 * Departures from the plain table: an address longer than 15 characters is
 * refused with a warning instead of being cut into a different address; the
 * alias prefixes are split from a copy, so g_if_alias_prefix stays as the
 * program set it; membership loads an empty table first, as the walks do.
 * Membership compares each entry as two 8-byte words under a mask that
 * covers the probe's text and its NUL: exact text equality without a
 * strcmp call per entry, which keeps a full table on a par with a hash set.
 */
#include "local_ip_func.h"

#include <pthread.h>

#include <algorithm>
#include <atomic>
#include <bit>
#include <cstdio>
#include <cstring>

#include "kt_lock_guard.h"
#include "logger.h"
#include "shared_func.h"

extern "C" {
KT_API int32_t g_local_host_ip_count = 0;
KT_API char g_local_host_ip_addrs[KT_MAX_LOCAL_IP_ADDRS * KT_IPV4_ADDRESS_SIZE];
KT_API char g_if_alias_prefix[KT_IF_ALIAS_PREFIX_SIZE];
}

namespace {

constexpr const char *kLoopbackIp = "127.0.0.1";
constexpr size_t kEntrySize = KT_IPV4_ADDRESS_SIZE;
constexpr size_t kMaxIpLength = kEntrySize - 1;

pthread_mutex_t g_fill_lock = PTHREAD_MUTEX_INITIALIZER;

std::atomic_ref<int32_t> count_ref()
{
    return std::atomic_ref<int32_t>(g_local_host_ip_count);
}

// The entries a reader may look at; clamped because the count is a public
// variable that a program could set.
int published_count()
{
    return std::clamp(count_ref().load(std::memory_order_acquire), 0,
                      KT_MAX_LOCAL_IP_ADDRS);
}

char *entry(int index)
{
    return g_local_host_ip_addrs + (size_t)index * kEntrySize;
}

// Writes ip (at most 15 characters) after the first *count entries unless
// one of them equals it; *count grows, but the entry is not yet published.
// Caller holds g_fill_lock.
int append_entry(const char *ip, size_t len, int *count)
{
    for (int i = 0; i < *count; i++) {
        if (strcmp(entry(i), ip) == 0) {
            return 0;
        }
    }
    if (*count >= KT_MAX_LOCAL_IP_ADDRS) {
        return -1;
    }
    memset(entry(*count), 0, kEntrySize);
    memcpy(entry(*count), ip, len);
    (*count)++;
    return 1;
}

// The count as the lock holder sees it.
int locked_count()
{
    return std::clamp(count_ref().load(std::memory_order_relaxed), 0,
                      KT_MAX_LOCAL_IP_ADDRS);
}

// Makes the entries below count visible to lock-free readers at once.
void publish(int count)
{
    count_ref().store(count, std::memory_order_release);
}

// The length of an address that fits an entry, or -1 (warned).
int checked_length(const char *ip)
{
    size_t len = strnlen(ip, kEntrySize);
    if (len > kMaxIpLength) {
        logWarning("ip address: %s is too long, length: %d > %d, refused", ip,
                   (int)strlen(ip), (int)kMaxIpLength);
        return -1;
    }
    return (int)len;
}

// Splits a copy of g_if_alias_prefix into prefixes stripped of blanks; the
// pointers point into copy.  Returns their number.
int split_alias_prefixes(char *copy, char **prefixes)
{
    size_t len = strnlen(g_if_alias_prefix, KT_IF_ALIAS_PREFIX_SIZE - 1);
    memcpy(copy, g_if_alias_prefix, len);
    copy[len] = '\0';
    if (len == 0) {
        return 0;
    }
    int count = splitEx(copy, ',', prefixes, KT_MAX_IF_ALIAS_PREFIX_COUNT);
    for (int i = 0; i < count; i++) {
        trim_left(trim_right(prefixes[i]));
    }
    return count;
}

// Caller holds g_fill_lock.  The whole load is published with one store,
// so a reader that finds the table filled finds it filled completely.
void load_locked()
{
    int count = locked_count();
    append_entry(kLoopbackIp, strlen(kLoopbackIp), &count);
    char copy[KT_IF_ALIAS_PREFIX_SIZE];
    char *prefixes[KT_MAX_IF_ALIAS_PREFIX_COUNT] = {};
    int prefix_count = split_alias_prefixes(copy, prefixes);

    char addrs[KT_MAX_LOCAL_IP_ADDRS][KT_IPV4_ADDRESS_SIZE];
    int listed = 0;
    if (gethostaddrs(prefixes, prefix_count, addrs, KT_MAX_LOCAL_IP_ADDRS,
                     &listed) != 0) {
        listed = 0;
    }
    for (int i = 0; i < listed; i++) {
        const void *end = memchr(addrs[i], '\0', kEntrySize);
        if (end == nullptr) {
            logWarning("address %d of gethostaddrs has no end, refused", i);
            continue;
        }
        append_entry(addrs[i], (size_t)((const char *)end - addrs[i]), &count);
    }
    publish(count);
}

void ensure_loaded()
{
    if (count_ref().load(std::memory_order_acquire) != 0) {
        return;
    }
    kite::lock_guard guard(&g_fill_lock);
    if (guard.ok() && locked_count() == 0) {
        load_locked();
    }
}

// Index of the first non-loopback entry after position `from`, or -1.
int next_index(int from, int count)
{
    for (int i = from; i < count; i++) {
        if (strcmp(entry(i), kLoopbackIp) != 0) {
            return i;
        }
    }
    return -1;
}

// An entry-sized text as two words.  mask_for_length gives the bytes that
// an exact comparison with a probe of `len` characters must look at: the
// text and its NUL; what follows the NUL in an entry does not matter.
struct EntryWords {
    uint64_t word[2];
};

EntryWords mask_for_length(size_t len)
{
    const size_t bytes = len + 1;  // 1 to 16
    if constexpr (std::endian::native == std::endian::little) {
        const uint64_t lo = bytes >= 8 ? ~0ULL : (1ULL << (8 * bytes)) - 1;
        const uint64_t hi = bytes <= 8    ? 0
                            : bytes >= 16 ? ~0ULL
                                          : (1ULL << (8 * (bytes - 8))) - 1;
        return EntryWords{{lo, hi}};
    }
    unsigned char mask_bytes[kEntrySize] = {};
    memset(mask_bytes, 0xff, bytes);
    EntryWords mask;
    memcpy(mask.word, mask_bytes, kEntrySize);
    return mask;
}

// Copies ip into probe (zeroed) up to its NUL; returns its length, or
// kEntrySize when it is longer than an entry can hold.
size_t load_probe(const char *ip, EntryWords *probe)
{
    unsigned char bytes[kEntrySize] = {};
    size_t len = 0;
    while (len < kEntrySize && ip[len] != '\0') {
        bytes[len] = (unsigned char)ip[len];
        len++;
    }
    memcpy(probe->word, bytes, kEntrySize);
    return len;
}

}  // namespace

extern "C" {

void load_local_host_ip_addrs(void)
{
    kite::lock_guard guard(&g_fill_lock);
    if (guard.ok()) {
        load_locked();
    }
}

int insert_into_local_host_ip(const char *ip)
{
    if (ip == nullptr) {
        return -1;
    }
    int len = checked_length(ip);
    if (len < 0) {
        return -1;
    }
    kite::lock_guard guard(&g_fill_lock);
    if (!guard.ok()) {
        return -1;
    }
    int count = locked_count();
    int result = append_entry(ip, (size_t)len, &count);
    if (result == 1) {
        publish(count);
    }
    return result;
}

bool is_local_host_ip(const char *ip)
{
    if (ip == nullptr) {
        return false;
    }
    EntryWords probe;
    const size_t len = load_probe(ip, &probe);
    if (len > kMaxIpLength) {
        return false;
    }
    ensure_loaded();
    const EntryWords mask = mask_for_length(len);
    const int count = published_count();
    for (int i = 0; i < count; i++) {
        EntryWords e;
        memcpy(e.word, entry(i), kEntrySize);
        if ((((e.word[0] ^ probe.word[0]) & mask.word[0]) |
             ((e.word[1] ^ probe.word[1]) & mask.word[1])) == 0) {
            return true;
        }
    }
    return false;
}

const char *get_next_local_ip(const char *previous_ip)
{
    ensure_loaded();
    const int count = published_count();
    int i = next_index(0, count);
    if (previous_ip != nullptr) {
        while (i >= 0 && strcmp(entry(i), previous_ip) != 0) {
            i = next_index(i + 1, count);
        }
        i = i < 0 ? -1 : next_index(i + 1, count);
    }
    return i < 0 ? nullptr : entry(i);
}

const char *get_first_local_ip(void)
{
    const char *first = get_next_local_ip(nullptr);
    return first != nullptr ? first : kLoopbackIp;
}

const char *get_first_local_private_ip(void)
{
    ensure_loaded();
    const int count = published_count();
    for (int i = next_index(0, count); i >= 0; i = next_index(i + 1, count)) {
        if (is_private_ip(entry(i))) {
            return entry(i);
        }
    }
    return nullptr;
}

char *local_host_ip_addrs_to_string(char *buff, const int size)
{
    if (buff == nullptr || size <= 0) {
        return buff;
    }
    const int count = published_count();
    int len = snprintf(buff, (size_t)size, "local_host_ip_count: %d,", count);
    for (int i = 0; i < count && len >= 0 && len < size; i++) {
        len += snprintf(buff + len, (size_t)(size - len), "  %.*s",
                        (int)kMaxIpLength, entry(i));
    }
    return buff;
}

void log_local_host_ip_addrs(void)
{
    char buff[512];
    logInfo("%s", local_host_ip_addrs_to_string(buff, (int)sizeof(buff)));
}

void print_local_host_ip_addrs(void)
{
    const int count = published_count();
    printf("local_host_ip_count=%d\n", count);
    for (int i = 0; i < count; i++) {
        printf("%d. %.*s\n", i + 1, (int)kMaxIpLength, entry(i));
    }
    printf("\n");
}

}  // extern "C"
