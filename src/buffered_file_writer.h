/*
 * Buffered file writer: writes a new file from the start through one memory
 * buffer.
 *
 * Formatted text and raw bytes are gathered in the buffer and written out
 * when a formatted append leaves it past its high-water mark, on a flush,
 * and at close, which also syncs the file to disk.  Raw blocks that do not
 * fit below the mark are written directly, after the buffered bytes, so the
 * file always receives the appends in order.  Results are 0 or a positive
 * errno value; every failure is logged.  The record is the caller's; a
 * writer belongs to one thread at a time and takes no lock.
 */
#ifndef KITE_BUFFERED_FILE_WRITER_H
#define KITE_BUFFERED_FILE_WRITER_H

#include <stdint.h>

#include "common_define.h"

/* Defaults for a size argument of 0 or less. */
#define KT_WRITER_DEFAULT_BUFFER_SIZE 65536
#define KT_WRITER_DEFAULT_MAX_WRITTEN_ONCE 256
/* Permission bits of a file created by buffered_file_writer_open. */
#define KT_WRITER_DEFAULT_MODE 0644

KT_EXTERN_C_BEGIN

/* A writer, owned by the caller: open while buff is not null (between a
 * successful open and close), closed otherwise.  Read its fields, never
 * write them. */
typedef struct {
    int32_t fd;                      /* descriptor of the open file */
    int32_t buffer_size;             /* bytes in the buffer */
    char filename[KT_MAX_PATH_SIZE]; /* the file's path, NUL-terminated */
    char *buff;       /* the buffer; null when the writer is not open */
    char *current;    /* first free byte; buff..current waits to be written */
    char *buff_end;   /* buff + buffer_size */
    char *water_mark; /* buff_end - max_written_once: a formatted append
                         that ends beyond it writes the buffer out */
} BufferedFileWriter;

/*
 * Creates or empties filename (borrowed) with permission bits mode and
 * opens writer on it.  buffer_size and max_written_once of 0 or less mean
 * 65536 and 256.  Returns 0, or:
 *   EINVAL: max_written_once > buffer_size, or a null argument; the record
 *           is left untouched;
 *   ENAMETOOLONG: filename has 256 characters or more; nothing is opened;
 *   ENOMEM: no buffer;  the open(2) error (EIO when errno is 0).
 * After any failure but EINVAL, writer->buff is null, so close returns
 * EINVAL.  The record may be opened again after close.
 */
KT_API int buffered_file_writer_open_ex(BufferedFileWriter *writer,
                                        const char *filename,
                                        const int buffer_size,
                                        const int max_written_once,
                                        const int mode);

/* buffered_file_writer_open_ex with the default sizes and mode 0644. */
KT_API int buffered_file_writer_open(BufferedFileWriter *writer,
                                     const char *filename);

/*
 * Formats into the buffer (printf-style).  When the text does not fit in
 * the free space the buffer is flushed first; a text of buffer_size bytes
 * or more cannot fit at all: ENOSPC, nothing added.  Returns 0, ENOSPC,
 * EINVAL when the writer is not open or the format fails (nothing added),
 * or the error of the flush (see buffered_file_writer_flush).
 */
KT_API int buffered_file_writer_append(BufferedFileWriter *writer,
                                       const char *format, ...)
    KT_PRINTF_FORMAT(2, 3);

/*
 * Appends len raw bytes (borrowed).  A block below the high-water mark is
 * copied into the buffer; a larger one is written directly to the file
 * after a flush.  Returns 0, EINVAL for a writer that is not open or a
 * negative len, or the write(2) error (EIO when errno is 0): after a failed
 * direct write the file may hold a leading part of the block.
 */
KT_API int buffered_file_writer_append_buff(BufferedFileWriter *writer,
                                            const char *buff, const int len);

/*
 * Writes the buffered bytes to the file.  Returns 0, EINVAL for a writer
 * that is not open, or the write(2) error (EIO when errno is 0, EFBIG past
 * the file size limit, ENOSPC on a full disk).  After a failure the buffer
 * holds exactly the bytes not yet written, so a later flush or close
 * completes the file with each byte written once.
 */
KT_API int buffered_file_writer_flush(BufferedFileWriter *writer);

/*
 * Flushes, syncs (only after a successful flush) and closes the file, then
 * releases the buffer: the writer is closed whatever the result.  Returns
 * the first failure of flush, fsync and close(2) (EIO for an errno of 0),
 * or 0; EINVAL, doing nothing, when the writer is not open.
 */
KT_API int buffered_file_writer_close(BufferedFileWriter *writer);

KT_EXTERN_C_END

#endif
