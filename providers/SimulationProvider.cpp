#include <background/providers/SimulationProvider.hpp>

#include <background/core/Format.hpp>
#include <background/core/IOError.hpp>
#include <background/providers/XCDFReader.hpp>

#include <algorithm>
#include <cmath>
#include <iostream>
#include <stdexcept>
#include <utility>

namespace background {

namespace {

// A UID holds its record number in the low 16 bits.
constexpr unsigned long kRecordBits = 0xFFFF;
constexpr unsigned long kMaxRecords = 65535;
constexpr unsigned long kRecordsReservedPerFile = 50000;

unsigned long file_key(const std::filesystem::path& file) {
    return std::filesystem::hash_value(std::filesystem::canonical(file)) & ~kRecordBits;
}

// Thinning bins of one channel: bin k (k >= 1) ends at k * interval + t0,
// computed exactly so in doubles, and holds the times above the previous
// bound. Bin numbers are doubles so that an interval tiny against the time
// span cannot overflow a count; the work grows with the PEs, not the bins.
class ThinningBins {
public:
    ThinningBins(double t0, double interval) : t0(t0), interval(interval) {}

    double bound(double k) const { return k * interval + t0; }

    double count(double t_last) const { return std::max(1.0, std::ceil((t_last - t0) / interval)); }

    // The smallest k >= 1 with t <= bound(k). The quotient only estimates it:
    // rounding of the bounds may move a time by a bin or, when the interval
    // is below the spacing of doubles near t0, by many, so the estimate is
    // corrected by a galloping search on the bounds as computed.
    double bin_of(double t) const {
        const double estimate = count(t);
        if (!(estimate < kExactIntegers)) return estimate;
        double below, above;  // bound(below) < t <= bound(above); below 0 stands for t0's side
        if (t <= bound(estimate)) {
            above = estimate;
            double step = 1;
            below = above - step;
            while (below >= 1 && t <= bound(below)) {
                above = below;
                step *= 2;
                below = above - step;
            }
            below = std::max(below, 0.0);
        } else {
            below = estimate;
            double step = 1;
            above = below + step;
            while (!(t <= bound(above))) {
                below = above;
                step *= 2;
                above = below + step;
                if (!(above < kExactIntegers)) return above;
            }
        }
        while (above - below > 1) {
            const double middle = std::floor((below + above) / 2);
            (t <= bound(middle) ? above : below) = middle;
        }
        return above;
    }

private:
    static constexpr double kExactIntegers = 0x1p52;
    double t0;
    double interval;
};

// Keeps the first `keep` times of every bin; times beyond the last bin are
// dropped.
void append_thinned(std::vector<double>& out, const std::vector<XCDFReader::PEData>& pes, std::size_t begin,
                    std::size_t end, int keep, double interval, double t_min) {
    const ThinningBins bins(pes[begin].time, interval);
    const double last_bin = bins.count(pes[end - 1].time);
    double current_bin = 0;
    int kept_in_bin = 0;
    for (std::size_t i = begin; i < end; ++i) {
        const double bin = bins.bin_of(pes[i].time);
        if (bin > last_bin) break;
        if (bin != current_bin) {
            current_bin = bin;
            kept_in_bin = 0;
        }
        if (kept_in_bin < keep) {
            out.push_back(pes[i].time - t_min);
            ++kept_in_bin;
        }
    }
}

}  // namespace

class SimulationProvider::Impl {
public:
    Impl(std::filesystem::path root, int file_limit, int cutoff_pes, double cutoff_interval, bool warn_unverified)
        : root(std::move(root)), file_limit(file_limit), cutoff_pes(cutoff_pes), cutoff_interval(cutoff_interval),
          warn_unverified(warn_unverified) {}

    std::filesystem::path root;
    int file_limit;
    int cutoff_pes;
    double cutoff_interval;
    bool warn_unverified;
    std::map<unsigned long, std::filesystem::path> file_index;
    std::filesystem::path current_file;
    XCDFReader reader;
    unsigned long position = 0;
    bool past_end = false;

    // Reading forward in the current file costs only the records in between;
    // anything else reopens the file.
    void position_on(unsigned long uid) {
        const unsigned long key = uid & ~kRecordBits;
        const auto entry = file_index.find(key);
        if (entry == file_index.end())
            throw std::out_of_range(format("Shower UID {} is not recognized by this provider!", uid));
        // Past its end the reader no longer stands on the last record counted.
        if (entry->second != current_file || uid < position || (past_end && uid == position)) {
            current_file.clear();
            reader = XCDFReader(entry->second, true, true);
            current_file = entry->second;
            position = key;
            past_end = false;
        }
        while (position < uid) {
            if (!read([&] { return reader.next(); })) {
                past_end = true;
                throw std::out_of_range(format("Shower with UID {} not found!", uid));
            }
            ++position;
        }
        if (uid != key) check_record_number(uid);
    }

    // A reader that failed stands somewhere inside a record, where counting
    // on would hand out the showers behind it under the wrong UIDs: the
    // position is forgotten and the next request reopens the file.
    template <typename Read>
    auto read(Read&& read_reader) -> decltype(read_reader()) {
        try {
            return read_reader();
        } catch (...) {
            current_file.clear();
            throw;
        }
    }

    // The record a damaged file lets the reader reach need not be the one
    // counted to; each record stores its own number.
    void check_record_number(unsigned long uid) {
        const unsigned long stored = read([&] { return reader.get_metadata(); }).uid;
        if (stored == (uid & kRecordBits)) return;
        const std::string file = current_file.string();
        current_file.clear();
        throw IOError(format("Damaged simulation file {}: record {} is numbered {}!", file, uid & kRecordBits, stored));
    }

    // Appends the file's records; false when the file was abandoned with a warning.
    void read_file_metadata(unsigned long key, const std::filesystem::path& file, std::vector<Metadata>& out) {
        XCDFReader scan(file, true, false);
        unsigned long id = 0;
        while (scan.next()) {
            Metadata md = scan.get_metadata();
            ++id;
            if (md.uid != id) {
                const IOError broken(
                    format("XCDFReader provided non continuous ids: expected {} but got {}! Verify input file {}!",
                           id, md.uid, file.string()));
                if (!warn_unverified) throw broken;
                std::cerr << "[WARNING] Ignoring exception thrown during metadata loading:\n\t" << broken.what()
                          << "\n";
                return;
            }
            if (id > kMaxRecords)
                throw IOError(format("Maximum number of showers per file exceeded in file {}!\nExpected: {}, Limit: {}",
                                     file.string(), kRecordsReservedPerFile, kMaxRecords));
            md.uid = key + id;
            out.push_back(md);
        }
    }
};

SimulationProvider::SimulationProvider(std::filesystem::path input_files, int file_limit, int cutoff_pes,
                                       double cutoff_interval, bool warn_unverified) {
    check_thinning(cutoff_pes, cutoff_interval);
    impl = std::make_unique<Impl>(input_files, file_limit, cutoff_pes, cutoff_interval, warn_unverified);
    make_index(std::move(input_files), impl->file_index);
}

SimulationProvider::~SimulationProvider() = default;

void SimulationProvider::check_thinning(int cutoff_pes, double cutoff_interval) {
    if (cutoff_pes >= 0 && !(cutoff_interval > 0))
        throw std::invalid_argument(format("Setting cutoff_interval = {} is not positive!", cutoff_interval));
}

void SimulationProvider::make_index(std::filesystem::path dir, std::map<unsigned long, std::filesystem::path>& index) {
    if (!std::filesystem::is_directory(std::filesystem::status(dir)))
        throw IOError(format("{} is no directory!", dir.string()));
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        if (entry.path().extension() == ".xcd") index[file_key(entry.path())] = entry.path();
    }
    if (index.empty()) throw IOError(format("{} does not contain simulation files!", dir.string()));
}

std::vector<Metadata> SimulationProvider::get_all_metadata() {
    Impl& d = *impl;
    const std::size_t files = d.file_limit < 0 ? d.file_index.size()
                                               : std::min<std::size_t>(d.file_limit, d.file_index.size());
    std::vector<Metadata> result;
    std::size_t started = 0;
    for (const auto& [key, file] : d.file_index) {
        if (started == files) break;
        ++started;
        d.read_file_metadata(key, file, result);
    }
    return result;
}

Metadata SimulationProvider::get_metadata(unsigned long uid) {
    impl->position_on(uid);
    Metadata md = impl->read([&] { return impl->reader.get_metadata(); });
    md.uid += uid & ~kRecordBits;
    return md;
}

PEList SimulationProvider::get_pe_list(unsigned long uid) {
    Impl& d = *impl;
    d.position_on(uid);
    std::vector<XCDFReader::PEData> pes = d.read([&] { return d.reader.get_pe_data(); });
    if (pes.empty()) return {};
    // Channels ascending, times ascending within each: the order the run
    // merger needs.
    std::ranges::sort(pes, [](const XCDFReader::PEData& a, const XCDFReader::PEData& b) {
        return a.channel != b.channel ? a.channel < b.channel : a.time < b.time;
    });
    const double t_min = std::ranges::min(pes, {}, &XCDFReader::PEData::time).time;

    PEList result;
    for (std::size_t begin = 0; begin < pes.size();) {
        std::size_t end = begin;
        while (end < pes.size() && pes[end].channel == pes[begin].channel) ++end;
        auto& times = result.emplace_back(pes[begin].channel, std::vector<double>{}).second;
        if (d.cutoff_pes < 0 || end - begin <= static_cast<std::size_t>(d.cutoff_pes)) {
            times.reserve(end - begin);
            for (std::size_t i = begin; i < end; ++i) times.push_back(pes[i].time - t_min);
        } else {
            append_thinned(times, pes, begin, end, d.cutoff_pes, d.cutoff_interval, t_min);
        }
        begin = end;
    }
    return result;
}

}  // namespace background
