#include <background/core/IOError.hpp>
#include <background/providers/XCDFReader.hpp>
#include <background/providers/XCDFWriter.hpp>
#include <background/storage/TMIO.hpp>
#include <background/storage/tmio.h>

#include "ProviderTestSupport.hpp"
#include "support/TestHelpers.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <limits>
#include <stdexcept>
#include <string>
#include <vector>

namespace background {
namespace {

using testing::PEs;
using testing::TempDir;

bool same(const PEs& a, const PEs& b) {
    return std::ranges::equal(a, b, [](auto& x, auto& y) { return x.channel == y.channel && x.time == y.time; });
}

// A file of one shower whose PE block is written by `pe_block` straight on
// the record stream, for layouts the writer never makes.
std::filesystem::path write_raw_shower(const TempDir& dir, const std::function<void(tmio::TMIO&)>& pe_block) {
    const auto file = dir.path() / "raw.xcd";
    tmio::TMIO out(file, std::ios::out, "XCDF_SHOWERS");
    Metadata md{};
    md.uid = 1;
    out.write_raw(1, &md, sizeof md);
    pe_block(out);
    out.flush();
    return file;
}

void pe_count(tmio::TMIO& out, std::uint32_t count) {
    tmio_write_tag(out.ctx, 5);
    tmio_write_data(out.ctx, &count, sizeof count);
}

TEST(XCDFReader, ReadsBackWhatTheWriterStoredWithRecordNumbersAsUids) {
    REQUIRE_XCDF();
    TempDir dir;
    const auto file = dir.path() / "a.xcd";
    PEs many;  // more than one PE data record
    for (int i = 0; i < 10000; ++i) many.push_back({i % 40, 1e-9 * i});
    {
        XCDFWriter writer(file);
        Metadata md = testing::test_metadata(1);
        md.uid = 99;  // replaced by the record number
        EXPECT_EQ(writer.append(md, testing::test_pes(1)), 1u);
        EXPECT_EQ(writer.append(testing::test_metadata(2), {}), 2u);
        EXPECT_EQ(writer.append(testing::test_metadata(3), many), 3u);
        writer.close();
    }
    XCDFReader reader(file, true, true);
    EXPECT_THROW(reader.get_metadata(), std::out_of_range);  // before the first record
    ASSERT_TRUE(reader.next());
    EXPECT_EQ(reader.get_metadata().uid, 1u);
    EXPECT_EQ(reader.get_metadata().energy, 100.0);
    EXPECT_TRUE(same(reader.get_pe_data(), testing::test_pes(1)));
    EXPECT_TRUE(same(reader.get_pe_data(), testing::test_pes(1)));  // asked again, same record
    ASSERT_TRUE(reader.next());  // PEs of record 2 never read
    ASSERT_TRUE(reader.next());
    EXPECT_EQ(reader.get_metadata().uid, 3u);
    EXPECT_TRUE(same(reader.get_pe_data(), many));
    EXPECT_FALSE(reader.next());
    EXPECT_THROW(reader.get_pe_data(), std::out_of_range);
}

TEST(XCDFReader, MetadataScanSkipsPeDataWithoutDecodingIt) {
    REQUIRE_XCDF();
    TempDir dir;
    // Times that the full reader refuses: the scan must never look at them.
    const auto file = write_raw_shower(dir, [](tmio::TMIO& out) {
        pe_count(out, 1);
        const unsigned char pe[12] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xf8, 0x7f};  // channel 0, NaN
        tmio_write_data(out.ctx, pe, sizeof pe);
    });
    XCDFReader scan(file, true, false);
    ASSERT_TRUE(scan.next());
    EXPECT_EQ(scan.get_metadata().uid, 1u);
    EXPECT_THROW(scan.get_pe_data(), std::logic_error);
    EXPECT_FALSE(scan.next());

    XCDFReader full(file, true, true);
    ASSERT_TRUE(full.next());
    EXPECT_THROW_MSG(full.get_pe_data(), std::ios_base::failure,
                     "Damaged simulation file " + file.string() + ": PE time is not finite!");
}

TEST(XCDFReader, DamagedFilesFailNamingTheFile) {
    REQUIRE_XCDF();
    TempDir dir;
    const auto name = (dir.path() / "raw.xcd").string();
    struct Case {
        const char* what;
        std::function<void(tmio::TMIO&)> pe_block;
        std::string message;
    };
    const Case cases[] = {
        // A count far beyond the bytes present must not be allocated up front.
        {"huge count", [](tmio::TMIO& out) { pe_count(out, 0xFFFFFFFFu); },
         "PE record unreadable, cut short inside a record"},
        {"short PE record",
         [](tmio::TMIO& out) {
             pe_count(out, 2);
             const unsigned char pe[12] = {};
             tmio_write_data(out.ctx, pe, sizeof pe);
         },
         "PE record of 12 bytes instead of 24"},
        {"no PE block", [](tmio::TMIO& out) { tmio_write_tag(out.ctx, 1); }, "PE block missing, found tag 1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        write_raw_shower(dir, c.pe_block);
        XCDFReader reader(name, true, true);
        ASSERT_TRUE(reader.next());
        EXPECT_THROW_MSG(reader.get_pe_data(), std::ios_base::failure,
                         "Damaged simulation file " + name + ": " + c.message + "!");
    }
}

TEST(XCDFReader, EveryTruncationFailsCleanlyOrEndsEarly) {
    REQUIRE_XCDF();
    TempDir dir;
    const auto whole = testing::write_simulation_file(dir.path() / "whole.xcd", 3);
    const auto size = std::filesystem::file_size(whole);
    const auto cut = dir.path() / "cut.xcd";
    for (std::uintmax_t length = 0; length < size; ++length) {
        std::filesystem::copy_file(whole, cut, std::filesystem::copy_options::overwrite_existing);
        std::filesystem::resize_file(cut, length);
        int complete = 0;
        try {
            XCDFReader reader(cut, true, true);
            while (reader.next()) {
                reader.get_pe_data();
                ++complete;
            }
        } catch (const std::ios_base::failure& failure) {
            EXPECT_NE(std::string(failure.what()).find(cut.string()), std::string::npos) << failure.what();
        }
        EXPECT_LT(complete, 3) << "length " << length;
    }
}

TEST(XCDFReader, ForeignRecordFileIsRefusedAtOpen) {
    REQUIRE_XCDF();
    TempDir dir;
    const auto file = dir.path() / "other.xcd";
    tmio::TMIO(file, std::ios::out, "OP_DATA");
    EXPECT_THROW_MSG(XCDFReader(file, true, true), std::ios_base::failure,
                     "Failed to open file " + file.string() + "!\nImplementation reports: protocol error");
}

TEST(XCDFReader, DisabledBuildRefusesEveryReaderOperation) {
#if BACKGROUND_WITH_XCDF
    GTEST_SKIP() << "built with XCDF support";
#else
    TempDir dir;
    const auto file = testing::write_simulation_file(dir.path() / "a.xcd", 1);  // the writer stays available
    const std::string message = "XCDF support disabled at build time!";
    EXPECT_THROW_MSG(XCDFReader(), std::runtime_error, message);
    EXPECT_THROW_MSG(XCDFReader(file, true, true), std::runtime_error, message);
#endif
}

}  // namespace
}  // namespace background
