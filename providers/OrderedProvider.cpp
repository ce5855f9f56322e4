#include <background/providers/OrderedProvider.hpp>

#include <background/core/Format.hpp>
#include <background/core/Hook.hpp>
#include <background/core/IOError.hpp>
#include <background/storage/TMIO.hpp>
#include <background/storage/durable_files_internal.hpp>

#include <algorithm>
#include <cstdint>
#include <exception>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <system_error>
#include <utility>

namespace background {

namespace {

// Each is a file-name prefix and the record-stream protocol of those files.
const std::string OP_HINT = "OP_HINT";
const std::string OP_META = "OP_META";
const std::string OP_DATA = "OP_DATA";
const std::string OP_INTER = "OP_INTER";

// An entry count this large cannot be a vector of PE-list entries.
constexpr std::uint64_t kMaxEntries = std::uint64_t{1} << 58;
constexpr std::uint64_t kEntriesReserved = 256;

std::filesystem::path numbered_file(const std::filesystem::path& dir, const std::string& prefix, std::size_t i) {
    return dir / format("{}_{}.tmio", prefix, i);
}

// File layout of one event's records (the README gives the byte sizes):
// metadata as a 72-byte STRUCT; a PE list as an 8-byte entry count, then per
// entry a 4-byte channel STRUCT and a VECTOR of times.
void write_pe_list(tmio::TMIO& out, const PEList& pe_list) {
    const std::uint64_t entries = pe_list.size();
    out.write_raw(tmio::STRUCT_TAG, &entries, sizeof entries);
    for (const auto& [channel, times] : pe_list) {
        const std::int32_t stored_channel = channel;
        out.write_raw(tmio::STRUCT_TAG, &stored_channel, sizeof stored_channel);
        out.write_array(tmio::VECTOR_TAG, times.data(), static_cast<int>(times.size()));
    }
}

// A hint of a later file pointing before an earlier one would send a replay
// to the wrong file, so the order is checked before anything is written.
void check_order_arguments(const std::vector<BackgroundEvent>& events, unsigned long events_per_file) {
    if (events_per_file == 0) throw std::invalid_argument("events_per_file must be at least 1!");
    for (std::size_t i = 1; i < events.size(); ++i) {
        if (!(events[i - 1].time <= events[i].time))
            throw std::invalid_argument(format("Events are not sorted by time: event {} at {} s follows event {} at {} s!",
                                               i, events[i].time, i - 1, events[i - 1].time));
    }
}

// Writers of one directory take turns on this file, so that a library opened
// after both have returned is the whole library of one of them. Its name does
// not begin with "OP": neither the clean-up of a library nor its readers
// touch it.
const char* const kWriterLock = ".order_events.lock";

void clear_library(const std::filesystem::path& dir) {
    std::vector<std::filesystem::path> doomed;
    for (const auto& entry : std::filesystem::directory_iterator(dir))
        if (entry.path().filename().string().starts_with("OP")) doomed.push_back(entry.path());
    for (const auto& path : doomed) std::filesystem::remove(path);
}

}  // namespace

class OrderedProvider::Impl {
public:
    struct FileComp {
        static int file_number(const std::filesystem::path& path) {
            const std::string name = path.filename().string();
            const std::size_t underscore = name.rfind('_');
            return std::stoi(name.substr(underscore == std::string::npos ? 0 : underscore + 1));
        }
        bool operator()(const std::filesystem::path& a, const std::filesystem::path& b) const {
            return file_number(a) < file_number(b);
        }
    };

    // What reading one stored event found.
    enum class Step { Found, Passed, End };

    std::vector<double> hint_times;
    std::vector<std::filesystem::path> meta_files;
    std::vector<std::filesystem::path> data_files;
    bool interleaved = false;
    int meta_index = -1;
    int data_index = -1;
    std::optional<tmio::TMIO> meta_stream;
    std::optional<tmio::TMIO> data_stream;
    bool has_cached_meta = false;
    Metadata cached_meta{};
    // Copies of the registered callback (the driver keeps two) outlive the
    // registration; they reach this provider only while it lives, since a
    // time hint only speeds reading up and may safely be lost.
    std::shared_ptr<OrderedProvider*> hint_target;
    Hook::Handle hint_hook{0};

    // An index names a file only once its stream is open.
    static int open_next(int& index, std::optional<tmio::TMIO>& stream, const std::vector<std::filesystem::path>& files,
                         const std::string& protocol) {
        const int next = index + 1 < static_cast<int>(files.size()) ? index + 1 : 0;
        stream.reset();
        index = -1;
        stream.emplace(files[next], std::ios::in, protocol);
        return index = next;
    }

    int next_file() {
        has_cached_meta = false;
        return open_next(data_index, data_stream, data_files, interleaved ? OP_INTER : OP_DATA);
    }

    int next_meta_file() {
        if (interleaved) return next_file();
        has_cached_meta = false;
        return open_next(meta_index, meta_stream, meta_files, OP_META);
    }

    std::optional<tmio::TMIO>& metadata_stream() { return interleaved ? data_stream : meta_stream; }

    // After a damaged record the streams stand somewhere inside it; reading
    // starts over from the first file at the next request.
    void forget_position() {
        meta_stream.reset();
        data_stream.reset();
        meta_index = data_index = -1;
        has_cached_meta = false;
    }

    // Runs reads on `in`. A clean end of a file is reported by the reads
    // themselves; every other failure leaves the library refused with the
    // file named.
    template <typename Read>
    auto guarded(std::optional<tmio::TMIO>& in, Read&& read) -> decltype(read()) {
        try {
            return read();
        } catch (const std::ios_base::failure&) {
            const std::string file = in ? in->path.string() : std::string();
            forget_position();
            std::throw_with_nested(IOError(format("Damaged ordered shower library file {}!", file)));
        } catch (...) {
            forget_position();
            throw;
        }
    }

    // False at a clean end of the file: no byte left where the next event
    // would begin.
    bool read_metadata(Metadata& md) {
        return metadata_stream()->read_raw_or_end(tmio::STRUCT_TAG, &md, sizeof md);
    }

    std::uint64_t read_entry_count() {
        std::uint64_t entries = 0;
        data_stream->read_raw(tmio::STRUCT_TAG, &entries, sizeof entries);
        if (entries >= kMaxEntries) throw std::length_error("cannot create std::vector larger than max_size()");
        return entries;
    }

    PEList read_pe_list() {
        const std::uint64_t entries = read_entry_count();
        // A damaged count may claim far more entries than the file holds: the
        // list grows with the entries actually read, beyond a first helping
        // that spares a typical shower its reallocations.
        PEList pe_list;
        pe_list.reserve(std::min<std::uint64_t>(entries, kEntriesReserved));
        for (std::uint64_t i = 0; i < entries; ++i) {
            std::int32_t channel = 0;
            data_stream->read_raw(tmio::STRUCT_TAG, &channel, sizeof channel);
            pe_list.emplace_back(channel, data_stream->read_vector<double>());
        }
        return pe_list;
    }

    // The files hold no checksum: a record read in full may still come from a
    // frame shifted by a byte inserted or lost, which shows in the words behind
    // it. What an event served leaves behind must be a clean end, where
    // `end_allowed`, or the STRUCT record of `bytes` that the layout puts next.
    static void expect_next(tmio::TMIO& in, int bytes, bool end_allowed) {
        if (end_allowed && in.at_end()) return;
        if (!in.next_record_is(tmio::STRUCT_TAG, bytes))
            throw IOError(format("Read error in file {}: no STRUCT record of {} bytes{} follows the record read.",
                                 in.path.generic_string(), bytes, end_allowed ? " nor the end" : ""));
    }

    // Behind a metadata record served: the next one in a metadata file, its
    // PE list's entry count in an interleaved file.
    void expect_after_metadata() {
        if (interleaved) expect_next(*data_stream, sizeof(std::uint64_t), false);
        else expect_next(*meta_stream, sizeof(Metadata), true);
    }

    // Behind a PE list served: the next event's id record in a data file, its
    // metadata record in an interleaved file.
    void expect_after_pe_list() {
        expect_next(*data_stream, interleaved ? sizeof(Metadata) : sizeof(std::uint64_t), true);
    }

    void skip_pe_list() {
        const std::uint64_t entries = read_entry_count();
        for (std::uint64_t i = 0; i < entries; ++i) {
            std::int32_t channel = 0;
            data_stream->read_raw(tmio::STRUCT_TAG, &channel, sizeof channel);
            data_stream->skip_vector<double>();
        }
    }

    // Reads on from the current position through the following files and
    // last the start file again from its beginning; `read_event` reads one
    // event from `in`.
    template <typename Read>
    void search(unsigned long uid, std::optional<tmio::TMIO>& in, int start, int (Impl::*open_next_file)(),
                Read read_event) {
        bool wrapped = false;
        for (;;) {
            const Step step = guarded(in, read_event);
            if (step == Step::Found) return;
            if (step == Step::End) {
                if (wrapped) throw std::out_of_range(format("Shower with UID {} not found!", uid));
                wrapped = (this->*open_next_file)() == start;
            }
        }
    }
};

OrderedProvider::OrderedProvider(std::filesystem::path dir, int hook_id) : impl(std::make_unique<Impl>()) {
    Impl& d = *impl;
    if (!std::filesystem::is_directory(std::filesystem::status(dir)))
        throw IOError(format("{} does not exist or is no directory!", dir.string()));

    // Without a hint file the open names the one that is missing.
    std::filesystem::path hint_path = dir / (OP_HINT + ".tmio");
    bool paired_data = false;
    bool interleaved_data = false;
    for (const auto& entry : std::filesystem::directory_iterator(dir)) {
        const std::string name = entry.path().filename().string();
        if (name.starts_with(OP_META)) {
            d.meta_files.push_back(entry.path());
        } else if (name.starts_with(OP_DATA) || name.starts_with(OP_INTER)) {
            d.data_files.push_back(entry.path());
            (name.starts_with(OP_DATA) ? paired_data : interleaved_data) = true;
        } else if (name.starts_with(OP_HINT)) {
            hint_path = entry.path();
        }
    }
    if (d.data_files.empty()) throw IOError(format("No OrderedProvider data files found in {}!", dir.string()));
    std::ranges::sort(d.data_files, Impl::FileComp{});
    std::ranges::sort(d.meta_files, Impl::FileComp{});

    {
        tmio::TMIO hints(hint_path, std::ios::in, OP_HINT);
        d.hint_times = hints.read_vector<double>();
    }
    d.interleaved = d.meta_files.empty();
    // No writer mixes the two layouts' data files; which one the reader
    // would take depends on the metadata files present, so neither is taken.
    if (d.data_files.size() != d.hint_times.size() ||
        (!d.interleaved && d.meta_files.size() != d.data_files.size()) || (paired_data && interleaved_data))
        throw IOError(format("Files found in {} do not match OrderedProvider protocol!", dir.string()));

    if (hook_id > 0) {
        Hook::remove(hook_id);
        d.hint_target = std::make_shared<OrderedProvider*>(this);
        d.hint_hook = Hook::set(hook_id, std::function<void(double)>(
                                             [target = std::weak_ptr(d.hint_target)](double time) {
                                                 if (const auto provider = target.lock()) (*provider)->skip_to_time(time);
                                             }));
    }
}

OrderedProvider::~OrderedProvider() = default;

std::vector<Metadata> OrderedProvider::get_all_metadata() {
    Impl& d = *impl;
    std::vector<Metadata> result;
    d.meta_index = -1;
    if (d.interleaved) d.data_index = -1;
    const int start = d.next_meta_file();
    for (;;) {
        Metadata md;
        const bool read = d.guarded(d.metadata_stream(), [&] {
            if (!d.read_metadata(md)) return false;
            if (d.interleaved) d.skip_pe_list();
            return true;
        });
        if (read) result.push_back(md);
        else if (d.next_meta_file() == start) return result;
    }
}

Metadata OrderedProvider::get_metadata(unsigned long uid) {
    Impl& d = *impl;
    if (d.has_cached_meta && d.cached_meta.uid == uid) return d.cached_meta;
    int start = d.interleaved ? d.data_index : d.meta_index;
    if (start == -1) start = d.next_meta_file();
    d.search(uid, d.metadata_stream(), start, &Impl::next_meta_file, [&] {
        if (d.interleaved && d.has_cached_meta) {
            d.has_cached_meta = false;
            d.skip_pe_list();
        }
        if (!d.read_metadata(d.cached_meta)) return Impl::Step::End;
        d.has_cached_meta = true;
        if (d.cached_meta.uid != uid) return Impl::Step::Passed;
        d.expect_after_metadata();
        return Impl::Step::Found;
    });
    return d.cached_meta;
}

PEList OrderedProvider::get_pe_list(unsigned long uid) {
    Impl& d = *impl;
    if (d.interleaved) {
        (void)get_metadata(uid);
        d.has_cached_meta = false;
        return d.guarded(d.data_stream, [&] {
            PEList pe_list = d.read_pe_list();
            d.expect_after_pe_list();
            return pe_list;
        });
    }
    int start = d.data_index;
    if (start == -1) start = d.next_file();
    PEList result;
    d.search(uid, d.data_stream, start, &Impl::next_file, [&] {
        std::uint64_t id = 0;
        if (!d.data_stream->read_raw_or_end(tmio::STRUCT_TAG, &id, sizeof id)) return Impl::Step::End;
        if (id != uid) {
            d.skip_pe_list();
            return Impl::Step::Passed;
        }
        result = d.read_pe_list();
        d.expect_after_pe_list();
        return Impl::Step::Found;
    });
    return result;
}

void OrderedProvider::skip_to_time(double time) {
    Impl& d = *impl;
    const auto k = std::ranges::upper_bound(d.hint_times, time) - d.hint_times.begin();
    if (k == 0) return;
    const int target = static_cast<int>(k - 1);
    if (d.data_index != target) {
        d.data_index = target - 1;
        d.next_file();
    }
    if (!d.interleaved && d.meta_index != target) {
        d.meta_index = target - 1;
        d.next_meta_file();
    }
}

void OrderedProvider::order_events(std::filesystem::path dir, ShowerProvider& source,
                                   std::vector<BackgroundEvent>& events, unsigned long events_per_file,
                                   bool drop_empty, bool interleaved, bool paired_queries) {
    check_order_arguments(events, events_per_file);
    try {
        std::filesystem::create_directory(dir);
    } catch (...) {
        std::throw_with_nested(IOError("Failed to create directory"));
    }
    const detail::WriterLock lock(dir / kWriterLock);
    clear_library(dir);
    // The old hint file must be gone on the disk before new numbered files
    // are: a crash must not leave it beside files it does not describe.
    detail::sync_directory(dir);

    const std::size_t n = events.size();
    const std::size_t files = n / events_per_file + (n % events_per_file != 0);
    const std::string& data_prefix = interleaved ? OP_INTER : OP_DATA;
    std::vector<double> hints;
    std::vector<BackgroundEvent> dropped;
    for (std::size_t i = 0; i < files; ++i) {
        const std::size_t begin = i * events_per_file;
        const std::size_t end = begin + std::min<std::size_t>(events_per_file, n - begin);
        hints.push_back(events[begin].time);

        // Ascending UIDs: the order in which a simulation provider reads its
        // files forward.
        std::vector<unsigned long> ids;
        for (std::size_t e = begin; e < end; ++e) ids.push_back(events[e].id);
        std::ranges::sort(ids);
        std::vector<Metadata> metadata(ids.size());
        std::vector<PEList> pe_lists(ids.size());
        for (std::size_t q = 0; q < ids.size(); ++q) {
            metadata[q] = source.get_metadata(ids[q]);
            if (paired_queries) pe_lists[q] = source.get_pe_list(ids[q]);
        }
        if (!paired_queries)
            for (std::size_t q = 0; q < ids.size(); ++q) pe_lists[q] = source.get_pe_list(ids[q]);

        std::optional<tmio::TMIO> data_stream(std::in_place, numbered_file(dir, data_prefix, i), std::ios::out,
                                              data_prefix);
        std::optional<tmio::TMIO> meta_stream;
        if (!interleaved) meta_stream.emplace(numbered_file(dir, OP_META, i), std::ios::out, OP_META);
        tmio::TMIO& meta_out = interleaved ? *data_stream : *meta_stream;

        for (std::size_t e = begin; e < end; ++e) {
            const std::size_t k = std::ranges::lower_bound(ids, events[e].id) - ids.begin();
            const PEList& pe_list = pe_lists[k];
            if (drop_empty && pe_list.empty()) {
                dropped.push_back(events[e]);
                continue;
            }
            Metadata md = metadata[k];
            md.num_channels = static_cast<std::int32_t>(pe_list.size());
            std::size_t pes = 0;
            for (const auto& entry : pe_list) pes += entry.second.size();
            md.num_pe = static_cast<std::int32_t>(pes);
            meta_out.write_raw(tmio::STRUCT_TAG, &md, sizeof md);
            if (!interleaved) data_stream->write_raw(tmio::STRUCT_TAG, &events[e].id, sizeof events[e].id);
            write_pe_list(*data_stream, pe_list);
        }
        // Each file is on the disk before the hint file names the library whole.
        meta_out.sync();
        if (!interleaved) data_stream->sync();
        meta_stream.reset();
        data_stream.reset();
    }

    tmio::TMIO hint_stream(dir / format("{}.tmio", OP_HINT), std::ios::out, OP_HINT);
    hint_stream.write_array(tmio::VECTOR_TAG, hints.data(), static_cast<int>(hints.size()));
    hint_stream.sync();
    detail::sync_directory(dir);

    if (drop_empty) {
        std::ranges::sort(dropped, {}, &BackgroundEvent::id);
        std::erase_if(events, [&](const BackgroundEvent& event) {
            return std::ranges::binary_search(dropped, event.id, {}, &BackgroundEvent::id);
        });
    }
}

}  // namespace background
