#pragma once
// What the byte-stream core (bufio.cpp) and its transports share: the core
// owns buffering, polling and the exported bufio_ functions; each transport
// file opens its kind of stream and does what only that kind does; the record
// streams (tmio.cpp) look ahead through peek_input. Nothing declared here
// leaves the library.

#include <background/storage/bufio.h>

#include <netinet/in.h>

#include <cstddef>

#pragma GCC visibility push(hidden)

namespace background::bufio::detail {

constexpr std::size_t DEFAULT_BUFFER = 262144;
constexpr std::size_t NAME_MAX_CHARS = 1024;
constexpr int RETRY_STEP_MS = 50;

// Core (bufio.cpp).

/// Diagnostics: printed as "label: text ..." only when a label is given; they
/// leave errno as it was, for the caller of a failed open to read.
void say(const char* label, const char* text);
void say(const char* label, const char* text, const char* a);
void say(const char* label, const char* text, const char* a, const char* b);
void say(const char* label, const char* text, const sockaddr_in& address);

/// What the library keeps of a stream beyond the exported record.
struct StreamExtras {
    /// A standard stream whose descriptor was closed when it was opened.
    bool found_closed;
};
/// The extras of a stream that new_stream allocated.
StreamExtras& extras_of(bufio_stream* s);

int access_mode(const bufio_stream* s);
/// A pause that signals neither lengthen nor shorten.
void sleep_ms(int ms);
long long now_us();
/// The now_us that is `ms` milliseconds from now.
long long deadline_in(long long ms);
/// Whole milliseconds from now to `deadline_us` (of now_us), rounded up so
/// that a wait for them never ends early; 0 once it has passed.
int ms_until(long long deadline_us);
/// The revents of a poll for `events`, 0 when the time ran out, -1 on error.
int poll_fd(int fd, short events, int timeout);
/// The status a poll leaves when it did not report the wanted readiness.
int poll_failure_status(int revents);
std::size_t buffer_bytes(int size);
bufio_stream* new_stream(const char* label);
/// Frees a stream whose open failed, closing a descriptor it had opened, with
/// the errno of the failure kept; null.
bufio_stream* fail_open(bufio_stream* s);
/// Resizes both buffers; unread input and pending output are dropped.
int bufio_set_buffer(bufio_stream* s, std::size_t size);
/// Makes at least `n` unread bytes available without consuming them and
/// points `*bytes` at them; returns how many unread bytes there are, which
/// may be more than `n` (whatever has arrived) and is fewer only at the end of
/// the input, when none arrived within the stream's timeout, on failure (the
/// status says which), or when `n` exceeds the input buffer. It waits for no
/// byte beyond the `n`th. A file, FIFO, pipe or socket reads on into its input
/// buffer, moving the unread bytes to its front first; a memory stream points
/// into its region; a serve stream without its connection, like an output
/// stream, has none.
std::size_t peek_input(bufio_stream* s, std::size_t n, const unsigned char** bytes);

// Files and FIFOs, plain or locked (bufio_file.cpp).

/// Open flags for a path mode; -1 for a mode the kind refuses.
int path_flags(const char* mode, bool standard);
bufio_stream* open_path(const char* address, const char* mode, int size, const char* label);

// Standard input and output (bufio_stdio.cpp).

bool names_standard_stream(const char* path);
/// Attaches descriptor 0 or 1 by the access mode of `s->flags`.
void attach_standard(bufio_stream* s);
/// Closes the stream's descriptor; a standard stream's is ended and its number
/// kept taken. 0, or -1 when the close failed.
int close_descriptor(bufio_stream* s);

// Record locks (bufio_lockedfile.cpp). Each taker sets the status when it fails.

/// A read lock over `wanted` bytes at once, else one over `fallback` bytes
/// waiting up to `timeout` ms: 1 the wanted lock, 2 the fallback, 0 timeout, -1 error.
int take_read_lock(bufio_stream* s, std::size_t wanted, std::size_t fallback, int timeout);
/// An exclusive lock from the position to the end of the file: 1, 0 timeout, -1 error.
int take_write_lock(bufio_stream* s);
void drop_read_lock(bufio_stream* s, long long bytes_since_lock);
void note_write_lock_bytes(bufio_stream* s, long long bytes_since_lock);
void drop_write_lock(bufio_stream* s, long long bytes_since_lock);

// Memory regions (bufio_mem.cpp).

bufio_stream* open_memory(void* base, std::size_t size, const char* mode, const char* label);
std::size_t mem_read(bufio_stream* s, unsigned char* out, std::size_t n);
std::size_t mem_peek(bufio_stream* s, std::size_t n, const unsigned char** bytes);
std::size_t mem_write(bufio_stream* s, const unsigned char* data, std::size_t n);
int mem_flush(bufio_stream* s);
int mem_wait(bufio_stream* s);

// IPv4 sockets (bufio_socket.cpp).

enum class SocketForm { Connect, Listen, Serve, Udp };

bufio_stream* open_socket(SocketForm form, int port, const char* host, int timeout, int size,
                          const char* label);
/// Waits for and accepts one connection: 1 accepted, 0 timed out, -1 failed.
int accept_socket(bufio_stream* s, int timeout, const char* label);

}  // namespace background::bufio::detail

#pragma GCC visibility pop
