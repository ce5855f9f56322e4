// Locked files: POSIX record locks around the transfers of a
// "lockedfile://" stream, and the timed lock wait. A read holds its shared
// lock for one read; a write takes the exclusive lock when it overflows the
// buffer and keeps it until the next flush.

#include <background/storage/bufio_internal.hpp>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>

namespace background::bufio::detail {

namespace {

// The longest pause between two attempts of a bounded lock wait: how late a
// waiter may notice that the holder let go.
constexpr int LOCK_RETRY_MAX_MS = 16;

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
//
// A bounded wait retries F_SETLK with growing pauses rather than blocking in
// F_SETLKW until an alarm interrupts it: the alarm goes to the process, so on
// any thread but the one that receives it the wait would not end, and it
// would have to borrow the caller's SIGALRM handler and interval timer.
int bufio_lock(bufio_stream* s, int type, long long start, long long length, int timeout) {
    const auto lt = static_cast<short>(type);
    if (timeout < 0) {
        if (lock_call(s->fd, F_SETLKW, lt, start, length) == 0) return 1;
        return would_block(errno) ? 0 : -1;
    }
    const long long deadline = deadline_in(timeout);
    int pause_ms = 1;
    for (;;) {
        if (lock_call(s->fd, F_SETLK, lt, start, length) == 0) return 1;
        if (!would_block(errno)) return -1;
        const int left_ms = ms_until(deadline);
        if (left_ms == 0) return 0;
        sleep_ms(std::min(pause_ms, left_ms));
        pause_ms = std::min(2 * pause_ms, LOCK_RETRY_MAX_MS);
    }
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
