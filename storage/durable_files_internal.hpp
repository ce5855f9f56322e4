#pragma once
// What the writers of stored data share so that readers meet whole files: an
// exclusive lock that also works where locks follow NFS rules, and syncs that
// put a file's bytes or a directory's names on the disk before anything that
// depends on them. Nothing declared here leaves the library.

#include <filesystem>
#include <system_error>

#pragma GCC visibility push(hidden)

namespace background::detail {

/// Holds an exclusive lock on the regular file `file` while it lives, waiting
/// for the holder before it. The lock is a write lock on a descriptor opened
/// for reading and writing (what NFS requires of a lock) and belongs to that
/// open file, so two threads of one process take turns just as two processes
/// do.
///
/// The file is never removed: a writer waiting on a removed file would hold a
/// lock that the next writer, creating the file anew, never meets. Whoever
/// may write its directory may take it, so it is created with the directory's
/// group (where the creator may give it; root gives the directory's owner too)
/// and its write bits for group and others, and an existing one is opened
/// without creating. It is the library's own regular file: a symbolic link at
/// its name is refused, and nothing is opened or created through it. A writer
/// that got the lock on a file its name no longer leads to takes it again on
/// the one it leads to now.
///
/// Where the directory itself cannot be written (missing, not a directory,
/// read-only, not permitted), nothing is held: whatever the writer then tries
/// to create there fails with its own error. Otherwise a lock file that cannot
/// be opened, after retries for up to two seconds while another writer creates
/// and shares it, is refused naming it and the remedy.
class WriterLock {
public:
    explicit WriterLock(const std::filesystem::path& file);
    ~WriterLock();
    WriterLock(const WriterLock&) = delete;
    WriterLock& operator=(const WriterLock&) = delete;

private:
    int fd;
};

/// The directory that holds `file`: "." for a bare name.
std::filesystem::path directory_of(const std::filesystem::path& file);
/// Whether `file` names the open file `fd` (the same inode of the same device).
bool names_open_file(const std::filesystem::path& file, int fd);
/// Sends the file's bytes to the disk; the system's reason where it could not.
std::error_code sync_file(const std::filesystem::path& file);
/// Sends the directory's entries (created, renamed, removed names) to the
/// disk; an empty path is the working directory. Throws IOError naming it.
void sync_directory(const std::filesystem::path& dir);

}  // namespace background::detail

#pragma GCC visibility pop
