#include <background/storage/durable_files_internal.hpp>

#include <background/core/Format.hpp>
#include <background/core/IOError.hpp>
#include <background/core/pause_internal.hpp>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

namespace background::detail {

namespace {

IOError failure(const char* what, const std::filesystem::path& path, int error) {
    return IOError(format("Failed to {} {}: {}!", what, path.string(), std::strerror(error)));
}

// 0, or the errno of the open or sync that failed.
int sync(const std::filesystem::path& path, int flags) {
    const int fd = ::open(path.empty() ? "." : path.c_str(), flags | O_CLOEXEC);
    int result = fd < 0 ? -1 : 0;
    while (result == 0 && (result = ::fsync(fd)) != 0 && errno == EINTR) result = 0;
    const int error = errno;
    if (fd >= 0) ::close(fd);
    return result == 0 ? 0 : error;
}

// Another writer's steps (its create, then its chown and chmod) may each take
// milliseconds on a loaded node or on NFS: a writer waits this long for them.
constexpr std::chrono::seconds kRetryFor{2};
constexpr std::chrono::milliseconds kRetryPause{2};

// Missing, not a directory, read-only, not permitted, or on a read-only file
// system: the writer could not create its own files there either.
bool directory_writable(const std::filesystem::path& dir) {
    struct stat info {};
    return ::stat(dir.c_str(), &info) == 0 && S_ISDIR(info.st_mode) &&
           ::faccessat(AT_FDCWD, dir.c_str(), W_OK | X_OK, AT_EACCESS) == 0;
}

// Everyone who may write the directory must be able to open the file for
// reading and writing: it takes the directory's group where the creator may
// give it that group (a member may, root may), and the directory's write bits
// with their read bits, which the umask may have stripped. A creator who
// writes the directory through its others' bits keeps its own group; the
// others' bits then let the group in. Root also gives it to the directory's
// owner, who could not open root's 0644 file in a directory of its own.
int share_like_directory(int fd, const std::filesystem::path& dir) {
    struct stat directory {}, created {};
    if (::stat(dir.c_str(), &directory) != 0 || ::fstat(fd, &created) != 0) return -1;
    constexpr uid_t kUnchanged = static_cast<uid_t>(-1);
    const uid_t owner = ::geteuid() == 0 ? directory.st_uid : kUnchanged;
    const bool foreign = (owner != kUnchanged && created.st_uid != owner) || created.st_gid != directory.st_gid;
    // Refused where the creator may not give the group: the file keeps its own.
    if (foreign && ::fchown(fd, owner, directory.st_gid) != 0) errno = 0;
    mode_t shared = 0;
    if (directory.st_mode & S_IWGRP) shared |= S_IRGRP | S_IWGRP;
    if (directory.st_mode & S_IWOTH) shared |= S_IROTH | S_IWOTH;
    if ((created.st_mode & shared) == shared) return 0;
    return ::fchmod(fd, (created.st_mode & 07777) | shared);
}

// A lock file is the library's own regular file: nothing is opened, created
// or changed through a symbolic link at its name.
constexpr int kOpenFlags = O_RDWR | O_CLOEXEC | O_NOCTTY | O_NOFOLLOW;

// Opens the lock file, creating it when it is missing; -1 with errno set.
// EEXIST says another writer created it between the two opens.
int open_lock_file(const std::filesystem::path& file, const std::filesystem::path& dir) {
    const int existing = ::open(file.c_str(), kOpenFlags);
    if (existing >= 0 || errno != ENOENT) return existing;
    const int created = ::open(file.c_str(), kOpenFlags | O_CREAT | O_EXCL, 0666);
    if (created < 0 || share_like_directory(created, dir) == 0) return created;
    const int error = errno;
    ::close(created);
    errno = error;
    return -1;
}

// Failures that another writer's steps explain for a moment: its new lock
// file stands without its owner, group and shared bits between its create and
// its chown and chmod, and one found missing may have been created by it just
// before this create.
bool may_pass_soon(int error) { return error == EACCES || error == EPERM || error == EEXIST; }

[[noreturn]] void refuse(const std::filesystem::path& file, int error) {
    std::error_code ignored;
    if (error == ELOOP && std::filesystem::is_symlink(file, ignored))
        throw IOError(format("Failed to lock file {}: it is a symbolic link! Lock files are the library's own regular "
                             "files: remove the link; writers create the file as they need it.",
                             file.string()));
    if (error == EACCES || error == EPERM)
        throw IOError(format("Failed to lock file {}: {}! Every writer of its directory must be able to open it "
                             "for writing: give it the directory's write permissions, or remove it while no "
                             "writer runs.",
                             file.string(), std::strerror(error)));
    throw failure("lock file", file, error);
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

// A writer that keeps finding its lock file replaced after each wait is up
// against something other than writers taking turns.
constexpr int kReplacements = 100;

}  // namespace

WriterLock::WriterLock(const std::filesystem::path& file) : fd(-1) {
    const std::filesystem::path dir = directory_of(file);
    const auto retry_until = std::chrono::steady_clock::now() + kRetryFor;
    for (int replaced = 0;;) {
        fd = open_lock_file(file, dir);
        if (fd < 0) {
            const int error = errno;
            if (!directory_writable(dir)) return;
            if (may_pass_soon(error) && std::chrono::steady_clock::now() < retry_until) {
                pause_for(kRetryPause);
                continue;
            }
            refuse(file, error);
        }
        if (lock_whole(fd) != 0) {
            const int error = errno;
            ::close(fd);
            fd = -1;
            throw failure("lock file", file, error);
        }
        if (names_open_file(file, fd)) return;
        ::close(fd);
        fd = -1;
        if (++replaced == kReplacements)
            throw IOError(format("Failed to lock file {}: it was replaced each time it was locked!", file.string()));
    }
}

std::filesystem::path directory_of(const std::filesystem::path& file) {
    return file.parent_path().empty() ? "." : file.parent_path();
}

bool names_open_file(const std::filesystem::path& file, int fd) {
    struct stat held {}, named {};
    return fd >= 0 && ::fstat(fd, &held) == 0 && ::stat(file.c_str(), &named) == 0 && held.st_dev == named.st_dev &&
           held.st_ino == named.st_ino;
}

WriterLock::~WriterLock() {
    if (fd >= 0) ::close(fd);
}

std::error_code sync_file(const std::filesystem::path& file) {
    return {sync(file, O_RDONLY), std::generic_category()};
}

void sync_directory(const std::filesystem::path& dir) {
    if (const int error = sync(dir, O_RDONLY | O_DIRECTORY)) throw failure("sync directory", dir, error);
}

}  // namespace background::detail
