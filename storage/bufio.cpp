// Buffered byte streams: the core that every transport shares. Buffering,
// polling, the status and the exported bufio_ functions live here; opening
// each kind of stream, and what only one kind does, lives in its transport
// file (bufio_file, bufio_lockedfile, bufio_stdio, bufio_mem, bufio_socket).
// Plain C underneath C++ translation units: every exported function has C
// linkage and reports through return values and the stream's sticky status,
// never by throwing.

#include <background/storage/bufio_internal.hpp>

#include <background/core/pause_internal.hpp>

#include <arpa/inet.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace background::bufio::detail {

namespace {

// Callers read the errno of a failed open after its diagnostics and clean-up,
// so neither may change it.
class ErrnoKept {
public:
    ErrnoKept() : saved(errno) {}
    ~ErrnoKept() { errno = saved; }
    ErrnoKept(const ErrnoKept&) = delete;
    ErrnoKept& operator=(const ErrnoKept&) = delete;

private:
    int saved;
};

}  // namespace

void say(const char* label, const char* text) {
    const ErrnoKept kept;
    if (label) std::fprintf(stderr, "%s: %s\n", label, text);
}

void say(const char* label, const char* text, const char* a) {
    const ErrnoKept kept;
    if (label) std::fprintf(stderr, "%s: %s %s\n", label, text, a);
}

void say(const char* label, const char* text, const char* a, const char* b) {
    const ErrnoKept kept;
    if (label) std::fprintf(stderr, "%s: %s %s %s\n", label, text, a, b);
}

void say(const char* label, const char* text, const sockaddr_in& address) {
    if (!label) return;
    const ErrnoKept kept;
    const auto* b = reinterpret_cast<const unsigned char*>(&address.sin_addr.s_addr);
    std::fprintf(stderr, "%s: %s %d.%d.%d.%d:%u\n", label, text, b[0], b[1], b[2], b[3],
                 static_cast<unsigned>(ntohs(address.sin_port)));
}

int access_mode(const bufio_stream* s) { return s->flags & O_ACCMODE; }

void sleep_ms(int ms) { background::detail::pause_for(std::chrono::milliseconds(ms)); }

long long now_us() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<long long>(t.tv_sec) * 1000000LL + t.tv_nsec / 1000;
}

long long deadline_in(long long ms) { return now_us() + 1000LL * ms; }

int ms_until(long long deadline_us) {
    return static_cast<int>(std::max(0LL, (deadline_us - now_us() + 999) / 1000));
}

// A poll that a signal interrupts polls again for the time left to the
// deadline it started with: polling for the whole timeout again would let
// periodic signals keep it waiting for ever.
int poll_fd(int fd, short events, int timeout) {
    pollfd p{fd, events, 0};
    const long long deadline = timeout > 0 ? deadline_in(timeout) : 0;
    for (int wait = timeout;;) {
        int r = poll(&p, 1, wait);
        if (r < 0 && (errno == EINTR || errno == EAGAIN)) {
            if (timeout > 0) wait = ms_until(deadline);
            continue;
        }
        if (r < 0) return -1;
        if (r == 0) return 0;
        return p.revents;
    }
}

int poll_failure_status(int revents) {
    if (revents < 0) return errno ? -errno : -EIO;
    if (revents == 0) return BUFIO_TIMEOUT;
    if (revents & POLLHUP) return -EPIPE;
    return -EIO;
}

std::size_t buffer_bytes(int size) { return size < 1 ? DEFAULT_BUFFER : static_cast<std::size_t>(size); }

namespace {

// The exported record comes first, so the stream pointer is the record's.
struct StreamRecord {
    bufio_stream stream;
    StreamExtras extras;
};

}  // namespace

StreamExtras& extras_of(bufio_stream* s) { return reinterpret_cast<StreamRecord*>(s)->extras; }

bufio_stream* new_stream(const char* label) {
    auto* s = static_cast<bufio_stream*>(std::calloc(1, sizeof(StreamRecord)));
    if (!s) say(label, "failed to allocate stream: out of memory");
    else s->fd = -1;
    return s;
}

bufio_stream* fail_open(bufio_stream* s) {
    const ErrnoKept kept;
    // A standard stream that failed to open never had its descriptor to give up.
    if (s->type != BUFIO_PIPE) close_descriptor(s);
    std::free(s->in_buf);
    std::free(s->out_buf);
    std::free(s);
    return nullptr;
}

int bufio_set_buffer(bufio_stream* s, std::size_t size) {
    if (size < s->in_avail) std::fputs("bufio_set_buffer: Truncating input buffer\n", stderr);
    if (size < s->out_pending) std::fputs("bufio_set_buffer: Truncating output buffer\n", stderr);
    auto* in = static_cast<unsigned char*>(std::realloc(s->in_buf, size));
    if (in) s->in_buf = in;
    s->in_pos = s->in_fill = s->in_avail = 0;
    auto* out = in ? static_cast<unsigned char*>(std::realloc(s->out_buf, size)) : nullptr;
    if (out) s->out_buf = out;
    s->out_pending = 0;
    if (!in || !out) {
        std::free(s->in_buf);
        std::free(s->out_buf);
        s->in_buf = s->out_buf = nullptr;
        s->in_size = s->out_size = 0;
        return -1;
    }
    s->in_size = s->out_size = size;
    return 0;
}

namespace {

void input_consumed(bufio_stream* s, std::size_t n) {
    s->in_pos += n;
    s->in_avail -= n;
    if (s->in_avail == 0) s->in_pos = s->in_fill = 0;
}

// Keeps only the unsent tail of the output buffer, so that a failed transfer
// never sends the already written head a second time.
void output_sent(bufio_stream* s, std::size_t sent) {
    if (sent == 0) return;
    std::memmove(s->out_buf, s->out_buf + sent, s->out_pending - sent);
    s->out_pending -= sent;
}

// Writes `first` then `second` to the descriptor, waiting for room between
// partial writes; `sent_first` and `sent_second` say how far each got.
void write_out(bufio_stream* s, const unsigned char* first, std::size_t first_n,
               const unsigned char* second, std::size_t second_n, std::size_t& sent_first,
               std::size_t& sent_second, long long& since_lock) {
    sent_first = sent_second = 0;
    while (sent_first < first_n || sent_second < second_n) {
        ssize_t r;
        if (sent_first < first_n) {
            iovec pieces[2] = {
                {const_cast<unsigned char*>(first + sent_first), first_n - sent_first},
                {const_cast<unsigned char*>(second + sent_second), second_n - sent_second}};
            r = writev(s->fd, pieces, second_n > sent_second ? 2 : 1);
        } else {
            r = write(s->fd, second + sent_second, second_n - sent_second);
        }
        if (r > 0) {
            auto n = static_cast<std::size_t>(r);
            since_lock += r;
            std::size_t to_first = n < first_n - sent_first ? n : first_n - sent_first;
            sent_first += to_first;
            sent_second += n - to_first;
            continue;
        }
        if (r < 0 && errno == EINTR) continue;
        if (r < 0 && errno != EAGAIN) {
            s->status = -errno;
            return;
        }
        int revents = poll_fd(s->fd, POLLOUT, s->timeout);
        if (revents == POLLOUT) continue;
        s->status = poll_failure_status(revents);
        return;
    }
}

// Reads once into the free tail of the input buffer, waiting up to `timeout`
// ms (negative: without limit) for bytes to come: 1 when some came, 0 when
// none did (the status says whether the time ran out or the input ended), -1
// on error. A read of nothing ends the input at once where `nothing_is_end`
// (a connection whose peer closed it stays at its end); otherwise a file or
// FIFO is polled for growth until the time runs out.
int fill_input(bufio_stream* s, int timeout, bool nothing_is_end) {
    int left = timeout;
    for (;;) {
        size_t len = s->in_size - s->in_fill;
        if (s->type == BUFIO_LOCKEDFILE) {
            const int locked = take_read_lock(s, len, 1, left);
            if (locked < 0) return -1;
            if (locked == 0) return 0;
            if (locked == 2) len = 1;
        }
        ssize_t r = read(s->fd, s->in_buf + s->in_fill, len);
        int err = errno;
        if (s->rlock) drop_read_lock(s, r > 0 ? r : 0);
        if (r > 0) {
            s->in_fill += static_cast<size_t>(r);
            s->in_avail = s->in_fill - s->in_pos;
            return 1;
        }
        if (r < 0 && err != EAGAIN && err != EINTR) {
            s->status = -err;
            return -1;
        }
        if (r == 0 && nothing_is_end) {
            s->status = BUFIO_EOF;
            return 0;
        }
        if (left == 0) {
            s->status = r == 0 ? BUFIO_EOF : BUFIO_TIMEOUT;
            return 0;
        }
        if (r < 0) {
            int revents = poll_fd(s->fd, POLLIN, left);
            if (revents > 0 && (revents & POLLIN)) return fill_input(s, 0, nothing_is_end);
            s->status = revents == 0 ? BUFIO_TIMEOUT
                        : (revents > 0 && (revents & POLLHUP)) ? -EPIPE
                                                               : -EIO;
            return revents == 0 ? 0 : -1;
        }
        if (left < 0 || left > RETRY_STEP_MS) {
            sleep_ms(RETRY_STEP_MS);
            if (left > 0) left -= RETRY_STEP_MS;
        } else {
            sleep_ms(left);
            left = 0;
        }
    }
}

// Moves the unread input to the front of the buffer, so that the rest of it
// can take what follows.
void compact_input(bufio_stream* s) {
    if (s->in_pos == 0) return;
    std::memmove(s->in_buf, s->in_buf + s->in_pos, s->in_avail);
    s->in_pos = 0;
    s->in_fill = s->in_avail;
}

}  // namespace

std::size_t peek_input(bufio_stream* s, std::size_t n, const unsigned char** bytes) {
    if (s->type == BUFIO_MEM) return mem_peek(s, n, bytes);
    *bytes = s->in_buf + s->in_pos;
    if (s->type == BUFIO_SERVE || access_mode(s) == O_WRONLY) return 0;
    if (n > s->in_size) n = s->in_size;
    if (s->in_avail < n) {
        compact_input(s);
        // A read of nothing is the end here as it is for bufio_read, which
        // does not wait for a file to grow either.
        while (s->in_avail < n && fill_input(s, s->timeout, true) == 1) {
        }
        *bytes = s->in_buf;
    }
    return s->in_avail;
}

}  // namespace background::bufio::detail

using namespace background::bufio::detail;

extern "C" {

bufio_stream* bufio_open(const char* address, const char* mode, int timeout, int buffer_size,
                         const char* label) {
    if (!address || !mode) return nullptr;
    int port = 0;
    char host[NAME_MAX_CHARS + 1] = "";
    if (std::sscanf(address, "tcp://connect/%d/%1024s", &port, host) >= 1)
        return open_socket(SocketForm::Connect, port, host, timeout, buffer_size, label);
    host[0] = '\0';
    if (std::sscanf(address, "tcp://listen/%d/%1024s", &port, host) >= 1)
        return open_socket(SocketForm::Listen, port, host, timeout, buffer_size, label);
    host[0] = '\0';
    if (std::sscanf(address, "tcp://serve/%d/%1024s", &port, host) >= 1)
        return open_socket(SocketForm::Serve, port, host, timeout, buffer_size, label);
    host[0] = '\0';
    if (std::sscanf(address, "udp://connect/%d/%1024s", &port, host) >= 1)
        return open_socket(SocketForm::Udp, port, host, timeout, buffer_size, label);
    void* base = nullptr;
    std::size_t size = 0;
    if (std::sscanf(address, "mem://%p/%zu", &base, &size) == 2)
        return open_memory(base, size, mode, label);
    return open_path(address, mode, buffer_size, label);
}

size_t bufio_read(bufio_stream* s, void* buffer, size_t n) {
    if (n == 0 || s->type == BUFIO_SERVE) return 0;
    auto* out = static_cast<unsigned char*>(buffer);
    if (s->type == BUFIO_MEM) return mem_read(s, out, n);

    if (s->in_avail >= n) {
        std::memcpy(out, s->in_buf + s->in_pos, n);
        input_consumed(s, n);
        return n;
    }
    size_t got = s->in_avail;
    if (got) std::memcpy(out, s->in_buf + s->in_pos, got);
    s->in_pos = s->in_fill = s->in_avail = 0;
    size_t rest = n - got;
    size_t extra = s->in_size;

    if (s->type == BUFIO_LOCKEDFILE) {
        const int locked = take_read_lock(s, rest + s->in_size, rest, s->timeout);
        if (locked <= 0) return got;
        // The lock only reaches as far as this read wants: nothing is read ahead.
        if (locked == 2) extra = 0;
    }

    long long since_lock = 0;
    bool polled_readable = false;
    while (rest > 0) {
        iovec pieces[2] = {{out + got, rest}, {s->in_buf, extra}};
        ssize_t r = readv(s->fd, pieces, extra ? 2 : 1);
        if (r > 0) {
            auto k = static_cast<size_t>(r);
            since_lock += r;
            if (k >= rest) {
                got += rest;
                s->in_fill = s->in_avail = k - rest;
                s->in_pos = 0;
                rest = 0;
                break;
            }
            got += k;
            rest -= k;
            polled_readable = false;
            continue;
        }
        if (r < 0 && errno == EINTR) continue;
        if (r < 0 && errno != EAGAIN) {
            s->status = -errno;
            break;
        }
        if (r == 0 && polled_readable) {
            s->status = BUFIO_EOF;
            break;
        }
        int revents = poll_fd(s->fd, POLLIN, s->timeout);
        if (revents > 0 && (revents & POLLIN)) {
            polled_readable = true;
            continue;
        }
        // A hang-up right after a read of nothing is the writer having
        // finished (a FIFO or a closed connection): end of file, not an error.
        if (revents > 0 && (revents & POLLHUP) && r == 0) {
            s->status = BUFIO_EOF;
            break;
        }
        s->status = poll_failure_status(revents);
        break;
    }

    if (s->rlock) drop_read_lock(s, since_lock);
    return got;
}

size_t bufio_write(bufio_stream* s, const void* buffer, size_t n) {
    if (n == 0 || s->type == BUFIO_SERVE) return 0;
    const auto* data = static_cast<const unsigned char*>(buffer);
    if (s->type == BUFIO_MEM) return mem_write(s, data, n);

    if (n <= s->out_size - s->out_pending) {
        std::memcpy(s->out_buf + s->out_pending, data, n);
        s->out_pending += n;
        return n;
    }
    if (s->type == BUFIO_LOCKEDFILE && !s->wlock && take_write_lock(s) <= 0) return 0;

    long long since_lock = s->wlock_bytes;
    size_t sent_pending = 0, sent_data = 0;
    write_out(s, s->out_buf, s->out_pending, data, n, sent_pending, sent_data, since_lock);
    if (s->wlock) note_write_lock_bytes(s, since_lock);
    output_sent(s, sent_pending);
    return sent_data;
}

int bufio_flush(bufio_stream* s) {
    if (s->type == BUFIO_SERVE) return 0;
    if (s->type == BUFIO_MEM) return mem_flush(s);
    int result = 0;
    long long since_lock = s->wlock_bytes;
    if (s->out_pending > 0) {
        size_t sent = 0, unused = 0;
        write_out(s, s->out_buf, s->out_pending, nullptr, 0, sent, unused, since_lock);
        if (sent != s->out_pending) result = -1;
        output_sent(s, sent);
    }
    if (s->wlock) drop_write_lock(s, since_lock);
    return result;
}

int bufio_sync(bufio_stream* s) {
    if (bufio_flush(s) != 0) return -1;
    if (s->type == BUFIO_FILE || s->type == BUFIO_LOCKEDFILE) {
        while (fsync(s->fd) != 0) {
            if (errno == EINTR) continue;
            s->status = -errno;
            return -1;
        }
    }
    return 0;
}

int bufio_wait(bufio_stream* s, int timeout) {
    if (s->type == BUFIO_SERVE) {
        int accepted = accept_socket(s, timeout, nullptr);
        if (accepted != 1) return accepted;
    }
    if (s->type == BUFIO_MEM) return mem_wait(s);
    if (s->in_avail > 0) return 1;
    if (access_mode(s) == O_WRONLY) return 0;
    return fill_input(s, timeout, s->type == BUFIO_SOCKET);
}

int bufio_close(bufio_stream* s) {
    if (!s) return 0;
    if (s->type == BUFIO_MEM) {
        std::free(s);
        return 0;
    }
    int result = bufio_flush(s);
    if (close_descriptor(s) != 0) result = -1;
    std::free(s->in_buf);
    std::free(s->out_buf);
    std::free(s);
    return result < 0 ? -1 : 0;
}

int bufio_timeout(bufio_stream* s, int timeout) {
    int previous = s->timeout;
    s->timeout = timeout;
    return previous;
}

int bufio_type(const bufio_stream* s) { return s ? s->type : BUFIO_INVALID; }

const char* bufio_type_str(const bufio_stream* s) {
    switch (bufio_type(s)) {
    case BUFIO_INVALID: return "invalid";
    case BUFIO_SOCKET: return "socket";
    case BUFIO_FILE: return "file";
    case BUFIO_LOCKEDFILE: return "lockedfile";
    case BUFIO_PIPE: return "pipe";
    case BUFIO_FIFO: return "fifo";
    case BUFIO_SERVE: return "serve";
    case BUFIO_MEM: return "mem";
    default: return "unknown";
    }
}

int bufio_status(const bufio_stream* s) {
    if (!s || s->status < 0) return -1;
    return s->status;
}

const char* bufio_status_str(const bufio_stream* s) {
    if (!s) return "closed";
    if (s->status < 0) return std::strerror(-s->status);
    switch (s->status) {
    case BUFIO_OKAY: return "okay";
    case BUFIO_TIMEOUT: return "timeout";
    case BUFIO_EOF: return "end-of-file";
    case BUFIO_NOSPACE: return "no space available";
    default: return "unknown error";
    }
}

int bufio_fileno(const bufio_stream* s) { return s->fd; }

int bufio_clear_status(bufio_stream* s) {
    s->status = 0;
    return 0;
}

int bufio_set_mem_field(bufio_stream* s, void* base, size_t size) {
    if (s->type != BUFIO_MEM) return 1;
    s->mem_base = static_cast<unsigned char*>(base);
    s->mem_size = size;
    s->mem_pos = 0;
    s->status = 0;
    return 0;
}

}  // extern "C"
