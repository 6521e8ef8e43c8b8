/*
 * Buffered file writer.
 *
 * The buffer is one allocation of buffer_size bytes: [buff, current) waits
 * to be written, [current, buff_end) is free.  A formatted append first
 * formats straight into the free part (vsnprintf reports the whole length,
 * so one call both tries and measures); when the text did not fit, the
 * buffer is flushed and the text formatted again into the empty buffer
 * from a copy of the argument list.  Ending beyond water_mark triggers a
 * flush, so while writes succeed at least max_written_once bytes are free
 * before every formatted append.  Raw blocks at or above the room left
 * below the mark skip the copy and go to the file directly, after a flush
 * that keeps the file in append order.
 *
 * Departures from the simplest scheme, each against a fault: a failed
 * write keeps only the bytes that did not reach the file, so a retry writes
 * each byte once; a path that does not fit the record is refused
 * (ENAMETOOLONG) rather than cut, since the cut name is another file that
 * would be emptied; the sizes are checked before the record is touched;
 * operations on a writer that is not open fail with EINVAL instead of
 * touching a released buffer.  The descriptor is opened close-on-exec.
 */
#include "buffered_file_writer.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "kt_memory.h"
#include "logger.h"
#include "shared_func.h"

namespace {

int errno_or_eio()
{
    return errno != 0 ? errno : EIO;
}

bool check_open(const BufferedFileWriter *writer)
{
    if (writer == nullptr) {
        return false;
    }
    if (writer->buff == nullptr) {
        logError("the writer of file %.*s is not open", KT_MAX_PATH_SIZE - 1,
                 writer->filename);
        return false;
    }
    return true;
}

// Refuses a name that the record cannot hold whole.
int check_filename(const char *filename)
{
    size_t len = strnlen(filename, KT_MAX_PATH_SIZE);
    if (len >= KT_MAX_PATH_SIZE) {
        logError("file name is too long, length: %d >= %d, name: %.*s...",
                 (int)strlen(filename), KT_MAX_PATH_SIZE, 64, filename);
        return ENAMETOOLONG;
    }
    return 0;
}

int open_file(BufferedFileWriter *writer, const char *filename, int mode)
{
    snprintf(writer->filename, sizeof(writer->filename), "%s", filename);
    writer->fd =
        open(writer->filename, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode);
    if (writer->fd < 0) {
        int result = errno_or_eio();
        logError("open file %s fail, errno: %d, error info: %s",
                 writer->filename, result, KT_STRERROR(result));
        return result;
    }
    return 0;
}

// Logs a failed write; returns its error number.
int write_failed(const BufferedFileWriter *writer)
{
    int result = errno_or_eio();
    logError("write to file %s fail, errno: %d, error info: %s",
             writer->filename, result, KT_STRERROR(result));
    return result;
}

int flush_buffer(BufferedFileWriter *writer)
{
    const size_t pending = (size_t)(writer->current - writer->buff);
    if (pending == 0) {
        return 0;
    }
    errno = 0;
    ssize_t written = kt_safe_write(writer->fd, writer->buff, pending);
    if (written == (ssize_t)pending) {
        writer->current = writer->buff;
        return 0;
    }
    int result = write_failed(writer);
    if (written > 0) {
        // Keep only what the file has not received yet.
        memmove(writer->buff, writer->buff + written,
                pending - (size_t)written);
        writer->current -= written;
    }
    return result;
}

// One formatting attempt into the free part: 0 when the text landed, -1
// when it did not fit, or an error number.
int format_into_buffer(BufferedFileWriter *writer, const char *format,
                       va_list ap, int *len)
{
    const size_t room = (size_t)(writer->buff_end - writer->current);
    errno = 0;
    *len = vsnprintf(writer->current, room, format, ap);
    if (*len < 0) {
        int result = errno != 0 ? errno : EINVAL;
        logError("format output fail, errno: %d, error info: %s", result,
                 KT_STRERROR(result));
        return EINVAL;
    }
    if ((size_t)*len < room) {
        writer->current += *len;
        return 0;
    }
    return -1;
}

int append_formatted(BufferedFileWriter *writer, const char *format, va_list ap)
{
    for (int attempt = 0; attempt < 2; attempt++) {
        va_list copy;
        va_copy(copy, ap);
        int len = 0;
        int result = format_into_buffer(writer, format, copy, &len);
        va_end(copy);
        if (result == 0) {
            return writer->current > writer->water_mark ? flush_buffer(writer)
                                                        : 0;
        }
        if (result > 0) {
            return result;
        }
        if (len >= writer->buffer_size) {
            logError("too large output buffer, %d > %d!", len,
                     writer->buffer_size);
            return ENOSPC;
        }
        if ((result = flush_buffer(writer)) != 0) {
            return result;
        }
    }
    return ENOSPC;  // not reached: the second attempt has the whole buffer
}

}  // namespace

extern "C" {

int buffered_file_writer_open_ex(BufferedFileWriter *writer,
                                 const char *filename, const int buffer_size,
                                 const int max_written_once, const int mode)
{
    if (writer == nullptr || filename == nullptr) {
        return EINVAL;
    }
    const int size =
        buffer_size > 0 ? buffer_size : KT_WRITER_DEFAULT_BUFFER_SIZE;
    const int once = max_written_once > 0 ? max_written_once
                                          : KT_WRITER_DEFAULT_MAX_WRITTEN_ONCE;
    if (size < once) {
        logError("max_written_once: %d > buffer_size: %d", once, size);
        return EINVAL;
    }
    writer->buff = nullptr;
    int result = check_filename(filename);
    if (result != 0) {
        return result;
    }
    writer->buffer_size = size;
    writer->buff = static_cast<char *>(kt_malloc((size_t)size));
    if (writer->buff == nullptr) {
        return ENOMEM;
    }
    if ((result = open_file(writer, filename, mode)) != 0) {
        kt_free(writer->buff);
        writer->buff = nullptr;
        return result;
    }
    writer->current = writer->buff;
    writer->buff_end = writer->buff + size;
    writer->water_mark = writer->buff_end - once;
    return 0;
}

int buffered_file_writer_open(BufferedFileWriter *writer, const char *filename)
{
    return buffered_file_writer_open_ex(writer, filename, 0, 0,
                                        KT_WRITER_DEFAULT_MODE);
}

int buffered_file_writer_append(BufferedFileWriter *writer, const char *format,
                                ...)
{
    if (!check_open(writer) || format == nullptr) {
        return EINVAL;
    }
    va_list ap;
    va_start(ap, format);
    int result = append_formatted(writer, format, ap);
    va_end(ap);
    return result;
}

int buffered_file_writer_append_buff(BufferedFileWriter *writer,
                                     const char *buff, const int len)
{
    if (!check_open(writer)) {
        return EINVAL;
    }
    if (len < 0 || (buff == nullptr && len > 0)) {
        logError("invalid buffer length: %d, file: %s", len, writer->filename);
        return EINVAL;
    }
    if (len < writer->water_mark - writer->current) {
        if (len > 0) {
            memcpy(writer->current, buff, (size_t)len);
        }
        writer->current += len;
        return 0;
    }
    int result = flush_buffer(writer);
    if (result != 0) {
        return result;
    }
    errno = 0;
    if (kt_safe_write(writer->fd, buff, (size_t)len) != (ssize_t)len) {
        return write_failed(writer);
    }
    return 0;
}

int buffered_file_writer_flush(BufferedFileWriter *writer)
{
    return check_open(writer) ? flush_buffer(writer) : EINVAL;
}

int buffered_file_writer_close(BufferedFileWriter *writer)
{
    if (writer == nullptr || writer->buff == nullptr) {
        return EINVAL;
    }
    int result = flush_buffer(writer);
    if (result == 0 && fsync(writer->fd) != 0) {
        result = errno_or_eio();
        logError("fsync file %s fail, errno: %d, error info: %s",
                 writer->filename, result, KT_STRERROR(result));
    }
    if (close(writer->fd) != 0) {
        int close_result = errno_or_eio();
        logError("close file %s fail, errno: %d, error info: %s",
                 writer->filename, close_result, KT_STRERROR(close_result));
        result = result != 0 ? result : close_result;
    }
    kt_free(writer->buff);
    writer->fd = -1;
    writer->buff = writer->current = writer->buff_end = nullptr;
    writer->water_mark = nullptr;
    return result;
}

}  // extern "C"
