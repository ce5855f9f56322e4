// Standard streams: "-" reads descriptor 0 or writes descriptor 1 of the
// process, without opening or closing anything.

#include <background/storage/bufio_internal.hpp>

#include <fcntl.h>
#include <unistd.h>

#include <cstring>

namespace background::bufio::detail {

bool names_standard_stream(const char* path) { return std::strcmp(path, "-") == 0; }

void attach_standard(bufio_stream* s) {
    s->type = BUFIO_PIPE;
    s->fd = access_mode(s) == O_RDONLY ? 0 : 1;
}

// Descriptors 0 and 1 stay the process's: closed, the next file opened
// would take the number and whatever the process prints later would land in it.
int close_descriptor(bufio_stream* s) {
    if (s->type == BUFIO_PIPE || s->fd < 0) return 0;
    if (close(s->fd) != 0) return -1;
    return 0;
}

}  // namespace background::bufio::detail
