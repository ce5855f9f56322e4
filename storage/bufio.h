#ifndef BACKGROUND_STORAGE_BUFIO_H
#define BACKGROUND_STORAGE_BUFIO_H
/*
 * Buffered, non-blocking byte streams opened from an address string:
 *
 *   path, "file://path"          plain file (a FIFO when the path names one)
 *   "lockedfile://path"          file guarded by POSIX record locks
 *   "-"                          standard input ("r") or standard output ("w")
 *   "mem://%p/%zu"               caller-owned memory region (address, length)
 *   "tcp://connect/PORT/HOST"    TCP client
 *   "tcp://listen/PORT/HOST"     TCP server that accepts one connection in the open
 *   "tcp://serve/PORT/HOST"      TCP server whose accept is left to bufio_wait
 *   "udp://connect/PORT/HOST"    UDP socket connected to its peer
 *
 * Failures are reported by return values and a sticky status in the stream;
 * diagnostics reach standard error only when bufio_open is given a label.
 */

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

/* Stream kinds (bufio_stream.type). */
enum {
    BUFIO_INVALID = 0,
    BUFIO_SOCKET = 1,
    BUFIO_FILE = 2,
    BUFIO_LOCKEDFILE = 3,
    BUFIO_PIPE = 4,
    BUFIO_FIFO = 5,
    BUFIO_SERVE = 6,
    BUFIO_MEM = 7
};

/* Status codes (bufio_stream.status); a negative value is a negated errno. */
enum {
    BUFIO_OKAY = 0,
    BUFIO_TIMEOUT = 1,
    BUFIO_EOF = 2,
    BUFIO_NOSPACE = 3
};

/* State of one stream; allocated by bufio_open, freed by bufio_close. */
typedef struct bufio_stream {
    int type;
    int status;
    int flags;
    int fd;
    int wlock;
    int wlock_bytes;
    int rlock;
    int rlock_bytes;
    int timeout;
    unsigned char* in_buf;
    size_t in_size;
    size_t in_pos;
    size_t in_fill;
    size_t in_avail;
    unsigned char* out_buf;
    size_t out_size;
    size_t out_pending;
    unsigned char* mem_base;
    size_t mem_size;
    size_t mem_pos;
} bufio_stream;

/* Opens `address` with mode "r", "r+", "w" or "w+"; `timeout` bounds socket
 * set-up in milliseconds (-1 without limit); `buffer_size` below 1 selects
 * 262144 bytes. Returns null on failure. */
bufio_stream* bufio_open(const char* address, const char* mode, int timeout, int buffer_size,
                         const char* label);
size_t bufio_read(bufio_stream* stream, void* buffer, size_t n);
size_t bufio_write(bufio_stream* stream, const void* buffer, size_t n);
int bufio_flush(bufio_stream* stream);
int bufio_sync(bufio_stream* stream);
int bufio_wait(bufio_stream* stream, int timeout);
int bufio_close(bufio_stream* stream);
int bufio_timeout(bufio_stream* stream, int timeout);
int bufio_type(const bufio_stream* stream);
const char* bufio_type_str(const bufio_stream* stream);
int bufio_status(const bufio_stream* stream);
const char* bufio_status_str(const bufio_stream* stream);
int bufio_fileno(const bufio_stream* stream);
int bufio_clear_status(bufio_stream* stream);
int bufio_set_mem_field(bufio_stream* stream, void* base, size_t size);

#ifdef __cplusplus
}
#endif

#endif
