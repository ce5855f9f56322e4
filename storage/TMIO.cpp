#include <background/storage/TMIO.hpp>

#include <background/core/BackgroundEvent.hpp>
#include <background/core/Format.hpp>
#include <background/core/IOError.hpp>
#include <background/core/Metadata.hpp>
#include <background/core/system_reason_internal.hpp>
#include <background/storage/tmio.h>

#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdint>
#include <exception>
#include <stdexcept>
#include <system_error>
#include <type_traits>
#include <utility>

namespace background::tmio {

namespace detail {
// Defined next to tmio_read_data, which is built from the same pieces.
int read_data_length(tmio_context* ctx);
int read_data_part(tmio_context* ctx, void* buffer, int n);
int skip_data_part(tmio_context* ctx, int n);
void count_data_record(tmio_context* ctx, int stored, long long capacity);
int peek_any(tmio_context* ctx);
int peek_matches(tmio_context* ctx, const unsigned char* expected, std::size_t n);
int skip_whole_frames(tmio_context* ctx);
}  // namespace detail

namespace {

// Bytes of one element count, or -1 when they exceed what a 32-bit record
// length can hold.
template <typename T>
int checked_bytes(long long count) {
    const long long bytes = count * static_cast<long long>(sizeof(T));
    return count < 0 || bytes > INT_MAX ? -1 : static_cast<int>(bytes);
}

}  // namespace

TMIO::TMIO(std::filesystem::path path, std::ios_base::openmode mode, std::string protocol, int buffer_kib)
    : ctx(nullptr), mode(mode), path(std::move(path)) {
    ctx = tmio_init(protocol.c_str(), 0, buffer_kib, 0);
    if (!ctx) throw std::bad_alloc();
    try {
        if (mode != std::ios::in && mode != std::ios::out)
            throw std::invalid_argument(
                "Open mode not supported, only 'std::ios::out' and 'std::ios::in' are allowed!");
        // Whatever errno holds after a failed open must be that open's reason.
        errno = 0;
        const int result = mode == std::ios::in ? tmio_open(ctx, this->path.c_str(), 0)
                                                : tmio_create(ctx, this->path.c_str(), 0);
        if (result == -1) throw_open_failure(errno);
    } catch (...) {
        tmio_delete(ctx);
        ctx = nullptr;
        throw;
    }
}

TMIO::~TMIO() {
    if (ctx) tmio_delete(ctx);
}

std::string TMIO::tag_str(int tag) {
    switch (tag) {
    case STRUCT_TAG: return "STRUCT";
    case STRING_TAG: return "STRING";
    case VECTOR_TAG: return "VECTOR";
    case MAP_TAG: return "MAP";
    default: return "INVALID";
    }
}

// The status text alone cannot tell a missing file from one that may not be
// read; the system's reason for a failed open of the byte stream travels
// nested inside the failure.
void TMIO::throw_open_failure(int reason) const {
    const IOError failure(background::format("Failed to open file {}!\nImplementation reports: {}",
                                             path.generic_string(), tmio_status_str(ctx)));
    if (reason == 0 || tmio_status(ctx) != TMIO_CONNECTION_ERROR) throw failure;
    background::detail::throw_with_system_reason(failure, std::error_code(reason, std::generic_category()),
                                                 path.generic_string());
}

void TMIO::throw_read_failure() const {
    throw IOError(background::format("Failed to read from file {}!\nImplementation reports: {}",
                                           path.generic_string(), tmio_status_str(ctx)));
}

void TMIO::throw_write_failure() const {
    throw IOError(background::format("Failed to write to file {}!\nImplementation reports: {}",
                                           path.generic_string(), tmio_status_str(ctx)));
}

void TMIO::throw_size_mismatch(long long stored, long long required) const {
    throw IOError(background::format("Read error in file {}: Read {} bytes but required {} bytes.",
                                           path.generic_string(), stored, required));
}

void TMIO::check_readable() const {
    if (!ctx) throw IOError("Stream is in an invalid state!");
    if (mode != std::ios::in) throw IOError("Cannot read from output stream!");
}

void TMIO::check_writable() const {
    if (!ctx) throw IOError("Stream is in an invalid state!");
    if (mode != std::ios::out) throw IOError("Cannot write to input stream!");
}

void TMIO::write_raw(int tag, const void* data, int n) {
    check_writable();
    tmio_write_tag(ctx, tag);
    if (tmio_write_data(ctx, data, n) != n) throw_write_failure();
}

template <typename T>
void TMIO::write_array(int tag, const T* data, int n) {
    static_assert(std::is_trivially_copyable_v<T>);
    check_writable();
    // A byte size beyond a 32-bit record length would be stored wrapped and
    // make the file unreadable; refuse it before anything is written.
    const int bytes = checked_bytes<T>(n);
    if (bytes < 0)
        throw std::length_error(background::format(
            "Cannot store {} elements of {} bytes as one record in file {}!", n, sizeof(T),
            path.generic_string()));
    tmio_write_tag(ctx, tag);
    const std::int32_t count = n;
    tmio_write_data(ctx, &count, sizeof count);
    if (tmio_write_data(ctx, data, bytes) != bytes) throw_write_failure();
}

void TMIO::read_raw(int tag, void* data, int n) {
    if (!read_raw_or_end(tag, data, n))
        throw IOError(background::format("Reached end of file {}!", path.generic_string()));
}

bool TMIO::read_raw_or_end(int tag, void* data, int n) {
    check_readable();
    const int found = tmio_read_tag(ctx);
    if (found < 0) throw_read_failure();
    if (found == 0) return false;
    if (found != tag)
        throw IOError(background::format("Read error in file {}: Found tag {} but required tag {}.",
                                               path.generic_string(), tag_str(found), tag_str(tag)));
    const int stored = tmio_read_data(ctx, data, n);
    if (stored < 0) throw_read_failure();
    if (stored != n) throw_size_mismatch(stored, n);
    return true;
}

bool TMIO::at_end() {
    check_readable();
    const int ahead = detail::peek_any(ctx);
    if (ahead < 0) throw_read_failure();
    return ahead == 0;
}

bool TMIO::next_record_is(int tag, int n) {
    check_readable();
    const std::int32_t words[2] = {-tag, n};
    const int same = detail::peek_matches(ctx, reinterpret_cast<const unsigned char*>(words), sizeof words);
    if (same < 0) throw_read_failure();
    return same == 1;
}

bool TMIO::on_regular_file() const {
    if (!ctx || !ctx->stream) return false;
    const int type = bufio_type(ctx->stream);
    struct stat info {};
    return (type == BUFIO_FILE || type == BUFIO_LOCKEDFILE) && ::fstat(bufio_fileno(ctx->stream), &info) == 0 &&
           S_ISREG(info.st_mode);
}

bool TMIO::rest_is_whole_frames() {
    check_readable();
    const int whole = detail::skip_whole_frames(ctx);
    if (whole < 0) throw_read_failure();
    return whole == 1;
}

template <typename T>
void TMIO::read_array_data(T* data, int n) {
    static_assert(std::is_trivially_copyable_v<T>);
    check_readable();
    const long long required = static_cast<long long>(n) * static_cast<long long>(sizeof(T));
    const int capacity = static_cast<int>(std::clamp<long long>(required, 0, INT_MAX));
    const int stored = tmio_read_data(ctx, data, capacity);
    if (stored < 0) throw_read_failure();
    if (stored != required) throw_size_mismatch(stored, required);
}

template <typename T>
std::int32_t TMIO::read_vector_head() {
    static_assert(std::is_trivially_copyable_v<T>);
    if (!ctx) throw IOError("Stream is in an invalid state!");
    std::int32_t count = 0;
    read_raw(VECTOR_TAG, &count, sizeof count);
    if (count < 0) throw std::length_error("cannot create std::vector larger than max_size()");
    const long long required = static_cast<long long>(count) * static_cast<long long>(sizeof(T));

    const int stored = detail::read_data_length(ctx);
    if (stored < 0) throw_read_failure();
    if (stored != required) {
        if (detail::skip_data_part(ctx, stored) < 0) throw_read_failure();
        detail::count_data_record(ctx, stored, required);
        throw_size_mismatch(stored, required);
    }
    return count;
}

template <typename T>
void TMIO::skip_vector() {
    const int bytes = static_cast<int>(read_vector_head<T>() * sizeof(T));
    if (detail::skip_data_part(ctx, bytes) < 0) throw_read_failure();
    ctx->stats[TMIO_STAT_DATA_SKIPPED]++;
    ctx->bytes_skipped += 4;
}

template <typename T>
std::vector<T> TMIO::read_vector() {
    const std::int32_t count = read_vector_head<T>();

    // The count of a damaged file may be huge while the file is short: the
    // vector grows with the bytes that actually arrive, never to the claimed
    // size up front.
    constexpr std::size_t first_step = std::max<std::size_t>(1, (std::size_t{1} << 20) / sizeof(T));
    const auto total = static_cast<std::size_t>(count);
    std::vector<T> result;
    std::size_t done = 0;
    while (done < total) {
        const std::size_t next = std::min(total, done + std::max(first_step, done));
        result.resize(next);
        if (detail::read_data_part(ctx, result.data() + done, static_cast<int>((next - done) * sizeof(T))) < 0)
            throw_read_failure();
        done = next;
    }
    const int bytes = static_cast<int>(total * sizeof(T));
    detail::count_data_record(ctx, bytes, bytes);
    return result;
}

void TMIO::flush() {
    check_writable();
    if (tmio_flush(ctx) < 0) throw_write_failure();
}

void TMIO::sync() {
    check_writable();
    if (tmio_sync(ctx) < 0) throw_write_failure();
}

template void TMIO::write_array<double>(int, const double*, int);
template void TMIO::write_array<Metadata>(int, const Metadata*, int);
template void TMIO::write_array<BackgroundEvent>(int, const BackgroundEvent*, int);
template std::vector<double> TMIO::read_vector<double>();
template std::vector<Metadata> TMIO::read_vector<Metadata>();
template std::vector<BackgroundEvent> TMIO::read_vector<BackgroundEvent>();
template void TMIO::skip_vector<double>();
template void TMIO::read_array_data<double>(double*, int);
template void TMIO::read_array_data<Metadata>(Metadata*, int);
template void TMIO::read_array_data<BackgroundEvent>(BackgroundEvent*, int);

}  // namespace background::tmio
