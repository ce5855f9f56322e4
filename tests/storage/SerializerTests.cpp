#include <background/storage/Serializer.hpp>
#include <background/storage/TMIOSerializer.hpp>

#include "StorageTestSupport.hpp"
#include "support/TestHelpers.hpp"

#include <gtest/gtest.h>

#include <signal.h>
#include <sys/resource.h>

#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using background::BackgroundEvent;
using background::Metadata;
using background::Serializer;
using background::testing::TempDir;
using storage_test::handshake;
using storage_test::join;
using storage_test::read_bytes;
using storage_test::record;
using storage_test::spawn;
using storage_test::word;
using storage_test::write_bytes;

std::string bytes_of(const void* data, std::size_t n) { return {static_cast<const char*>(data), n}; }

TEST(Serializer, DefaultIsTheRecordStreamImplementation) {
    auto serializer = Serializer::create_default();
    EXPECT_NE(dynamic_cast<background::TMIOSerializer*>(serializer.get()), nullptr);
}

TEST(Serializer, NumbersFileHasItsExactBytes) {
    TempDir dir;
    const auto path = dir.path() / "numbers";
    auto serializer = Serializer::create_default();
    serializer->write_numbers(path, {1.0, 2.0});
    const double values[2] = {1.0, 2.0};
    const std::string expected = std::string("\xFF\x35\x65\xC4", 4) + "NUMBER_PROTOCOL" + std::string(49, '\0') +
                                 word(-3) + word(4) + word(2) + word(16) + bytes_of(values, 16);
    EXPECT_EQ(read_bytes(path).size(), 100u);
    EXPECT_EQ(read_bytes(path), expected);
    EXPECT_EQ(serializer->read_numbers(path), (std::vector<double>{1.0, 2.0}));
}

TEST(Serializer, EmptyVectorMakesAn84ByteFile) {
    TempDir dir;
    auto serializer = Serializer::create_default();
    serializer->write_events(dir.path() / "e", {});
    EXPECT_EQ(read_bytes(dir.path() / "e"), handshake("EVENT_PROTOCOL") + word(-3) + word(4) + word(0) + word(0));
    EXPECT_TRUE(serializer->read_events(dir.path() / "e").empty());
    serializer->write_metadata(dir.path() / "m", {});
    EXPECT_EQ(read_bytes(dir.path() / "m"), handshake("META_PROTOCOL") + word(-3) + word(4) + word(0) + word(0));
}

TEST(Serializer, EventsAndMetadataRoundTrip) {
    TempDir dir;
    auto serializer = Serializer::create_default();
    const std::vector<BackgroundEvent> events{{0.5, 1, 7}, {0.75, 2, 1ull << 40}, {1.0, -3, 0}};
    serializer->write_events(dir.path() / "e", events);
    EXPECT_EQ(read_bytes(dir.path() / "e").size(), 84u + 3 * 24);
    auto events_back = serializer->read_events(dir.path() / "e");
    ASSERT_EQ(events_back.size(), 3u);
    for (std::size_t i = 0; i < 3; ++i) {
        EXPECT_EQ(events_back[i].time, events[i].time);
        EXPECT_EQ(events_back[i].type, events[i].type);
        EXPECT_EQ(events_back[i].id, events[i].id);
    }

    std::vector<Metadata> metadata(2);
    metadata[0] = {42, Metadata::GAMMA, 100.0, 1.0, 2.0, 0.5, 1.5, 3.0, 250, 17};
    metadata[1] = {43, Metadata::PROTON, 1e5, -1.0, -2.0, 0.25, 3.0, 4.0, -1, -1};
    serializer->write_metadata(dir.path() / "m", metadata);
    EXPECT_EQ(read_bytes(dir.path() / "m").size(), 84u + 2 * 72);
    auto metadata_back = serializer->read_metadata(dir.path() / "m");
    ASSERT_EQ(metadata_back.size(), 2u);
    EXPECT_EQ(metadata_back[0].uid, 42u);
    EXPECT_EQ(metadata_back[0].primary, Metadata::GAMMA);
    EXPECT_EQ(metadata_back[1].energy, 1e5);
    EXPECT_EQ(metadata_back[1].num_pe, -1);
    EXPECT_EQ(metadata_back[0].num_channels, 17);
}

TEST(Serializer, WriteTruncatesAnExistingFile) {
    TempDir dir;
    const auto path = dir.write("n", std::string(500, 'x'));
    auto serializer = Serializer::create_default();
    serializer->write_numbers(path, {3.0});
    EXPECT_EQ(read_bytes(path).size(), 92u);
    EXPECT_EQ(serializer->read_numbers(path), std::vector<double>{3.0});
}

TEST(Serializer, EachKindIsReadOnlyByItsOwnOperation) {
    TempDir dir;
    auto serializer = Serializer::create_default();
    const auto events = dir.path() / "events";
    const auto numbers = dir.path() / "numbers";
    serializer->write_events(events, {{1.0, 1, 1}});
    serializer->write_numbers(numbers, {1.0, 2.0});
    EXPECT_THROW_MSG(serializer->read_numbers(events), std::ios_base::failure,
                     "Failed to open file " + events.generic_string() + "!\nImplementation reports: protocol error");
    EXPECT_THROW_MSG(serializer->read_events(numbers), std::ios_base::failure,
                     "Failed to open file " + numbers.generic_string() + "!\nImplementation reports: protocol error");
    EXPECT_THROW_MSG(serializer->read_metadata(events), std::ios_base::failure,
                     "Failed to open file " + events.generic_string() + "!\nImplementation reports: protocol error");
}

TEST(Serializer, MissingAndForeignFilesFailToOpen) {
    TempDir dir;
    auto serializer = Serializer::create_default();
    const auto missing = dir.path() / "missing";
    EXPECT_THROW_MSG(serializer->read_events(missing), std::ios_base::failure,
                     "Failed to open file " + missing.generic_string() + "!\nImplementation reports: connection error");
    const auto text = dir.write("text", "time,type,id\n1,2,3\n");
    EXPECT_THROW_MSG(serializer->read_events(text), std::ios_base::failure,
                     "Failed to open file " + text.generic_string() + "!\nImplementation reports: handshake error");
}

TEST(Serializer, FileCutByOneByteReportsTimeout) {
    TempDir dir;
    const auto path = dir.path() / "events";
    auto serializer = Serializer::create_default();
    serializer->write_events(path, {{1.0, 1, 1}, {2.0, 2, 2}});
    const std::string bytes = read_bytes(path);
    write_bytes(path, bytes.substr(0, bytes.size() - 1));
    EXPECT_THROW_MSG(serializer->read_events(path), std::ios_base::failure,
                     "Failed to read from file " + path.generic_string() + "!\nImplementation reports: timeout");
}

TEST(Serializer, ElementRecordOfTheWrongSizeIsReported) {
    TempDir dir;
    const auto path = dir.write("e", handshake("EVENT_PROTOCOL") + word(-3) + record(word(1)) +
                                         record(std::string(16, '\0')));
    EXPECT_THROW_MSG(Serializer::create_default()->read_events(path), std::ios_base::failure,
                     "Read error in file " + path.generic_string() + ": Read 16 bytes but required 24 bytes.");
}

TEST(Serializer, NegativeCountIsALengthError) {
    TempDir dir;
    const auto path = dir.write("n", handshake("NUMBER_PROTOCOL") + word(-3) + record(word(-5)) + record(""));
    EXPECT_THROW_MSG(Serializer::create_default()->read_numbers(path), std::length_error,
                     "cannot create std::vector larger than max_size()");
}

TEST(Serializer, RecordsAfterTheVectorAreIgnored) {
    TempDir dir;
    const double value = 4.0;
    const auto path = dir.write("n", handshake("NUMBER_PROTOCOL") + word(-3) + record(word(1)) +
                                         record(bytes_of(&value, 8)) + word(-1) + word(-999));
    EXPECT_EQ(Serializer::create_default()->read_numbers(path), std::vector<double>{4.0});
}

TEST(Serializer, WriteReportsAFinalFlushThatFails) {
    TempDir dir;
    const auto path = dir.path() / "numbers";
    std::string message;
    // The file-size limit is process-wide, so the child carries it: the
    // handshake fits under it, the buffered vector does not.
    pid_t child = spawn([&] {
        signal(SIGXFSZ, SIG_IGN);
        rlimit limit{};
        getrlimit(RLIMIT_FSIZE, &limit);
        limit.rlim_cur = 100;
        setrlimit(RLIMIT_FSIZE, &limit);
        try {
            Serializer::create_default()->write_numbers(path, std::vector<double>(1000, 1.0));
        } catch (const std::ios_base::failure& failure) {
            return std::string(failure.what()) ==
                   "Failed to write to file " + path.generic_string() + "!\nImplementation reports: flush error";
        }
        return false;
    });
    EXPECT_TRUE(join(child));
}

}  // namespace
