#pragma once
// Stream bytes word by word, memory addresses, descriptor counts, bounded child processes.

#include <background/storage/tmio.h>

#include "support/TestHelpers.hpp"

#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>

namespace storage_test {

using background::testing::TempDir;

inline std::string read_bytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}
inline std::string bytes_of(const void* data, std::size_t n) { return {static_cast<const char*>(data), n}; }
inline std::string word(std::int32_t value) { return bytes_of(&value, 4); }  // host order, as streams hold it

/// The handshake word and the protocol field padded to 64 bytes.
inline std::string handshake(std::string protocol) {
    protocol.resize(TMIO_PROTOCOL_SIZE, '\0');
    return word(TMIO_HANDSHAKE) + protocol;
}

/// A data record: its length word and its bytes.
inline std::string record(const std::string& payload) { return word(int(payload.size())) + payload; }

inline std::string mem_address(const void* base, std::size_t size) {
    char text[64];
    std::snprintf(text, sizeof text, "mem://%p/%zu", base, size);
    return text;
}

/// Compared before and after, shows a leaked descriptor or socket.
inline int open_descriptors() {
    int n = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) ++n;
    return n;
}

/// Runs `body` in a forked child that always _exits, with 0 when `body` returned true.
inline pid_t spawn(const std::function<bool()>& body) {
    const pid_t pid = fork();
    if (pid == 0) _exit([&] {
        try {
            return body() ? 0 : 1;
        } catch (...) {
            return 1;
        }
    }());
    return pid;
}

/// True when the child exits with 0 within 20 s; a child still running then is killed.
inline bool join(pid_t pid) {
    int status = 0;
    for (int i = 0; pid > 0 && i < 4000; ++i, usleep(5000)) {
        const pid_t r = waitpid(pid, &status, WNOHANG);
        if (r != 0) return r == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }
    if (pid > 0 && kill(pid, SIGKILL) == 0) waitpid(pid, &status, 0);
    return false;
}

/// Makes writes past `bytes` fail with EFBIG; process-wide, so only for children.
inline rlimit limit_file_size(rlim_t bytes) {
    signal(SIGXFSZ, SIG_IGN);
    rlimit before{};
    getrlimit(RLIMIT_FSIZE, &before);
    const rlimit small{bytes, before.rlim_max};
    setrlimit(RLIMIT_FSIZE, &small);
    return before;
}

}  // namespace storage_test
