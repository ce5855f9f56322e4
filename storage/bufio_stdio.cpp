// Standard streams: "-" reads descriptor 0 or writes descriptor 1 of the
// process, without opening anything.

#include <background/storage/bufio_internal.hpp>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace background::bufio::detail {

bool names_standard_stream(const char* path) { return std::strcmp(path, "-") == 0; }

void attach_standard(bufio_stream* s) {
    s->type = BUFIO_PIPE;
    s->fd = access_mode(s) == O_RDONLY ? 0 : 1;
    const int error = errno;
    extras_of(s).found_closed = fcntl(s->fd, F_GETFD) < 0 && errno == EBADF;
    errno = error;
}

// Closing a standard stream ends the process's side of it, so that a reader
// of the pipe behind descriptor 1 sees the end at once. The number stays
// taken: left free, the next file opened would become descriptor 0 or 1, and
// whatever the process prints afterwards would land in it. /dev/null takes it,
// opened for the other direction, so that later reads and writes fail as on
// a closed descriptor instead of passing for done. A process with no
// descriptor left for /dev/null gives up the stream's own first; where even
// then /dev/null cannot be opened, the close fails. A descriptor that was
// closed when the stream was opened is left so.
namespace {
int take_number_with_null(int fd, int flags) {
    int null = open("/dev/null", flags);
    if (null < 0) {
        close(fd);
        null = open("/dev/null", flags);  // the lowest free number: fd, unless a lower one was free
        if (null < 0) return -1;
    }
    if (null == fd) return 0;
    int result;
    while ((result = dup2(null, fd)) < 0 && errno == EINTR) {
    }
    close(null);
    return result < 0 ? -1 : 0;
}
}  // namespace

int close_descriptor(bufio_stream* s) {
    if (s->fd < 0) return 0;
    if (s->type != BUFIO_PIPE) return close(s->fd) != 0 ? -1 : 0;
    if (extras_of(s).found_closed) return 0;
    return take_number_with_null(s->fd, (access_mode(s) == O_RDONLY ? O_WRONLY : O_RDONLY) | O_CLOEXEC);
}

}  // namespace background::bufio::detail
