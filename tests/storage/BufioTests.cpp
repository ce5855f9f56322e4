#include <background/storage/bufio.h>

#include "StorageTestSupport.hpp"
#include "support/TestHelpers.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <string>

namespace {

using background::testing::TempDir;
using storage_test::join;
using storage_test::mem_address;
using storage_test::read_bytes;
using storage_test::spawn;
using storage_test::write_bytes;

std::string captured_open_failure(const std::string& address, const char* mode) {
    testing::internal::CaptureStderr();
    bufio_stream* s = bufio_open(address.c_str(), mode, 0, 0, "lbl");
    std::string text = testing::internal::GetCapturedStderr();
    EXPECT_EQ(s, nullptr);
    bufio_close(s);
    return text;
}

TEST(BufioMemory, ReadStopsAtTheEndOfTheRegion) {
    char region[10] = {};
    std::memcpy(region, "0123456789", 10);
    bufio_stream* s = bufio_open(mem_address(region, 10).c_str(), "r", 0, 0, nullptr);
    ASSERT_NE(s, nullptr);
    EXPECT_STREQ(bufio_type_str(s), "mem");
    char buffer[16] = {};
    EXPECT_EQ(bufio_read(s, buffer, 4), 4u);
    EXPECT_EQ(std::string(buffer, 4), "0123");
    EXPECT_EQ(bufio_wait(s, 0), 1);
    EXPECT_EQ(bufio_read(s, buffer, 8), 6u);
    EXPECT_EQ(std::string(buffer, 6), "456789");
    EXPECT_EQ(bufio_status(s), 2);
    EXPECT_STREQ(bufio_status_str(s), "end-of-file");
    EXPECT_EQ(bufio_wait(s, 0), 0);
    EXPECT_EQ(bufio_close(s), 0);
}

TEST(BufioMemory, ReadOnlyRegionRefusesWrites) {
    char region[10] = {};
    bufio_stream* s = bufio_open(mem_address(region, 10).c_str(), "r", 0, 0, nullptr);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(bufio_write(s, "x", 1), 0u);
    EXPECT_EQ(s->status, -1);
    EXPECT_EQ(bufio_status(s), -1);
    EXPECT_EQ(region[0], 0);
    bufio_close(s);
}

TEST(BufioMemory, WriteTakesWhatFitsAndFlushRewinds) {
    char region[10] = {};
    bufio_stream* s = bufio_open(mem_address(region, 10).c_str(), "w", 0, 0, nullptr);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(bufio_write(s, "abcdefghijkl", 12), 10u);
    EXPECT_EQ(std::string(region, 10), "abcdefghij");
    EXPECT_EQ(bufio_status(s), 3);
    EXPECT_STREQ(bufio_status_str(s), "no space available");
    char buffer[4];
    EXPECT_EQ(bufio_wait(s, 0), 0);
    EXPECT_EQ(bufio_flush(s), 0);
    EXPECT_EQ(bufio_status(s), 0);
    EXPECT_EQ(bufio_write(s, "XY", 2), 2u);
    EXPECT_EQ(std::string(region, 10), "XYcdefghij");
    EXPECT_EQ(bufio_read(s, buffer, 1), 0u);
    EXPECT_EQ(s->status, -1);
    bufio_close(s);
}

TEST(BufioMemory, SetMemFieldMovesOnlyMemoryStreams) {
    char first[4] = {'a', 'b', 'c', 'd'};
    char second[2] = {'y', 'z'};
    bufio_stream* s = bufio_open(mem_address(first, 4).c_str(), "r", 0, 0, nullptr);
    ASSERT_NE(s, nullptr);
    char buffer[8];
    EXPECT_EQ(bufio_read(s, buffer, 8), 4u);
    EXPECT_EQ(bufio_set_mem_field(s, second, 2), 0);
    EXPECT_EQ(bufio_status(s), 0);
    EXPECT_EQ(bufio_read(s, buffer, 2), 2u);
    EXPECT_EQ(std::string(buffer, 2), "yz");
    bufio_close(s);

    TempDir dir;
    bufio_stream* f = bufio_open((dir.path() / "f").c_str(), "w", 0, 0, nullptr);
    ASSERT_NE(f, nullptr);
    EXPECT_EQ(bufio_set_mem_field(f, second, 2), 1);
    EXPECT_EQ(f->mem_base, nullptr);
    bufio_close(f);
}

TEST(BufioMemory, RefusesUpdateModes) {
    char region[4] = {};
    const std::string address = mem_address(region, 4);
    EXPECT_EQ(captured_open_failure(address, "r+"), "lbl: invalid mode r+ for mem.\n");
    EXPECT_EQ(captured_open_failure(address, "w+"), "lbl: invalid mode w+ for mem.\n");
}

TEST(BufioStatus, NullStreamHasFixedAnswers) {
    EXPECT_STREQ(bufio_type_str(nullptr), "invalid");
    EXPECT_STREQ(bufio_status_str(nullptr), "closed");
    EXPECT_EQ(bufio_status(nullptr), -1);
    EXPECT_EQ(bufio_type(nullptr), 0);
    EXPECT_EQ(bufio_close(nullptr), 0);
}

TEST(BufioFile, WritesStayBufferedUntilFlush) {
    TempDir dir;
    const auto path = dir.path() / "out.bin";
    bufio_stream* s = bufio_open(path.c_str(), "w", 0, 0, nullptr);
    ASSERT_NE(s, nullptr);
    EXPECT_STREQ(bufio_type_str(s), "file");
    EXPECT_EQ(s->in_size, 262144u);
    EXPECT_EQ(s->out_size, 262144u);
    const std::string data(100, 'q');
    EXPECT_EQ(bufio_write(s, data.data(), data.size()), 100u);
    EXPECT_EQ(std::filesystem::file_size(path), 0u);
    EXPECT_EQ(bufio_flush(s), 0);
    EXPECT_EQ(read_bytes(path), data);
    EXPECT_EQ(bufio_write(s, "tail", 4), 4u);
    EXPECT_EQ(bufio_close(s), 0);
    EXPECT_EQ(read_bytes(path), data + "tail");
}

TEST(BufioFile, OverflowingWriteGoesOutBehindPendingBytes) {
    TempDir dir;
    const auto path = dir.path() / "out.bin";
    bufio_stream* s = bufio_open(path.c_str(), "w", 0, 8, nullptr);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(bufio_write(s, "12345", 5), 5u);
    EXPECT_EQ(bufio_write(s, "abcdefghijklmnopqrst", 20), 20u);
    EXPECT_EQ(s->out_pending, 0u);
    EXPECT_EQ(read_bytes(path), "12345abcdefghijklmnopqrst");
    bufio_close(s);
}

TEST(BufioFile, ReadFillsTheInputBufferAhead) {
    TempDir dir;
    const auto path = dir.write("in.bin", "0123456789abcdefghij");
    bufio_stream* s = bufio_open(path.c_str(), "r", 0, 16, nullptr);
    ASSERT_NE(s, nullptr);
    char buffer[32] = {};
    EXPECT_EQ(bufio_read(s, buffer, 4), 4u);
    EXPECT_EQ(s->in_avail, 16u);
    EXPECT_EQ(bufio_wait(s, 0), 1);
    EXPECT_EQ(bufio_read(s, buffer, 10), 10u);
    EXPECT_EQ(std::string(buffer, 10), "456789abcd");
    EXPECT_EQ(bufio_read(s, buffer, 32), 6u);
    EXPECT_EQ(std::string(buffer, 6), "efghij");
    EXPECT_EQ(bufio_status(s), 2);
    EXPECT_EQ(s->in_avail, 0u);
    EXPECT_EQ(s->in_pos, 0u);
    bufio_close(s);
}

TEST(BufioFile, EmptyFileReadsEndOfFile) {
    TempDir dir;
    const auto path = dir.write("empty", "");
    bufio_stream* s = bufio_open(path.c_str(), "r", 0, 0, nullptr);
    ASSERT_NE(s, nullptr);
    char c;
    EXPECT_EQ(bufio_read(s, &c, 1), 0u);
    EXPECT_EQ(bufio_status(s), 2);
    bufio_clear_status(s);
    EXPECT_EQ(bufio_wait(s, 120), 0);
    EXPECT_EQ(bufio_status(s), 2);
    bufio_close(s);
}

TEST(BufioFile, WaitFollowsAGrowingFile) {
    TempDir dir;
    const auto path = dir.write("growing", "");
    bufio_stream* s = bufio_open(path.c_str(), "r", 0, 0, nullptr);
    ASSERT_NE(s, nullptr);
    pid_t child = spawn([&] {
        usleep(100000);
        int fd = open(path.c_str(), O_WRONLY | O_APPEND);
        bool ok = fd >= 0 && write(fd, "hello", 5) == 5;
        close(fd);
        return ok;
    });
    EXPECT_EQ(bufio_wait(s, 10000), 1);
    EXPECT_EQ(s->in_avail, 5u);
    char buffer[5];
    EXPECT_EQ(bufio_read(s, buffer, 5), 5u);
    EXPECT_EQ(std::string(buffer, 5), "hello");
    EXPECT_TRUE(join(child));
    bufio_close(s);
}

TEST(BufioFile, WaitOnAWriteOnlyStreamGivesNothing) {
    TempDir dir;
    bufio_stream* s = bufio_open((dir.path() / "w").c_str(), "w", 0, 0, nullptr);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(bufio_wait(s, 0), 0);
    bufio_close(s);
}

TEST(BufioFile, WTruncatesAndWPlusDoesNot) {
    TempDir dir;
    const auto path = dir.write("f", "0123456789");
    bufio_stream* s = bufio_open(path.c_str(), "w+", 0, 0, nullptr);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(bufio_write(s, "ab", 2), 2u);
    bufio_close(s);
    EXPECT_EQ(read_bytes(path), "ab23456789");

    s = bufio_open(("file://" + path.string()).c_str(), "w", 0, 0, nullptr);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(bufio_write(s, "xy", 2), 2u);
    bufio_close(s);
    EXPECT_EQ(read_bytes(path), "xy");
}

TEST(BufioFile, CreatesMissingFilesOnlyWhenWriting) {
    TempDir dir;
    const auto path = dir.path() / "new";
    EXPECT_EQ(captured_open_failure(path.string(), "r"),
              "lbl: stat failed -- " + std::string(std::strerror(ENOENT)) + "\n");
    EXPECT_EQ(captured_open_failure(path.string(), "r+"),
              "lbl: stat failed -- " + std::string(std::strerror(ENOENT)) + "\n");
    bufio_stream* s = bufio_open(path.c_str(), "w+", 0, 0, nullptr);
    ASSERT_NE(s, nullptr);
    bufio_close(s);
    struct stat info {};
    ASSERT_EQ(stat(path.c_str(), &info), 0);
    EXPECT_TRUE(S_ISREG(info.st_mode));
}

TEST(BufioFile, RefusesDirectoriesAndUnknownModes) {
    TempDir dir;
    EXPECT_EQ(captured_open_failure(dir.path().string(), "r"),
              "lbl: can not open directory " + dir.path().string() + "\n");
    const auto path = dir.write("f", "x");
    EXPECT_EQ(captured_open_failure(path.string(), "a"), "lbl: invalid mode a for file.\n");
}

TEST(BufioFile, NothingIsPrintedWithoutALabel) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(bufio_open("/nonexistent/dir/file", "r", 0, 0, nullptr), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST(BufioFile, OverlongPathIsRefusedNotCut) {
    TempDir dir;
    const std::string path = (dir.path() / std::string(1100, 'p')).string();
    EXPECT_EQ(captured_open_failure(path, "w"),
              "lbl: stat failed -- " + std::string(std::strerror(ENAMETOOLONG)) + "\n");
}

TEST(BufioFile, SocketFormWithoutAPortIsAPath) {
    EXPECT_EQ(captured_open_failure("tcp://connect/x", "w"), "lbl: failed to open file with mode w tcp://connect/x\n");
}

TEST(BufioFile, FailedFlushKeepsOnlyTheUnsentBytes) {
    TempDir dir;
    const auto path = dir.path() / "limited";
    std::string data;
    for (int i = 0; i < 90; ++i) data += static_cast<char>('A' + i % 26);
    // The file-size limit is process-wide, so the child carries it.
    pid_t child = spawn([&] {
        signal(SIGXFSZ, SIG_IGN);
        bufio_stream* s = bufio_open(path.c_str(), "w", 0, 128, nullptr);
        if (!s || bufio_write(s, data.data(), data.size()) != data.size()) return false;
        rlimit limit{};
        getrlimit(RLIMIT_FSIZE, &limit);
        rlimit small = limit;
        small.rlim_cur = 50;
        if (setrlimit(RLIMIT_FSIZE, &small) != 0) return false;
        const bool failed = bufio_flush(s) == -1 && s->status == -EFBIG && s->out_pending == 40;
        setrlimit(RLIMIT_FSIZE, &limit);
        const bool resumed = bufio_flush(s) == 0;
        return failed && resumed && bufio_close(s) == 0;
    });
    ASSERT_TRUE(join(child));
    EXPECT_EQ(read_bytes(path), data);
}

TEST(BufioFile, FailedOverflowingWriteSendsNothingTwice) {
    TempDir dir;
    const auto path = dir.path() / "limited";
    const std::string first(50, 'a');
    const std::string second(80, 'b');
    pid_t child = spawn([&] {
        signal(SIGXFSZ, SIG_IGN);
        bufio_stream* s = bufio_open(path.c_str(), "w", 0, 64, nullptr);
        if (!s || bufio_write(s, first.data(), first.size()) != first.size()) return false;
        rlimit limit{};
        getrlimit(RLIMIT_FSIZE, &limit);
        rlimit small = limit;
        small.rlim_cur = 30;
        setrlimit(RLIMIT_FSIZE, &small);
        const bool failed = bufio_write(s, second.data(), second.size()) == 0 && s->out_pending == 20;
        setrlimit(RLIMIT_FSIZE, &limit);
        return failed && bufio_flush(s) == 0 && bufio_write(s, second.data(), second.size()) == 80 &&
               bufio_close(s) == 0;
    });
    ASSERT_TRUE(join(child));
    EXPECT_EQ(read_bytes(path), first + second);
}

TEST(BufioStandardStreams, DashWritesToStandardOutput) {
    TempDir dir;
    const auto path = dir.path() / "stdout";
    fflush(stdout);
    int saved = dup(1);
    int target = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(target, 0);
    dup2(target, 1);
    close(target);
    bufio_stream* s = bufio_open("file://-", "w", 0, 0, nullptr);
    const int type = bufio_type(s);
    const int fd = s ? bufio_fileno(s) : -1;
    if (s) bufio_write(s, "to stdout", 9);
    const int closed = bufio_close(s);
    dup2(saved, 1);
    close(saved);
    EXPECT_EQ(type, BUFIO_PIPE);
    EXPECT_EQ(fd, 1);
    EXPECT_EQ(closed, 0);
    EXPECT_EQ(read_bytes(path), "to stdout");
}

TEST(BufioStandardStreams, RefuseUpdateModes) {
    EXPECT_EQ(captured_open_failure("-", "r+"), "lbl: invalid mode r+ for standard stream\n");
    EXPECT_EQ(captured_open_failure("file://-", "w+"), "lbl: invalid mode w+ for standard stream\n");
}

TEST(BufioFifo, CarriesBytesBetweenTwoProcesses) {
    TempDir dir;
    const auto path = dir.path() / "fifo";
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    bufio_stream* reader = bufio_open(path.c_str(), "r", 0, 4096, nullptr);
    ASSERT_NE(reader, nullptr);
    EXPECT_STREQ(bufio_type_str(reader), "fifo");
    bufio_timeout(reader, 10000);

    std::string data(100000, '\0');
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7);
    pid_t child = spawn([&] {
        bufio_stream* writer = bufio_open(path.c_str(), "w", 0, 4096, nullptr);
        if (!writer || bufio_type(writer) != BUFIO_FIFO) return false;
        bufio_timeout(writer, 10000);
        bool ok = bufio_write(writer, data.data(), data.size()) == data.size();
        return bufio_close(writer) == 0 && ok;
    });
    std::string received(data.size(), '\0');
    EXPECT_EQ(bufio_read(reader, received.data(), received.size()), data.size());
    EXPECT_EQ(received, data);
    EXPECT_TRUE(join(child));
    char extra;
    EXPECT_EQ(bufio_read(reader, &extra, 1), 0u);
    EXPECT_EQ(bufio_status(reader), 2);
    bufio_close(reader);
}

TEST(BufioFifo, WriterWithoutReaderCannotOpen) {
    TempDir dir;
    const auto path = dir.path() / "fifo";
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    EXPECT_EQ(captured_open_failure(path.string(), "w"), "lbl: failed to open file with mode w " + path.string() + "\n");
}

// Holds an exclusive lock over the whole file in a child process until told
// to let go through `release`; reports through `ready` once it holds it.
class LockHolder {
public:
    explicit LockHolder(const std::filesystem::path& path) {
        int ready[2], release[2];
        if (pipe(ready) != 0 || pipe(release) != 0) return;
        pid = spawn([&] {
            close(ready[0]);
            close(release[1]);
            int fd = open(path.c_str(), O_RDWR);
            struct flock fl {};
            fl.l_type = F_WRLCK;
            fl.l_whence = SEEK_SET;
            if (fd < 0 || fcntl(fd, F_SETLK, &fl) != 0) return false;
            char c = 'x';
            if (write(ready[1], &c, 1) != 1) return false;
            pollfd p{release[0], POLLIN, 0};
            poll(&p, 1, 20000);
            return true;
        });
        close(ready[1]);
        close(release[0]);
        release_fd = release[1];
        pollfd p{ready[0], POLLIN, 0};
        char c;
        holding = poll(&p, 1, 10000) == 1 && read(ready[0], &c, 1) == 1;
        close(ready[0]);
    }
    ~LockHolder() { finish(); }
    bool finish() {
        if (release_fd >= 0) {
            close(release_fd);
            release_fd = -1;
            exited_ok = join(pid);
        }
        return exited_ok;
    }
    bool holding = false;

private:
    pid_t pid = -1;
    int release_fd = -1;
    bool exited_ok = false;
};

void previous_alarm_handler(int) {}

TEST(BufioLockedFile, ContendedWriteTimesOutAndRestoresAlarmState) {
    TempDir dir;
    const auto path = dir.write("locked", "");
    bufio_stream* s = bufio_open(("lockedfile://" + path.string()).c_str(), "w+", 0, 16, nullptr);
    ASSERT_NE(s, nullptr);
    EXPECT_STREQ(bufio_type_str(s), "lockedfile");
    bufio_timeout(s, 200);

    struct sigaction mine {}, before {};
    mine.sa_handler = previous_alarm_handler;
    sigemptyset(&mine.sa_mask);
    sigaction(SIGALRM, &mine, &before);
    itimerval timer{}, off{};
    timer.it_value.tv_sec = 1000;
    setitimer(ITIMER_REAL, &timer, nullptr);

    const std::string data(64, 'L');
    {
        LockHolder holder(path);
        ASSERT_TRUE(holder.holding);
        EXPECT_EQ(bufio_write(s, data.data(), data.size()), 0u);
        EXPECT_EQ(bufio_status(s), 1);
        EXPECT_STREQ(bufio_status_str(s), "timeout");
        EXPECT_EQ(s->wlock, 0);

        struct sigaction now {};
        sigaction(SIGALRM, nullptr, &now);
        EXPECT_EQ(now.sa_handler, &previous_alarm_handler);
        itimerval left{};
        getitimer(ITIMER_REAL, &left);
        EXPECT_GT(left.it_value.tv_sec, 900);
        EXPECT_TRUE(holder.finish());
    }
    setitimer(ITIMER_REAL, &off, nullptr);
    sigaction(SIGALRM, &before, nullptr);

    bufio_clear_status(s);
    EXPECT_EQ(bufio_write(s, data.data(), data.size()), 64u);
    EXPECT_EQ(s->wlock, 1);
    EXPECT_EQ(bufio_flush(s), 0);
    EXPECT_EQ(s->wlock, 0);
    bufio_close(s);
    EXPECT_EQ(read_bytes(path), data);
}

TEST(BufioLockedFile, TimedWaitLeavesAnUnarmedTimerUnarmed) {
    TempDir dir;
    const auto path = dir.write("locked", "some content");
    bufio_stream* s = bufio_open(("lockedfile://" + path.string()).c_str(), "r", 0, 0, nullptr);
    ASSERT_NE(s, nullptr);
    bufio_timeout(s, 150);
    LockHolder holder(path);
    ASSERT_TRUE(holder.holding);
    char buffer[4];
    EXPECT_EQ(bufio_read(s, buffer, 4), 0u);
    EXPECT_EQ(bufio_status(s), 1);
    EXPECT_EQ(s->rlock, 0);
    itimerval left{};
    getitimer(ITIMER_REAL, &left);
    EXPECT_EQ(left.it_value.tv_sec, 0);
    EXPECT_EQ(left.it_value.tv_usec, 0);
    EXPECT_TRUE(holder.finish());
    bufio_clear_status(s);
    EXPECT_EQ(bufio_read(s, buffer, 4), 4u);
    EXPECT_EQ(std::string(buffer, 4), "some");
    bufio_close(s);
}

TEST(BufioLockedFile, UncontendedReadAndWriteReleaseTheirLocks) {
    TempDir dir;
    const auto path = dir.write("locked", "");
    bufio_stream* w = bufio_open(("file://lockedfile://" + path.string()).c_str(), "w", 0, 8, nullptr);
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(bufio_type(w), BUFIO_LOCKEDFILE);
    EXPECT_EQ(bufio_write(w, "0123456789", 10), 10u);
    EXPECT_EQ(w->wlock, 1);
    EXPECT_EQ(bufio_close(w), 0);

    bufio_stream* r = bufio_open(("lockedfile://" + path.string()).c_str(), "r", 0, 0, nullptr);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(bufio_wait(r, 0), 1);
    char buffer[10];
    EXPECT_EQ(bufio_read(r, buffer, 10), 10u);
    EXPECT_EQ(std::string(buffer, 10), "0123456789");
    EXPECT_EQ(r->rlock, 0);
    // No lock of ours is left: another process gets the whole file at once.
    LockHolder holder(path);
    EXPECT_TRUE(holder.holding);
    EXPECT_TRUE(holder.finish());
    bufio_close(r);
}

}  // namespace
