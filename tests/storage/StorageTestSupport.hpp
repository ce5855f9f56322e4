#pragma once

#include <background/storage/tmio.h>

#include "support/TestHelpers.hpp"

#include <signal.h>
#include <sys/resource.h>

#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <string>

namespace storage_test {

using background::testing::in_child;
using background::testing::TempDir;

inline std::string read_bytes(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}
inline std::string bytes_of(const void* data, std::size_t n) { return {static_cast<const char*>(data), n}; }
inline std::string word(std::int32_t value) { return bytes_of(&value, 4); }  // host order, as streams hold it
inline std::string record(const std::string& payload) { return word(int(payload.size())) + payload; }
inline std::string handshake(std::string protocol) {
    protocol.resize(TMIO_PROTOCOL_SIZE, '\0');
    return word(TMIO_HANDSHAKE) + protocol;
}

inline std::string mem_address(const void* base, std::size_t size) {
    char text[64];
    std::snprintf(text, sizeof text, "mem://%p/%zu", base, size);
    return text;
}

inline int open_descriptors() {
    const auto entries = std::filesystem::directory_iterator("/proc/self/fd");
    return int(std::distance(begin(entries), end(entries)));
}

/// Runs `body` in a child whose writes past `bytes` fail with EFBIG until `body` calls the given lift.
inline bool in_child_with_file_limit(rlim_t bytes, const std::function<bool(const std::function<void()>&)>& body) {
    return in_child([&] {
        signal(SIGXFSZ, SIG_IGN);
        rlimit before{};
        getrlimit(RLIMIT_FSIZE, &before);
        const rlimit small{bytes, before.rlim_max};
        setrlimit(RLIMIT_FSIZE, &small);
        return body([&] { setrlimit(RLIMIT_FSIZE, &before); });
    });
}

}  // namespace storage_test
