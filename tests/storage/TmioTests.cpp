#include <background/storage/Serializer.hpp>
#include <background/storage/TMIO.hpp>
#include <background/storage/tmio.h>

#include "StorageTestSupport.hpp"

#include <gtest/gtest.h>

#include <fcntl.h>

#include <climits>
#include <stdexcept>
#include <system_error>
#include <thread>
#include <vector>

namespace {

using namespace storage_test;
using background::Metadata;
using background::Serializer;
using background::tmio::TMIO;
using std::filesystem::path;

std::string failed(const char* what, const path& file, const std::string& reason) {
    return std::string("Failed to ") + what + " file " + file.generic_string() + "!\nImplementation reports: " + reason;
}
std::string read_error(const path& file, const std::string& what) {
    return "Read error in file " + file.generic_string() + ": " + what;
}

struct MemoryReader {
    MemoryReader(std::string stream, const char* protocol)
        : bytes(std::move(stream)), ctx(tmio_init(protocol, 0, 0, 0)),
          opened(tmio_open(ctx, mem_address(bytes.data(), bytes.size()).c_str(), 0)) {}
    ~MemoryReader() { tmio_delete(ctx); }
    std::string bytes;
    tmio_context* ctx;
    int opened;
};

std::vector<std::size_t> counters(const tmio_context* ctx) {
    std::vector<std::size_t> all(ctx->stats, ctx->stats + TMIO_STAT_COUNT);
    all.insert(all.end(), {ctx->bytes_written, ctx->bytes_read, ctx->bytes_skipped});
    return all;
}

TEST(TmioWrite, StreamHoldsTheHandshakeNegatedTagsAndLengthPrefixedRecords) {
    TempDir dir;
    const auto file = dir.path() / "s";
    tmio_context* ctx = tmio_init("EVENT_PROTOCOL", 0, 0, 0);
    ASSERT_EQ(tmio_create(ctx, file.c_str(), 0), 1);
    const std::string hs = handshake("EVENT_PROTOCOL");
    EXPECT_EQ(read_bytes(file), hs) << "the handshake waits in the buffer while a reader may wait for it";
    // Data needs a tag first and tags lie in 1..1000000000; refusals leave the stream usable.
    const std::vector<int> refused{tmio_write_data(ctx, "abcd", 4), tmio_write_tag(ctx, 0),
                                   tmio_write_tag(ctx, TMIO_MAX_TAG + 1)};
    EXPECT_EQ(refused, std::vector<int>(3, -1));
    EXPECT_STREQ(tmio_status_str(ctx), "okay");
    const std::vector<int> written{tmio_write_tag(ctx, 3), tmio_write_data(ctx, "1234", 4),
                                   tmio_write_data(ctx, nullptr, 0), tmio_write_data(ctx, "abcd", -5),
                                   tmio_write_tag(ctx, TMIO_MAX_TAG), tmio_flush(ctx)};
    EXPECT_EQ(written, (std::vector<int>{0, 4, 0, 0, 0, 0})) << "a negative length wrote something";
    EXPECT_EQ(read_bytes(file), hs + word(-3) + record("1234") + word(0) + word(-TMIO_MAX_TAG));
    EXPECT_EQ(counters(ctx), (std::vector<std::size_t>{1, 2, 0, 2, 0, 0, 0, 0, 0, 0, 0, 88, 0, 0}));
    tmio_delete(ctx);
}

// `results` holds what the open returned, then what the calls (t: tag, d: data) did; a fault ends reads with -1.
TEST(TmioRead, HandshakeProtocolAndTheWordsReadDecide) {
    const std::string hs = handshake("P"), tagged = hs + word(-1);
    const struct { std::string bytes; const char* ours; const char* calls; std::vector<int> results;
                   const char* status; std::string peer = ""; } cases[] = {
        {word(TMIO_HANDSHAKE) + "P", "P", "", {-1}, "handshake error"},
        {handshake("Q"), "P", "", {-1}, "protocol error", "Q"},
        // Ours need only be a prefix of theirs, and an empty name accepts any.
        {handshake("OP_DATA_7"), "OP_DATA", "", {0}, "okay", "OP_DATA_7"},
        {handshake("EVENT"), "EVENT_PROTOCOL", "", {-1}, "protocol error", "EVENT"},
        {handshake("WHATEVER"), "", "", {0}, "okay", "WHATEVER"},
        // A full field has no terminator; 63 characters of it are kept.
        {word(TMIO_HANDSHAKE) + std::string(64, 'z'), "zz", "", {0}, "okay", std::string(63, 'z')},
        {hs + record("12345678") + word(-5), "P", "tt", {0, 5, 0}, "okay"},  // data skipped, 0 at a clean end
        {hs + word(-1000000002), "P", "tt", {0, -1, -1}, "read error"},  // reserved word
        // Concatenated streams are checked at each handshake.
        {hs + word(-1) + handshake("P2") + word(-2) + handshake("X") + word(-3), "P", "ttt", {0, 1, 2, -1},
         "protocol error"},
        {hs + word(-1).substr(0, 2), "P", "t", {0, -1}, "timeout"},
        // A tag met by read_data stays for read_tag; words held back that way still get their checks.
        {tagged + word(-7), "P", "tddt", {0, 1, -2, -2, 7}, "okay"},
        {tagged + handshake("Q"), "P", "tddt", {0, 1, -2, -2, -1}, "protocol error"},
        {tagged + word(-2000000000), "P", "tddt", {0, 1, -2, -2, -1}, "read error"},
        // A record cut short, even one claiming 2 GiB, times out without allocating.
        {tagged + word(16) + "0123", "P", "tddt", {0, 1, -1, -1, -1}, "timeout"},
        {tagged + word(0x7FFFFFFF) + "abc", "P", "tddt", {0, 1, -1, -1, -1}, "timeout"},
    };
    for (const auto& c : cases) {
        MemoryReader reader(c.bytes, c.ours);
        std::vector<int> results{reader.opened};
        char buffer[16];
        for (const char* call = c.calls; *call; ++call)
            results.push_back(*call == 't' ? tmio_read_tag(reader.ctx) : tmio_read_data(reader.ctx, buffer, 16));
        EXPECT_EQ(results, c.results) << c.calls << " " << c.status;
        EXPECT_STREQ(tmio_status_str(reader.ctx), c.status);
        EXPECT_TRUE(c.peer.empty() || tmio_stream_protocol(reader.ctx) == c.peer) << c.peer;
        EXPECT_EQ(tmio_stream_handle(reader.ctx) != nullptr, reader.opened == 0) << "a refused stream kept open";
    }
}

TEST(TmioReadData, RecordsLongerOrShorterThanTheSpaceGivenAndTheCounters) {
    const std::string data = "0123456789abcdef";
    MemoryReader reader(handshake("P") + record("xyz") + word(-1) + record(data) + record(data) + word(-2), "P");
    EXPECT_EQ(tmio_wait(reader.ctx, 0), 1);  // skips the stray record and holds the tag
    ASSERT_EQ(tmio_read_tag(reader.ctx), 1);
    std::string buffer(32, '#');
    EXPECT_TRUE(tmio_read_data(reader.ctx, buffer.data(), 8) == 16 &&
                buffer == data.substr(0, 8) + std::string(24, '#'))
        << "a longer record fills the space, reports its own length and the rest is skipped";
    EXPECT_TRUE(tmio_read_data(reader.ctx, buffer.data(), 32) == 16 && buffer == data + std::string(16, '#'))
        << "a shorter record leaves the rest of the space alone";
    EXPECT_TRUE(tmio_read_data(reader.ctx, buffer.data(), 32) == -2 && tmio_read_tag(reader.ctx) == 2);
    EXPECT_EQ(tmio_wait(reader.ctx, 0), 0);
    EXPECT_EQ(counters(reader.ctx),
              (std::vector<std::size_t>{0, 0, 2, 0, 2, 1, 1, 0, 1, 1, 0, 0, 4 + 64 + 4 + 12 + 20 + 4, 7 + 8}));
    for (int i = 0; i < TMIO_STAT_COUNT; ++i) reader.ctx->stats[i] = i + 1;  // each counter told apart
    reader.ctx->bytes_written = 12, reader.ctx->bytes_read = 13, reader.ctx->bytes_skipped = 1ull << 40;
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(tmio_monitor(reader.ctx), 0);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "tmio_monitor: statistics\n... tags written     2\n... data records out 4\n... tags read        3\n"
              "... data records in  5\n... data flushes     1\n... read zero        8\n... read missing     9\n"
              "... read shortened   6\n... read truncated   7\n... data skipped     10\n... tags skipped     11\n"
              "... bytes written    12\n... bytes read       13\n... bytes skipped    1099511627776\n");
}

// A flush must not start a memory region over the handshake and the records before it.
TEST(TMIO, StructRecordsSurviveFlushesInMemoryAndMisusesOrWrongShapesFailWithExactMessages) {
    std::string region(120, '\0');
    const std::string address = mem_address(region.data(), region.size());
    const double first = 1.5, second = 2.5;
    {
        TMIO out(address, std::ios::out, "P");
        for (const double* value : {&first, &second}) out.write_raw(1, value, 8), out.flush();
    }
    EXPECT_EQ(region.substr(0, 100), handshake("P") + word(-1) + record(bytes_of(&first, 8)) + word(-1) +
                                        record(bytes_of(&second, 8)));
    double back[2] = {};
    TMIO from_memory(address, std::ios::in, "P");
    for (double& value : back) from_memory.read_raw(1, &value, 8);
    EXPECT_EQ(bytes_of(back, 16), bytes_of(&first, 8) + bytes_of(&second, 8));

    // Open failures of every kind are checked through the Serializer below.
    TempDir dir;
    const auto file = dir.write("w", handshake("P") + word(-1) + record(std::string(24, 'x')) + word(-1) +
                                         record(std::string(8, 'y')) + word(-2));
    TMIO in(file, std::ios::in, "P"), out(dir.path() / "out", std::ios::out, "P");
    const auto cut = dir.write("cut", handshake("P") + word(-3) + record(word(2)) + word(16) + "12345678");
    char buffer[24];
    const struct { std::function<void()> action; std::string message; } cases[] = {
        {[&] { out.read_raw(1, buffer, 8); }, "Cannot read from output stream!"},
        {[&] { in.flush(); }, "Cannot write to input stream!"},
        {[&] { in.read_raw(1, buffer, 16); }, read_error(file, "Read 24 bytes but required 16 bytes.")},
        {[&] { in.read_vector<double>(); }, read_error(file, "Found tag STRUCT but required tag VECTOR.")},
        {[&] { in.read_raw(1, buffer, 8); }, read_error(file, "Found tag STRING but required tag STRUCT.")},
        {[&] { in.read_raw(1, buffer, 8); }, "Reached end of file " + file.generic_string() + "!"},
        {[&] { TMIO(cut, std::ios::in, "P").skip_vector<double>(); }, failed("read from", cut, "timeout")},
    };
    for (const auto& c : cases) EXPECT_THROW_MSG(c.action(), std::ios_base::failure, c.message);
    EXPECT_THROW_MSG(TMIO(file, std::ios::in | std::ios::binary, "P"), std::invalid_argument,
                     "Open mode not supported, only 'std::ios::out' and 'std::ios::in' are allowed!");
    // A vector whose byte count does not fit one record is refused before anything is written.
    const double number = 0;
    EXPECT_THROW(out.write_array(3, &number, INT_MAX / 8 + 1), std::length_error);
}

// Looks ahead at 3000 small records through a 1 KiB buffer, some looks straddling its end, and through a tag
// held read ahead; nothing is consumed. A data record in front of a tag is seen; a cut word is no clean end.
TEST(TMIO, LooksAtTheNextRecordWithoutPassingIt) {
    TempDir dir;
    const auto file = dir.path() / "p";
    std::string payload(3010, '\0');
    for (std::size_t i = 0; i < payload.size(); ++i) payload[i] = char(i * 7);
    const auto tag = [](int n) { return 1 + n % 5; };
    {
        TMIO out(file, std::ios::out, "P");
        for (int n = 0; n < 3000; ++n) out.write_raw(tag(n), payload.data() + n, n % 11);
    }
    const std::string bytes = read_bytes(file) + record("x") + word(-1) + record("12345678");
    dir.write("p", bytes + "ab");
    for (const std::string& address : {file.string(), mem_address(bytes.data(), bytes.size())}) {
        TMIO in(address, std::ios::in, "P", 1);
        std::string back(16, '\0');
        for (int n = 0; n < 3000; ++n) {
            EXPECT_EQ(n % 3 ? -2 : tmio_read_data(in.ctx, nullptr, 0), -2);  // the tag then held read ahead
            EXPECT_TRUE(!in.at_end() && in.next_record_is(tag(n), n % 11) && !in.next_record_is(tag(n + 1), n % 11) &&
                        !in.next_record_is(tag(n), n % 11 + 1)) << address << ", record " << n;
            in.read_raw(tag(n), back.data(), n % 11);
            ASSERT_EQ(back.substr(0, n % 11), payload.substr(n, n % 11)) << address << ", record " << n;
        }
        EXPECT_FALSE(in.next_record_is(1, 8) || in.at_end()) << address;
        in.read_raw(1, back.data(), 8);
        EXPECT_EQ(in.at_end(), address != file.string()) << address;
    }
}

TEST(Serializer, FilesHaveTheirExactBytesReadBackAndDamagedForeignOrUnwritableOnesFailWithExactMessages) {
    TempDir dir;
    auto serializer = Serializer::create_default();
    const auto numbers = dir.write("numbers", std::string(500, 'x')), events = dir.path() / "events";
    serializer->write_numbers(numbers, {1.0, 2.0});
    const double values[2] = {1.0, 2.0};
    EXPECT_EQ(read_bytes(numbers), std::string("\xFF\x35\x65\xC4", 4) + "NUMBER_PROTOCOL" + std::string(49, '\0') +
                                       word(-3) + word(4) + word(2) + word(16) + bytes_of(values, 16))
        << "the old bytes of a longer file survived behind the new ones";
    EXPECT_EQ(serializer->read_numbers(numbers), (std::vector<double>{1.0, 2.0}));
    serializer->write_events(events, {});
    EXPECT_TRUE(serializer->read_events(events).empty());
    const std::vector<background::BackgroundEvent> event_list{{0.5, 1, 7}, {0.75, 2, 1ull << 40}, {1.0, -3, 0}};
    serializer->write_events(events, event_list);
    const auto events_back = serializer->read_events(events);
    EXPECT_EQ(bytes_of(events_back.data(), events_back.size() * 24), bytes_of(event_list.data(), 72));
    std::vector<Metadata> metadata(2);
    metadata[1] = {43, Metadata::PROTON, 1e5, -1.0, -2.0, 0.25, 3.0, 4.0, -1, -1};
    serializer->write_metadata(dir.path() / "meta", metadata);
    const auto metadata_back = serializer->read_metadata(dir.path() / "meta");
    EXPECT_EQ(bytes_of(metadata_back.data(), metadata_back.size() * 72), bytes_of(metadata.data(), 144));

    // Every failure closes its file; counts the file cannot back fail without allocating for them. The final
    // flush is where a full disk shows up: the writer reports it rather than leave it to a destructor.
    const auto missing = dir.path() / "missing";
    const auto cut = dir.write("cut", read_bytes(events).substr(0, 84 + 3 * 24 - 1));  // one byte short
    const auto trailing = dir.write("trailing", read_bytes(events) + record("") + "x");  // a frame cut short
    const auto text = dir.write("text", "time,type,id\n1,2,3\n");
    const auto negative = dir.write("neg", handshake("NUMBER_PROTOCOL") + word(-3) + record(word(-5)) + record(""));
    const std::int32_t huge = INT_MAX / 8;
    const auto short_file =
        dir.write("short", handshake("NUMBER_PROTOCOL") + word(-3) + record(word(huge)) + word(huge * 8) + "12345678");
    const auto disagreeing = dir.write("disagreeing", handshake("META_PROTOCOL") + word(-3) +
                                                          record(word(0x7FFFFFF)) + record(std::string(16, 'z')));
    char region[90];
    const std::string small = mem_address(region, sizeof region);
    const struct { std::function<void()> call; std::string message; } cases[] = {
        {[&] { serializer->read_events(missing); }, failed("open", missing, "connection error")},
        {[&] { serializer->read_events(text); }, failed("open", text, "handshake error")},
        {[&] { serializer->read_metadata(events); }, failed("open", events, "protocol error")},
        {[&] { serializer->read_events(cut); }, failed("read from", cut, "timeout")},
        {[&] { serializer->read_events(trailing); }, read_error(trailing, "Found data after the VECTOR record.")},
        {[&] { serializer->read_numbers(short_file); }, failed("read from", short_file, "timeout")},
        {[&] { serializer->read_metadata(disagreeing); },
         read_error(disagreeing, "Read 16 bytes but required 9663676344 bytes.")},
        {[&] { serializer->write_numbers(small, {1.0, 2.0}); }, failed("write to", small, "write error")},
    };
    const int descriptors = open_descriptors();
    for (const auto& c : cases) EXPECT_THROW_MSG(c.call(), std::ios_base::failure, c.message);
    EXPECT_THROW_MSG(serializer->read_numbers(negative), std::length_error,
                     "cannot create std::vector larger than max_size()");
    EXPECT_EQ(open_descriptors(), descriptors);
    try {
        serializer->read_events(missing);
    } catch (const std::ios_base::failure& failure) {
        EXPECT_EQ(failure.code(), std::io_errc::stream) << "not the error code TMIO.hpp documents";
    }
    EXPECT_TRUE(in_child_with_file_limit(100, [&](const auto&) {  // the handshake fits, the buffered vector does not
        const auto write = [&] { Serializer::create_default()->write_numbers(numbers, std::vector(1000, 1.0)); };
        return background::testing::thrown<std::ios_base::failure>(write) == failed("write to", numbers, "flush error");
    }));
}

// Runs `body` in a child whose standard input is a pipe holding `bytes` that its writer keeps open; true when the
// body returned true within three seconds, without waiting for more.
bool reads_from_lingering_pipe(const std::string& bytes, const std::function<bool()>& body) {
    int p[2];
    const bool ok = pipe(p) == 0 && write(p[1], bytes.data(), bytes.size()) == ssize_t(bytes.size()) &&
                    in_child([&] { return dup2(p[0], 0) == 0 && body(); }, 3);
    return close(p[0]) + close(p[1]) == 0 && ok;
}

// Records after the vector are ignored where a regular file holds them as whole frames; a byte inserted anywhere
// or appended is refused. Other streams are not read on: a caller's larger region, a pipe whose writer stays.
TEST(Serializer, RecordsAfterTheVectorAreIgnoredWhereTheyAreWholeFrames) {
    TempDir dir;
    auto serializer = Serializer::create_default();
    const auto file = dir.path() / "n";
    const std::vector<double> stored{1.0, 2.0};
    serializer->write_numbers(file, stored);
    const std::string vector = read_bytes(file), whole = word(-7) + record("abc") + handshake("ANY") + word(-1);
    dir.write("n", vector + whole);
    EXPECT_EQ(serializer->read_numbers(file), stored);
    for (const std::string& torn : {whole + "ab", word(-7) + word(5) + "abc", whole.substr(0, 40), word(TMIO_HANDSHAKE - 1)}) {
        dir.write("n", vector + torn);
        EXPECT_THROW_MSG(serializer->read_numbers(file), std::ios_base::failure,
                         read_error(file, "Found data after the VECTOR record."));
    }
    for (std::size_t at = 0; at <= vector.size(); ++at) {
        for (const char inserted : {'\0', '\xFF', 'x'}) {
            dir.write("n", std::string(vector).insert(at, 1, inserted));
            EXPECT_ANY_THROW(serializer->read_numbers(file)) << "byte inserted at " << at;
        }
    }
    std::vector<char> region(512);
    serializer->write_numbers(mem_address(region.data(), region.size()), stored);
    EXPECT_EQ(serializer->read_numbers(mem_address(region.data(), region.size())), stored);
    EXPECT_TRUE(reads_from_lingering_pipe(vector, [&] { return serializer->read_numbers("-") == stored; }));
    // A locked file's rest that an appender holds is still being written: served at once, not taken for a torn frame,
    // also where the lock begins inside a record that another process rewrites.
    const std::string locked = "lockedfile://" + file.string();
    const off_t end = off_t(vector.size() + whole.size()), in_a_record = off_t(vector.size() + 9);
    for (const auto& [rest, from, served] :
         {std::tuple{whole, end, true}, {word(TMIO_HANDSHAKE - 1), end, false}, {whole, in_a_record, true}}) {
        dir.write("n", vector + rest);
        EXPECT_TRUE(in_child([&] {
            struct flock held_on {F_WRLCK, SEEK_SET, from, 0, 0};
            const bool held = fcntl(open(file.c_str(), O_RDWR), F_OFD_SETLK, &held_on) == 0;
            const auto read = [&] { return serializer->read_numbers(locked); };
            return held && (served ? read() == stored : background::testing::thrown<std::ios_base::failure>(read) ==
                                                            read_error(locked, "Found data after the VECTOR record."));
        }, 3)) << from << served;
    }
    // On a stream that waits, the walk still answers at once, and a look ahead afterwards waits as the stream does:
    // for the record that the appender adds before it lets go.
    dir.write("n", vector + whole);
    EXPECT_TRUE(in_child([&] {
        const int appender = open(file.c_str(), O_WRONLY | O_APPEND);
        struct flock from_the_end {F_WRLCK, SEEK_END, 0, 0, 0};
        TMIO in(locked, std::ios::in, "NUMBER_PROTOCOL");
        tmio_timeout(in.ctx, -1);
        if (fcntl(appender, F_OFD_SETLK, &from_the_end) != 0 || in.read_vector<double>() != stored ||
            !in.rest_is_whole_frames())
            return false;
        std::thread append([&] {
            usleep(200000);
            const std::string more = word(-7) + record("xyz");
            if (write(appender, more.data(), more.size()) == ssize_t(more.size())) close(appender);
        });
        const bool waited = !in.at_end();
        append.join();
        return waited;
    }, 3));
}

// A look answers from the first byte that decides it: a tag and one byte of a length are enough here.
TEST(TMIO, LooksAheadOnAPipeWaitOnlyForTheBytesThatDecide) {
    EXPECT_TRUE(reads_from_lingering_pipe(handshake("P") + word(-5) + "\x08", [] {
        TMIO in("-", std::ios::in, "P");
        return !in.at_end() && !in.next_record_is(6, 8) && !in.next_record_is(5, 9);
    }));
    // A tag that a data read met instead is held read ahead: as the file's last word, it still lies ahead.
    TempDir dir;
    TMIO in(dir.write("held", handshake("P") + word(-5) + word(-6)), std::ios::in, "P");
    char data[1];
    EXPECT_TRUE(tmio_read_tag(in.ctx) == 5 && tmio_read_data(in.ctx, data, 1) == -2 && !in.at_end());
}

}  // namespace
