/* Base services: the logger with a sink of the program's own, the
 * allocation wrapper with an out-of-memory hook and a replaced allocator,
 * the growable buffer, and the INI reader.  (kite_demo.c shows the clock
 * and the object pool.) */
#include <errno.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "ini_file_reader.h"
#include "kite_buffer.h"
#include "kt_memory.h"
#include "logger.h"

/* Called on the logging thread with one whole record; must not log. */
static void to_stdout(int level, const char *message, int length, void *arg)
{
    int *records = (int *)arg;
    (*records)++;
    printf("  sink got level %d: %.*s\n", level, length, message);
}

static size_t g_oom_bytes;

static void note_oom(const size_t bytes)
{
    g_oom_bytes = bytes;
}

/* An allocator that refuses large requests, as a memory limit would; free
 * stays the C library's, which matches both. */
static void *limited_malloc(size_t size)
{
    return size > 4096 ? NULL : malloc(size);
}

static void *limited_realloc(void *ptr, size_t size)
{
    return size > 4096 ? NULL : realloc(ptr, size);
}

int main(void)
{
    int records = 0;
    KiteBuffer buffer;
    IniContext ini;
    char text[] = "workers = 8\n[listen]\nport = 5200\nhost = 0.0.0.0\n";

    kt_log_set_sink(to_stdout, &records);
    kt_log_set_level(KT_LOG_INFO);
    logError("disk %s is full", "/var"); /* prefixed with file and line */
    logDebug("not written: above the level");

    /* Every allocation of the library goes through the wrapper: a failure
     * is logged, the hook told, and the caller gets ENOMEM. */
    g_oom_notify = note_oom;
    kt_set_allocator(limited_malloc, limited_realloc, NULL);
    kite_buffer_init(&buffer);
    int result = kite_buffer_set_capacity(&buffer, 1 << 20);
    printf("1 MiB buffer with a 4 KiB limit: %s, hook saw %zu bytes\n",
           result == ENOMEM ? "ENOMEM" : "?", g_oom_bytes);
    kt_set_allocator(NULL, NULL, NULL); /* back to the C library */

    kite_buffer_append(&buffer, "%s:%d", "203.0.113.7", 5200);
    kite_buffer_append(&buffer, " (%d bytes so far)", buffer.length);
    printf("buffer: %.*s\n", buffer.length, buffer.data);
    kite_buffer_destroy(&buffer);

    if (iniLoadFromBufferEx(text, &ini, KT_INI_ANNOTATION_NONE, NULL, 0, 0) !=
        0) {
        return 1;
    }
    printf("ini: workers=%d, listen port=%d, listen host=%s, missing=%d\n",
           iniGetIntValueEx(NULL, "workers", &ini, 1, false),
           iniGetIntValueEx("listen", "port", &ini, 0, false),
           iniGetStrValueEx("listen", "host", &ini, false),
           iniGetIntValueEx("listen", "backlog", &ini, 128, false));
    iniFreeContext(&ini);

    kt_log_set_sink(NULL, NULL); /* standard error again */
    printf("the sink received %d records\n", records);
    return result == ENOMEM && g_oom_bytes == (1 << 20) ? 0 : 1;
}
