// Buffered byte streams over files, locked files, standard streams, FIFOs,
// memory regions and IPv4 sockets. Plain C underneath a C++ translation unit:
// every exported function has C linkage and reports through return values and
// the stream's sticky status, never by throwing.

#include <background/storage/bufio.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr size_t DEFAULT_BUFFER = 262144;
constexpr size_t NAME_MAX_CHARS = 1024;
constexpr int RETRY_STEP_MS = 50;

// Set by the alarm that bounds a lock wait; only the receiving thread sees it.
thread_local volatile sig_atomic_t lock_timeout = 0;

void say(const char* label, const char* text) {
    if (label) std::fprintf(stderr, "%s: %s\n", label, text);
}

void say(const char* label, const char* text, const char* a) {
    if (label) std::fprintf(stderr, "%s: %s %s\n", label, text, a);
}

void say(const char* label, const char* text, const char* a, const char* b) {
    if (label) std::fprintf(stderr, "%s: %s %s %s\n", label, text, a, b);
}

void say(const char* label, const char* text, const sockaddr_in& address) {
    if (!label) return;
    const auto* b = reinterpret_cast<const unsigned char*>(&address.sin_addr.s_addr);
    std::fprintf(stderr, "%s: %s %d.%d.%d.%d:%u\n", label, text, b[0], b[1], b[2], b[3],
                 static_cast<unsigned>(ntohs(address.sin_port)));
}

int access_mode(const bufio_stream* s) { return s->flags & O_ACCMODE; }

void sleep_ms(int ms) {
    timespec t{ms / 1000, static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&t, &t) != 0 && errno == EINTR) {
    }
}

long long now_us() {
    timespec t{};
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<long long>(t.tv_sec) * 1000000LL + t.tv_nsec / 1000;
}

// Polls for `events`; the revents, 0 when the time ran out, -1 on error.
int poll_fd(int fd, short events, int timeout) {
    pollfd p{fd, events, 0};
    for (;;) {
        int r = poll(&p, 1, timeout);
        if (r < 0 && (errno == EINTR || errno == EAGAIN)) continue;
        if (r < 0) return -1;
        if (r == 0) return 0;
        return p.revents;
    }
}

// The status a poll leaves when it did not report the wanted readiness.
int poll_failure_status(int revents) {
    if (revents < 0) return errno ? -errno : -EIO;
    if (revents == 0) return BUFIO_TIMEOUT;
    if (revents & POLLHUP) return -EPIPE;
    return -EIO;
}

// One record-lock call relative to the current position, retried on EINTR.
int lock_call(int fd, int cmd, short type, off_t start, off_t length) {
    struct flock fl {};
    fl.l_type = type;
    fl.l_whence = SEEK_CUR;
    fl.l_start = start;
    fl.l_len = length;
    for (;;) {
        if (fcntl(fd, cmd, &fl) == 0) return 0;
        if (errno != EINTR) return -1;
    }
}

bool would_block(int err) { return err == EAGAIN || err == EACCES; }

void release_lock(bufio_stream* s, long long bytes_since_lock) {
    int saved = errno;
    lock_call(s->fd, F_SETLKW, F_UNLCK, static_cast<off_t>(-bytes_since_lock), 0);
    errno = saved;
}

void set_lock_count(int& field, long long value) {
    field = value > INT32_MAX ? INT32_MAX : static_cast<int>(value);
}

void input_consumed(bufio_stream* s, size_t n) {
    s->in_pos += n;
    s->in_avail -= n;
    if (s->in_avail == 0) s->in_pos = s->in_fill = 0;
}

// Keeps only the unsent tail of the output buffer, so that a failed transfer
// never sends the already written head a second time.
void output_sent(bufio_stream* s, size_t sent) {
    if (sent == 0) return;
    std::memmove(s->out_buf, s->out_buf + sent, s->out_pending - sent);
    s->out_pending -= sent;
}

}  // namespace

extern "C" {

static void lock_timeout_handler(int) { lock_timeout = 1; }

// Takes a record lock from `start` (relative to the current position) over
// `length` bytes (0: to the end of the file, however far it grows), waiting
// up to `timeout` ms. 1 locked, 0 not obtained, -1 error (errno set).
static int bufio_lock(bufio_stream* s, int type, long long start, long long length, int timeout) {
    const auto lt = static_cast<short>(type);
    if (timeout == 0) {
        if (lock_call(s->fd, F_SETLK, lt, start, length) == 0) return 1;
        return would_block(errno) ? 0 : -1;
    }
    if (timeout < 0) {
        if (lock_call(s->fd, F_SETLKW, lt, start, length) == 0) return 1;
        return would_block(errno) ? 0 : -1;
    }

    struct sigaction action {}, previous_action {};
    action.sa_handler = lock_timeout_handler;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESETHAND;
    if (sigaction(SIGALRM, &action, &previous_action) != 0) return -1;
    lock_timeout = 0;
    itimerval timer{}, previous_timer{};
    timer.it_value.tv_sec = timeout / 1000;
    timer.it_value.tv_usec = (timeout % 1000) * 1000;
    const long long started = now_us();
    if (setitimer(ITIMER_REAL, &timer, &previous_timer) != 0) {
        int saved = errno;
        sigaction(SIGALRM, &previous_action, nullptr);
        errno = saved;
        return -1;
    }

    struct flock fl {};
    fl.l_type = lt;
    fl.l_whence = SEEK_CUR;
    fl.l_start = static_cast<off_t>(start);
    fl.l_len = static_cast<off_t>(length);
    int result;
    for (;;) {
        if (fcntl(s->fd, F_SETLKW, &fl) == 0) {
            result = 1;
            break;
        }
        if (errno == EINTR) {
            if (lock_timeout) {
                result = 0;
                break;
            }
            continue;
        }
        result = would_block(errno) ? 0 : -1;
        break;
    }
    int saved = errno;

    // Disarm our alarm and put the caller's handler back before its timer:
    // the other order lets a due timer fire into the reset (terminating)
    // default action. The caller's timer keeps running as if never paused.
    itimerval off{};
    setitimer(ITIMER_REAL, &off, nullptr);
    sigaction(SIGALRM, &previous_action, nullptr);
    if (previous_timer.it_value.tv_sec != 0 || previous_timer.it_value.tv_usec != 0) {
        long long left = static_cast<long long>(previous_timer.it_value.tv_sec) * 1000000LL +
                         previous_timer.it_value.tv_usec - (now_us() - started);
        if (left < 1) left = 1;
        previous_timer.it_value.tv_sec = static_cast<time_t>(left / 1000000LL);
        previous_timer.it_value.tv_usec = static_cast<suseconds_t>(left % 1000000LL);
    }
    setitimer(ITIMER_REAL, &previous_timer, nullptr);
    errno = saved;
    return result;
}

// Resizes both buffers; unread input and pending output are dropped.
static int bufio_set_buffer(bufio_stream* s, size_t size) {
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

// Waits for and accepts one connection on the listening socket. 1 accepted,
// 0 timed out, -1 failed; the listening socket stays open unless accepted,
// so the descriptor held by the stream is never a closed one.
static int accept_socket(bufio_stream* s, int timeout, const char* label) {
    int revents = poll_fd(s->fd, POLLIN, timeout);
    if (revents < 0) {
        say(label, "listen error ... ", std::strerror(errno));
        return -1;
    }
    if (revents == 0) {
        say(label, "listen timeout");
        return 0;
    }
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    int connection = accept(s->fd, reinterpret_cast<sockaddr*>(&peer), &length);
    if (connection < 0) {
        say(label, "accept failed ...", std::strerror(errno));
        return -1;
    }
    close(s->fd);
    s->fd = connection;
    s->type = BUFIO_SOCKET;
    signal(SIGPIPE, SIG_IGN);
    fcntl(connection, F_SETFL, O_RDWR | O_NONBLOCK);
    say(label, "connection established", peer);
    return 1;
}

}  // extern "C"

namespace {

size_t buffer_bytes(int size) { return size < 1 ? DEFAULT_BUFFER : static_cast<size_t>(size); }

bufio_stream* new_stream(const char* label) {
    auto* s = static_cast<bufio_stream*>(std::calloc(1, sizeof(bufio_stream)));
    if (!s) say(label, "failed to allocate stream: out of memory");
    else s->fd = -1;
    return s;
}

bufio_stream* fail_open(bufio_stream* s) {
    if (s->fd > 1 || (s->fd >= 0 && s->type != BUFIO_PIPE)) close(s->fd);
    std::free(s->in_buf);
    std::free(s->out_buf);
    std::free(s);
    return nullptr;
}

int new_socket(bool tcp, const char* label) {
    int fd = socket(AF_INET, tcp ? SOCK_STREAM : SOCK_DGRAM, 0);
    if (fd < 0) {
        say(label, "create socket failed");
        return -1;
    }
    signal(SIGPIPE, SIG_IGN);
    return fd;
}

enum class SocketForm { Connect, Listen, Serve, Udp };

bufio_stream* open_socket(SocketForm form, int port, const char* host, int timeout, int size,
                          const char* label) {
    bufio_stream* s = new_stream(label);
    if (!s) return nullptr;
    s->type = form == SocketForm::Serve ? BUFIO_SERVE : BUFIO_SOCKET;
    s->flags = O_RDWR | O_NONBLOCK;
    s->timeout = -1;

    if (port < 0 || port > 65535) {
        say(label, "invalid port");
        return fail_open(s);
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    if (host[0] != '\0') {
        hostent* entry = gethostbyname(host);
        if (!entry || entry->h_addrtype != AF_INET || !entry->h_addr_list[0]) {
            say(label, "no such host", host);
            return fail_open(s);
        }
        std::memcpy(&address.sin_addr, entry->h_addr_list[0], sizeof address.sin_addr);
    }

    const bool tcp = form != SocketForm::Udp;
    s->fd = new_socket(tcp, label);
    if (s->fd < 0) return fail_open(s);

    long long budget = timeout < 0 ? 4294967295LL : timeout == 0 ? 0 : timeout < 100 ? 100 : timeout;
    sockaddr_in used = address;

    if (form == SocketForm::Listen || form == SocketForm::Serve) {
        int one = 1;
        if (setsockopt(s->fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0)
            say(label, "can not set socketopt/reuseaddr");
        if (bind(s->fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
            say(label, "bind failed ...", std::strerror(errno));
            return fail_open(s);
        }
        if (listen(s->fd, 1) != 0) {
            say(label, "listen failed ...", std::strerror(errno));
            return fail_open(s);
        }
        socklen_t length = sizeof used;
        getsockname(s->fd, reinterpret_cast<sockaddr*>(&used), &length);
        say(label, "server waiting for connections", used);
        if (form == SocketForm::Listen) {
            int wait = budget > 2147483647LL ? -1 : static_cast<int>(budget);
            if (accept_socket(s, wait, label) != 1) return fail_open(s);
        }
    } else {
        say(label, "connecting to", address);
        for (;;) {
            if (connect(s->fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) break;
            int err = errno;
            if (budget < RETRY_STEP_MS) {
                say(label, "connect timeout /", std::strerror(err));
                return fail_open(s);
            }
            // A failed connect leaves the socket in an unspecified state;
            // every retry starts from a fresh one.
            close(s->fd);
            s->fd = new_socket(tcp, label);
            if (s->fd < 0) return fail_open(s);
            budget -= RETRY_STEP_MS;
            sleep_ms(RETRY_STEP_MS);
        }
    }

    fcntl(s->fd, F_SETFL, O_RDWR | O_NONBLOCK);
    if (bufio_set_buffer(s, buffer_bytes(size)) != 0) {
        say(label, "can not create buffer");
        return fail_open(s);
    }
    if (form != SocketForm::Serve) say(label, "connection established, peer", used);
    return s;
}

bufio_stream* open_memory(void* base, size_t size, const char* mode, const char* label) {
    int flags;
    if (std::strcmp(mode, "r") == 0) flags = O_RDONLY | O_NONBLOCK;
    else if (std::strcmp(mode, "w") == 0) flags = O_WRONLY | O_NONBLOCK;
    else {
        say(label, "invalid mode", mode, "for mem.");
        return nullptr;
    }
    bufio_stream* s = new_stream(label);
    if (!s) return nullptr;
    s->type = BUFIO_MEM;
    s->flags = flags;
    s->mem_base = static_cast<unsigned char*>(base);
    s->mem_size = size;
    return s;
}

bufio_stream* open_path(const char* address, const char* mode, int size, const char* label) {
    bufio_stream* s = new_stream(label);
    if (!s) return nullptr;
    s->type = BUFIO_FILE;

    if (std::strncmp(address, "file://", 7) == 0) address += 7;
    const bool standard = std::strcmp(address, "-") == 0;
    if (std::strcmp(mode, "r") == 0) s->flags = O_RDONLY | O_NONBLOCK;
    else if (std::strcmp(mode, "w") == 0) s->flags = O_WRONLY | O_CREAT | O_TRUNC | O_NONBLOCK;
    else if (!standard && std::strcmp(mode, "r+") == 0) s->flags = O_RDWR | O_NONBLOCK;
    else if (!standard && std::strcmp(mode, "w+") == 0) s->flags = O_RDWR | O_CREAT | O_NONBLOCK;
    else {
        say(label, "invalid mode", mode, standard ? "for standard stream" : "for file.");
        return fail_open(s);
    }

    if (standard) {
        s->type = BUFIO_PIPE;
        s->fd = access_mode(s) == O_RDONLY ? 0 : 1;
    } else {
        // The whole remainder is the path, blanks included; a name longer
        // than the path buffer is refused rather than cut into another name.
        const char* path = address;
        if (std::strncmp(address, "lockedfile://", 13) == 0 && address[13] != '\0') {
            path = address + 13;
            s->type = BUFIO_LOCKEDFILE;
        }
        if (std::strlen(path) > NAME_MAX_CHARS) {
            say(label, "stat failed --", std::strerror(ENAMETOOLONG));
            return fail_open(s);
        }
        struct stat info {};
        if (stat(path, &info) != 0) {
            const bool creating = (s->flags & O_CREAT) != 0;
            if (!(errno == ENOENT && creating)) {
                say(label, "stat failed --", std::strerror(errno));
                return fail_open(s);
            }
        } else if (S_ISDIR(info.st_mode)) {
            say(label, "can not open directory", path);
            return fail_open(s);
        } else if (S_ISFIFO(info.st_mode)) {
            s->type = BUFIO_FIFO;
        }
        s->fd = open(path, s->flags, 0664);
        if (s->fd < 0) {
            say(label, "failed to open file with mode", mode, path);
            return fail_open(s);
        }
    }

    if (bufio_set_buffer(s, buffer_bytes(size)) != 0) {
        say(label, "can not create buffer");
        return fail_open(s);
    }
    return s;
}

// Writes `first` then `second` to the descriptor, waiting for room between
// partial writes; `sent_first` and `sent_second` say how far each got.
void write_out(bufio_stream* s, const unsigned char* first, size_t first_n,
               const unsigned char* second, size_t second_n, size_t& sent_first,
               size_t& sent_second, long long& since_lock) {
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
            auto n = static_cast<size_t>(r);
            since_lock += r;
            size_t to_first = n < first_n - sent_first ? n : first_n - sent_first;
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

}  // namespace

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
    size_t size = 0;
    if (std::sscanf(address, "mem://%p/%zu", &base, &size) == 2)
        return open_memory(base, size, mode, label);
    return open_path(address, mode, buffer_size, label);
}

size_t bufio_read(bufio_stream* s, void* buffer, size_t n) {
    if (n == 0 || s->type == BUFIO_SERVE) return 0;
    auto* out = static_cast<unsigned char*>(buffer);

    if (s->type == BUFIO_MEM) {
        if (!s->mem_base || access_mode(s) != O_RDONLY) {
            s->status = -1;
            return 0;
        }
        size_t left = s->mem_size - s->mem_pos;
        size_t take = n < left ? n : left;
        std::memcpy(out, s->mem_base + s->mem_pos, take);
        s->mem_pos += take;
        if (n > left) s->status = BUFIO_EOF;
        return take;
    }

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

    long long since_lock = 0;
    if (s->type == BUFIO_LOCKEDFILE) {
        if (lock_call(s->fd, F_SETLK, F_RDLCK, 0, static_cast<off_t>(rest + s->in_size)) == 0) {
            s->rlock = 1;
        } else {
            if (!would_block(errno)) s->status = -errno;
            int locked = bufio_lock(s, F_RDLCK, 0, static_cast<long long>(rest), s->timeout);
            if (locked < 0) {
                s->status = -errno;
                return got;
            }
            if (locked == 0) {
                s->status = BUFIO_TIMEOUT;
                return got;
            }
            s->rlock = 1;
            extra = 0;
        }
        s->rlock_bytes = 0;
    }

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

    if (s->rlock) {
        set_lock_count(s->rlock_bytes, since_lock);
        release_lock(s, since_lock);
        s->rlock = 0;
    }
    return got;
}

size_t bufio_write(bufio_stream* s, const void* buffer, size_t n) {
    if (n == 0 || s->type == BUFIO_SERVE) return 0;
    const auto* data = static_cast<const unsigned char*>(buffer);

    if (s->type == BUFIO_MEM) {
        if (!s->mem_base || access_mode(s) != O_WRONLY) {
            s->status = -1;
            return 0;
        }
        size_t room = s->mem_size - s->mem_pos;
        size_t take = n < room ? n : room;
        std::memcpy(s->mem_base + s->mem_pos, data, take);
        s->mem_pos += take;
        if (n > room) s->status = BUFIO_NOSPACE;
        return take;
    }

    if (n <= s->out_size - s->out_pending) {
        std::memcpy(s->out_buf + s->out_pending, data, n);
        s->out_pending += n;
        return n;
    }

    if (s->type == BUFIO_LOCKEDFILE && !s->wlock) {
        int locked = bufio_lock(s, F_WRLCK, 0, 0, s->timeout);
        if (locked < 0) {
            s->status = -errno;
            return 0;
        }
        if (locked == 0) {
            s->status = BUFIO_TIMEOUT;
            return 0;
        }
        s->wlock = 1;
        s->wlock_bytes = 0;
    }

    long long since_lock = s->wlock_bytes;
    size_t sent_pending = 0, sent_data = 0;
    write_out(s, s->out_buf, s->out_pending, data, n, sent_pending, sent_data, since_lock);
    if (s->wlock) set_lock_count(s->wlock_bytes, since_lock);
    output_sent(s, sent_pending);
    return sent_data;
}

int bufio_flush(bufio_stream* s) {
    if (s->type == BUFIO_SERVE) return 0;
    if (s->type == BUFIO_MEM) {
        s->mem_pos = 0;
        s->status = 0;
        return 0;
    }
    int result = 0;
    long long since_lock = s->wlock_bytes;
    if (s->out_pending > 0) {
        size_t sent = 0, unused = 0;
        write_out(s, s->out_buf, s->out_pending, nullptr, 0, sent, unused, since_lock);
        if (sent != s->out_pending) result = -1;
        output_sent(s, sent);
    }
    if (s->wlock) {
        release_lock(s, since_lock);
        s->wlock = 0;
        s->wlock_bytes = 0;
    }
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
    if (s->type == BUFIO_MEM) {
        if (access_mode(s) != O_RDONLY || s->mem_pos >= s->mem_size) {
            s->status = BUFIO_EOF;
            return 0;
        }
        return 1;
    }
    if (s->in_avail > 0) return 1;
    if (access_mode(s) == O_WRONLY) return 0;

    int left = timeout;  // negative: without limit
    for (;;) {
        size_t len = s->in_size - s->in_fill;
        if (s->type == BUFIO_LOCKEDFILE) {
            if (lock_call(s->fd, F_SETLK, F_RDLCK, 0, static_cast<off_t>(len)) != 0) {
                if (!would_block(errno)) s->status = -errno;
                int locked = bufio_lock(s, F_RDLCK, 0, 1, left);
                if (locked < 0) {
                    s->status = -errno;
                    return -1;
                }
                if (locked == 0) {
                    s->status = BUFIO_TIMEOUT;
                    return 0;
                }
                len = 1;
            }
            s->rlock = 1;
            s->rlock_bytes = 0;
        }
        ssize_t r = read(s->fd, s->in_buf + s->in_fill, len);
        int err = errno;
        if (s->rlock) {
            long long since_lock = r > 0 ? r : 0;
            set_lock_count(s->rlock_bytes, since_lock);
            release_lock(s, since_lock);
            s->rlock = 0;
        }
        if (r > 0) {
            s->in_fill += static_cast<size_t>(r);
            s->in_avail = s->in_fill - s->in_pos;
            return 1;
        }
        if (r < 0 && err != EAGAIN && err != EINTR) {
            s->status = -err;
            return -1;
        }
        if (r == 0 && s->type == BUFIO_SOCKET) {
            // A connection whose peer closed it stays at its end.
            s->status = BUFIO_EOF;
            return 0;
        }
        if (left == 0) {
            s->status = r == 0 ? BUFIO_EOF : BUFIO_TIMEOUT;
            return 0;
        }
        if (r < 0) {
            int revents = poll_fd(s->fd, POLLIN, left);
            if (revents > 0 && (revents & POLLIN)) return bufio_wait(s, 0);
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

int bufio_close(bufio_stream* s) {
    if (!s) return 0;
    if (s->type == BUFIO_MEM) {
        std::free(s);
        return 0;
    }
    int result = bufio_flush(s);
    if (s->fd >= 0 && close(s->fd) != 0) result = -1;
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
