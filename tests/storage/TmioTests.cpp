#include <background/storage/tmio.h>

#include "StorageTestSupport.hpp"
#include "support/TestHelpers.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdint>
#include <cstring>
#include <string>

namespace {

using background::testing::TempDir;
using storage_test::handshake;
using storage_test::mem_address;
using storage_test::read_bytes;
using storage_test::record;
using storage_test::word;
using storage_test::write_bytes;

// A reading context over bytes held in memory.
class MemoryReader {
public:
    MemoryReader(std::string bytes, const char* protocol, int verbosity = 0)
        : bytes(std::move(bytes)), ctx(tmio_init(protocol, 0, 0, verbosity)) {
        opened = tmio_open(ctx, mem_address(this->bytes.data(), this->bytes.size()).c_str(), 0);
    }
    ~MemoryReader() { tmio_delete(ctx); }
    std::string bytes;
    tmio_context* ctx;
    int opened;
};

TEST(TmioCreate, WritesTheHandshakeAtOnce) {
    TempDir dir;
    const auto path = dir.path() / "events.tmio";
    tmio_context* ctx = tmio_init("EVENT_PROTOCOL", 0, 0, 0);
    ASSERT_NE(ctx, nullptr);
    EXPECT_STREQ(tmio_status_str(ctx), "connection error");
    EXPECT_EQ(tmio_create(ctx, path.c_str(), 0), 1);
    EXPECT_EQ(tmio_type(ctx), 1);
    EXPECT_STREQ(tmio_status_str(ctx), "okay");
    const std::string expected = std::string("\xFF\x35\x65\xC4", 4) + "EVENT_PROTOCOL" + std::string(50, '\0');
    EXPECT_EQ(read_bytes(path), expected);
    EXPECT_EQ(ctx->bytes_written, 68u);
    tmio_delete(ctx);
    EXPECT_EQ(read_bytes(path), expected);
}

TEST(TmioCreate, LongProtocolNamesAreCutTo63Characters) {
    const std::string name(80, 'n');
    tmio_context* ctx = tmio_init(name.c_str(), 0, 0, 0);
    EXPECT_EQ(std::string(tmio_protocol(ctx)), std::string(63, 'n'));
    tmio_delete(ctx);
}

TEST(TmioWrite, DataNeedsATagFirstAndTagsHaveARange) {
    TempDir dir;
    const auto path = dir.path() / "s";
    tmio_context* ctx = tmio_init("P", 0, 0, 0);
    ASSERT_EQ(tmio_create(ctx, path.c_str(), 0), 1);
    EXPECT_EQ(tmio_write_data(ctx, "abcd", 4), -1);
    EXPECT_EQ(tmio_write_tag(ctx, 0), -1);
    EXPECT_EQ(tmio_write_tag(ctx, 1000000001), -1);
    EXPECT_EQ(tmio_status(ctx), 0);
    EXPECT_EQ(tmio_write_tag(ctx, 1000000000), 0);
    EXPECT_EQ(tmio_write_data(ctx, "abcd", -5), 0);
    tmio_delete(ctx);
    EXPECT_EQ(read_bytes(path), handshake("P") + word(-1000000000));
}

TEST(TmioWrite, TagsAreNegatedAndRecordsLengthPrefixed) {
    TempDir dir;
    const auto path = dir.path() / "s";
    tmio_context* ctx = tmio_init("P", 0, 0, 0);
    ASSERT_EQ(tmio_create(ctx, path.c_str(), 0), 1);
    EXPECT_EQ(tmio_write_tag(ctx, 3), 0);
    EXPECT_EQ(tmio_write_data(ctx, "1234", 4), 4);
    EXPECT_EQ(tmio_write_data(ctx, "0123456789abcdef", 16), 16);
    EXPECT_EQ(tmio_write_data(ctx, nullptr, 0), 0);
    EXPECT_EQ(tmio_flush(ctx), 0);
    EXPECT_EQ(read_bytes(path), handshake("P") + word(-3) + record("1234") + record("0123456789abcdef") + word(0));
    EXPECT_EQ(ctx->bytes_written, 68u + 4 + 8 + 20 + 4);
    EXPECT_EQ(ctx->stats[TMIO_STAT_TAGS_WRITTEN], 1);
    EXPECT_EQ(ctx->stats[TMIO_STAT_DATA_OUT], 3);
    EXPECT_EQ(ctx->stats[TMIO_STAT_FLUSHES], 1);
    EXPECT_EQ(tmio_sync(ctx), 0);
    tmio_delete(ctx);
}

TEST(TmioWrite, FlushWithNothingWrittenDoesNotCount) {
    TempDir dir;
    tmio_context* ctx = tmio_init("P", 0, 0, 0);
    ASSERT_EQ(tmio_create(ctx, (dir.path() / "s").c_str(), 0), 1);
    EXPECT_EQ(tmio_flush(ctx), 0);
    EXPECT_EQ(ctx->stats[TMIO_STAT_FLUSHES], 0);
    tmio_delete(ctx);
}

TEST(TmioWrite, HandshakeThatDoesNotFitFailsTheCreate) {
    char region[10] = {};
    tmio_context* ctx = tmio_init("SMALL", 0, 0, 1);
    testing::internal::CaptureStderr();
    EXPECT_EQ(tmio_create(ctx, mem_address(region, sizeof region).c_str(), 0), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "tmio_create: can not send protocol SMALL\n");
    EXPECT_STREQ(tmio_status_str(ctx), "handshake error");
    EXPECT_EQ(tmio_stream_handle(ctx), nullptr);
    EXPECT_EQ(tmio_write_tag(ctx, 1), -1);
    tmio_delete(ctx);
}

TEST(TmioOpen, ReportsWhyTheStreamCannotBeRead) {
    TempDir dir;
    tmio_context* ctx = tmio_init("P", 0, 0, 0);
    EXPECT_EQ(tmio_open(ctx, (dir.path() / "missing").c_str(), 0), -1);
    EXPECT_STREQ(tmio_status_str(ctx), "connection error");
    EXPECT_EQ(tmio_open(ctx, dir.write("empty", "").c_str(), 0), -1);
    EXPECT_STREQ(tmio_status_str(ctx), "handshake error");
    EXPECT_EQ(tmio_read_tag(ctx), -1);
    EXPECT_EQ(tmio_open(ctx, dir.write("short", word(TMIO_HANDSHAKE) + "P").c_str(), 0), -1);
    EXPECT_STREQ(tmio_status_str(ctx), "handshake error");
    EXPECT_EQ(tmio_open(ctx, dir.write("other", handshake("Q")).c_str(), 0), -1);
    EXPECT_STREQ(tmio_status_str(ctx), "protocol error");
    EXPECT_STREQ(tmio_stream_protocol(ctx), "Q");
    EXPECT_EQ(tmio_stream_handle(ctx), nullptr);
    tmio_delete(ctx);
}

TEST(TmioOpen, ProtocolNameIsMatchedAsAPrefix) {
    MemoryReader longer(handshake("OP_DATA_7"), "OP_DATA");
    EXPECT_EQ(longer.opened, 0);
    EXPECT_STREQ(tmio_stream_protocol(longer.ctx), "OP_DATA_7");

    MemoryReader shorter(handshake("EVENT"), "EVENT_PROTOCOL");
    EXPECT_EQ(shorter.opened, -1);
    EXPECT_STREQ(tmio_status_str(shorter.ctx), "protocol error");

    MemoryReader anything(handshake("WHATEVER"), "");
    EXPECT_EQ(anything.opened, 0);
}

TEST(TmioOpen, ProtocolFieldKeepsOnly63Characters) {
    MemoryReader reader(word(TMIO_HANDSHAKE) + std::string(64, 'z'), "zz");
    EXPECT_EQ(reader.opened, 0);
    EXPECT_EQ(std::string(tmio_stream_protocol(reader.ctx)), std::string(63, 'z'));
    EXPECT_EQ(reader.ctx->bytes_read, 68u);
}

TEST(TmioOpen, VerbosityDecidesWhatIsPrinted) {
    TempDir dir;
    const auto missing = (dir.path() / "missing").string();
    testing::internal::CaptureStderr();
    tmio_context* quiet = tmio_init("P", 0, 0, 0);
    tmio_open(quiet, missing.c_str(), 0);
    tmio_delete(quiet);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "");

    testing::internal::CaptureStderr();
    tmio_context* loud = tmio_init("P", 0, 0, 2);
    tmio_open(loud, dir.write("other", handshake("Q")).c_str(), 0);
    tmio_open(loud, missing.c_str(), 0);
    tmio_delete(loud);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "tmio_init: context initialized with protocol P\n"
              "tmio_read_and_match_protocol: peer has wrong protocol Q,expected P\n"
              "tmio_open: can not connect peer/file " + missing + "\n");

    testing::internal::CaptureStderr();
    tmio_context* traced = tmio_init("P", 0, 0, 3);
    tmio_open(traced, missing.c_str(), 0);
    tmio_delete(traced);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "tmio_init: context initialized with protocol P\n"
              "tmio_open: opening stream " + missing + "\n"
              "tmio_open/buftcpopen: stat failed -- " + std::strerror(ENOENT) + "\n"
              "tmio_open: can not connect peer/file " + missing + "\n");
}

TEST(TmioReadTag, SkipsDataRecordsBeforeTheTag) {
    MemoryReader reader(handshake("P") + record("12345678") + word(-5), "P");
    ASSERT_EQ(reader.opened, 0);
    EXPECT_EQ(tmio_read_tag(reader.ctx), 5);
    EXPECT_EQ(reader.ctx->stats[TMIO_STAT_DATA_SKIPPED], 1);
    EXPECT_EQ(reader.ctx->bytes_skipped, 12u);
    EXPECT_EQ(reader.ctx->bytes_read, 72u);
    EXPECT_EQ(tmio_read_tag(reader.ctx), 0);
    EXPECT_STREQ(tmio_status_str(reader.ctx), "okay");
}

TEST(TmioReadTag, ReservedWordIsAReadError) {
    MemoryReader reader(handshake("P") + word(-1000000002), "P", 1);
    testing::internal::CaptureStderr();
    EXPECT_EQ(tmio_read_tag(reader.ctx), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "tmio_read_tag: received unknown reserved tag -1000000002\n");
    EXPECT_STREQ(tmio_status_str(reader.ctx), "read error");
    EXPECT_EQ(tmio_read_tag(reader.ctx), -1);
}

TEST(TmioReadTag, ConcatenatedStreamsAreCheckedAndRead) {
    MemoryReader reader(handshake("P1") + word(-1) + handshake("P2") + word(-2) + handshake("X") + word(-3), "P");
    ASSERT_EQ(reader.opened, 0);
    EXPECT_EQ(tmio_read_tag(reader.ctx), 1);
    EXPECT_EQ(tmio_read_tag(reader.ctx), 2);
    EXPECT_STREQ(tmio_stream_protocol(reader.ctx), "P2");
    EXPECT_EQ(tmio_read_tag(reader.ctx), -1);
    EXPECT_STREQ(tmio_status_str(reader.ctx), "protocol error");
}

TEST(TmioReadTag, StreamCutInsideAWordOrRecordReportsTimeout) {
    MemoryReader in_word(handshake("P") + word(-1).substr(0, 2), "P");
    EXPECT_EQ(tmio_read_tag(in_word.ctx), -1);
    EXPECT_STREQ(tmio_status_str(in_word.ctx), "timeout");

    MemoryReader in_skip(handshake("P") + word(100) + "abc", "P");
    EXPECT_EQ(tmio_read_tag(in_skip.ctx), -1);
    EXPECT_STREQ(tmio_status_str(in_skip.ctx), "timeout");
}

TEST(TmioReadData, LongerRecordIsTruncatedToTheSpaceGiven) {
    MemoryReader reader(handshake("P") + word(-1) + record("0123456789abcdef") + word(-2), "P");
    ASSERT_EQ(tmio_read_tag(reader.ctx), 1);
    char buffer[8];
    EXPECT_EQ(tmio_read_data(reader.ctx, buffer, 8), 16);
    EXPECT_EQ(std::string(buffer, 8), "01234567");
    EXPECT_EQ(reader.ctx->stats[TMIO_STAT_READ_TRUNCATED], 1);
    EXPECT_EQ(reader.ctx->bytes_skipped, 8u);
    EXPECT_EQ(reader.ctx->bytes_read, 68u + 4 + 12);
    EXPECT_EQ(tmio_read_tag(reader.ctx), 2);
}

TEST(TmioReadData, ShorterRecordLeavesTheRestOfTheBuffer) {
    MemoryReader reader(handshake("P") + word(-1) + record("0123456789abcdef"), "P");
    ASSERT_EQ(tmio_read_tag(reader.ctx), 1);
    char buffer[32];
    std::memset(buffer, '#', sizeof buffer);
    EXPECT_EQ(tmio_read_data(reader.ctx, buffer, 32), 16);
    EXPECT_EQ(std::string(buffer, 32), "0123456789abcdef" + std::string(16, '#'));
    EXPECT_EQ(reader.ctx->stats[TMIO_STAT_READ_SHORTENED], 1);
    EXPECT_EQ(reader.ctx->stats[TMIO_STAT_DATA_IN], 1);
}

TEST(TmioReadData, TagMetInsteadOfDataStaysForReadTag) {
    MemoryReader reader(handshake("P") + word(-1) + word(-7), "P");
    ASSERT_EQ(tmio_read_tag(reader.ctx), 1);
    char buffer[4];
    EXPECT_EQ(tmio_read_data(reader.ctx, buffer, 4), -2);
    EXPECT_EQ(tmio_read_data(reader.ctx, buffer, 4), -2);
    EXPECT_EQ(tmio_read_data(reader.ctx, buffer, -1), -2);
    EXPECT_EQ(reader.ctx->stats[TMIO_STAT_READ_MISSING], 1);
    EXPECT_EQ(tmio_wait(reader.ctx, 0), 1);
    EXPECT_EQ(tmio_read_tag(reader.ctx), 7);
    EXPECT_STREQ(tmio_status_str(reader.ctx), "okay");
}

TEST(TmioReadData, WordsHeldReadAheadGetTheSameChecks) {
    MemoryReader reader(handshake("P") + word(-1) + handshake("Q"), "P");
    ASSERT_EQ(tmio_read_tag(reader.ctx), 1);
    char buffer[4];
    EXPECT_EQ(tmio_read_data(reader.ctx, buffer, 4), -2);
    EXPECT_EQ(tmio_read_tag(reader.ctx), -1);
    EXPECT_STREQ(tmio_status_str(reader.ctx), "protocol error");

    MemoryReader reserved(handshake("P") + word(-1) + word(-2000000000), "P");
    ASSERT_EQ(tmio_read_tag(reserved.ctx), 1);
    EXPECT_EQ(tmio_read_data(reserved.ctx, buffer, 4), -2);
    EXPECT_EQ(tmio_read_tag(reserved.ctx), -1);
    EXPECT_STREQ(tmio_status_str(reserved.ctx), "read error");
}

TEST(TmioReadData, CutInsideTheRecordReportsTimeout) {
    MemoryReader reader(handshake("P") + word(-1) + word(16) + "0123", "P");
    ASSERT_EQ(tmio_read_tag(reader.ctx), 1);
    char buffer[16];
    EXPECT_EQ(tmio_read_data(reader.ctx, buffer, 16), -1);
    EXPECT_STREQ(tmio_status_str(reader.ctx), "timeout");
    EXPECT_EQ(tmio_read_data(reader.ctx, buffer, 16), -1);
    EXPECT_EQ(tmio_read_tag(reader.ctx), -1);
}

TEST(TmioReadData, AbsurdLengthIsSkippedWithoutAllocating) {
    MemoryReader reader(handshake("P") + word(-1) + word(0x7FFFFFFF) + "abc", "P");
    ASSERT_EQ(tmio_read_tag(reader.ctx), 1);
    char buffer[4];
    EXPECT_EQ(tmio_read_data(reader.ctx, buffer, 4), -1);
    EXPECT_STREQ(tmio_status_str(reader.ctx), "timeout");
}

TEST(TmioWait, SkipsDataAndHoldsTheNextTag) {
    MemoryReader reader(handshake("P") + record("xyz") + word(-4), "P");
    EXPECT_EQ(tmio_wait(reader.ctx, 0), 1);
    EXPECT_EQ(reader.ctx->readahead, 1);
    EXPECT_EQ(tmio_wait(reader.ctx, 0), 1);
    EXPECT_EQ(tmio_read_tag(reader.ctx), 4);
    EXPECT_EQ(tmio_wait(reader.ctx, 0), 0);
}

TEST(TmioClose, ResetsTheContextAndIsHarmlessTwice) {
    TempDir dir;
    const auto path = dir.path() / "s";
    tmio_context* ctx = tmio_init("P", 250, 4, 0);
    EXPECT_EQ(ctx->buffer_bytes, 4096);
    ASSERT_EQ(tmio_create(ctx, path.c_str(), 0), 1);
    EXPECT_EQ(tmio_stream_handle(ctx)->out_size, 4096u);
    EXPECT_EQ(tmio_stream_handle(ctx)->timeout, 250);
    EXPECT_EQ(tmio_timeout(ctx, 0), 250);
    EXPECT_EQ(tmio_stream_handle(ctx)->timeout, 0);
    tmio_write_tag(ctx, 2);
    EXPECT_EQ(tmio_close(ctx), 0);
    EXPECT_EQ(tmio_close(ctx), 0);
    EXPECT_STREQ(tmio_status_str(ctx), "connection error");
    EXPECT_EQ(tmio_type(ctx), 0);
    EXPECT_EQ(ctx->bytes_written, 0u);
    EXPECT_EQ(ctx->stats[TMIO_STAT_TAGS_WRITTEN], 0);
    EXPECT_EQ(tmio_write_tag(ctx, 2), -1);
    EXPECT_EQ(read_bytes(path), handshake("P") + word(-2));
    tmio_delete(ctx);
}

TEST(TmioMonitor, PrintsEveryCounterInItsLine) {
    MemoryReader reader(handshake("P") + word(-1) + record("0123456789abcdef") + record("x") + word(-2), "P");
    tmio_read_tag(reader.ctx);
    char buffer[8];
    tmio_read_data(reader.ctx, buffer, 8);
    tmio_read_tag(reader.ctx);
    testing::internal::CaptureStderr();
    EXPECT_EQ(tmio_monitor(reader.ctx), 0);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "tmio_monitor: statistics\n"
              "... tags written     0\n"
              "... data records out 0\n"
              "... tags read        2\n"
              "... data records in  1\n"
              "... data flushes     0\n"
              "... read zero        0\n"
              "... read missing     0\n"
              "... read shortened   0\n"
              "... read truncated   1\n"
              "... data skipped     1\n"
              "... tags skipped     0\n"
              "... bytes written    0\n"
              "... bytes read       88\n"
              "... bytes skipped    13\n");
}

}  // namespace
