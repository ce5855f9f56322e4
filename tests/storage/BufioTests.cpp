#include <background/storage/bufio.h>
#include <background/storage/tmio.h>

#include "StorageTestSupport.hpp"

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/time.h>

#include <cerrno>
#include <string>
#include <thread>

namespace {

using namespace storage_test;

// Each refusal is one line under the caller's label, and silence without one.
TEST(BufioOpen, RefusalsAreReportedOnlyUnderALabel) {
    TempDir dir;
    char region[4] = {};
    const std::string missing = (dir.path() / "missing").string(), fifo = (dir.path() / "fifo").string();
    const std::string overlong = (dir.path() / std::string(1100, 'p')).string();
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    const struct { std::string address; const char* mode; std::string message; } cases[] = {
        {mem_address(region, 4), "r+", "invalid mode r+ for mem."},
        {"-", "r+", "invalid mode r+ for standard stream"},
        {"file://-", "w+", "invalid mode w+ for standard stream"},
        {missing, "r+", "stat failed -- " + std::string(std::strerror(ENOENT))},
        {dir.path().string(), "r", "can not open directory " + dir.path().string()},
        {dir.write("f", "x").string(), "a", "invalid mode a for file."},
        // An overlong path is refused, never cut to some other file's name.
        {overlong, "w", "stat failed -- " + std::string(std::strerror(ENAMETOOLONG))},
        // Without a port the socket form is only a path, here in no directory.
        {"tcp://connect/x", "w", "failed to open file with mode w tcp://connect/x"},
        // Opening a FIFO that has no reader fails rather than blocks.
        {fifo, "w", "failed to open file with mode w " + fifo},
        {"tcp://connect/70000/127.0.0.1", "w", "invalid port"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.address + " " + c.mode);
        for (const char* label : {"lbl", static_cast<const char*>(nullptr)}) {
            testing::internal::CaptureStderr();
            bufio_stream* s = bufio_open(c.address.c_str(), c.mode, 0, 0, label);
            EXPECT_EQ(testing::internal::GetCapturedStderr(), label ? "lbl: " + c.message + "\n" : "");
            EXPECT_EQ(s, nullptr);
            EXPECT_EQ(bufio_close(s), 0);
        }
    }
    EXPECT_FALSE(std::filesystem::exists(missing));
}

TEST(BufioMemory, StreamsStopAtTheRegionLimits) {
    char region[10], buffer[16];
    std::memcpy(region, "0123456789", 10);
    bufio_stream* r = bufio_open(mem_address(region, 10).c_str(), "r", 0, 0, nullptr);
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(bufio_read(r, buffer, 4), 4u);
    EXPECT_EQ(bufio_wait(r, 0), 1);
    EXPECT_EQ(bufio_read(r, buffer, 8), 6u);
    EXPECT_EQ(std::string(buffer, 6), "456789");
    EXPECT_STREQ(bufio_status_str(r), "end-of-file");
    EXPECT_EQ(bufio_wait(r, 0), 0);
    bufio_clear_status(r);
    EXPECT_EQ(bufio_write(r, "x", 1), 0u);  // a region opened for reading is never written
    EXPECT_EQ(bufio_status(r), -1);
    EXPECT_EQ(region[0], '0');
    bufio_close(r);

    bufio_stream* w = bufio_open(mem_address(region, 10).c_str(), "w", 0, 0, nullptr);
    ASSERT_NE(w, nullptr);
    EXPECT_EQ(bufio_write(w, "abcdefghijkl", 12), 10u);
    EXPECT_EQ(std::string(region, 10), "abcdefghij");
    EXPECT_STREQ(bufio_status_str(w), "no space available");
    EXPECT_EQ(bufio_flush(w), 0);  // a flush starts the region over
    EXPECT_EQ(bufio_write(w, "XY", 2), 2u);
    EXPECT_EQ(std::string(region, 10), "XYcdefghij");
    bufio_close(w);
}

TEST(BufioFile, BytesGoOutInOrderAndComeBackAcrossRefills) {
    TempDir dir;
    const auto path = dir.path() / "f";
    bufio_stream* s = bufio_open(path.c_str(), "w", 0, 8, nullptr);
    ASSERT_NE(s, nullptr);
    EXPECT_EQ(bufio_write(s, "12345", 5), 5u);
    EXPECT_EQ(std::filesystem::file_size(path), 0u);
    // Too large for the buffer: it goes out behind the pending bytes.
    EXPECT_EQ(bufio_write(s, "abcdefghijklmnopqrst", 20), 20u);
    EXPECT_EQ(read_bytes(path), "12345abcdefghijklmnopqrst");
    EXPECT_EQ(bufio_close(s), 0);

    s = bufio_open(path.c_str(), "r", 0, 16, nullptr);
    ASSERT_NE(s, nullptr);
    char buffer[32];
    EXPECT_EQ(bufio_read(s, buffer, 4), 4u);
    EXPECT_EQ(bufio_read(s, buffer + 4, 28), 21u);
    EXPECT_EQ(std::string(buffer, 25), "12345abcdefghijklmnopqrst");
    EXPECT_EQ(bufio_status(s), BUFIO_EOF);
    bufio_clear_status(s);
    EXPECT_EQ(bufio_wait(s, 120), 0);  // the file does not grow: the wait gives up in time
    // bufio_wait follows a file that another process appends to.
    pid_t child = spawn([&] {
        usleep(100000);
        int fd = open(path.c_str(), O_WRONLY | O_APPEND);
        return fd >= 0 && write(fd, "hello", 5) == 5 && close(fd) == 0;
    });
    bufio_clear_status(s);
    EXPECT_EQ(bufio_wait(s, 10000), 1);
    EXPECT_EQ(bufio_read(s, buffer, 5), 5u);
    EXPECT_EQ(std::string(buffer, 5), "hello");
    EXPECT_TRUE(join(child));
    bufio_close(s);
}

TEST(BufioFile, WTruncatesWhileWPlusOverwritesInPlace) {
    TempDir dir;
    const auto path = dir.write("f", "0123456789");
    const auto write_two = [](const std::string& address, const char* mode, const char* bytes) {
        bufio_stream* s = bufio_open(address.c_str(), mode, 0, 0, nullptr);
        ASSERT_NE(s, nullptr);
        EXPECT_EQ(bufio_write(s, bytes, 2), 2u);
        EXPECT_EQ(bufio_close(s), 0);
    };
    write_two(path.string(), "w+", "ab");
    EXPECT_EQ(read_bytes(path), "ab23456789");
    write_two("file://" + path.string(), "w", "xy");
    EXPECT_EQ(read_bytes(path), "xy");
    write_two((dir.path() / "new").string(), "w+", "nn");  // w+ still creates a missing file
    EXPECT_EQ(read_bytes(dir.path() / "new"), "nn");
}

// After a write fails on the file-size limit only the bytes that did not reach
// the file are kept, so the retry writes no byte twice.
TEST(BufioFile, FailedWritesSendNoByteTwice) {
    TempDir dir;
    const std::string data = std::string(50, 'a') + std::string(40, 'b'), more(80, 'c');
    const auto flushed = dir.path() / "flushed", overflowed = dir.path() / "overflowed";
    pid_t child = spawn([&] {
        bufio_stream* s = bufio_open(flushed.c_str(), "w", 0, 128, nullptr);
        if (!s || bufio_write(s, data.data(), 90) != 90) return false;
        const rlimit before = limit_file_size(50);
        const bool failed = bufio_flush(s) == -1 && s->status == -EFBIG && s->out_pending == 40;
        setrlimit(RLIMIT_FSIZE, &before);
        return failed && bufio_flush(s) == 0 && bufio_close(s) == 0;
    });
    ASSERT_TRUE(join(child));
    EXPECT_EQ(read_bytes(flushed), data);

    // The same for a write too large for the buffer, sent behind pending bytes.
    child = spawn([&] {
        bufio_stream* s = bufio_open(overflowed.c_str(), "w", 0, 64, nullptr);
        if (!s || bufio_write(s, data.data(), 50) != 50) return false;
        const rlimit before = limit_file_size(30);
        const bool failed = bufio_write(s, more.data(), 80) == 0 && s->out_pending == 20;
        setrlimit(RLIMIT_FSIZE, &before);
        return failed && bufio_flush(s) == 0 && bufio_write(s, more.data(), 80) == 80 && bufio_close(s) == 0;
    });
    ASSERT_TRUE(join(child));
    EXPECT_EQ(read_bytes(overflowed), data.substr(0, 50) + more);
}

TEST(BufioFifo, CarriesBytesBetweenTwoProcesses) {
    TempDir dir;
    const auto path = dir.path() / "fifo";
    ASSERT_EQ(mkfifo(path.c_str(), 0600), 0);
    bufio_stream* reader = bufio_open(path.c_str(), "r", 0, 4096, nullptr);
    ASSERT_NE(reader, nullptr);
    bufio_timeout(reader, 10000);
    // Far more than the pipe holds, so each side has to wait for the other.
    std::string data(100000, '\0'), received(data.size(), '\0');
    for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7);
    pid_t child = spawn([&] {
        bufio_stream* writer = bufio_open(path.c_str(), "w", 0, 4096, nullptr);
        if (!writer) return false;
        bufio_timeout(writer, 10000);
        return bufio_write(writer, data.data(), data.size()) == data.size() && bufio_close(writer) == 0;
    });
    EXPECT_EQ(bufio_read(reader, received.data(), received.size()), data.size());
    EXPECT_EQ(received, data);
    EXPECT_TRUE(join(child));
    EXPECT_EQ(bufio_read(reader, received.data(), 1), 0u);  // the writer's close is end-of-file
    EXPECT_EQ(bufio_status(reader), BUFIO_EOF);
    bufio_close(reader);
}

// Forks a child that takes an exclusive lock over the whole file and holds it
// until `stop` is closed; `holding` tells whether it got the lock.
pid_t hold_lock(const std::filesystem::path& path, int& stop, bool& holding) {
    int ready[2], hold[2];
    if (pipe(ready) != 0 || pipe(hold) != 0) return -1;
    const pid_t pid = spawn([&] {
        close(hold[1]);
        int fd = open(path.c_str(), O_RDWR);
        struct flock fl {};
        fl.l_type = F_WRLCK;
        char c = 'x';
        if (fd < 0 || fcntl(fd, F_SETLK, &fl) != 0 || write(ready[1], &c, 1) != 1) return false;
        return read(hold[0], &c, 1) == 0;
    });
    close(ready[1]);
    close(hold[0]);
    stop = hold[1];
    pollfd p{ready[0], POLLIN, 0};
    char c;
    holding = poll(&p, 1, 10000) == 1 && read(ready[0], &c, 1) == 1;
    close(ready[0]);
    return pid;
}

void previous_alarm_handler(int) {}

// The lock wait is bounded with SIGALRM: the caller's handler and timer come
// back afterwards, an armed timer still armed and an unarmed one unarmed.
TEST(BufioLockedFile, ContendedLockTimesOutAndRestoresTheAlarm) {
    TempDir dir;
    const auto path = dir.write("locked", "");
    const std::string data(64, 'L');
    for (const bool armed : {true, false}) {
        SCOPED_TRACE(armed ? "armed timer" : "unarmed timer");
        bufio_stream* s = bufio_open(("lockedfile://" + path.string()).c_str(), "w", 0, 16, nullptr);
        ASSERT_NE(s, nullptr);
        bufio_timeout(s, 150);
        struct sigaction mine {}, before {}, during {};
        mine.sa_handler = previous_alarm_handler;
        sigaction(SIGALRM, &mine, &before);
        itimerval timer{}, left{};
        timer.it_value.tv_sec = armed ? 1000 : 0;
        setitimer(ITIMER_REAL, &timer, nullptr);
        int stop = -1;
        bool holding = false;
        const pid_t holder = hold_lock(path, stop, holding);
        EXPECT_TRUE(holding);
        EXPECT_EQ(bufio_write(s, data.data(), data.size()), 0u);
        EXPECT_STREQ(bufio_status_str(s), "timeout");
        sigaction(SIGALRM, nullptr, &during);
        getitimer(ITIMER_REAL, &left);
        close(stop);
        EXPECT_TRUE(join(holder));
        timer = {};
        setitimer(ITIMER_REAL, &timer, nullptr);
        sigaction(SIGALRM, &before, nullptr);
        EXPECT_EQ(during.sa_handler, &previous_alarm_handler);
        EXPECT_EQ(left.it_value.tv_sec > 900, armed);
        EXPECT_EQ(left.it_value.tv_sec + left.it_value.tv_usec == 0, !armed);
        // With the lock free the write goes through and the flush lets the lock go.
        bufio_clear_status(s);
        EXPECT_EQ(bufio_write(s, data.data(), data.size()), 64u);
        EXPECT_EQ(bufio_flush(s), 0);
        EXPECT_EQ(s->wlock, 0);
        EXPECT_EQ(bufio_close(s), 0);
    }
    EXPECT_EQ(read_bytes(path), data);
}

// Sockets: every one lives on 127.0.0.1 with an OS-chosen port, and every wait is bounded.

constexpr int WAIT_MS = 10000;

sockaddr_in local_address(int fd) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    return address;
}

/// A socket bound to 127.0.0.1 and a port the OS chose, with that port.
int bound_socket(int type, int& port) {
    int fd = socket(AF_INET, type, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return -1;
    port = ntohs(local_address(fd).sin_port);
    return fd;
}

std::string address(const char* form, int port) { return form + std::to_string(port) + "/127.0.0.1"; }

TEST(BufioTcp, ConnectAndServeExchangeBytesUntilThePeerCloses) {
    bufio_stream* server = bufio_open("tcp://serve/0/127.0.0.1", "r", 0, 0, nullptr);
    ASSERT_NE(server, nullptr);
    EXPECT_EQ(bufio_wait(server, 0), 0);  // no client yet
    const int port = ntohs(local_address(bufio_fileno(server)).sin_port);
    bufio_stream* client = bufio_open(address("tcp://connect/", port).c_str(), "w", 2000, 0, nullptr);
    ASSERT_NE(client, nullptr);
    bufio_timeout(client, WAIT_MS);
    EXPECT_EQ(bufio_write(client, "hello", 5), 5u);
    EXPECT_EQ(bufio_flush(client), 0);
    // The wait accepts the connection and the stream becomes that socket.
    EXPECT_EQ(bufio_wait(server, WAIT_MS), 1);
    EXPECT_STREQ(bufio_type_str(server), "socket");
    bufio_timeout(server, WAIT_MS);
    char buffer[8];
    EXPECT_EQ(bufio_read(server, buffer, 5), 5u);
    EXPECT_EQ(std::string(buffer, 5), "hello");
    EXPECT_EQ(bufio_write(server, "back", 4), 4u);
    EXPECT_EQ(bufio_flush(server), 0);
    EXPECT_EQ(bufio_read(client, buffer, 4), 4u);
    EXPECT_EQ(std::string(buffer, 4), "back");
    // The client going away is a lasting end-of-file for the server.
    EXPECT_EQ(bufio_close(client), 0);
    EXPECT_EQ(bufio_wait(server, WAIT_MS), 0);
    bufio_clear_status(server);
    EXPECT_EQ(bufio_read(server, buffer, 1), 0u);
    EXPECT_EQ(bufio_status(server), BUFIO_EOF);
    EXPECT_EQ(bufio_close(server), 0);
}

TEST(BufioUdp, ConnectFormSendsAndReceivesDatagrams) {
    int port = 0;
    int other = bound_socket(SOCK_DGRAM, port);
    ASSERT_GE(other, 0);
    bufio_stream* s = bufio_open(address("udp://connect/", port).c_str(), "w", 1000, 0, nullptr);
    ASSERT_NE(s, nullptr);
    bufio_timeout(s, WAIT_MS);
    EXPECT_EQ(bufio_write(s, "dgram", 5), 5u);
    EXPECT_EQ(bufio_flush(s), 0);
    char buffer[8] = {};
    pollfd p{other, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, WAIT_MS), 1);
    EXPECT_EQ(recv(other, buffer, sizeof buffer, 0), 5);
    EXPECT_EQ(std::string(buffer, 5), "dgram");
    const sockaddr_in mine = local_address(bufio_fileno(s));
    ASSERT_EQ(sendto(other, "back", 4, 0, reinterpret_cast<const sockaddr*>(&mine), sizeof mine), 4);
    EXPECT_EQ(bufio_read(s, buffer, 4), 4u);
    EXPECT_EQ(std::string(buffer, 4), "back");
    bufio_close(s);
    close(other);
}

// The listen form accepts inside the open, so the client must know the port
// before: one free a moment ago is used, retried should another process win it.
TEST(TmioTcp, RecordsTravelFromConnectToListen) {
    int tag = -1, length = -1, tag_after = -1;
    char payload[16] = {};
    for (int attempt = 0; attempt < 5 && tag != 9; ++attempt) {
        int port = 0;
        close(bound_socket(SOCK_STREAM, port));
        std::thread writer([port] {
            tmio_context* out = tmio_init("NET", 3000, 0, 0);
            if (tmio_create(out, address("tcp://connect/", port).c_str(), 3000) == 2) {
                tmio_write_tag(out, 9);
                tmio_write_data(out, "payload", 7);
            }
            tmio_delete(out);
        });
        tmio_context* in = tmio_init("NET", WAIT_MS, 0, 0);
        const bool opened = tmio_open(in, address("tcp://listen/", port).c_str(), 3000) == 2;
        writer.join();
        if (opened) {
            tag = tmio_read_tag(in);
            length = tmio_read_data(in, payload, sizeof payload);
            tag_after = tmio_read_tag(in);
        }
        tmio_delete(in);
    }
    EXPECT_EQ(tag, 9);
    EXPECT_EQ(length, 7);
    EXPECT_EQ(std::string(payload, 7), "payload");
    EXPECT_EQ(tag_after, 0);  // the writer's close flushed and ended the stream cleanly
}

}  // namespace
