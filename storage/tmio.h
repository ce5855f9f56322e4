#ifndef BACKGROUND_STORAGE_TMIO_H
#define BACKGROUND_STORAGE_TMIO_H
/*
 * Tagged record streams on top of bufio. After a handshake (the word
 * 0xC46535FF and a 64-byte protocol field) a stream is a sequence of 32-bit
 * host-order words: a tag (id 1 to 1000000000, written negated) or the length
 * of a data record whose bytes follow. A further handshake word starts a
 * concatenated stream; words below it are reserved.
 */

#include <background/storage/bufio.h>

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

#define TMIO_HANDSHAKE (-1000000001)
#define TMIO_MAX_TAG 1000000000
#define TMIO_PROTOCOL_SIZE 64

/* Status codes (tmio_context.status). */
enum {
    TMIO_OKAY = 0,
    TMIO_CONNECTION_ERROR = -1,
    TMIO_READ_ERROR = -2,
    TMIO_WRITE_ERROR = -3,
    TMIO_FLUSH_ERROR = -4,
    TMIO_TIMEOUT = -5,
    TMIO_HANDSHAKE_ERROR = -6,
    TMIO_PROTOCOL_ERROR = -7
};

/* Indices into tmio_context.stats. */
enum {
    TMIO_STAT_FLUSHES = 0,
    TMIO_STAT_TAGS_WRITTEN = 1,
    TMIO_STAT_TAGS_READ = 2,
    TMIO_STAT_DATA_OUT = 3,
    TMIO_STAT_DATA_IN = 4,
    TMIO_STAT_READ_SHORTENED = 5,
    TMIO_STAT_READ_TRUNCATED = 6,
    TMIO_STAT_READ_ZERO = 7,
    TMIO_STAT_READ_MISSING = 8,
    TMIO_STAT_DATA_SKIPPED = 9,
    TMIO_STAT_TAGS_SKIPPED = 10,
    TMIO_STAT_COUNT = 11
};

/* State of one record stream; allocated by tmio_init, freed by tmio_delete. */
typedef struct tmio_context {
    bufio_stream* stream;
    int verbosity;
    int timeout;
    int readahead;
    int readahead_word;
    int written;
    int flags;
    int status;
    int stream_type;
    int buffer_bytes;
    char protocol[TMIO_PROTOCOL_SIZE];
    char stream_protocol[TMIO_PROTOCOL_SIZE];
    unsigned char scratch[1024];
    int stats[TMIO_STAT_COUNT];
    size_t bytes_written;
    size_t bytes_read;
    size_t bytes_skipped;
} tmio_context;

tmio_context* tmio_init(const char* protocol, int timeout, int buffer_kib, int verbosity);
int tmio_create(tmio_context* ctx, const char* address, int timeout);
int tmio_open(tmio_context* ctx, const char* address, int timeout);
int tmio_close(tmio_context* ctx);
int tmio_delete(tmio_context* ctx);
int tmio_write_tag(tmio_context* ctx, int tag);
int tmio_write_data(tmio_context* ctx, const void* buffer, int length);
int tmio_flush(tmio_context* ctx);
int tmio_sync(tmio_context* ctx);
int tmio_read_tag(tmio_context* ctx);
int tmio_read_data(tmio_context* ctx, void* buffer, int capacity);
int tmio_wait(tmio_context* ctx, int timeout);
int tmio_set_status(tmio_context* ctx, int code);
int tmio_status(const tmio_context* ctx);
const char* tmio_status_str(const tmio_context* ctx);
int tmio_timeout(tmio_context* ctx, int timeout);
const char* tmio_protocol(const tmio_context* ctx);
const char* tmio_stream_protocol(const tmio_context* ctx);
int tmio_type(const tmio_context* ctx);
bufio_stream* tmio_stream_handle(const tmio_context* ctx);
int tmio_monitor(const tmio_context* ctx);

#ifdef __cplusplus
}
#endif

#endif
