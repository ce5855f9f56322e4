#include <background/storage/durable_files_internal.hpp>

#include <background/core/Format.hpp>
#include <background/core/IOError.hpp>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace background::detail {

namespace {

IOError failure(const char* what, const std::filesystem::path& path, int error) {
    return IOError(format("Failed to {} {}: {}!", what, path.string(), std::strerror(error)));
}

void sync(const std::filesystem::path& path, int flags, const char* what) {
    const int fd = ::open(path.empty() ? "." : path.c_str(), flags | O_CLOEXEC);
    int result = fd < 0 ? -1 : 0;
    while (result == 0 && (result = ::fsync(fd)) != 0 && errno == EINTR) result = 0;
    const int error = errno;
    if (fd >= 0) ::close(fd);
    if (result != 0) throw failure(what, path, error);
}

}  // namespace

WriterLock::WriterLock(const std::filesystem::path& file)
    : fd(::open(file.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOCTTY, 0666)) {
    // An open-file-description lock: per open file like flock, a byte-range
    // write lock like fcntl, which is the kind NFS carries to the server.
    struct flock whole {};
    whole.l_type = F_WRLCK;
    whole.l_whence = SEEK_SET;
    int result = fd < 0 ? -1 : 0;
    while (result == 0 && (result = ::fcntl(fd, F_OFD_SETLKW, &whole)) != 0 && errno == EINTR) result = 0;
    if (result == 0) return;
    const int error = errno;
    if (fd >= 0) ::close(fd);
    throw failure("lock file", file, error);
}

WriterLock::~WriterLock() { ::close(fd); }

void sync_file(const std::filesystem::path& file) { sync(file, O_RDONLY, "write to file"); }

void sync_directory(const std::filesystem::path& dir) { sync(dir, O_RDONLY | O_DIRECTORY, "sync directory"); }

}  // namespace background::detail
