// Locked files: POSIX record locks around the transfers of a
// "lockedfile://" stream, and the timed lock wait. A read holds its shared
// lock for one read; a write takes the exclusive lock when it overflows the
// buffer and keeps it until the next flush.

#include <background/storage/bufio_internal.hpp>

#include <fcntl.h>
#include <signal.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>

namespace background::bufio::detail {

namespace {

// Set by the alarm that bounds a lock wait; only the receiving thread sees it.
thread_local volatile sig_atomic_t lock_timeout = 0;

void lock_timeout_handler(int) { lock_timeout = 1; }

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

// Takes a record lock from `start` (relative to the current position) over
// `length` bytes (0: to the end of the file, however far it grows), waiting
// up to `timeout` ms. 1 locked, 0 not obtained, -1 error (errno set).
int bufio_lock(bufio_stream* s, int type, long long start, long long length, int timeout) {
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

// Leaves the status a lock wait that did not succeed calls for.
int lock_refused(bufio_stream* s, int locked) {
    s->status = locked < 0 ? -errno : BUFIO_TIMEOUT;
    return locked;
}

}  // namespace

int take_read_lock(bufio_stream* s, std::size_t wanted, std::size_t fallback, int timeout) {
    int taken = 1;
    if (lock_call(s->fd, F_SETLK, F_RDLCK, 0, static_cast<off_t>(wanted)) != 0) {
        if (!would_block(errno)) s->status = -errno;
        const int locked = bufio_lock(s, F_RDLCK, 0, static_cast<long long>(fallback), timeout);
        if (locked <= 0) return lock_refused(s, locked);
        taken = 2;
    }
    s->rlock = 1;
    s->rlock_bytes = 0;
    return taken;
}

int take_write_lock(bufio_stream* s) {
    const int locked = bufio_lock(s, F_WRLCK, 0, 0, s->timeout);
    if (locked <= 0) return lock_refused(s, locked);
    s->wlock = 1;
    s->wlock_bytes = 0;
    return 1;
}

void drop_read_lock(bufio_stream* s, long long bytes_since_lock) {
    set_lock_count(s->rlock_bytes, bytes_since_lock);
    release_lock(s, bytes_since_lock);
    s->rlock = 0;
}

void note_write_lock_bytes(bufio_stream* s, long long bytes_since_lock) {
    set_lock_count(s->wlock_bytes, bytes_since_lock);
}

void drop_write_lock(bufio_stream* s, long long bytes_since_lock) {
    release_lock(s, bytes_since_lock);
    s->wlock = 0;
    s->wlock_bytes = 0;
}

}  // namespace background::bufio::detail
