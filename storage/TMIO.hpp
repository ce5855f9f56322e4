#pragma once

#include <cstdint>
#include <filesystem>
#include <ios>
#include <string>
#include <vector>

struct tmio_context;

namespace background::tmio {

/// One tagged record stream opened on a file path (or any stream address the
/// byte-stream layer accepts) for input or for output, with typed records that
/// throw on failure. Failures of the stream are std::ios_base::failure with the
/// error code std::io_errc::stream; what() is the exact message.
class TMIO {
public:
    /// Opens `path` under `protocol`; `mode` is exactly std::ios::in or std::ios::out.
    /// `buffer_kib` sizes the stream's buffers (0: the byte-stream default).
    /// When the byte stream could not be opened for a reason the system gave,
    /// the open failure carries it nested inside (std::throw_with_nested): a
    /// std::system_error of that errno whose what() names the file.
    TMIO(std::filesystem::path path, std::ios_base::openmode mode, std::string protocol, int buffer_kib = 0);
    /// Flushes what is still buffered and closes the stream; cannot report a
    /// failure of that flush, so writers that care call flush() first.
    ~TMIO();
    TMIO(const TMIO&) = delete;
    TMIO& operator=(const TMIO&) = delete;

    /// One record of `tag` holding one data record of `n` bytes.
    void write_raw(int tag, const void* data, int n);
    /// One record of `tag` holding a count record and `n` elements. The typed
    /// operations exist for double, Metadata and BackgroundEvent.
    template <typename T>
    void write_array(int tag, const T* data, int n);
    /// Reads the next record, which must carry `tag`, and its first data
    /// record, which must hold exactly `n` bytes.
    void read_raw(int tag, void* data, int n);
    /// The same, but false at a clean end of the stream: not a byte left where
    /// the record would begin. A stream that ends inside a frame still fails.
    bool read_raw_or_end(int tag, void* data, int n);
    /// Reads one VECTOR record.
    template <typename T>
    std::vector<T> read_vector();
    /// Passes over one VECTOR record, checking its shape, without storing it.
    template <typename T>
    void skip_vector();
    /// Reads the next data record, which must hold exactly `n` elements.
    template <typename T>
    void read_array_data(T* data, int n);

    /// Looking ahead: both leave the stream exactly where it was, a word held
    /// read ahead included, and compare the frame words as they lie, so a data
    /// record in front of a tag, which the reads pass over, is seen. A look
    /// waits for no byte it does not need to answer, each up to the stream's
    /// timeout: on a file or memory region it sees what is there; on a pipe
    /// or socket, bytes that have not arrived yet count as missing. Both throw
    /// the read failure when the stream fails.
    ///
    /// Whether the stream is at a clean end: not a byte left.
    bool at_end();
    /// Whether the next two words are exactly the tag word of `tag` and a data
    /// length of `n`: a record of `tag` whose first data record holds `n` bytes.
    /// The first byte that differs answers it.
    bool next_record_is(int tag, int n);
    /// Whether the stream reads a regular file, whose end is where its bytes
    /// stop, rather than a pipe, socket, device or memory region.
    bool on_regular_file() const;
    /// Reads on to the end of the stream and tells whether what was left is
    /// whole frames: tags, data records with all their bytes, further
    /// handshakes with their protocol field. False at a frame cut short or a
    /// reserved word. Only for a regular file: elsewhere the end may be far
    /// away or never come. A locked file whose rest another process holds
    /// locked is still being written there: the walk waits for no lock and
    /// answers true. Throws the read failure when the stream fails.
    bool rest_is_whole_frames();
    /// Sends everything buffered to the file; throws the write failure.
    void flush();
    /// Sends everything buffered to the file and the file to the disk, so
    /// that a name given to it afterwards cannot outlive its bytes in a crash.
    void sync();

    static std::string tag_str(int tag);

    /// The open stream's context; users may end the stream early with tmio_close.
    tmio_context* ctx;
    std::ios_base::openmode mode;
    std::filesystem::path path;

private:
    /// Reads a VECTOR record up to its data, which must hold `count` elements; returns the count.
    template <typename T>
    std::int32_t read_vector_head();
    [[noreturn]] void throw_open_failure(int reason) const;
    [[noreturn]] void throw_read_failure() const;
    [[noreturn]] void throw_write_failure() const;
    [[noreturn]] void throw_size_mismatch(long long stored, long long required) const;
    void check_readable() const;
    void check_writable() const;
};

/// Tags of the typed records.
inline constexpr int STRUCT_TAG = 1;
inline constexpr int STRING_TAG = 2;
inline constexpr int VECTOR_TAG = 3;
inline constexpr int MAP_TAG = 4;

}  // namespace background::tmio
