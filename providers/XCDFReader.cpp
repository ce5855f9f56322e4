#include <background/providers/XCDFReader.hpp>

#include <background/core/Format.hpp>
#include <background/core/IOError.hpp>
#include <background/providers/xcdf_internal.hpp>
#include <background/storage/TMIO.hpp>
#include <background/storage/tmio.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>

namespace background {

#if BACKGROUND_WITH_XCDF

class XCDFReader::Impl {
public:
    // Readers are reopened for nearly every shower asked for out of file
    // order, and most stop after a few records: a small buffer reads little
    // beyond the record wanted and is cheap to allocate.
    static constexpr int kBufferKiB = 16;
    static constexpr const char* kMissingEnd = "cut short, its end record is missing";

    Impl(std::filesystem::path file, bool with_metadata, bool with_pe_data)
        : with_metadata(with_metadata), with_pe_data(with_pe_data) {
        stream.emplace(std::move(file), std::ios::in, xcdf::protocol, kBufferKiB);
        ++opened;
    }

    bool next() {
        check_intact();
        if (at_end) return false;
        if (has_record && !pes_loaded) skip_pe_block();
        has_record = false;
        pes_loaded = false;
        pes.clear();
        const int tag = read_tag();
        if (tag == 0) fail(kMissingEnd);
        if (tag == xcdf::end_tag) {
            read_end_record();
            at_end = true;
            return false;
        }
        if (tag != xcdf::shower_tag) fail(format("found tag {} where a shower record belongs", tag));
        ++records;
        if (with_metadata) {
            read_exactly(&metadata, sizeof metadata, "metadata record");
            if (!next_record_is(xcdf::pe_tag, sizeof(std::uint32_t)))
                fail(format("shower record {} is not followed by its PE block", records));
        }
        has_record = true;
        return true;
    }

    Metadata get_metadata() const {
        if (!with_metadata) throw std::logic_error(format("Metadata not requested when opening {}!", name()));
        check_intact();
        require_record();
        return metadata;
    }

    std::vector<PEData> get_pe_data() {
        if (!with_pe_data) throw std::logic_error(format("PE data not requested when opening {}!", name()));
        check_intact();
        require_record();
        if (!pes_loaded) load_pes();
        return pes;
    }

    static inline unsigned long opened = 0;

private:
    std::string name() const { return stream->path.string(); }

    // After a failure the stream stands at an unknown place inside a record:
    // whatever it read next would belong to another shower, so the reader
    // refuses everything from then on.
    [[noreturn]] void fail(const std::string& detail) {
        damage = format("Damaged simulation file {}: {}!", name(), detail);
        throw IOError(damage);
    }

    void check_intact() const {
        if (!damage.empty()) throw IOError(damage);
    }

    void require_record() const {
        if (!has_record) throw std::out_of_range(format("No current shower record in file {}!", name()));
    }

    // The byte layer reports the end of a file inside a record as a timeout.
    std::string stream_failure() const {
        return tmio_status(stream->ctx) == TMIO_TIMEOUT ? "cut short inside a record" : tmio_status_str(stream->ctx);
    }

    int read_tag() {
        const int tag = tmio_read_tag(stream->ctx);
        if (tag < 0) fail(format("record stream failed, {}", stream_failure()));
        return tag;
    }

    void expect_tag(int tag, const char* what) {
        const int found = read_tag();
        if (found != tag) fail(format("{} missing, found tag {}", what, found));
    }

    void check_stored(int stored, std::size_t n, const char* what) {
        if (stored == -2) fail(format("{} missing", what));
        if (stored < 0) fail(format("{} unreadable, {}", what, stream_failure()));
        if (static_cast<std::size_t>(stored) != n) fail(format("{} of {} bytes instead of {}", what, stored, n));
    }

    // The file holds no checksum: a record read in full may still come from
    // a frame shifted by a byte inserted or lost, which shows in the words
    // behind it. Looking at them consumes nothing.
    bool next_record_is(int tag, std::size_t n) {
        return looking([&] { return stream->next_record_is(tag, static_cast<int>(n)); });
    }

    bool nothing_follows() {
        return looking([&] { return stream->at_end(); });
    }

    template <typename Look>
    bool looking(const Look& look) {
        try {
            return look();
        } catch (const std::ios_base::failure&) {
            fail(format("record stream failed, {}", stream_failure()));
        }
    }

    void read_exactly(void* data, std::size_t n, const char* what) {
        check_stored(tmio_read_data(stream->ctx, data, static_cast<int>(n)), n, what);
    }

    // A data record in place of the next tag means the count undercounts the
    // block, which would otherwise pass for a shower with fewer PEs.
    void expect_block_end(std::uint32_t count) {
        const int stored = tmio_read_data(stream->ctx, nullptr, 0);
        if (stored >= 0) fail(format("PE block holds more than its {} PEs", count));
        if (stored == -1 && tmio_status(stream->ctx) == TMIO_TIMEOUT) fail(kMissingEnd);
        if (stored == -1) fail(format("PE block unreadable, {}", stream_failure()));
    }

    std::uint32_t read_pe_count() {
        expect_tag(xcdf::pe_tag, "PE block");
        std::uint32_t count = 0;
        read_exactly(&count, sizeof count, "PE count");
        return count;
    }

    static std::size_t record_pes(std::uint32_t count, std::size_t done) {
        return std::min<std::size_t>(count - done, xcdf::pes_per_record);
    }

    // A scan of the metadata alone still walks every PE block record by
    // record, so that a block cut or damaged anywhere is found without a PE
    // being decoded. Readers of PEs skip by tags: a damaged block of another
    // shower does not keep them from the showers behind it.
    void skip_pe_block() {
        if (with_pe_data) return expect_tag(xcdf::pe_tag, "PE block");
        const std::uint32_t count = read_pe_count();
        for (std::size_t done = 0; done < count; done += record_pes(count, done))
            check_stored(tmio_read_data(stream->ctx, nullptr, 0), record_pes(count, done) * xcdf::pe_bytes,
                         "PE record");
        expect_block_end(count);
    }

    void load_pes() {
        const std::uint32_t count = read_pe_count();
        unsigned char bytes[xcdf::pes_per_record * xcdf::pe_bytes];
        for (std::size_t done = 0; done < count;) {
            const std::size_t n = record_pes(count, done);
            read_exactly(bytes, n * xcdf::pe_bytes, "PE record");
            pes.resize(done + n);
            for (std::size_t i = 0; i < n; ++i) {
                PEData& pe = pes[done + i];
                std::int32_t channel;
                std::memcpy(&channel, bytes + i * xcdf::pe_bytes, sizeof channel);
                std::memcpy(&pe.time, bytes + i * xcdf::pe_bytes + sizeof channel, sizeof pe.time);
                pe.channel = channel;
                // Sorting and thinning need ordered times.
                if (!std::isfinite(pe.time)) fail("PE time is not finite");
            }
            done += n;
        }
        expect_block_end(count);
        if (!next_record_is(xcdf::shower_tag, sizeof(Metadata)) && !next_record_is(xcdf::end_tag, sizeof(std::uint32_t)))
            fail(format("PE block of shower record {} is followed by neither a shower nor the end record", records));
        pes_loaded = true;
    }

    // The end record must count the showers read and close the file.
    void read_end_record() {
        std::uint32_t count = 0;
        read_exactly(&count, sizeof count, "end record");
        if (count != records) fail(format("end record counts {} showers, the file holds {}", count, records));
        if (!nothing_follows()) fail("bytes follow its end record");
    }

    bool with_metadata;
    bool with_pe_data;
    std::optional<tmio::TMIO> stream;
    bool has_record = false;
    bool pes_loaded = false;
    bool at_end = false;
    unsigned long records = 0;
    std::string damage;
    Metadata metadata{};
    std::vector<PEData> pes;
};

XCDFReader::XCDFReader() = default;

XCDFReader::XCDFReader(std::filesystem::path file, bool with_metadata, bool with_pe_data)
    : impl(std::make_unique<Impl>(std::move(file), with_metadata, with_pe_data)) {}

bool XCDFReader::next() { return impl && impl->next(); }

Metadata XCDFReader::get_metadata() {
    if (!impl) throw std::out_of_range("No simulation file is open!");
    return impl->get_metadata();
}

std::vector<XCDFReader::PEData> XCDFReader::get_pe_data() {
    if (!impl) throw std::out_of_range("No simulation file is open!");
    return impl->get_pe_data();
}

unsigned long XCDFReader::files_opened() { return Impl::opened; }

#else

namespace {
[[noreturn]] void disabled() { throw std::runtime_error("XCDF support disabled at build time!"); }
}  // namespace

class XCDFReader::Impl {};

XCDFReader::XCDFReader() { disabled(); }
XCDFReader::XCDFReader(std::filesystem::path, bool, bool) { disabled(); }
bool XCDFReader::next() { disabled(); }
Metadata XCDFReader::get_metadata() { disabled(); }
std::vector<XCDFReader::PEData> XCDFReader::get_pe_data() { disabled(); }
unsigned long XCDFReader::files_opened() { return 0; }

#endif

XCDFReader::XCDFReader(XCDFReader&& other) noexcept = default;
XCDFReader& XCDFReader::operator=(XCDFReader&& other) noexcept = default;
XCDFReader::~XCDFReader() = default;

}  // namespace background
