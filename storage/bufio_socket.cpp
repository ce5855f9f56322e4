// IPv4 sockets: TCP clients with their reconnect loop, TCP servers that
// accept in the open or later in bufio_wait, and connected UDP sockets.

#include <background/storage/bufio_internal.hpp>

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdint>
#include <cstring>

namespace background::bufio::detail {

namespace {

int new_socket(bool tcp, const char* label) {
    int fd = socket(AF_INET, tcp ? SOCK_STREAM : SOCK_DGRAM, 0);
    if (fd < 0) {
        say(label, "create socket failed");
        return -1;
    }
    signal(SIGPIPE, SIG_IGN);
    return fd;
}

// The address to connect to or listen on; false when the host is unknown.
bool socket_address(int port, const char* host, sockaddr_in& address, const char* label) {
    address = {};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(port));
    address.sin_addr.s_addr = htonl(INADDR_ANY);
    if (host[0] == '\0') return true;
    hostent* entry = gethostbyname(host);
    if (!entry || entry->h_addrtype != AF_INET || !entry->h_addr_list[0]) {
        say(label, "no such host", host);
        return false;
    }
    std::memcpy(&address.sin_addr, entry->h_addr_list[0], sizeof address.sin_addr);
    return true;
}

// Binds and listens; `used` receives the address actually bound.
bool start_listening(bufio_stream* s, const sockaddr_in& address, sockaddr_in& used, const char* label) {
    int one = 1;
    if (setsockopt(s->fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) != 0)
        say(label, "can not set socketopt/reuseaddr");
    if (bind(s->fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        say(label, "bind failed ...", std::strerror(errno));
        return false;
    }
    if (listen(s->fd, 1) != 0) {
        say(label, "listen failed ...", std::strerror(errno));
        return false;
    }
    socklen_t length = sizeof used;
    getsockname(s->fd, reinterpret_cast<sockaddr*>(&used), &length);
    say(label, "server waiting for connections", used);
    return true;
}

constexpr int NO_ANSWER = -1;

// One connect attempt: 0 connected, else the system's reason, or NO_ANSWER
// when `deadline_us` (of now_us) passed before the peer answered. Without a
// deadline (0) it waits as a plain connect does, for the system's own connect
// timeout. The handshake is polled rather than waited for inside connect(),
// since a host that drops the SYN would hold a blocking connect for minutes.
int attempt_connect(int fd, const sockaddr_in& address, long long deadline_us) {
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    if (connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) return 0;
    if (errno != EINPROGRESS) return errno;
    const int revents = poll_fd(fd, POLLOUT, deadline_us ? ms_until(deadline_us) : -1);
    if (revents < 0) return errno;
    if (revents == 0) return NO_ANSWER;
    int error = 0;
    socklen_t length = sizeof error;
    return getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &length) == 0 ? error : errno;
}

// Connect attempts RETRY_STEP_MS apart until one succeeds or the budget is
// spent: t ms give t / RETRY_STEP_MS + 1 attempts. With a deadline (a timeout
// above 0), an attempt the peer never answers ends on it, and so does the open.
bool connect_with_retries(bufio_stream* s, bool tcp, const sockaddr_in& address, long long budget,
                          long long deadline_us, const char* label) {
    say(label, "connecting to", address);
    for (;;) {
        int err = attempt_connect(s->fd, address, deadline_us);
        if (err == 0) return true;
        if (err == NO_ANSWER || budget < RETRY_STEP_MS) {
            if (err == NO_ANSWER) err = ETIMEDOUT;
            say(label, "connect timeout /", std::strerror(err));
            errno = err;
            return false;
        }
        // A failed connect leaves the socket in an unspecified state;
        // every retry starts from a fresh one.
        close(s->fd);
        s->fd = new_socket(tcp, label);
        if (s->fd < 0) return false;
        budget -= RETRY_STEP_MS;
        sleep_ms(RETRY_STEP_MS);
    }
}

}  // namespace

bufio_stream* open_socket(SocketForm form, int port, const char* host, int timeout, int size,
                          const char* label) {
    const long long budget = timeout < 0 ? 4294967295LL : timeout == 0 ? 0 : timeout < 100 ? 100 : timeout;
    const long long deadline_us = timeout > 0 ? deadline_in(budget) : 0;
    bufio_stream* s = new_stream(label);
    if (!s) return nullptr;
    s->type = form == SocketForm::Serve ? BUFIO_SERVE : BUFIO_SOCKET;
    s->flags = O_RDWR | O_NONBLOCK;
    s->timeout = -1;

    if (port < 0 || port > 65535) {
        say(label, "invalid port");
        return fail_open(s);
    }
    sockaddr_in address{};
    if (!socket_address(port, host, address, label)) return fail_open(s);

    const bool tcp = form != SocketForm::Udp;
    s->fd = new_socket(tcp, label);
    if (s->fd < 0) return fail_open(s);

    sockaddr_in used = address;

    if (form == SocketForm::Listen || form == SocketForm::Serve) {
        if (!start_listening(s, address, used, label)) return fail_open(s);
        if (form == SocketForm::Listen) {
            int wait = budget > 2147483647LL ? -1 : static_cast<int>(budget);
            if (accept_socket(s, wait, label) != 1) return fail_open(s);
        }
    } else if (!connect_with_retries(s, tcp, address, budget, deadline_us, label)) {
        return fail_open(s);
    }

    fcntl(s->fd, F_SETFL, O_RDWR | O_NONBLOCK);
    if (bufio_set_buffer(s, buffer_bytes(size)) != 0) {
        say(label, "can not create buffer");
        return fail_open(s);
    }
    if (form != SocketForm::Serve) say(label, "connection established, peer", used);
    return s;
}

// The listening socket stays open unless a connection was accepted, so the
// descriptor held by the stream is never a closed one.
int accept_socket(bufio_stream* s, int timeout, const char* label) {
    int revents = poll_fd(s->fd, POLLIN, timeout);
    if (revents < 0) {
        say(label, "listen error ... ", std::strerror(errno));
        return -1;
    }
    if (revents == 0) {
        say(label, "listen timeout");
        return 0;
    }
    sockaddr_in peer{};
    socklen_t length = sizeof peer;
    int connection = accept(s->fd, reinterpret_cast<sockaddr*>(&peer), &length);
    if (connection < 0) {
        say(label, "accept failed ...", std::strerror(errno));
        return -1;
    }
    close(s->fd);
    s->fd = connection;
    s->type = BUFIO_SOCKET;
    signal(SIGPIPE, SIG_IGN);
    fcntl(connection, F_SETFL, O_RDWR | O_NONBLOCK);
    say(label, "connection established", peer);
    return 1;
}

}  // namespace background::bufio::detail
