/* Files and host addresses.  A buffered writer writes a report to a
 * temporary file: formatted lines gather in its buffer, a large block goes
 * straight to the file, close syncs it.  Then the local IP table: the
 * host's own addresses, a membership test, and a walk over them. */
#include <errno.h>
#include <stdbool.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <unistd.h>

#include "buffered_file_writer.h"
#include "local_ip_func.h"
#include "logger.h"

int main(void)
{
    /* 1. The writer creates or empties its file; a temporary name will do. */
    const char *dir = getenv("TMPDIR") != NULL ? getenv("TMPDIR") : "/tmp";
    char path[KT_MAX_PATH_SIZE];
    int fd;
    snprintf(path, sizeof(path), "%s/kite_writer_XXXXXX", dir);
    if ((fd = mkstemp(path)) < 0) {
        perror("mkstemp");
        return 1;
    }
    close(fd);

    /* A 4 KiB buffer; a formatted line of up to 128 bytes always fits,
     * because the buffer is written out once it is fuller than 4096 - 128. */
    BufferedFileWriter writer;
    int result = buffered_file_writer_open_ex(&writer, path, 4096, 128, 0600);
    if (result != 0) {
        fprintf(stderr, "open: %s\n", kt_strerror(result));
        return 1;
    }
    for (int i = 1; i <= 100 && result == 0; i++) {
        result = buffered_file_writer_append(
            &writer, "line %03d: square %05d\n", i, i * i);
    }
    /* A block that does not fit below the high-water mark is written
     * directly, after what the buffer holds, so the order is kept. */
    static char block[8192];
    memset(block, '.', sizeof(block) - 1);
    block[sizeof(block) - 1] = '\n';
    if (result == 0) {
        result = buffered_file_writer_append_buff(&writer, block,
                                                  (int)sizeof(block));
    }
    if (result == 0) {
        result = buffered_file_writer_append(&writer, "end of report\n");
    }
    /* Close flushes, syncs and closes; the writer is closed whatever it
     * returns, and the first failure is the result. */
    int close_result = buffered_file_writer_close(&writer);
    if (result == 0) {
        result = close_result;
    }
    if (result != 0) {
        fprintf(stderr, "writing %s: %s\n", path, kt_strerror(result));
        unlink(path);
        return 1;
    }
    /* Read it back: 100 lines of 23 bytes, the block, the last line. */
    static char content[16384];
    FILE *file = fopen(path, "r");
    size_t size = file != NULL ? fread(content, 1, sizeof(content), file) : 0;
    if (file != NULL) {
        fclose(file);
    }
    unlink(path);
    printf("wrote %zu bytes; line 100: %.22s\n", size, content + 99 * 23);
    bool file_ok = size == 100 * 23 + sizeof(block) + 14 &&
                   content[100 * 23] == '.' &&
                   memcmp(content + size - 14, "end of report\n", 14) == 0;

    /* 2. The local IP table: "127.0.0.1" and the IPv4 addresses of the
     * interfaces that are up.  A program that only wants some interfaces
     * sets g_if_alias_prefix (e.g. "eth0:, bond0:") before the load. */
    char text[512];
    load_local_host_ip_addrs();
    printf("%s\n", local_host_ip_addrs_to_string(text, (int)sizeof(text)));
    printf("127.0.0.1 is %s\n",
           is_local_host_ip("127.0.0.1") ? "local" : "not local");
    printf("first address: %s\n", get_first_local_ip());
    const char *private_ip = get_first_local_private_ip();
    printf("first private address: %s\n",
           private_ip != NULL ? private_ip : "none");
    for (const char *ip = get_next_local_ip(NULL); ip != NULL;
         ip = get_next_local_ip(ip)) {
        printf("  interface address %s\n", ip);
    }
    /* Addresses can be added (say, a floating address the host takes over);
     * entries never move, so returned pointers stay valid. */
    int first = insert_into_local_host_ip("192.0.2.10");
    int second = insert_into_local_host_ip("192.0.2.10");
    printf("insert 192.0.2.10: %d, again: %d\n", first, second);
    bool table_ok = is_local_host_ip("127.0.0.1") && second == 0 &&
                    (first == 1 || first == -1) &&
                    !is_local_host_ip("192.0.2.11");
    return file_ok && table_ok ? 0 : 1;
}
