#include <background/storage/bufio.h>

#include "StorageTestSupport.hpp"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <future>
#include <thread>
#include <tuple>
#include <vector>

// Counts the library's connect attempts; the program's definition wins over the C library's.
static std::atomic<int> connect_calls{0};

extern "C" int connect(int fd, const sockaddr* address, socklen_t length) {
    static const auto real = reinterpret_cast<int (*)(int, const sockaddr*, socklen_t)>(dlsym(RTLD_NEXT, "connect"));
    ++connect_calls;
    return real(fd, address, length);
}

namespace {

using namespace storage_test;

constexpr int WAIT_MS = 10000;  // bounds every wait on a peer

int port_of(int fd) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    return ntohs(address.sin_port);
}

int bound_socket() {  // on 127.0.0.1 and a port the OS chose; connects are refused until it listens
    const sockaddr_in address{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    return bind(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 ? fd : -1;
}

std::string address(const char* form, int fd) { return form + std::to_string(port_of(fd)) + "/127.0.0.1"; }

// A host that never answers: a listener whose queue is full of connections nobody accepts, so that the system drops
// every further SYN, as behind a firewall's DROP rule.
struct SilentHost {
    SilentHost() {
        listen(listener, 1);
        sockaddr_in to{AF_INET, htons(static_cast<uint16_t>(port_of(listener))), {htonl(INADDR_LOOPBACK)}, {}};
        for (int& fd : queued) {
            fd = socket(AF_INET, SOCK_STREAM, 0);
            connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to);
        }
    }
    ~SilentHost() {
        for (int fd : queued) close(fd);
        close(listener);
    }
    const int listener = bound_socket();
    int queued[2] = {};
};

// Each refusal is its lines under the caller's label, silence without one, and no descriptor left behind.
TEST(BufioOpen, RefusalsAreReportedOnlyUnderALabelAndLeaveNoDescriptor) {
    TempDir dir;
    char region[4] = {};
    const std::string missing = (dir.path() / "missing").string(), fifo = dir.fifo("fifo").string();
    const int refusing = bound_socket(), listening = bound_socket();
    ASSERT_EQ(listen(listening, 1), 0);
    const SilentHost silent;
    const std::string error = "stat failed -- ";
    const struct { std::string address; const char* mode; std::string lines; int timeout = 0; } cases[] = {
        {mem_address(region, 4), "r+", "invalid mode r+ for mem."},
        {"-", "r+", "invalid mode r+ for standard stream"},
        {"file://-", "w+", "invalid mode w+ for standard stream"},
        {missing, "r+", error + std::strerror(ENOENT)},
        {dir.path().string(), "r", "can not open directory " + dir.path().string()},
        {dir.write("f", "x").string(), "a", "invalid mode a for file."},
        {(dir.path() / std::string(1100, 'p')).string(), "w", error + std::strerror(ENAMETOOLONG)},  // never cut short
        {"tcp://connect/x", "w", "failed to open file with mode w tcp://connect/x"},
        {fifo, "w", "failed to open file with mode w " + fifo},  // no reader: fails rather than blocks
        {"tcp://connect/70000/127.0.0.1", "w", "invalid port"},
        {address("tcp://connect/", refusing), "w", "connecting to 127.0.0.1:" + std::to_string(port_of(refusing)) +
                                                       "\nlbl: connect timeout / " + std::strerror(ECONNREFUSED)},
        {address("tcp://serve/", listening), "r", "bind failed ... " + std::string(std::strerror(EADDRINUSE))},
        {address("tcp://connect/", silent.listener), "w", "connecting to 127.0.0.1:" +
             std::to_string(port_of(silent.listener)) + "\nlbl: connect timeout / " + std::strerror(ETIMEDOUT), 300},
    };
    const int descriptors = open_descriptors();
    for (const auto& c : cases)
        for (const char* label : {"lbl", static_cast<const char*>(nullptr)}) {
            testing::internal::CaptureStderr();
            EXPECT_EQ(bufio_open(c.address.c_str(), c.mode, c.timeout, 0, label), nullptr);
            EXPECT_EQ(testing::internal::GetCapturedStderr(), label ? "lbl: " + c.lines + "\n" : "") << c.address;
        }
    EXPECT_EQ(bufio_close(nullptr), 0);
    EXPECT_EQ(open_descriptors(), descriptors);
    EXPECT_FALSE(std::filesystem::exists(missing));
    EXPECT_TRUE(close(refusing) == 0 && close(listening) == 0);
}

// After a write fails on the file-size limit only the bytes that did not reach the file are kept.
TEST(BufioFile, WritesInPlaceReadsAcrossRefillsWaitsForGrowthAndSendsNoByteTwiceAfterAFailedWrite) {
    TempDir dir;
    const std::string text = "0123456789abcdefghijklmnopqrst";
    const auto path = dir.write("f", text);
    bufio_stream* s = bufio_open(("file://" + path.string()).c_str(), "w+", 0, 8, nullptr);
    EXPECT_TRUE(bufio_write(s, "01", 2) == 2 && bufio_close(s) == 0 && read_bytes(path) == text) << "w+ truncated";
    s = bufio_open(path.c_str(), "r", 0, 16, nullptr);
    char buffer[32];
    EXPECT_TRUE(bufio_read(s, buffer, 4) == 4 && bufio_read(s, buffer + 4, 28) == 26);
    EXPECT_EQ(std::string(buffer, 30), text);
    EXPECT_EQ(bufio_status(s), BUFIO_EOF);
    bufio_clear_status(s);
    EXPECT_EQ(bufio_wait(s, 120), 0);  // the file does not grow: the wait gives up in time
    std::thread appender([&] { usleep(100000), std::ofstream(path, std::ios::app) << "hello"; });
    bufio_clear_status(s);
    EXPECT_EQ(bufio_wait(s, WAIT_MS), 1) << "the wait misses what another writer appends";
    appender.join();
    EXPECT_TRUE(bufio_read(s, buffer, 5) == 5 && std::string(buffer, 5) == "hello");
    bufio_close(s);

    const std::string data = std::string(50, 'a') + std::string(40, 'b'), more(80, 'c');
    const auto flushed = dir.path() / "flushed", overflowed = dir.path() / "overflowed";
    EXPECT_TRUE(in_child_with_file_limit(50, [&](const auto& lift) {
        bufio_stream* s = bufio_open(flushed.c_str(), "w", 0, 128, nullptr);
        const bool failed = bufio_write(s, data.data(), 90) == 90 && bufio_flush(s) == -1 &&
                            s->status == -EFBIG && s->out_pending == 40;
        lift();
        return failed && bufio_flush(s) == 0 && bufio_close(s) == 0;
    }));
    EXPECT_EQ(read_bytes(flushed), data);
    EXPECT_TRUE(in_child_with_file_limit(30, [&](const auto& lift) {  // too large for the buffer: behind pending bytes
        bufio_stream* s = bufio_open(overflowed.c_str(), "w", 0, 64, nullptr);
        const bool failed = bufio_write(s, data.data(), 50) == 50 && bufio_write(s, more.data(), 80) == 0 &&
                            s->out_pending == 20;
        lift();
        return failed && bufio_flush(s) == 0 && bufio_write(s, more.data(), 80) == 80 && bufio_close(s) == 0;
    }));
    EXPECT_EQ(read_bytes(overflowed), data.substr(0, 50) + more);
}

// Closing "-" ends the process's side of its pipes at once, while the process goes on; 0 and 1 stay taken, so a
// file opened afterwards cannot receive what it prints, and later reads and writes fail as on a closed descriptor.
// A descriptor that was closed when "-" was opened stays closed.
TEST(BufioStdio, ClosingEndsTheStandardStreamsAtOnceAndKeepsTheirNumbersTaken) {
    int out[2], go[2];
    ASSERT_TRUE(pipe(out) == 0 && pipe(go) == 0);
    const pid_t pid = fork();
    if (pid == 0) {
        char byte;
        dup2(out[1], 1), dup2(go[0], 0), close(out[1]), close(out[0]);
        bufio_stream* w = bufio_open("-", "w", 0, 0, nullptr);
        bufio_stream* r = bufio_open("file://-", "r", 0, 0, nullptr);
        const bool closed = bufio_write(w, "abc", 3) == 3 && bufio_close(r) == 0 && bufio_close(w) == 0;
        const bool kept = open("/dev/null", O_RDONLY) > 1 && write(1, "def", 3) == -1 && errno == EBADF &&
                          read(0, &byte, 1) == -1 && errno == EBADF;
        close(1);
        const bool left = bufio_close(bufio_open("-", "w", 0, 0, nullptr)) == 0 && fcntl(1, F_GETFD) == -1;
        // 1 closed behind the stream's back (as by fclose(stdout)), or no descriptor left for /dev/null: taken all
        // the same.
        bufio_stream* behind = open("/dev/null", O_WRONLY) == 1 ? bufio_open("-", "w", 0, 0, nullptr) : nullptr;
        const bool reopened = behind && close(1) == 0 && bufio_close(behind) == 0 && open("/dev/null", O_RDONLY) > 1;
        bufio_stream* full = bufio_open("-", "w", 0, 0, nullptr);
        const rlimit few{16, 16};
        std::vector<int> taken;
        if (setrlimit(RLIMIT_NOFILE, &few) == 0)
            for (int fd; (fd = open("/dev/null", O_RDONLY)) >= 0;) taken.push_back(fd);
        const bool no_descriptor_left = errno == EMFILE && bufio_close(full) == 0 && close(taken.at(0)) == 0 &&
                                        open("/dev/null", O_RDONLY) > 1 && write(1, "g", 1) == -1 && errno == EBADF;
        _exit(closed && kept && left && reopened && no_descriptor_left && read(go[0], &byte, 1) == 1 ? 0 : 1);
    }
    close(out[1]);
    std::string printed(8, '\0');
    pollfd output{out[0], POLLIN, 0};
    printed.resize(poll(&output, 1, 10000) == 1 ? read(out[0], printed.data(), 8) : 0);
    EXPECT_TRUE(printed == "abc" && poll(&output, 1, 10000) == 1 && read(out[0], printed.data(), 8) == 0);
    int status = -1;
    EXPECT_EQ(waitpid(pid, &status, WNOHANG), 0) << "the end came only when the process exited";
    EXPECT_TRUE(write(go[1], "g", 1) == 1 && waitpid(pid, &status, 0) == pid && status == 0);
    for (int fd : {out[0], go[0], go[1]}) close(fd);
}

bool lock(int fd, short type, off_t start = 0, off_t length = 0, int command = F_SETLK) {
    struct flock fl {type, SEEK_SET, start, length, 0};
    return fd >= 0 && fcntl(fd, command, &fl) == 0;
}

// Record locks belong to the process, so only another process can tell whether a region is locked.
bool others_can_lock(const std::filesystem::path& file, short type, off_t start = 0, off_t length = 0) {
    return in_child([&] { return lock(open(file.c_str(), O_RDWR), type, start, length); });
}

TEST(BufioLockedFile, LocksCoverTheTransferAndAreGivenBackWhole) {
    TempDir dir;
    const auto file = dir.write("f", "0123456789");
    const std::string address = "lockedfile://" + file.string(), data(64, 'L');
    bufio_stream* s = bufio_open(address.c_str(), "w+", 0, 16, nullptr);
    EXPECT_TRUE(bufio_write(s, "ab", 2) == 2 && others_can_lock(file, F_WRLCK)) << "locked while only buffering";
    // An overflowing write locks from where it starts to the end, however far the file grows.
    EXPECT_EQ(bufio_write(s, data.data(), data.size()), data.size());
    EXPECT_FALSE(others_can_lock(file, F_RDLCK, 0, 1) || others_can_lock(file, F_RDLCK, 1 << 20, 1));
    EXPECT_TRUE(bufio_write(s, "cd", 2) == 2 && bufio_flush(s) == 0);
    EXPECT_TRUE(others_can_lock(file, F_WRLCK)) << "the flush kept part of the lock";
    EXPECT_TRUE(bufio_close(s) == 0 && read_bytes(file) == "ab" + data + "cd");
    s = bufio_open(address.c_str(), "r", 0, 16, nullptr);
    char buffer[68];
    EXPECT_TRUE(bufio_read(s, buffer, 68) == 68 && others_can_lock(file, F_WRLCK)) << "the read kept its lock";
    EXPECT_TRUE(bufio_wait(s, 0) == 0 && others_can_lock(file, F_WRLCK)) << "the wait at the end kept its lock";
    EXPECT_EQ(bufio_close(s), 0);
}

void previous_alarm_handler(int) {}

// The wait for a held lock must end on every thread and leave the caller's alarm handler and timer alone.
TEST(BufioLockedFile, ContendedLockTimesOutOnEveryThreadAndLeavesTheAlarmAlone) {
    TempDir dir;
    const auto file = dir.write("f", "0123456789");
    const auto before = signal(SIGALRM, previous_alarm_handler);
    itimerval timer{{0, 0}, {1000, 0}}, left{};
    setitimer(ITIMER_REAL, &timer, nullptr);
    const int holder = open(file.c_str(), O_RDWR);  // an open file description lock bars this process too
    ASSERT_TRUE(lock(holder, F_WRLCK, 0, 0, F_OFD_SETLK));
    const auto attempt = [&] {
        bufio_stream* s = bufio_open(("lockedfile://" + file.string()).c_str(), "w+", 0, 16, nullptr);
        bufio_timeout(s, 150);
        const std::string data(64, 'L');
        const bool write_timed_out = bufio_write(s, data.data(), data.size()) == 0 && s->status == BUFIO_TIMEOUT;
        bufio_clear_status(s);
        char c;
        const bool read_timed_out = bufio_read(s, &c, 1) == 0 && s->status == BUFIO_TIMEOUT;
        bufio_close(s);
        return write_timed_out && read_timed_out;
    };
    std::promise<void> done;
    auto release = std::async(std::launch::async, [&, finished = done.get_future()] {
        finished.wait_for(std::chrono::milliseconds(WAIT_MS));  // a wait without bound fails rather than hangs
        close(holder);
    });
    EXPECT_TRUE(attempt());
    auto other_thread = std::async(std::launch::async, attempt);
    EXPECT_EQ(other_thread.wait_for(std::chrono::milliseconds(WAIT_MS)), std::future_status::ready);
    done.set_value();
    release.get();
    EXPECT_TRUE(other_thread.get());
    EXPECT_EQ(signal(SIGALRM, before), &previous_alarm_handler);
    timer = {};
    setitimer(ITIMER_REAL, &timer, &left);
    EXPECT_GT(left.it_value.tv_sec, 900);
    EXPECT_EQ(read_bytes(file), "0123456789");
}

// t ms of open timeout give t / 50 + 1 attempts 50 ms apart (below 100 ms counting as 100).
TEST(BufioTcp, ExchangeAndTheTimeoutsOfConnectAndListen) {
    bufio_stream* server = bufio_open("tcp://serve/0/127.0.0.1", "r", 0, 0, nullptr);
    EXPECT_EQ(bufio_wait(server, 0), 0);  // no client yet
    const std::string served = address("tcp://connect/", bufio_fileno(server));
    bufio_stream* client = bufio_open(served.c_str(), "w", 2000, 0, nullptr);
    bufio_timeout(server, WAIT_MS);
    EXPECT_TRUE(bufio_write(client, "hello", 5) == 5 && bufio_flush(client) == 0);
    EXPECT_TRUE(bufio_wait(server, WAIT_MS) == 1 && bufio_type_str(server) == std::string("socket")) << "not accepted";
    char buffer[8];
    EXPECT_TRUE(bufio_read(server, buffer, 5) == 5 && std::string(buffer, 5) == "hello");
    EXPECT_TRUE(bufio_close(client) == 0 && bufio_wait(server, WAIT_MS) == 0);
    bufio_clear_status(server);
    EXPECT_TRUE(bufio_read(server, buffer, 1) == 0 && bufio_status(server) == BUFIO_EOF) << "no lasting end-of-file";
    EXPECT_EQ(bufio_close(server), 0);

    const int refusing = bound_socket(), descriptors = open_descriptors();
    for (const auto& [timeout, attempts] : {std::pair{0, 1}, {30, 3}, {260, 6}}) {
        connect_calls = 0;
        EXPECT_EQ(bufio_open(address("tcp://connect/", refusing).c_str(), "w", timeout, 0, nullptr), nullptr);
        EXPECT_EQ(connect_calls, attempts) << timeout << " ms";
    }
    EXPECT_EQ(open_descriptors(), descriptors) << "a retry's socket left open";
    // A server that starts listening within the timeout is reached; a timeout of 0 is one attempt that waits for the
    // handshake.
    std::thread late_server([&] { usleep(200000), listen(refusing, 2); });
    bufio_stream* reached = bufio_open(address("tcp://connect/", refusing).c_str(), "w", 300, 0, nullptr);
    late_server.join();
    EXPECT_NE(reached, nullptr) << "a server listening after 200 ms";
    bufio_stream* at_once = bufio_open(address("tcp://connect/", refusing).c_str(), "w", 0, 0, nullptr);
    EXPECT_NE(at_once, nullptr) << "timeout 0";
    EXPECT_TRUE(bufio_close(reached) == 0 && bufio_close(at_once) == 0);
    close(refusing);
    // Without a deadline (0 and -1) an attempt on a host that never answers waits as a plain connect does, which
    // signals must not cut short: still waiting after a second.
    const SilentHost silent;
    for (int timeout : {0, -1})
        EXPECT_FALSE(in_child([&] {
            background::testing::take_periodic_signals(10000);
            bufio_open(address("tcp://connect/", silent.listener).c_str(), "w", timeout, 0, nullptr);
            return true;
        }, 1)) << "timeout " << timeout << " gave up";
    EXPECT_TRUE(in_child([] {
        const auto started = std::chrono::steady_clock::now();
        const bool refused = bufio_open("tcp://listen/0/127.0.0.1", "r", 150, 0, nullptr) == nullptr;
        const auto waited = std::chrono::steady_clock::now() - started;
        return refused && waited >= std::chrono::milliseconds(150) && waited < std::chrono::seconds(5);
    }));
}

}  // namespace

// Each bounded wait ends on its bound, and none before it, without signals and while the process takes a signal
// every 10 ms: with the usual timer slack, and with one so large that no sleep ends before the next signal. A failed
// connect leaves errno telling a refusal from a host that never answered.
TEST(BufioTimeouts, EndOnTheirBoundWhileSignalsKeepComing) {
    TempDir dir;
    const auto fifo = dir.fifo("fifo"), file = dir.write("f", "0123456789");
    const int holder = open(file.c_str(), O_RDWR), refusing = bound_socket();
    const SilentHost silent;
    ASSERT_TRUE(lock(holder, F_WRLCK, 0, 0, F_OFD_SETLK));
    const auto read_times_out = [](bufio_stream* s) {
        bufio_timeout(s, 300);
        char c;
        const bool timed_out = s && bufio_read(s, &c, 1) == 0 && s->status == BUFIO_TIMEOUT;
        bufio_close(s);
        return timed_out;
    };
    const auto connect_fails = [](int fd, int timeout, int error) {
        return bufio_open(address("tcp://connect/", fd).c_str(), "w", timeout, 0, nullptr) == nullptr && errno == error;
    };
    // Each with the least and the most ms it may take. A silent host ends the open on its deadline, not an attempt
    // later, and a timeout below 100 ms counts as 100 there too.
    const std::vector<std::tuple<const char*, int, int, std::function<bool()>>> waits{
        {"a read of a FIFO whose writer is silent", 300, 1000, [&] {
             bufio_stream* s = bufio_open(fifo.c_str(), "r", 0, 16, nullptr);
             return open(fifo.c_str(), O_WRONLY | O_NONBLOCK) >= 0 && read_times_out(s);
         }},
        {"a read of a locked file another holds", 300, 1000,
         [&] { return read_times_out(bufio_open(("lockedfile://" + file.string()).c_str(), "r", 0, 16, nullptr)); }},
        {"a connect to a port that refuses", 300, 1000, [&] { return connect_fails(refusing, 300, ECONNREFUSED); }},
        {"a connect to a host that never answers", 1000, 1300,
         [&] { return connect_fails(silent.listener, 1000, ETIMEDOUT); }},
        {"a connect to it with 50 ms", 100, 400, [&] { return connect_fails(silent.listener, 50, ETIMEDOUT); }}};
    using std::chrono::milliseconds;
    for (const auto& [interval_us, slack_ns] : {std::pair{0L, 0UL}, {10000L, 0UL}, {10000L, 20000000UL}}) {
        for (const auto& [name, least_ms, most_ms, wait] : waits) {
            EXPECT_TRUE(in_child([&] {
                background::testing::take_periodic_signals(interval_us, slack_ns);
                const auto started = std::chrono::steady_clock::now();
                const bool ended = wait();
                const auto waited = std::chrono::steady_clock::now() - started;
                return ended && waited >= milliseconds(least_ms) && waited < milliseconds(most_ms);
            }, 5)) << name << ", signals every " << interval_us << " us, timer slack " << slack_ns << " ns";
        }
    }
    close(holder);
    close(refusing);
}

// A wait without a limit waits for what comes, however many signals interrupt it.
TEST(BufioTimeouts, WaitsWithoutALimitOutlastSignals) {
    TempDir dir;
    const auto fifo = dir.fifo("fifo");
    EXPECT_TRUE(in_child([&] {
        background::testing::take_periodic_signals(10000);
        bufio_stream* s = bufio_open(fifo.c_str(), "r", 0, 16, nullptr);
        const int writer = open(fifo.c_str(), O_WRONLY | O_NONBLOCK);
        sigset_t alarm;
        sigemptyset(&alarm);
        sigaddset(&alarm, SIGALRM);
        pthread_sigmask(SIG_BLOCK, &alarm, nullptr);  // for the writer: every signal goes to the waits
        std::thread late_writer([&] {
            for (const char* byte : {"a", "b"}) usleep(300000), write(writer, byte, 1);
        });
        pthread_sigmask(SIG_UNBLOCK, &alarm, nullptr);
        bufio_timeout(s, -1);
        char got[2] = {};
        const bool waited = bufio_wait(s, -1) == 1 && bufio_read(s, got, 1) == 1;
        const bool read = bufio_read(s, got + 1, 1) == 1;
        late_writer.join();
        return waited && read && std::string(got, 2) == "ab" && bufio_close(s) == 0;
    }, 5));
}
