#include <background/core/text_file_internal.hpp>

#include <background/core/Format.hpp>
#include <background/core/IOError.hpp>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

namespace background::detail {

namespace {

IOError failure(const std::filesystem::path& path, const std::string& reason) {
    return IOError(format("Cannot read {}: {}", path.string(), reason));
}

IOError system_failure(const std::filesystem::path& path) {
    return failure(path, std::generic_category().message(errno));
}

// Closes the descriptor on every way out of read_text_file.
class Descriptor {
public:
    explicit Descriptor(int fd) : fd(fd) {}
    ~Descriptor() { ::close(fd); }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;

    const int fd;
};

}  // namespace

std::string read_text_file(const std::filesystem::path& path) {
    // Opened through a C string, the name would end at the NUL.
    if (path.native().find('\0') != std::string::npos) throw failure(path, "the name contains a NUL character");
    // O_NONBLOCK lets a FIFO without a writer open at once, so that the type
    // test below can refuse it; it does not change how a regular file reads.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOCTTY);
    if (fd < 0) {
        const int error = errno;
        throw OpenError(failure(path, std::generic_category().message(error)).what(), error);
    }
    const Descriptor file(fd);
    struct stat info {};
    if (::fstat(file.fd, &info) != 0) throw system_failure(path);
    if (!S_ISREG(info.st_mode)) throw failure(path, "not a regular file");
    std::string text;
    // The size is only a hint: a file may grow or shrink while it is read.
    text.reserve(static_cast<std::size_t>(info.st_size));
    char buffer[65536];
    for (;;) {
        const ssize_t got = ::read(file.fd, buffer, sizeof buffer);
        if (got == 0) return text;
        if (got < 0 && errno != EINTR) throw system_failure(path);
        if (got > 0) text.append(buffer, static_cast<std::size_t>(got));
    }
}

}  // namespace background::detail
