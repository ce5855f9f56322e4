#include <background/storage/bufio.h>
#include <background/storage/tmio.h>

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <thread>

// Every socket here lives on 127.0.0.1 with an OS-chosen port, and every wait
// is bounded.

namespace {

constexpr int WAIT_MS = 10000;

int bound_socket(int type, sockaddr_in& address) {
    int fd = socket(AF_INET, type, 0);
    address = {};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = 0;
    if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) return -1;
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    return fd;
}

int port_of(int fd) {
    sockaddr_in address{};
    socklen_t length = sizeof address;
    getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
    return ntohs(address.sin_port);
}

// A port that was free a moment ago: bound by the OS, then released.
int free_port() {
    sockaddr_in address{};
    int fd = bound_socket(SOCK_STREAM, address);
    int port = ntohs(address.sin_port);
    close(fd);
    return port;
}

std::string receive(int fd, std::size_t n) {
    std::string data;
    while (data.size() < n) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, WAIT_MS) != 1) break;
        char buffer[256];
        ssize_t r = recv(fd, buffer, std::min(sizeof buffer, n - data.size()), 0);
        if (r <= 0) break;
        data.append(buffer, static_cast<std::size_t>(r));
    }
    return data;
}

std::string address(const char* form, int port) {
    return std::string(form) + std::to_string(port) + "/127.0.0.1";
}

TEST(BufioTcp, ConnectFormExchangesBytesAndSeesThePeerClose) {
    sockaddr_in server{};
    int listener = bound_socket(SOCK_STREAM, server);
    ASSERT_GE(listener, 0);
    ASSERT_EQ(listen(listener, 1), 0);
    const int port = ntohs(server.sin_port);

    testing::internal::CaptureStderr();
    bufio_stream* s = bufio_open(address("tcp://connect/", port).c_str(), "w", 2000, 0, "cli");
    const std::string log = testing::internal::GetCapturedStderr();
    ASSERT_NE(s, nullptr);
    const std::string peer = "127.0.0.1:" + std::to_string(port);
    EXPECT_EQ(log, "cli: connecting to " + peer + "\ncli: connection established, peer " + peer + "\n");
    EXPECT_STREQ(bufio_type_str(s), "socket");
    EXPECT_EQ(s->flags & O_ACCMODE, O_RDWR);
    EXPECT_EQ(s->timeout, -1);
    bufio_timeout(s, WAIT_MS);

    pollfd p{listener, POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, WAIT_MS), 1);
    int connection = accept(listener, nullptr, nullptr);
    ASSERT_GE(connection, 0);

    EXPECT_EQ(bufio_write(s, "hello", 5), 5u);
    EXPECT_EQ(bufio_flush(s), 0);
    EXPECT_EQ(receive(connection, 5), "hello");

    ASSERT_EQ(send(connection, "world", 5, 0), 5);
    char buffer[8] = {};
    EXPECT_EQ(bufio_read(s, buffer, 5), 5u);
    EXPECT_EQ(std::string(buffer, 5), "world");

    close(connection);
    EXPECT_EQ(bufio_wait(s, WAIT_MS), 0);
    EXPECT_EQ(bufio_status(s), 2);
    bufio_clear_status(s);
    EXPECT_EQ(bufio_read(s, buffer, 1), 0u);
    EXPECT_EQ(bufio_status(s), 2);
    EXPECT_EQ(bufio_close(s), 0);
    close(listener);
}

TEST(BufioTcp, ConnectWithoutListenerTimesOut) {
    const int port = free_port();
    testing::internal::CaptureStderr();
    bufio_stream* s = bufio_open(address("tcp://connect/", port).c_str(), "w", 30, 0, "cli");
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(s, nullptr);
    bufio_close(s);
    EXPECT_EQ(log, "cli: connecting to 127.0.0.1:" + std::to_string(port) + "\ncli: connect timeout / " +
                       std::strerror(ECONNREFUSED) + "\n");
}

TEST(BufioTcp, ListenFormAcceptsOneConnectionInTheOpen) {
    bufio_stream* server = nullptr;
    for (int attempt = 0; attempt < 5 && !server; ++attempt) {
        const int port = free_port();
        std::thread client([port] {
            bufio_stream* c = bufio_open(address("tcp://connect/", port).c_str(), "w", 3000, 0, nullptr);
            if (!c) return;
            bufio_write(c, "ping", 4);
            bufio_close(c);
        });
        server = bufio_open(address("tcp://listen/", port).c_str(), "r", 3000, 0, nullptr);
        if (server) {
            EXPECT_STREQ(bufio_type_str(server), "socket");
            bufio_timeout(server, WAIT_MS);
            char buffer[4];
            EXPECT_EQ(bufio_read(server, buffer, 4), 4u);
            EXPECT_EQ(std::string(buffer, 4), "ping");
        }
        client.join();
    }
    ASSERT_NE(server, nullptr);
    bufio_close(server);
}

TEST(BufioTcp, ListenFormTimesOutWithoutClient) {
    const int port = free_port();
    testing::internal::CaptureStderr();
    bufio_stream* s = bufio_open(address("tcp://listen/", port).c_str(), "r", 0, 0, "srv");
    const std::string log = testing::internal::GetCapturedStderr();
    EXPECT_EQ(s, nullptr);
    EXPECT_EQ(log, "srv: server waiting for connections 127.0.0.1:" + std::to_string(port) + "\nsrv: listen timeout\n");
}

TEST(BufioTcp, ServeFormAcceptsInWait) {
    bufio_stream* s = bufio_open("tcp://serve/0/127.0.0.1", "r", 0, 0, nullptr);
    ASSERT_NE(s, nullptr);
    EXPECT_STREQ(bufio_type_str(s), "serve");
    char buffer[8];
    EXPECT_EQ(bufio_read(s, buffer, 3), 0u);
    EXPECT_EQ(bufio_write(s, "x", 1), 0u);
    EXPECT_EQ(bufio_flush(s), 0);
    EXPECT_EQ(bufio_wait(s, 0), 0);
    EXPECT_STREQ(bufio_type_str(s), "serve");

    sockaddr_in server{};
    server.sin_family = AF_INET;
    server.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    server.sin_port = htons(static_cast<uint16_t>(port_of(bufio_fileno(s))));
    int client = socket(AF_INET, SOCK_STREAM, 0);
    ASSERT_EQ(connect(client, reinterpret_cast<sockaddr*>(&server), sizeof server), 0);
    ASSERT_EQ(send(client, "abc", 3, 0), 3);

    EXPECT_EQ(bufio_wait(s, WAIT_MS), 1);
    EXPECT_STREQ(bufio_type_str(s), "socket");
    EXPECT_EQ(bufio_read(s, buffer, 3), 3u);
    EXPECT_EQ(std::string(buffer, 3), "abc");
    EXPECT_EQ(bufio_write(s, "back", 4), 4u);
    EXPECT_EQ(bufio_flush(s), 0);
    EXPECT_EQ(receive(client, 4), "back");
    close(client);
    bufio_close(s);
}

TEST(BufioTcp, PortOutOfRangeIsRefused) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(bufio_open("tcp://connect/70000/127.0.0.1", "w", 0, 0, "cli"), nullptr);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "cli: invalid port\n");
}

TEST(BufioUdp, ConnectFormSendsAndReceivesDatagrams) {
    sockaddr_in peer{};
    int other = bound_socket(SOCK_DGRAM, peer);
    ASSERT_GE(other, 0);
    bufio_stream* s = bufio_open(address("udp://connect/", ntohs(peer.sin_port)).c_str(), "w", 1000, 0, nullptr);
    ASSERT_NE(s, nullptr);
    EXPECT_STREQ(bufio_type_str(s), "socket");
    bufio_timeout(s, WAIT_MS);
    EXPECT_EQ(bufio_write(s, "dgram", 5), 5u);
    EXPECT_EQ(bufio_flush(s), 0);
    EXPECT_EQ(receive(other, 5), "dgram");

    sockaddr_in mine{};
    socklen_t length = sizeof mine;
    getsockname(bufio_fileno(s), reinterpret_cast<sockaddr*>(&mine), &length);
    ASSERT_EQ(sendto(other, "back", 4, 0, reinterpret_cast<sockaddr*>(&mine), sizeof mine), 4);
    char buffer[4];
    EXPECT_EQ(bufio_read(s, buffer, 4), 4u);
    EXPECT_EQ(std::string(buffer, 4), "back");
    bufio_close(s);
    close(other);
}

TEST(TmioTcp, RecordsTravelFromConnectToListen) {
    int received_tag = -1, received_length = -1;
    char payload[16] = {};
    bool opened = false;
    for (int attempt = 0; attempt < 5 && !opened; ++attempt) {
        const int port = free_port();
        std::thread writer([port] {
            tmio_context* out = tmio_init("NET", 3000, 0, 0);
            if (tmio_create(out, address("tcp://connect/", port).c_str(), 3000) == 2) {
                tmio_write_tag(out, 9);
                tmio_write_data(out, "payload", 7);
                tmio_flush(out);
            }
            tmio_delete(out);
        });
        tmio_context* in = tmio_init("NET", WAIT_MS, 0, 0);
        if (tmio_open(in, address("tcp://listen/", port).c_str(), 3000) == 2) {
            opened = true;
            received_tag = tmio_read_tag(in);
            received_length = tmio_read_data(in, payload, sizeof payload);
        }
        writer.join();
        if (opened) {
            EXPECT_EQ(tmio_read_tag(in), 0);
        }
        tmio_delete(in);
    }
    ASSERT_TRUE(opened);
    EXPECT_EQ(received_tag, 9);
    EXPECT_EQ(received_length, 7);
    EXPECT_EQ(std::string(payload, 7), "payload");
}

}  // namespace
