// Logger.
//
// A record is formatted once, into one stack buffer of kBufferSize bytes
// (small enough for a pool thread started with the minimum stack), and
// handed to the sink whole; a record that does not fit is cut and ends with
// kCutMark.  The buffer keeps room in front of the message, where the default
// sink puts the local time and the level, so that it writes the line with a
// single write(2) on standard error: lines of concurrent threads never
// interleave and a record is on its way before the call returns.  The level
// is an atomic and writers take no lock.  A sink is one of two records; a
// writer announces itself on the record it uses (a reader count per record)
// and a swap rewrites only the record nobody is using, after waiting for
// its last writer to leave, so a sink and its argument always arrive
// together however often the sink is swapped.  KITE_LOG_LEVEL is read once,
// at the first call that needs the level.
#include "logger.h"

#include <sched.h>
#include <strings.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>

#include "kt_lock_guard.h"

namespace {

// The whole record lives in this many bytes of stack: the room for the
// default sink's time and level, the message, its newline and NUL.
constexpr int kBufferSize = 4096;
constexpr int kHeadRoom = 48;
constexpr int kMessageMax = kBufferSize - kHeadRoom - 2;
constexpr char kCutMark[] = "...(truncated)";
constexpr int kLevelUnset = -1;

std::atomic<int> g_level{kLevelUnset};

struct Sink {
    kt_log_sink_func func;
    void *arg;
};

// g_sink is null (standard error) or one of g_sinks; g_readers[i] counts the
// writers that may still read g_sinks[i].  Swaps are serialised by
// g_swap_lock.
Sink g_sinks[2];
std::atomic<int> g_readers[2];
std::atomic<Sink *> g_sink{nullptr};
pthread_mutex_t g_swap_lock = PTHREAD_MUTEX_INITIALIZER;

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

// Formats prefix and message at message[0..kMessageMax], cutting a longer
// record with kCutMark; returns the length.
int format_record(char *message, const char *file, int line, const char *format,
                  va_list ap)
{
    constexpr int room = kMessageMax + 1;
    int length = 0;
    if (file != nullptr) {
        length = snprintf(message, room, "file: %s, line: %d, ",
                          base_name(file), line);
        length = std::min(std::max(length, 0), kMessageMax);
    }
    int body = vsnprintf(message + length, room - length, format, ap);
    if (body > 0) {
        length += body;
    }
    if (length > kMessageMax) {
        constexpr int mark = sizeof(kCutMark) - 1;
        memcpy(message + kMessageMax - mark, kCutMark, mark + 1);
        length = kMessageMax;
    }
    return length;
}

// Writes the record at buffer + kHeadRoom with the time and level put in
// front of it inside the same buffer.
void write_to_stderr(int level, char *buffer, int length)
{
    char head[kHeadRoom];
    time_t now = time(nullptr);
    struct tm tm;
    localtime_r(&now, &tm);
    int size =
        snprintf(head, sizeof(head), "[%04d-%02d-%02d %02d:%02d:%02d] %s - ",
                 tm.tm_year + 1900, tm.tm_mon + 1, tm.tm_mday, tm.tm_hour,
                 tm.tm_min, tm.tm_sec, level_name(level));
    size = std::min(std::max(size, 0), kHeadRoom - 1);
    char *line = buffer + kHeadRoom - size;
    memcpy(line, head, size);
    buffer[kHeadRoom + length] = '\n';
    // One write for the whole line keeps concurrent records apart.
    ssize_t ignored = write(STDERR_FILENO, line, size + length + 1);
    (void)ignored;
}

// Hands the record to the installed sink, or returns false when there is
// none.  The writer counts itself on the record before reading it and
// checks that the record is still the installed one, so a swap never
// rewrites a record under it.
bool write_to_sink(int level, const char *message, int length)
{
    for (;;) {
        Sink *sink = g_sink.load();
        if (sink == nullptr) {
            return false;
        }
        std::atomic<int> &readers = g_readers[sink - g_sinks];
        readers.fetch_add(1);
        if (g_sink.load() == sink) {
            sink->func(level, message, length, sink->arg);
            readers.fetch_sub(1, std::memory_order_release);
            return true;
        }
        readers.fetch_sub(1, std::memory_order_release);
    }
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
    kite::lock_guard guard(&g_swap_lock);
    if (!guard.ok()) {
        return;
    }
    if (sink == nullptr) {
        g_sink.store(nullptr);
        return;
    }
    // Rewrite the record that is not installed, once the writers that took
    // it before the previous swap have left; no new writer can take it.
    Sink *spare = g_sink.load() == &g_sinks[0] ? &g_sinks[1] : &g_sinks[0];
    std::atomic<int> &readers = g_readers[spare - g_sinks];
    while (readers.load(std::memory_order_acquire) != 0) {
        sched_yield();
    }
    *spare = Sink{sink, arg};
    g_sink.store(spare);
}

KT_API void kt_log_vwrite(int level, const char *file, int line,
                          const char *format, va_list ap)
{
    if (level > current_level()) {
        return;
    }
    int saved_errno = errno;
    char buffer[kBufferSize];
    char *message = buffer + kHeadRoom;
    int length = format_record(message, file, line, format, ap);
    if (!write_to_sink(level, message, length)) {
        write_to_stderr(level, buffer, length);
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
