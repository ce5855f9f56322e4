#include <background/storage/TMIO.hpp>

#include <background/core/BackgroundEvent.hpp>
#include <background/core/Metadata.hpp>
#include <background/storage/tmio.h>

#include "StorageTestSupport.hpp"
#include "support/TestHelpers.hpp"

#include <gtest/gtest.h>

#include <climits>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <system_error>
#include <vector>

namespace {

using background::BackgroundEvent;
using background::Metadata;
using background::testing::TempDir;
using background::tmio::TMIO;
using storage_test::handshake;
using storage_test::read_bytes;
using storage_test::record;
using storage_test::word;

std::string bytes_of(const void* data, std::size_t n) { return {static_cast<const char*>(data), n}; }

TEST(TMIO, RefusesModesOtherThanInOrOut) {
    TempDir dir;
    const auto path = dir.write("f", handshake("P"));
    const std::string message = "Open mode not supported, only 'std::ios::out' and 'std::ios::in' are allowed!";
    EXPECT_THROW_MSG(TMIO(path, std::ios::in | std::ios::binary, "P"), std::invalid_argument, message);
    EXPECT_THROW_MSG(TMIO(path, std::ios::in | std::ios::out, "P"), std::invalid_argument, message);
    EXPECT_EQ(read_bytes(path), handshake("P"));
}

TEST(TMIO, OpenFailuresNameTheFileAndTheReason) {
    TempDir dir;
    const auto missing = dir.path() / "missing";
    const std::string prefix = "Failed to open file ";
    EXPECT_THROW_MSG(TMIO(missing, std::ios::in, "P"), std::ios_base::failure,
                     prefix + missing.generic_string() + "!\nImplementation reports: connection error");
    const auto empty = dir.write("empty", "");
    EXPECT_THROW_MSG(TMIO(empty, std::ios::in, "P"), std::ios_base::failure,
                     prefix + empty.generic_string() + "!\nImplementation reports: handshake error");
    const auto other = dir.write("other", handshake("Q"));
    EXPECT_THROW_MSG(TMIO(other, std::ios::in, "P"), std::ios_base::failure,
                     prefix + other.generic_string() + "!\nImplementation reports: protocol error");
    EXPECT_THROW_MSG(TMIO(dir.path() / "no" / "dir", std::ios::out, "P"), std::ios_base::failure,
                     prefix + (dir.path() / "no" / "dir").generic_string() +
                         "!\nImplementation reports: connection error");
    try {
        TMIO stream(missing, std::ios::in, "P");
    } catch (const std::ios_base::failure& failure) {
        EXPECT_EQ(failure.code(), std::io_errc::stream);
    }
}

TEST(TMIO, StructRecordsOnTheWire) {
    TempDir dir;
    const auto path = dir.path() / "s";
    const BackgroundEvent event{1.5, 7, 99};
    {
        TMIO out(path, std::ios::out, "P");
        out.write_raw(1, &event, sizeof event);
    }
    EXPECT_EQ(read_bytes(path), handshake("P") + word(-1) + word(24) + bytes_of(&event, 24));
    TMIO in(path, std::ios::in, "P");
    BackgroundEvent back{};
    in.read_raw(1, &back, sizeof back);
    EXPECT_EQ(back.time, 1.5);
    EXPECT_EQ(back.type, 7);
    EXPECT_EQ(back.id, 99u);
    EXPECT_THROW_MSG(in.read_raw(1, &back, sizeof back), std::ios_base::failure,
                     "Reached end of file " + path.generic_string() + "!");
}

TEST(TMIO, VectorRecordsOnTheWire) {
    TempDir dir;
    const auto path = dir.path() / "v";
    const std::vector<double> numbers{1.0, -2.5, 3.25};
    {
        TMIO out(path, std::ios::out, "P");
        out.write_array(3, numbers.data(), 3);
        out.write_array<double>(3, nullptr, 0);
    }
    const std::int32_t count = 3;
    EXPECT_EQ(read_bytes(path), handshake("P") + word(-3) + record(bytes_of(&count, 4)) +
                                    record(bytes_of(numbers.data(), 24)) + word(-3) + word(4) + word(0) +
                                    word(0));
    TMIO in(path, std::ios::in, "P");
    EXPECT_EQ(in.read_vector<double>(), numbers);
    EXPECT_TRUE(in.read_vector<double>().empty());
}

TEST(TMIO, MetadataVectorsKeepEveryField) {
    TempDir dir;
    const auto path = dir.path() / "m";
    std::vector<Metadata> records(2);
    records[0] = {11, Metadata::GAMMA, 1e3, 1, 2, 0.1, 0.2, 5.5, 100, 7};
    records[1] = {12, Metadata::PROTON, 2e4, -1, -2, 0.3, 0.4, 6.5, -1, -1};
    {
        TMIO out(path, std::ios::out, "M");
        out.write_array(3, records.data(), 2);
    }
    TMIO in(path, std::ios::in, "M");
    auto back = in.read_vector<Metadata>();
    ASSERT_EQ(back.size(), 2u);
    EXPECT_EQ(back[1].uid, 12u);
    EXPECT_EQ(back[1].primary, Metadata::PROTON);
    EXPECT_EQ(back[0].num_channels, 7);
    EXPECT_EQ(back[1].time, 6.5);
}

TEST(TMIO, ReadArrayDataNeedsTheExactElementCount) {
    TempDir dir;
    const auto path = dir.path() / "a";
    const BackgroundEvent events[2] = {{1, 2, 3}, {4, 5, 6}};
    {
        TMIO out(path, std::ios::out, "P");
        out.write_array(3, events, 2);
    }
    TMIO in(path, std::ios::in, "P");
    std::int32_t count = 0;
    in.read_raw(3, &count, 4);
    EXPECT_EQ(count, 2);
    BackgroundEvent back[3] = {};
    EXPECT_THROW_MSG(in.read_array_data(back, 3), std::ios_base::failure,
                     "Read error in file " + path.generic_string() + ": Read 48 bytes but required 72 bytes.");
    EXPECT_EQ(back[1].id, 6u);
}

TEST(TMIO, WrongDirectionIsRefused) {
    TempDir dir;
    const auto path = dir.path() / "d";
    double value = 1;
    {
        TMIO out(path, std::ios::out, "P");
        EXPECT_THROW_MSG(out.read_raw(1, &value, 8), std::ios_base::failure, "Cannot read from output stream!");
        EXPECT_THROW_MSG(out.read_vector<double>(), std::ios_base::failure, "Cannot read from output stream!");
    }
    TMIO in(path, std::ios::in, "P");
    EXPECT_THROW_MSG(in.write_raw(1, &value, 8), std::ios_base::failure, "Cannot write to input stream!");
    EXPECT_THROW_MSG(in.write_array(3, &value, 1), std::ios_base::failure, "Cannot write to input stream!");
    EXPECT_THROW_MSG(in.flush(), std::ios_base::failure, "Cannot write to input stream!");
}

TEST(TMIO, RecordOfTheWrongShapeIsReported) {
    TempDir dir;
    const auto path = dir.write("w", handshake("P") + word(-1) + record(std::string(24, 'x')) + word(-1) +
                                         record(std::string(8, 'y')) + word(-2));
    TMIO in(path, std::ios::in, "P");
    char buffer[24];
    EXPECT_THROW_MSG(in.read_raw(1, buffer, 16), std::ios_base::failure,
                     "Read error in file " + path.generic_string() + ": Read 24 bytes but required 16 bytes.");
    EXPECT_THROW_MSG(in.read_vector<double>(), std::ios_base::failure,
                     "Read error in file " + path.generic_string() + ": Found tag STRUCT but required tag VECTOR.");
    EXPECT_THROW_MSG(in.read_raw(1, buffer, 8), std::ios_base::failure,
                     "Read error in file " + path.generic_string() + ": Found tag STRING but required tag STRUCT.");
}

TEST(TMIO, NegativeCountIsALengthError) {
    TempDir dir;
    const auto path = dir.write("n", handshake("P") + word(-3) + record(word(-1)) + record(""));
    TMIO in(path, std::ios::in, "P");
    EXPECT_THROW_MSG(in.read_vector<double>(), std::length_error, "cannot create std::vector larger than max_size()");
}

TEST(TMIO, HugeCountInAShortFileFailsWithoutAllocating) {
    TempDir dir;
    const std::int32_t count = INT_MAX / 8;
    const auto path = dir.write("h", handshake("P") + word(-3) + record(word(count)) + word(count * 8) + "12345678");
    TMIO in(path, std::ios::in, "P");
    EXPECT_THROW_MSG(in.read_vector<double>(), std::ios_base::failure,
                     "Failed to read from file " + path.generic_string() + "!\nImplementation reports: timeout");
}

TEST(TMIO, CountThatDisagreesWithTheRecordIsReported) {
    TempDir dir;
    const std::int32_t count = 0x7FFFFFF;
    const auto path = dir.write("c", handshake("P") + word(-3) + record(word(count)) + record(std::string(16, 'z')));
    TMIO in(path, std::ios::in, "P");
    EXPECT_THROW_MSG(in.read_vector<Metadata>(), std::ios_base::failure,
                     "Read error in file " + path.generic_string() + ": Read 16 bytes but required 9663676344 bytes.");
}

TEST(TMIO, FileCutInsideARecordReportsTimeout) {
    TempDir dir;
    const auto path = dir.write("t", handshake("P") + word(-3) + record(word(2)) + word(16) + "12345678");
    TMIO in(path, std::ios::in, "P");
    EXPECT_THROW_MSG(in.read_vector<double>(), std::ios_base::failure,
                     "Failed to read from file " + path.generic_string() + "!\nImplementation reports: timeout");
    EXPECT_THROW_MSG(in.read_vector<double>(), std::ios_base::failure,
                     "Failed to read from file " + path.generic_string() + "!\nImplementation reports: timeout");
}

TEST(TMIO, StreamClosedByItsUserFailsEveryRecord) {
    TempDir dir;
    const auto path = dir.path() / "c";
    TMIO out(path, std::ios::out, "P");
    tmio_close(out.ctx);
    double value = 0;
    EXPECT_THROW_MSG(out.write_raw(1, &value, 8), std::ios_base::failure,
                     "Failed to write to file " + path.generic_string() + "!\nImplementation reports: connection error");
}

TEST(TMIO, VectorTooLargeForOneRecordIsRefusedBeforeWriting) {
    TempDir dir;
    const auto path = dir.path() / "big";
    TMIO out(path, std::ios::out, "P");
    double value = 0;
    EXPECT_THROW(out.write_array(3, &value, INT_MAX / 8 + 1), std::length_error);
    out.flush();
    EXPECT_EQ(read_bytes(path), handshake("P"));
}

TEST(TMIO, TagNames) {
    EXPECT_EQ(TMIO::tag_str(1), "STRUCT");
    EXPECT_EQ(TMIO::tag_str(2), "STRING");
    EXPECT_EQ(TMIO::tag_str(3), "VECTOR");
    EXPECT_EQ(TMIO::tag_str(4), "MAP");
    EXPECT_EQ(TMIO::tag_str(0), "INVALID");
    EXPECT_EQ(TMIO::tag_str(5), "INVALID");
}

}  // namespace
