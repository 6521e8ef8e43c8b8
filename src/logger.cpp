// Logger.
//
// A record is formatted into a stack buffer and handed to the sink whole.
// The default sink prepends the local time and the level and writes the line
// with a single write(2) on standard error, so lines of concurrent threads
// never interleave and a record is on its way before the call returns.  The
// level and the sink are atomics: logging takes no lock.  KITE_LOG_LEVEL is
// read once, at the first call that needs the level.
#include "logger.h"

#include <strings.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

namespace {

constexpr int kMessageSize = 16 * 1024;
constexpr int kLevelUnset = -1;

std::atomic<int> g_level{kLevelUnset};

struct Sink {
    kt_log_sink_func func;
    void *arg;
};
std::atomic<const Sink *> g_sink{nullptr};
Sink g_sink_slots[2];
std::atomic<int> g_sink_slot{0};

const char *level_name(int level)
{
    switch (level) {
    case KT_LOG_ERROR: return "ERROR";
    case KT_LOG_WARNING: return "WARNING";
    case KT_LOG_INFO: return "INFO";
    default: return "DEBUG";
    }
}

int clamp_level(int level)
{
    if (level < KT_LOG_ERROR) return KT_LOG_ERROR;
    if (level > KT_LOG_DEBUG) return KT_LOG_DEBUG;
    return level;
}

int current_level()
{
    int level = g_level.load(std::memory_order_relaxed);
    if (level != kLevelUnset) {
        return level;
    }
    int from_env = kt_log_level_from_name(getenv("KITE_LOG_LEVEL"));
    int wanted = from_env < 0 ? KT_LOG_INFO : from_env;
    int expected = kLevelUnset;
    g_level.compare_exchange_strong(expected, wanted);
    return g_level.load(std::memory_order_relaxed);
}

const char *base_name(const char *file)
{
    const char *slash = strrchr(file, '/');
    return slash != nullptr ? slash + 1 : file;
}

void write_to_stderr(int level, const char *message, int length)
{
    char line[kMessageSize + 64];
    time_t now = time(nullptr);
    struct tm tm;
    localtime_r(&now, &tm);
    int head = snprintf(line, sizeof(line),
                        "[%04d-%02d-%02d %02d:%02d:%02d] %s - ",
                        tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday,
                        tm.tm_hour, tm.tm_min, tm.tm_sec, level_name(level));
    memcpy(line + head, message, length);
    line[head + length] = '\n';
    int saved_errno = errno;
    // One write for the whole line keeps concurrent records apart.
    ssize_t ignored = write(STDERR_FILENO, line, head + length + 1);
    (void)ignored;
    errno = saved_errno;
}

}  // namespace

extern "C" {

KT_API int kt_log_level_from_name(const char *name)
{
    if (name == nullptr) return -1;
    if (strcasecmp(name, "error") == 0) return KT_LOG_ERROR;
    if (strcasecmp(name, "warning") == 0 || strcasecmp(name, "warn") == 0) {
        return KT_LOG_WARNING;
    }
    if (strcasecmp(name, "info") == 0) return KT_LOG_INFO;
    if (strcasecmp(name, "debug") == 0) return KT_LOG_DEBUG;
    return -1;
}

KT_API int kt_log_set_level(int level)
{
    int old = current_level();
    g_level.store(clamp_level(level), std::memory_order_relaxed);
    return old;
}

KT_API int kt_log_get_level(void)
{
    return current_level();
}

KT_API void kt_log_set_sink(kt_log_sink_func sink, void *arg)
{
    if (sink == nullptr) {
        g_sink.store(nullptr, std::memory_order_release);
        return;
    }
    // Alternate between two slots so a reader never sees a half-written
    // pair while the sink is swapped.
    int slot = g_sink_slot.fetch_add(1, std::memory_order_relaxed) & 1;
    g_sink_slots[slot] = Sink{sink, arg};
    g_sink.store(&g_sink_slots[slot], std::memory_order_release);
}

KT_API void kt_log_vwrite(int level, const char *file, int line,
                          const char *format, va_list ap)
{
    if (level > current_level()) {
        return;
    }
    int saved_errno = errno;
    char message[kMessageSize];
    int length = 0;
    if (file != nullptr) {
        length = snprintf(message, sizeof(message), "file: %s, line: %d, ",
                          base_name(file), line);
    }
    int body = vsnprintf(message + length, sizeof(message) - length, format, ap);
    if (body > 0) {
        length = KT_MIN(length + body, kMessageSize - 1);
    }
    const Sink *sink = g_sink.load(std::memory_order_acquire);
    if (sink != nullptr) {
        sink->func(level, message, length, sink->arg);
    } else {
        write_to_stderr(level, message, length);
    }
    errno = saved_errno;
}

KT_API void kt_log_write(int level, const char *file, int line,
                         const char *format, ...)
{
    va_list ap;
    va_start(ap, format);
    kt_log_vwrite(level, file, line, format, ap);
    va_end(ap);
}

KT_API const char *kt_strerror(int errnum)
{
    const char *text = strerror(errnum);
    if (text == nullptr || *text == '\0') {
        return "Unkown error";
    }
    return text;
}

KT_API void kt_log_call_fail(int level, const char *file, int line,
                             const char *call, int errnum)
{
    kt_log_write(level, file, line, "call %s fail, errno: %d, error info: %s",
                 call, errnum, kt_strerror(errnum));
}

}  // extern "C"
