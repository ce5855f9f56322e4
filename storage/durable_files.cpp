#include <background/storage/durable_files_internal.hpp>

#include <background/core/Format.hpp>
#include <background/core/IOError.hpp>

#include <fcntl.h>
#include <sys/stat.h>
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

constexpr int kBusyRetries = 5;
constexpr useconds_t kBusyPause = 2000;

std::filesystem::path directory_of(const std::filesystem::path& file) {
    return file.parent_path().empty() ? "." : file.parent_path();
}

bool directory_writable(const std::filesystem::path& dir) {
    return ::faccessat(AT_FDCWD, dir.c_str(), W_OK | X_OK, AT_EACCESS) == 0;
}

// Errors of creating a file that say the directory cannot take new names.
bool directory_refuses(int error) {
    return error == ENOENT || error == ENOTDIR || error == EACCES || error == EPERM || error == EROFS;
}

// The umask may strip them; everyone who may write the directory must be able
// to open the file for reading and writing.
int share_like_directory(int fd, const std::filesystem::path& dir) {
    struct stat directory {}, created {};
    if (::stat(dir.c_str(), &directory) != 0 || ::fstat(fd, &created) != 0) return -1;
    mode_t shared = 0;
    if (directory.st_mode & S_IWGRP) shared |= S_IRGRP | S_IWGRP;
    if (directory.st_mode & S_IWOTH) shared |= S_IROTH | S_IWOTH;
    if ((created.st_mode & shared) == shared) return 0;
    return ::fchmod(fd, (created.st_mode & 07777) | shared);
}

int lock_whole(int fd) {
    // An open-file-description lock: per open file like flock, a byte-range
    // write lock like fcntl, which is the kind NFS carries to the server.
    struct flock whole {};
    whole.l_type = F_WRLCK;
    whole.l_whence = SEEK_SET;
    int result;
    while ((result = ::fcntl(fd, F_OFD_SETLKW, &whole)) != 0 && errno == EINTR) {
    }
    return result;
}

constexpr int kOpenFlags = O_RDWR | O_CLOEXEC | O_NOCTTY;

}  // namespace

WriterLock::WriterLock(const std::filesystem::path& file) : fd(-1) {
    const std::filesystem::path dir = directory_of(file);
    int busy = 0;
    for (;;) {
        fd = ::open(file.c_str(), kOpenFlags);
        if (fd < 0 && errno == ENOENT) {
            fd = ::open(file.c_str(), kOpenFlags | O_CREAT | O_EXCL, 0666);
            if (fd < 0 && errno == EEXIST) continue;
            if (fd < 0 && directory_refuses(errno)) return;
            if (fd >= 0 && share_like_directory(fd, dir) != 0) {
                const int error = errno;
                ::close(fd);
                throw failure("lock file", file, error);
            }
        } else if (fd < 0 && (errno == EACCES || errno == EPERM)) {
            const int error = errno;
            if (!directory_writable(dir)) return;
            // A lock file just created stands without its shared bits for a moment.
            if (++busy <= kBusyRetries) {
                ::usleep(kBusyPause);
                continue;
            }
            throw IOError(format("Failed to lock file {}: {}! Every writer of its directory must be able to open it "
                                 "for writing: give it the directory's write permissions, or remove it while no "
                                 "writer runs.",
                                 file.string(), std::strerror(error)));
        } else if (fd < 0 && errno == EROFS) {
            return;
        }
        if (fd < 0 || lock_whole(fd) != 0) {
            const int error = errno;
            if (fd >= 0) ::close(fd);
            fd = -1;
            throw failure("lock file", file, error);
        }
        if (names_open_file(file, fd)) return;
        ::close(fd);
        fd = -1;
    }
}

bool names_open_file(const std::filesystem::path& file, int fd) {
    struct stat held {}, named {};
    return fd >= 0 && ::fstat(fd, &held) == 0 && ::stat(file.c_str(), &named) == 0 && held.st_dev == named.st_dev &&
           held.st_ino == named.st_ino;
}

WriterLock::~WriterLock() {
    if (fd >= 0) ::close(fd);
}

void sync_file(const std::filesystem::path& file) { sync(file, O_RDONLY, "write to file"); }

void sync_directory(const std::filesystem::path& dir) { sync(dir, O_RDONLY | O_DIRECTORY, "sync directory"); }

}  // namespace background::detail
