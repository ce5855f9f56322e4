#pragma once
// Shared helpers for the C++ tests: checking what a call throws, its exact message and the one nested in it,
// writing small settings files and FIFOs, running a call in a child process that may hang.

#include <gtest/gtest.h>

#include <grp.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/time.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <exception>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

/// Expects `statement` to throw `type` whose what() is exactly `message`.
#define EXPECT_THROW_MSG(statement, type, message) \
    EXPECT_EQ(::background::testing::thrown<type>([&] { statement; }), std::string(message))

namespace background::testing {

/// The message of the exception nested inside `outer`.
template <typename Outer>
std::string nested_message(const Outer& outer) {
    try { std::rethrow_if_nested(outer); } catch (const std::exception& inner) { return inner.what(); }
    return "<no nested exception>";
}

/// What `call` threw as a `Type`: its message, with `cause` followed by " <- " and the nested exception's.
template <typename Type, typename Call>
std::string thrown(const Call& call, bool cause = false) {
    try {
        call();
    } catch (const Type& caught) {
        return caught.what() + (cause ? " <- " + nested_message(caught) : "");
    } catch (const std::exception& other) {
        return "another exception: " + std::string(other.what());
    }
    return "nothing thrown";
}

/// Runs `body` in a forked child that always _exits; true when it returned true within `seconds` (else killed).
inline bool in_child(const std::function<bool()>& body, int seconds = 20) {
    const pid_t pid = fork();
    if (pid == 0) _exit([&] { try { return body() ? 0 : 1; } catch (...) { return 1; } }());
    int status = 0;
    for (int i = 0; pid > 0 && i < 200 * seconds; ++i, usleep(5000)) {
        const pid_t r = waitpid(pid, &status, WNOHANG);
        if (r != 0) return r == pid && WIFEXITED(status) && WEXITSTATUS(status) == 0;
    }
    if (pid > 0 && kill(pid, SIGKILL) == 0) waitpid(pid, &status, 0);
    return false;
}

/// Every message of the chain `failure` heads, outermost first, joined by " <- ".
inline std::string causes(const std::exception& failure) {
    try { std::rethrow_if_nested(failure); } catch (const std::exception& inner) {
        return failure.what() + std::string(" <- ") + causes(inner);
    }
    return failure.what();
}

/// Runs `body` in a child as user 65534 in `group` alone: a user other than root, who owns the files the tests
/// make. Only root can switch; the tests that need two users skip otherwise.
inline bool in_child_as_other_user(const std::function<bool()>& body, gid_t group = 65534, int seconds = 20) {
    return in_child([&] {
        const gid_t groups[] = {group};
        return setgroups(1, groups) == 0 && setgid(group) == 0 && setuid(65534) == 0 && body();
    }, seconds);
}
#define REQUIRE_ROOT() \
    if (geteuid() != 0) GTEST_SKIP() << "needs root to act as another user"

/// From now on SIGALRM comes every `interval_us`, handled without SA_RESTART so that each one interrupts whatever
/// waits, with the timer slack raised to `slack_ns` where given: a signal then comes before a sleep may end. For a
/// child, which never stops it.
inline void take_periodic_signals(long interval_us, unsigned long slack_ns = 0) {
    struct sigaction action {};
    action.sa_handler = [](int) {};
    sigaction(SIGALRM, &action, nullptr);
    if (slack_ns) prctl(PR_SET_TIMERSLACK, slack_ns);
    const itimerval every{{0, interval_us}, {0, interval_us}};
    setitimer(ITIMER_REAL, &every, nullptr);
}

/// Whether `call` ends, returning or throwing, within three seconds; run in a child, a hang cannot stop the tests.
template <typename Call>
bool returns_promptly(const Call& call) {
    return in_child([&] { try { call(); } catch (...) {} return true; }, 3);
}

/// A fresh directory under the system's temporary directory, removed at scope exit.
class TempDir {
public:
    TempDir() {
        std::string templ = (std::filesystem::temp_directory_path() / "bgtest-XXXXXX").string();
        path_ = mkdtemp(templ.data());
    }
    ~TempDir() { std::error_code ignored; std::filesystem::remove_all(path_, ignored); }
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
