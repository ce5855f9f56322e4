#include <background/storage/Serializer.hpp>
#include <background/storage/TMIO.hpp>
#include <background/storage/tmio.h>

#include <background/core/BackgroundEvent.hpp>
#include <background/core/Metadata.hpp>

#include "StorageTestSupport.hpp"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

// Tagged record streams: the C layer, typed TMIO records and Serializer files.

namespace {

using namespace storage_test;
using background::BackgroundEvent;
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

// A reading context over stream bytes held in memory.
struct MemoryReader {
    MemoryReader(std::string stream, const char* protocol)
        : bytes(std::move(stream)), ctx(tmio_init(protocol, 0, 0, 0)),
          opened(tmio_open(ctx, mem_address(bytes.data(), bytes.size()).c_str(), 0)) {}
    ~MemoryReader() { tmio_delete(ctx); }
    std::string bytes;
    tmio_context* ctx;
    int opened;
};

// tmio_monitor shows every counter; `counts` in the order of its lines.
std::string statistics(const tmio_context* ctx) {
    testing::internal::CaptureStderr();
    tmio_monitor(ctx);
    return testing::internal::GetCapturedStderr();
}

std::string statistics(std::vector<int> counts, std::size_t written, std::size_t read, std::size_t skipped) {
    const char* labels[] = {"tags written     ", "data records out ", "tags read        ", "data records in  ",
                            "data flushes     ", "read zero        ", "read missing     ", "read shortened   ",
                            "read truncated   ", "data skipped     ", "tags skipped     "};
    std::string text = "tmio_monitor: statistics\n";
    for (std::size_t i = 0; i < counts.size(); ++i) text += "... " + std::string(labels[i]) + std::to_string(counts[i]) + "\n";
    return text + "... bytes written    " + std::to_string(written) + "\n... bytes read       " + std::to_string(read) +
           "\n... bytes skipped    " + std::to_string(skipped) + "\n";
}

TEST(TmioWrite, StreamHoldsTheHandshakeNegatedTagsAndLengthPrefixedRecords) {
    TempDir dir;
    const auto file = dir.path() / "s";
    tmio_context* ctx = tmio_init("EVENT_PROTOCOL", 0, 0, 0);
    ASSERT_EQ(tmio_create(ctx, file.c_str(), 0), 1);
    // The handshake goes out at once: a reader may be waiting for it.
    const std::string hs = std::string("\xFF\x35\x65\xC4", 4) + "EVENT_PROTOCOL" + std::string(50, '\0');
    EXPECT_EQ(read_bytes(file), hs);
    // Data needs a tag first and tags lie in 1..1000000000; refusals leave the stream usable.
    EXPECT_EQ(tmio_write_data(ctx, "abcd", 4), -1);
    EXPECT_EQ(tmio_write_tag(ctx, 0), -1);
    EXPECT_EQ(tmio_write_tag(ctx, TMIO_MAX_TAG + 1), -1);
    EXPECT_STREQ(tmio_status_str(ctx), "okay");
    EXPECT_EQ(tmio_write_tag(ctx, 3), 0);
    EXPECT_EQ(tmio_write_data(ctx, "1234", 4), 4);
    EXPECT_EQ(tmio_write_data(ctx, nullptr, 0), 0);
    EXPECT_EQ(tmio_write_data(ctx, "abcd", -5), 0);
    EXPECT_EQ(tmio_write_tag(ctx, TMIO_MAX_TAG), 0);
    EXPECT_EQ(tmio_flush(ctx), 0);
    EXPECT_EQ(read_bytes(file), hs + word(-3) + record("1234") + word(0) + word(-TMIO_MAX_TAG));
    EXPECT_EQ(statistics(ctx), statistics({2, 2, 0, 0, 1, 0, 0, 0, 0, 0, 0}, 88, 0, 0));
    tmio_delete(ctx);
}

TEST(TmioOpen, HandshakeAndProtocolDecideWhetherAStreamOpens) {
    const struct { std::string bytes; const char* ours; int opened; const char* status; std::string peer; } cases[] = {
        {word(TMIO_HANDSHAKE) + "P", "P", -1, "handshake error", ""},
        {handshake("Q"), "P", -1, "protocol error", "Q"},
        // Ours need only be a prefix of theirs, and an empty name accepts any.
        {handshake("OP_DATA_7"), "OP_DATA", 0, "okay", "OP_DATA_7"},
        {handshake("EVENT"), "EVENT_PROTOCOL", -1, "protocol error", "EVENT"},
        {handshake("WHATEVER"), "", 0, "okay", "WHATEVER"},
        // A full field has no terminator; 63 characters of it are kept.
        {word(TMIO_HANDSHAKE) + std::string(64, 'z'), "zz", 0, "okay", std::string(63, 'z')},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.peer);
        MemoryReader reader(c.bytes, c.ours);
        EXPECT_EQ(reader.opened, c.opened);
        EXPECT_STREQ(tmio_status_str(reader.ctx), c.status);
        if (!c.peer.empty()) {
            EXPECT_EQ(tmio_stream_protocol(reader.ctx), c.peer);
        }
        EXPECT_EQ(tmio_stream_handle(reader.ctx) != nullptr, c.opened == 0);
    }
}

// The tags read in turn from handshake("P") + body: 0 at a clean end, -1 and
// the status at the first fault.
TEST(TmioReadTag, TagsSkipDataAndStopAtTheFirstFault) {
    const struct { std::string body; std::vector<int> tags; const char* status; } cases[] = {
        {record("12345678") + word(-5), {5, 0}, "okay"},
        {word(-1000000002), {-1, -1}, "read error"},  // reserved word
        // Concatenated streams are checked at each handshake.
        {word(-1) + handshake("P2") + word(-2) + handshake("X") + word(-3), {1, 2, -1}, "protocol error"},
        {word(-1).substr(0, 2), {-1}, "timeout"},
        {word(100) + "abc", {-1}, "timeout"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::PrintToString(c.tags));
        MemoryReader reader(handshake("P") + c.body, "P");
        for (const int tag : c.tags) EXPECT_EQ(tmio_read_tag(reader.ctx), tag);
        EXPECT_STREQ(tmio_status_str(reader.ctx), c.status);
    }
}

// What tmio_read_data makes of the word after tag 1, asked twice, and what the
// next tmio_read_tag then returns.
TEST(TmioReadData, WordAfterTheTagDecidesTheRead) {
    const struct { std::string body; int data; int next_tag; const char* status; } cases[] = {
        {word(-7), -2, 7, "okay"},  // a tag met by read_data stays for read_tag
        // Words held back that way still get their checks.
        {handshake("Q"), -2, -1, "protocol error"},
        {word(-2000000000), -2, -1, "read error"},
        // A record cut short, even one claiming 2 GiB, times out without allocating.
        {word(16) + "0123", -1, -1, "timeout"},
        {word(0x7FFFFFFF) + "abc", -1, -1, "timeout"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.status);
        MemoryReader reader(handshake("P") + word(-1) + c.body, "P");
        ASSERT_EQ(tmio_read_tag(reader.ctx), 1);
        char buffer[16];
        EXPECT_EQ(tmio_read_data(reader.ctx, buffer, sizeof buffer), c.data);
        EXPECT_EQ(tmio_read_data(reader.ctx, buffer, sizeof buffer), c.data);
        EXPECT_EQ(tmio_read_tag(reader.ctx), c.next_tag);
        EXPECT_STREQ(tmio_status_str(reader.ctx), c.status);
    }
}

TEST(TmioReadData, RecordsLongerOrShorterThanTheSpaceGivenAndTheCounters) {
    const std::string data = "0123456789abcdef";
    MemoryReader reader(handshake("P") + record("xyz") + word(-1) + record(data) + record(data) + word(-2), "P");
    EXPECT_EQ(tmio_wait(reader.ctx, 0), 1);  // skips the stray record and holds the tag
    ASSERT_EQ(tmio_read_tag(reader.ctx), 1);
    std::string buffer(32, '#');
    // A longer record fills the space, reports its own length and the rest is skipped.
    EXPECT_EQ(tmio_read_data(reader.ctx, buffer.data(), 8), 16);
    EXPECT_EQ(buffer, data.substr(0, 8) + std::string(24, '#'));
    // A shorter one leaves the rest of the space alone.
    EXPECT_EQ(tmio_read_data(reader.ctx, buffer.data(), 32), 16);
    EXPECT_EQ(buffer, data + std::string(16, '#'));
    EXPECT_EQ(tmio_read_data(reader.ctx, buffer.data(), 32), -2);
    EXPECT_EQ(tmio_read_tag(reader.ctx), 2);
    EXPECT_EQ(tmio_wait(reader.ctx, 0), 0);
    EXPECT_EQ(statistics(reader.ctx), statistics({0, 0, 2, 2, 0, 0, 1, 1, 1, 1, 0}, 0, 4 + 64 + 4 + 12 + 20 + 4, 7 + 8));
}

// Memory holds what the records put there: a flush must not start the region
// over the handshake and the records before it.
TEST(TMIO, StructRecordsOnTheWireSurviveFlushesInMemory) {
    std::string region(120, '\0');
    const std::string address = mem_address(region.data(), region.size());
    const double first = 1.5, second = 2.5;
    {
        TMIO out(address, std::ios::out, "P");
        out.write_raw(1, &first, 8);
        out.flush();
        out.write_raw(1, &second, 8);
        out.flush();
    }
    EXPECT_EQ(region.substr(0, 100), handshake("P") + word(-1) + record(bytes_of(&first, 8)) + word(-1) +
                                        record(bytes_of(&second, 8)));
    double back[2] = {};
    TMIO in(address, std::ios::in, "P");
    in.read_raw(1, &back[0], 8);
    in.read_raw(1, &back[1], 8);
    EXPECT_EQ(bytes_of(back, 16), bytes_of(&first, 8) + bytes_of(&second, 8));
}

// Open failures of every kind are checked through the Serializer below.
TEST(TMIO, MisusesAndRecordsOfTheWrongShapeFailWithExactMessages) {
    TempDir dir;
    const auto file = dir.write("w", handshake("P") + word(-1) + record(std::string(24, 'x')) + word(-1) +
                                         record(std::string(8, 'y')) + word(-2));
    TMIO in(file, std::ios::in, "P"), out(dir.path() / "out", std::ios::out, "P");
    char buffer[24];
    const struct { std::function<void()> action; std::string message; } cases[] = {
        {[&] { out.read_raw(1, buffer, 8); }, "Cannot read from output stream!"},
        {[&] { in.flush(); }, "Cannot write to input stream!"},
        {[&] { in.read_raw(1, buffer, 16); }, read_error(file, "Read 24 bytes but required 16 bytes.")},
        {[&] { in.read_vector<double>(); }, read_error(file, "Found tag STRUCT but required tag VECTOR.")},
        {[&] { in.read_raw(1, buffer, 8); }, read_error(file, "Found tag STRING but required tag STRUCT.")},
        {[&] { in.read_raw(1, buffer, 8); }, "Reached end of file " + file.generic_string() + "!"},
    };
    for (const auto& c : cases) EXPECT_THROW_MSG(c.action(), std::ios_base::failure, c.message);
    EXPECT_THROW_MSG(TMIO(file, std::ios::in | std::ios::binary, "P"), std::invalid_argument,
                     "Open mode not supported, only 'std::ios::out' and 'std::ios::in' are allowed!");
    // A vector whose byte count does not fit one record is refused before anything is written.
    const double number = 0;
    EXPECT_THROW(out.write_array(3, &number, INT_MAX / 8 + 1), std::length_error);
}

TEST(Serializer, FilesHaveTheirExactBytesAndReadBack) {
    TempDir dir;
    auto serializer = Serializer::create_default();
    // Written over a longer file: the old bytes must not survive behind the new ones.
    const auto numbers = dir.write("numbers", std::string(500, 'x'));
    serializer->write_numbers(numbers, {1.0, 2.0});
    const double values[2] = {1.0, 2.0};
    EXPECT_EQ(read_bytes(numbers), std::string("\xFF\x35\x65\xC4", 4) + "NUMBER_PROTOCOL" + std::string(49, '\0') +
                                       word(-3) + word(4) + word(2) + word(16) + bytes_of(values, 16));
    EXPECT_EQ(serializer->read_numbers(numbers), (std::vector<double>{1.0, 2.0}));
    // A memory region takes the same bytes and gives the vector back.
    std::string region(120, '\0');
    const std::string address = mem_address(region.data(), region.size());
    serializer->write_numbers(address, {1.0, 2.0});
    EXPECT_EQ(region.substr(0, 100), read_bytes(numbers));
    EXPECT_EQ(serializer->read_numbers(address), (std::vector<double>{1.0, 2.0}));

    // An empty vector is a count record of 0 and an empty element record.
    const auto events = dir.path() / "events", meta = dir.path() / "meta";
    serializer->write_events(events, {});
    EXPECT_EQ(read_bytes(events), handshake("EVENT_PROTOCOL") + word(-3) + word(4) + word(0) + word(0));
    EXPECT_TRUE(serializer->read_events(events).empty());

    const std::vector<BackgroundEvent> event_list{{0.5, 1, 7}, {0.75, 2, 1ull << 40}, {1.0, -3, 0}};
    serializer->write_events(events, event_list);
    const auto events_back = serializer->read_events(events);
    EXPECT_EQ(bytes_of(events_back.data(), events_back.size() * 24), bytes_of(event_list.data(), 72));

    std::vector<Metadata> metadata(2);
    metadata[1] = {43, Metadata::PROTON, 1e5, -1.0, -2.0, 0.25, 3.0, 4.0, -1, -1};
    serializer->write_metadata(meta, metadata);
    const auto metadata_back = serializer->read_metadata(meta);
    EXPECT_EQ(bytes_of(metadata_back.data(), metadata_back.size() * 72), bytes_of(metadata.data(), 144));
}

TEST(Serializer, DamagedOrForeignFilesFailWithExactMessages) {
    TempDir dir;
    auto serializer = Serializer::create_default();
    const auto events = dir.path() / "events", numbers = dir.path() / "numbers", missing = dir.path() / "missing";
    serializer->write_events(events, {{1.0, 1, 1}, {2.0, 2, 2}});
    serializer->write_numbers(numbers, {1.0, 2.0});
    const auto cut = dir.write("cut", read_bytes(events).substr(0, 84 + 2 * 24 - 1));  // one byte short
    const auto text = dir.write("text", "time,type,id\n1,2,3\n");
    const auto negative = dir.write("neg", handshake("NUMBER_PROTOCOL") + word(-3) + record(word(-5)) + record(""));
    // Counts the file cannot back fail without allocating for them.
    const std::int32_t huge = INT_MAX / 8;
    const auto short_file =
        dir.write("short", handshake("NUMBER_PROTOCOL") + word(-3) + record(word(huge)) + word(huge * 8) + "12345678");
    const auto disagreeing = dir.write("disagreeing", handshake("META_PROTOCOL") + word(-3) +
                                                          record(word(0x7FFFFFF)) + record(std::string(16, 'z')));
    enum Kind { EVENTS, METADATA, NUMBERS };
    const struct { path file; Kind kind; std::string message; } cases[] = {
        {missing, EVENTS, failed("open", missing, "connection error")},
        {text, EVENTS, failed("open", text, "handshake error")},
        {events, METADATA, failed("open", events, "protocol error")},
        {numbers, EVENTS, failed("open", numbers, "protocol error")},
        {cut, EVENTS, failed("read from", cut, "timeout")},
        {negative, NUMBERS, "cannot create std::vector larger than max_size()"},  // a std::length_error
        {short_file, NUMBERS, failed("read from", short_file, "timeout")},
        {disagreeing, METADATA, read_error(disagreeing, "Read 16 bytes but required 9663676344 bytes.")},
    };
    const int descriptors = open_descriptors();
    for (const auto& c : cases) {
        SCOPED_TRACE(c.file.filename().string() + " read as kind " + std::to_string(c.kind));
        try {
            if (c.kind == EVENTS) serializer->read_events(c.file);
            if (c.kind == METADATA) serializer->read_metadata(c.file);
            if (c.kind == NUMBERS) serializer->read_numbers(c.file);
            ADD_FAILURE() << "nothing was thrown";
        } catch (const std::length_error& error) {
            EXPECT_EQ(c.file, negative);
            EXPECT_EQ(std::string(error.what()), c.message);
        } catch (const std::ios_base::failure& failure) {
            EXPECT_EQ(std::string(failure.what()), c.message);
            EXPECT_EQ(failure.code(), std::io_errc::stream);
        }
    }
    EXPECT_EQ(open_descriptors(), descriptors);  // every failed read closed its file
}

// The final flush is where a full disk shows up; the writer must report it
// rather than leave it to a destructor that cannot. A region too small for the
// output fails as well instead of passing for stored.
TEST(Serializer, WritesThatDoNotFitAreReported) {
    TempDir dir;
    char region[90];
    const std::string small = mem_address(region, sizeof region);
    EXPECT_THROW_MSG(Serializer::create_default()->write_numbers(small, {1.0, 2.0}), std::ios_base::failure,
                     failed("write to", small, "write error"));
    const auto file = dir.path() / "numbers";
    pid_t child = spawn([&] {
        limit_file_size(100);  // the handshake fits, the buffered vector does not
        try {
            Serializer::create_default()->write_numbers(file, std::vector<double>(1000, 1.0));
        } catch (const std::ios_base::failure& failure) {
            return failure.what() == failed("write to", file, "flush error");
        }
        return false;
    });
    EXPECT_TRUE(join(child));
}

}  // namespace
