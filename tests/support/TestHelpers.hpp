#pragma once
// Shared helpers for the C++ tests: checking an exception's type and exact
// message in one step, writing small settings files and FIFOs, running a call that may hang.

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <exception>
#include <filesystem>
#include <fstream>
#include <string>

/// Expects `statement` to throw `type` whose what() is exactly `message`.
#define EXPECT_THROW_MSG(statement, type, message)                                   \
    do {                                                                             \
        try {                                                                        \
            statement;                                                               \
            ADD_FAILURE() << "expected " #type " with message \"" << (message)       \
                          << "\", nothing was thrown";                               \
        } catch (const type& caught_) {                                              \
            EXPECT_EQ(std::string(caught_.what()), std::string(message));            \
        } catch (const std::exception& other_) {                                     \
            ADD_FAILURE() << "expected " #type ", got another exception: " << other_.what(); \
        }                                                                            \
    } while (false)

namespace background::testing {

/// Whether `call` ends, returning or throwing, within three seconds; run in a child, a hang cannot stop the tests.
template <typename Call>
bool returns_promptly(const Call& call) {
    int status = 0;
    if (const pid_t child = fork(); child != 0) return waitpid(child, &status, 0) == child && status == 0;
    alarm(3);
    try { call(); } catch (...) {}
    _exit(0);
}

/// The exception nested inside `outer`, rethrown and caught as std::exception.
template <typename Outer>
std::string nested_message(const Outer& outer) {
    try {
        std::rethrow_if_nested(outer);
    } catch (const std::exception& inner) {
        return inner.what();
    } catch (...) {
        return "<non-standard exception>";
    }
    return "<no nested exception>";
}

/// A fresh directory under the system's temporary directory, removed at scope exit.
class TempDir {
public:
    TempDir() {
        auto base = std::filesystem::temp_directory_path();
        std::string name = "bgtest-XXXXXX";
        std::string templ = (base / name).string();
        path_ = mkdtemp(templ.data());
    }
    ~TempDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }

    /// Writes `content` to `name` inside the directory and returns its path.
    std::filesystem::path write(const std::string& name, const std::string& content) const {
        auto file = path_ / name;
        std::filesystem::create_directories(file.parent_path());
        std::ofstream(file, std::ios::binary) << content;
        return file;
    }
    std::filesystem::path fifo(const std::string& name) const {
        return mkfifo((path_ / name).c_str(), 0600) == 0 ? path_ / name : std::filesystem::path();
    }

private:
    std::filesystem::path path_;
};

}  // namespace background::testing
