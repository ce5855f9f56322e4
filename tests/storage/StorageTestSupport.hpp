#pragma once
// Helpers shared by the storage tests: building stream bytes word by word,
// reading files back, memory-stream addresses and bounded child processes.

#include <background/storage/tmio.h>

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>
#include <thread>

namespace storage_test {

inline std::string read_bytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void write_bytes(const std::filesystem::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

/// The 4 host-order bytes of one stream word.
inline std::string word(std::int32_t value) {
    std::string bytes(4, '\0');
    std::memcpy(bytes.data(), &value, 4);
    return bytes;
}

/// A handshake: the handshake word and the protocol field padded to 64 bytes.
inline std::string handshake(const std::string& protocol) {
    std::string field = protocol;
    field.resize(64, '\0');
    return word(TMIO_HANDSHAKE) + field;
}

/// A data record: its length word and its bytes.
inline std::string record(const std::string& payload) {
    return word(static_cast<std::int32_t>(payload.size())) + payload;
}

inline std::string mem_address(const void* base, std::size_t size) {
    char text[64];
    std::snprintf(text, sizeof text, "mem://%p/%zu", base, size);
    return text;
}

/// Runs `body` in a forked child that always _exits (0 when body returned
/// true) and returns the child's pid.
inline pid_t spawn(const std::function<bool()>& body) {
    pid_t pid = fork();
    if (pid == 0) {
        bool ok = false;
        try {
            ok = body();
        } catch (...) {
        }
        _exit(ok ? 0 : 1);
    }
    return pid;
}

/// Waits up to `limit` for the child; a child still running is killed.
/// True when it exited with status 0.
inline bool join(pid_t pid, std::chrono::milliseconds limit = std::chrono::seconds(20)) {
    const auto end = std::chrono::steady_clock::now() + limit;
    int status = 0;
    for (;;) {
        pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid) return WIFEXITED(status) && WEXITSTATUS(status) == 0;
        if (r < 0) return false;
        if (std::chrono::steady_clock::now() > end) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

}  // namespace storage_test
