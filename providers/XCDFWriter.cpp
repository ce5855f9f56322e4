#include <background/providers/XCDFWriter.hpp>

#include <background/core/Format.hpp>
#include <background/core/IOError.hpp>
#include <background/providers/xcdf_internal.hpp>
#include <background/storage/TMIO.hpp>
#include <background/storage/tmio.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <limits>
#include <optional>
#include <stdexcept>
#include <utility>
#include <vector>

namespace background {

namespace {

[[noreturn]] void write_failure(const tmio::TMIO& out) {
    throw IOError(format("Failed to write to file {}!\nImplementation reports: {}", out.path.generic_string(),
                         tmio_status_str(out.ctx)));
}

// The PE block is a tag followed by several data records, which the typed
// record class does not write; the C layer does.
void write_data(tmio::TMIO& out, const void* data, std::size_t n) {
    if (tmio_write_data(out.ctx, data, static_cast<int>(n)) != static_cast<int>(n)) write_failure(out);
}

}  // namespace

class XCDFWriter::Impl {
public:
    explicit Impl(std::filesystem::path file) { stream.emplace(std::move(file), std::ios::out, xcdf::protocol); }

    // The end record goes last and only here: a file whose writer stopped
    // early, or was destroyed while an exception unwound, lacks it and is refused.
    void write_end() {
        tmio::TMIO& out = *stream;
        const auto showers = static_cast<std::uint32_t>(records);
        tmio_write_tag(out.ctx, xcdf::end_tag);
        write_data(out, &showers, sizeof showers);
        if (tmio_sync(out.ctx) < 0) write_failure(out);
    }

    std::optional<tmio::TMIO> stream;
    unsigned long records = 0;
    std::vector<unsigned char> bytes;
};

XCDFWriter::XCDFWriter(std::filesystem::path file) : impl(std::make_unique<Impl>(std::move(file))) {}

XCDFWriter::~XCDFWriter() = default;

unsigned long XCDFWriter::append(Metadata metadata, std::span<const XCDFReader::PEData> pes) {
    if (!impl->stream) throw std::logic_error("XCDFWriter is closed!");
    if (pes.size() > std::numeric_limits<std::uint32_t>::max())
        throw std::length_error(format("Cannot store {} PEs in one shower record!", pes.size()));
    tmio::TMIO& out = *impl->stream;
    if (impl->records == xcdf::max_showers)
        throw std::length_error(
            format("Cannot store more than {} showers in file {}!", xcdf::max_showers, out.path.string()));
    metadata.uid = ++impl->records;
    out.write_raw(xcdf::shower_tag, &metadata, sizeof metadata);

    const auto count = static_cast<std::uint32_t>(pes.size());
    tmio_write_tag(out.ctx, xcdf::pe_tag);
    write_data(out, &count, sizeof count);
    for (std::size_t done = 0; done < pes.size();) {
        const std::size_t n = std::min(pes.size() - done, xcdf::pes_per_record);
        impl->bytes.resize(n * xcdf::pe_bytes);
        for (std::size_t i = 0; i < n; ++i) {
            const std::int32_t channel = pes[done + i].channel;
            std::memcpy(impl->bytes.data() + i * xcdf::pe_bytes, &channel, sizeof channel);
            std::memcpy(impl->bytes.data() + i * xcdf::pe_bytes + sizeof channel, &pes[done + i].time,
                        sizeof(double));
        }
        write_data(out, impl->bytes.data(), impl->bytes.size());
        done += n;
    }
    return impl->records;
}

// Closed whether or not the end record made it: a second end record, or
// showers behind the first, would make even a whole file damaged.
void XCDFWriter::close() {
    if (!impl->stream) return;
    try {
        impl->write_end();
    } catch (...) {
        impl->stream.reset();
        throw;
    }
    impl->stream.reset();
}

}  // namespace background
