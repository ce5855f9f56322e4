// Tagged record streams over bufio. C linkage throughout; failures are return
// values and a status that stays negative until the next open or close.

#include <background/storage/tmio.h>

#include <background/storage/bufio_internal.hpp>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

bool is_tag(int32_t word) { return word < 0 && word >= -TMIO_MAX_TAG; }

int stream_type_of(const bufio_stream* stream) {
    switch (bufio_type(stream)) {
    case BUFIO_FILE: return 1;
    case BUFIO_SOCKET: return 2;
    case BUFIO_PIPE: return 3;
    default: return 0;
    }
}

// A memory stream holds nothing back, and its flush starts the region over:
// the bytes written next would land on the handshake and the records before
// them. Flushing one is therefore left out.
int flush_stream(bufio_stream* stream) { return bufio_type(stream) == BUFIO_MEM ? 0 : bufio_flush(stream); }

int sync_stream(bufio_stream* stream) { return bufio_type(stream) == BUFIO_MEM ? 0 : bufio_sync(stream); }

bool read_word(tmio_context* c, int32_t& word, size_t& got) {
    got = bufio_read(c->stream, &word, sizeof word);
    return got == sizeof word;
}

// Reads `n` payload bytes into `scratch` piece by piece; nothing is allocated,
// whatever length a damaged stream claims.
int skip_bytes(tmio_context* c, long long n) {
    while (n > 0) {
        size_t piece = n < static_cast<long long>(sizeof c->scratch) ? static_cast<size_t>(n)
                                                                       : sizeof c->scratch;
        size_t got = bufio_read(c->stream, c->scratch, piece);
        c->bytes_skipped += got;
        if (got != piece) {
            tmio_set_status(c, TMIO_READ_ERROR);
            return -1;
        }
        n -= static_cast<long long>(piece);
    }
    return 0;
}

// Skips one data record whose length word has been read.
int tmio_skip_frame(tmio_context* c, int32_t length) {
    c->bytes_skipped += 4;
    if (skip_bytes(c, length) < 0) return -1;
    c->stats[TMIO_STAT_DATA_SKIPPED]++;
    return 0;
}

int tmio_read_and_match_protocol(tmio_context* c) {
    char field[TMIO_PROTOCOL_SIZE];
    if (bufio_read(c->stream, field, sizeof field) != sizeof field) {
        c->status = TMIO_HANDSHAKE_ERROR;
        if (c->verbosity) std::fputs("tmio_read_and_match_protocol: protocol read failed", stderr);
        return -1;
    }
    c->bytes_read += TMIO_PROTOCOL_SIZE;
    std::memcpy(c->stream_protocol, field, TMIO_PROTOCOL_SIZE - 1);
    c->stream_protocol[TMIO_PROTOCOL_SIZE - 1] = '\0';
    if (std::strncmp(c->stream_protocol, c->protocol, std::strlen(c->protocol)) != 0) {
        c->status = TMIO_PROTOCOL_ERROR;
        if (c->verbosity)
            std::fprintf(stderr, "tmio_read_and_match_protocol: peer has wrong protocol %s,expected %s\n",
                         c->stream_protocol, c->protocol);
        return -1;
    }
    if (c->verbosity > 1)
        std::fprintf(stderr, "tmio_read_and_match_protocol: protocol handshake successful: %s\n",
                     c->stream_protocol);
    return 0;
}

enum class Frame { Tag, Continue, Failed };

// Handles a frame word that is not a tag: skips a data record, checks a
// further handshake, refuses a reserved word. Used for words read in a loop
// and for words held read ahead alike, so neither path bypasses the checks.
Frame handle_non_tag(tmio_context* c, int32_t word) {
    if (word >= 0) return tmio_skip_frame(c, word) < 0 ? Frame::Failed : Frame::Continue;
    if (word == TMIO_HANDSHAKE) {
        c->bytes_read += 4;
        return tmio_read_and_match_protocol(c) < 0 ? Frame::Failed : Frame::Continue;
    }
    c->status = TMIO_READ_ERROR;
    if (c->verbosity) std::fprintf(stderr, "tmio_read_tag: received unknown reserved tag %d\n", word);
    return Frame::Failed;
}

// Closes after a failed set-up but keeps the reason, which says more than the
// "connection error" of a plain close.
int fail_setup(tmio_context* c) {
    int reason = c->status;
    tmio_close(c);
    c->status = reason;
    return -1;
}

}  // namespace

// Pieces of tmio_read_data, shared with the record class so that it can read
// a large record into storage that grows with the bytes actually received.
namespace background::tmio::detail {

__attribute__((visibility("hidden"))) int read_data_length(tmio_context* c) {
    if (c->status < 0) return -1;
    if (c->readahead) return -2;
    int32_t word;
    size_t got;
    if (!read_word(c, word, got)) {
        tmio_set_status(c, TMIO_READ_ERROR);
        return -1;
    }
    if (word < 0) {
        c->stats[TMIO_STAT_READ_MISSING]++;
        c->readahead = 1;
        c->readahead_word = word;
        return -2;
    }
    return word;
}

__attribute__((visibility("hidden"))) int read_data_part(tmio_context* c, void* buffer, int n) {
    if (n <= 0) return 0;
    size_t got = bufio_read(c->stream, buffer, static_cast<size_t>(n));
    if (got != static_cast<size_t>(n)) {
        tmio_set_status(c, TMIO_READ_ERROR);
        return -1;
    }
    c->bytes_read += got;
    return 0;
}

__attribute__((visibility("hidden"))) int skip_data_part(tmio_context* c, int n) {
    return skip_bytes(c, n);
}

__attribute__((visibility("hidden"))) void count_data_record(tmio_context* c, int stored,
                                                             long long capacity) {
    c->stats[TMIO_STAT_DATA_IN]++;
    c->bytes_read += 4;
    if (stored > capacity) c->stats[TMIO_STAT_READ_TRUNCATED]++;
    if (stored < capacity) c->stats[TMIO_STAT_READ_SHORTENED]++;
}

// Looking ahead consumes nothing and waits for no byte it does not need:
// on a pipe or socket a byte that has not arrived may never come while its
// writer keeps the stream open.

// Whether a byte lies ahead, a word held read ahead included: 1 yes, 0 at
// the end of the input, -1 when the stream failed.
__attribute__((visibility("hidden"))) int peek_any(tmio_context* c) {
    if (c->status < 0 || !c->stream) return -1;
    if (c->readahead) return 1;
    const unsigned char* bytes = nullptr;
    if (background::bufio::detail::peek_input(c->stream, 1, &bytes) > 0) return 1;
    if (c->stream->status < 0) {
        tmio_set_status(c, TMIO_READ_ERROR);
        return -1;
    }
    return 0;
}

// Whether the next `n` bytes, a word held read ahead first, are `expected`:
// 1 yes, 0 no, -1 when the stream failed. Bytes are asked for one arrival at
// a time, and the first that differs decides.
__attribute__((visibility("hidden"))) int peek_matches(tmio_context* c, const unsigned char* expected, size_t n) {
    if (c->status < 0 || !c->stream) return -1;
    if (c->readahead) {
        const size_t k = n < sizeof c->readahead_word ? n : sizeof c->readahead_word;
        if (std::memcmp(&c->readahead_word, expected, k) != 0) return 0;
        expected += k;
        n -= k;
    }
    size_t seen = 0;
    while (seen < n) {
        const unsigned char* bytes = nullptr;
        const size_t got = background::bufio::detail::peek_input(c->stream, seen + 1, &bytes);
        if (got <= seen) {
            if (c->stream->status >= 0) return 0;
            tmio_set_status(c, TMIO_READ_ERROR);
            return -1;
        }
        const size_t k = got < n ? got : n;
        if (std::memcmp(bytes + seen, expected + seen, k - seen) != 0) return 0;
        seen = k;
    }
    return 1;
}

namespace {

// Whole frames from here to the end, as skip_whole_frames answers.
int walk_whole_frames(tmio_context* c) {
    int32_t word = c->readahead_word;
    bool have_word = c->readahead != 0;
    c->readahead = 0;
    for (;;) {
        size_t got = sizeof word;
        if (!have_word && !read_word(c, word, got)) {
            if (got == 0 && c->stream->status == BUFIO_EOF) return 1;
            break;
        }
        have_word = false;
        if (word < TMIO_HANDSHAKE) return 0;
        const long long payload = word >= 0 ? word : word == TMIO_HANDSHAKE ? TMIO_PROTOCOL_SIZE : 0;
        if (skip_bytes(c, payload) < 0) break;
    }
    // A locked file whose rest another process holds locked is being written
    // there, like a stream whose rest has not come yet: nothing more is read.
    if (bufio_type(c->stream) == BUFIO_LOCKEDFILE && c->stream->status == BUFIO_TIMEOUT) return 1;
    return c->stream->status < 0 ? -1 : 0;
}

}  // namespace

// Reads to the end of the stream and tells whether all of it was whole
// frames: 1 yes, 0 at a torn frame or a reserved word, -1 when the stream
// failed. Meant for a regular file, whose end is where its bytes stop; a
// record lock held by another process ends the walk at once with 1.
__attribute__((visibility("hidden"))) int skip_whole_frames(tmio_context* c) {
    if (c->status < 0 || !c->stream) return -1;
    const int timeout = bufio_timeout(c->stream, 0);
    const int whole = walk_whole_frames(c);
    bufio_timeout(c->stream, timeout);
    return whole;
}

}  // namespace background::tmio::detail

namespace detail = background::tmio::detail;

extern "C" {

tmio_context* tmio_init(const char* protocol, int timeout, int buffer_kib, int verbosity) {
    auto* c = static_cast<tmio_context*>(std::calloc(1, sizeof(tmio_context)));
    if (!c) return nullptr;
    if (protocol) std::strncpy(c->protocol, protocol, TMIO_PROTOCOL_SIZE - 1);
    c->timeout = timeout;
    c->verbosity = verbosity;
    c->status = TMIO_CONNECTION_ERROR;
    if (buffer_kib >= 1) c->buffer_bytes = buffer_kib > INT_MAX / 1024 ? INT_MAX / 1024 * 1024 : buffer_kib * 1024;
    if (verbosity > 1)
        std::fprintf(stderr, "tmio_init: context initialized with protocol %s\n", c->protocol);
    return c;
}

int tmio_create(tmio_context* c, const char* address, int timeout) {
    tmio_close(c);
    const char* label = nullptr;
    if (c->verbosity > 2) {
        std::fprintf(stderr, "tmio_create: creating stream %s\n", address);
        label = "tmio_create/bufio_open";
    }
    bufio_stream* stream = bufio_open(address, "w", timeout, c->buffer_bytes, label);
    if (!stream) {
        const int reason = errno;  // why the open failed, for the caller
        c->status = TMIO_CONNECTION_ERROR;
        if (c->verbosity) std::fprintf(stderr, "tmio_create: can not connect peer/file %s\n", address);
        errno = reason;
        return -1;
    }
    c->stream = stream;
    c->status = TMIO_OKAY;
    bufio_timeout(stream, c->timeout);
    c->stream_type = stream_type_of(stream);

    const int32_t handshake = TMIO_HANDSHAKE;
    if (bufio_write(stream, &handshake, 4) == 4 &&
        bufio_write(stream, c->protocol, TMIO_PROTOCOL_SIZE) == TMIO_PROTOCOL_SIZE &&
        flush_stream(stream) == 0) {
        c->bytes_written += 4 + TMIO_PROTOCOL_SIZE;
        if (c->verbosity > 1) std::fprintf(stderr, "tmio_create: connected file/peer %s\n", address);
        return c->stream_type;
    }
    if (c->verbosity > 0) std::fprintf(stderr, "tmio_create: can not send protocol %s\n", c->protocol);
    c->status = TMIO_HANDSHAKE_ERROR;
    return fail_setup(c);
}

int tmio_open(tmio_context* c, const char* address, int timeout) {
    tmio_close(c);
    const char* label = nullptr;
    if (c->verbosity > 2) {
        std::fprintf(stderr, "tmio_open: opening stream %s\n", address);
        label = "tmio_open/buftcpopen";
    }
    bufio_stream* stream = bufio_open(address, "r", timeout, c->buffer_bytes, label);
    if (!stream) {
        const int reason = errno;  // why the open failed, for the caller
        c->status = TMIO_CONNECTION_ERROR;
        if (c->verbosity) std::fprintf(stderr, "tmio_open: can not connect peer/file %s\n", address);
        errno = reason;
        return -1;
    }
    c->stream = stream;
    c->status = TMIO_OKAY;
    bufio_timeout(stream, c->timeout);
    c->stream_type = stream_type_of(stream);

    int32_t word;
    size_t got;
    if (read_word(c, word, got) && word == TMIO_HANDSHAKE) {
        c->bytes_read += 4;
        if (tmio_read_and_match_protocol(c) < 0) return fail_setup(c);
        if (c->verbosity > 1) std::fprintf(stderr, "tmio_open: connected file/peer %s\n", address);
        return c->stream_type;
    }
    if (c->verbosity) std::fputs("tmio_open: tmio protocol tag missing.\n", stderr);
    c->status = TMIO_HANDSHAKE_ERROR;
    return -1;
}

int tmio_close(tmio_context* c) {
    if (!c || !c->stream) return 0;
    bufio_close(c->stream);
    c->stream = nullptr;
    c->readahead = 0;
    c->readahead_word = 0;
    c->written = 0;
    c->flags = 0;
    std::memset(c->stats, 0, sizeof c->stats);
    c->bytes_written = c->bytes_read = c->bytes_skipped = 0;
    c->status = TMIO_CONNECTION_ERROR;
    c->stream_type = 0;
    return 0;
}

int tmio_delete(tmio_context* c) {
    tmio_close(c);
    std::free(c);
    return 0;
}

int tmio_write_tag(tmio_context* c, int tag) {
    if (tag < 1 || tag > TMIO_MAX_TAG || c->status < 0 || !c->stream) return -1;
    c->written = 1;
    const int32_t word = -tag;
    if (bufio_write(c->stream, &word, 4) != 4) {
        tmio_set_status(c, TMIO_WRITE_ERROR);
        return -1;
    }
    c->flags |= 1;
    c->stats[TMIO_STAT_TAGS_WRITTEN]++;
    c->bytes_written += 4;
    return 0;
}

int tmio_write_data(tmio_context* c, const void* buffer, int length) {
    if (!(c->flags & 1) || c->status < 0 || !c->stream) return -1;
    if (length < 0) return 0;
    c->written = 1;
    const int32_t word = length;
    if (bufio_write(c->stream, &word, 4) != 4 ||
        (length > 0 && bufio_write(c->stream, buffer, static_cast<size_t>(length)) !=
                           static_cast<size_t>(length))) {
        tmio_set_status(c, TMIO_WRITE_ERROR);
        return -1;
    }
    c->stats[TMIO_STAT_DATA_OUT]++;
    c->bytes_written += static_cast<size_t>(length) + 4;
    return length;
}

int tmio_flush(tmio_context* c) {
    if (!c->written || !c->stream) return 0;
    if (flush_stream(c->stream) != 0) {
        tmio_set_status(c, TMIO_FLUSH_ERROR);
        return -1;
    }
    c->stats[TMIO_STAT_FLUSHES]++;
    return 0;
}

int tmio_sync(tmio_context* c) {
    if (tmio_flush(c) < 0) return -1;
    if (!c->stream || sync_stream(c->stream) != 0) {
        c->status = TMIO_FLUSH_ERROR;
        return -1;
    }
    return 0;
}

int tmio_read_tag(tmio_context* c) {
    if (c->status < 0 || !c->stream) return -1;
    for (;;) {
        int32_t word;
        if (c->readahead) {
            word = c->readahead_word;
            c->readahead = 0;
        } else {
            size_t got;
            if (!read_word(c, word, got)) {
                // Nothing at all is the clean end (or no record yet); part of
                // a word is a stream cut inside a frame.
                const int byte_status = c->stream->status;
                if (got == 0 && (byte_status == BUFIO_TIMEOUT || byte_status == BUFIO_EOF)) return 0;
                tmio_set_status(c, TMIO_READ_ERROR);
                return -1;
            }
        }
        if (is_tag(word)) {
            c->bytes_read += 4;
            c->stats[TMIO_STAT_TAGS_READ]++;
            return -word;
        }
        if (handle_non_tag(c, word) == Frame::Failed) return -1;
    }
}

int tmio_read_data(tmio_context* c, void* buffer, int capacity) {
    if (c->status < 0 || !c->stream) return -1;
    if (capacity < 0 || c->readahead) return -2;
    const int stored = detail::read_data_length(c);
    if (stored < 0) return stored;
    const int copied = stored < capacity ? stored : capacity;
    if (detail::read_data_part(c, buffer, copied) < 0) return -1;
    detail::count_data_record(c, stored, capacity);
    if (detail::skip_data_part(c, stored - copied) < 0) return -1;
    return stored;
}

int tmio_wait(tmio_context* c, int timeout) {
    if (tmio_flush(c) < 0) return -1;
    if (c->status < 0 || !c->stream) return -1;
    if (c->readahead) {
        if (is_tag(c->readahead_word)) return 1;
        c->readahead = 0;
        if (handle_non_tag(c, c->readahead_word) == Frame::Failed) return -1;
    }
    int waited;
    while ((waited = bufio_wait(c->stream, timeout)) == 1) {
        int32_t word;
        size_t got;
        if (!read_word(c, word, got)) {
            tmio_set_status(c, TMIO_READ_ERROR);
            return -1;
        }
        if (is_tag(word)) {
            c->readahead = 1;
            c->readahead_word = word;
            return 1;
        }
        if (handle_non_tag(c, word) == Frame::Failed) return -1;
    }
    if (waited < 0) {
        c->status = TMIO_READ_ERROR;
        return -1;
    }
    return 0;
}

int tmio_set_status(tmio_context* c, int code) {
    const int byte_status = c->stream ? c->stream->status : 0;
    c->status = (byte_status == BUFIO_TIMEOUT || byte_status == BUFIO_EOF) ? TMIO_TIMEOUT : code;
    return c->status;
}

int tmio_status(const tmio_context* c) { return c->status < 0 ? c->status : 0; }

const char* tmio_status_str(const tmio_context* c) {
    if (c->status >= 0) return "okay";
    switch (c->status) {
    case TMIO_CONNECTION_ERROR: return "connection error";
    case TMIO_READ_ERROR: return "read error";
    case TMIO_WRITE_ERROR: return "write error";
    case TMIO_FLUSH_ERROR: return "flush error";
    case TMIO_TIMEOUT: return "timeout";
    case TMIO_HANDSHAKE_ERROR: return "handshake error";
    case TMIO_PROTOCOL_ERROR: return "protocol error";
    default: return "unknown error";
    }
}

int tmio_timeout(tmio_context* c, int timeout) {
    const int previous = c->timeout;
    c->timeout = timeout;
    if (c->stream) bufio_timeout(c->stream, timeout);
    return previous;
}

const char* tmio_protocol(const tmio_context* c) { return c->protocol; }

const char* tmio_stream_protocol(const tmio_context* c) { return c->stream_protocol; }

int tmio_type(const tmio_context* c) { return c->stream_type; }

bufio_stream* tmio_stream_handle(const tmio_context* c) { return c->stream; }

int tmio_monitor(const tmio_context* c) {
    const int* s = c->stats;
    std::fprintf(stderr,
                 "tmio_monitor: statistics\n"
                 "... tags written     %d\n"
                 "... data records out %d\n"
                 "... tags read        %d\n"
                 "... data records in  %d\n"
                 "... data flushes     %d\n"
                 "... read zero        %d\n"
                 "... read missing     %d\n"
                 "... read shortened   %d\n"
                 "... read truncated   %d\n"
                 "... data skipped     %d\n"
                 "... tags skipped     %d\n"
                 "... bytes written    %zu\n"
                 "... bytes read       %zu\n"
                 "... bytes skipped    %zu\n",
                 s[TMIO_STAT_TAGS_WRITTEN], s[TMIO_STAT_DATA_OUT], s[TMIO_STAT_TAGS_READ],
                 s[TMIO_STAT_DATA_IN], s[TMIO_STAT_FLUSHES], s[TMIO_STAT_READ_ZERO],
                 s[TMIO_STAT_READ_MISSING], s[TMIO_STAT_READ_SHORTENED], s[TMIO_STAT_READ_TRUNCATED],
                 s[TMIO_STAT_DATA_SKIPPED], s[TMIO_STAT_TAGS_SKIPPED], c->bytes_written,
                 c->bytes_read, c->bytes_skipped);
    return 0;
}

}  // extern "C"
