// Files and FIFOs, plain ("path", "file://path") or guarded by record locks
// ("lockedfile://path"); "-" hands over to the standard streams.

#include <background/storage/bufio_internal.hpp>

#include <fcntl.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

namespace background::bufio::detail {

int path_flags(const char* mode, bool standard) {
    if (std::strcmp(mode, "r") == 0) return O_RDONLY | O_NONBLOCK;
    if (std::strcmp(mode, "w") == 0) return O_WRONLY | O_CREAT | O_TRUNC | O_NONBLOCK;
    if (!standard && std::strcmp(mode, "r+") == 0) return O_RDWR | O_NONBLOCK;
    if (!standard && std::strcmp(mode, "w+") == 0) return O_RDWR | O_CREAT | O_NONBLOCK;
    return -1;
}

namespace {

// Opens the file itself; false when it cannot be examined or opened.
bool open_file(bufio_stream* s, const char* address, const char* mode, const char* label) {
    // The whole remainder is the path, blanks included; a name longer than
    // the path buffer is refused rather than cut into another name.
    const char* path = address;
    if (std::strncmp(address, "lockedfile://", 13) == 0 && address[13] != '\0') {
        path = address + 13;
        s->type = BUFIO_LOCKEDFILE;
    }
    if (std::strlen(path) > NAME_MAX_CHARS) {
        errno = ENAMETOOLONG;
        say(label, "stat failed --", std::strerror(errno));
        return false;
    }
    struct stat info {};
    if (stat(path, &info) != 0) {
        const bool creating = (s->flags & O_CREAT) != 0;
        if (!(errno == ENOENT && creating)) {
            say(label, "stat failed --", std::strerror(errno));
            return false;
        }
    } else if (S_ISDIR(info.st_mode)) {
        errno = EISDIR;
        say(label, "can not open directory", path);
        return false;
    } else if (S_ISFIFO(info.st_mode)) {
        s->type = BUFIO_FIFO;
    }
    s->fd = open(path, s->flags, 0664);
    if (s->fd < 0) {
        say(label, "failed to open file with mode", mode, path);
        return false;
    }
    return true;
}

}  // namespace

bufio_stream* open_path(const char* address, const char* mode, int size, const char* label) {
    bufio_stream* s = new_stream(label);
    if (!s) return nullptr;
    s->type = BUFIO_FILE;

    if (std::strncmp(address, "file://", 7) == 0) address += 7;
    const bool standard = names_standard_stream(address);
    s->flags = path_flags(mode, standard);
    if (s->flags < 0) {
        say(label, "invalid mode", mode, standard ? "for standard stream" : "for file.");
        return fail_open(s);
    }
    if (standard) attach_standard(s);
    else if (!open_file(s, address, mode, label)) return fail_open(s);

    if (bufio_set_buffer(s, buffer_bytes(size)) != 0) {
        say(label, "can not create buffer");
        return fail_open(s);
    }
    return s;
}

}  // namespace background::bufio::detail
