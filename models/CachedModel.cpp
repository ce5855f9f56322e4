#include <background/models/CachedModel.hpp>

#include <background/core/Format.hpp>
#include <background/core/IOError.hpp>
#include <background/core/pause_internal.hpp>
#include <background/core/system_reason_internal.hpp>
#include <background/storage/Serializer.hpp>
#include <background/storage/durable_files_internal.hpp>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <exception>
#include <cmath>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>

namespace background {

namespace {

std::filesystem::path interval_file(std::filesystem::path path) { return path.replace_extension(".cm"); }

IOError corrupted(const std::filesystem::path& file) {
    return IOError(format("Cached data is corrupted, check if {} was modified.", file.string()));
}

bool earlier(const BackgroundEvent& a, const BackgroundEvent& b) { return a.time < b.time; }

bool has_no_time(const BackgroundEvent& event) { return std::isnan(event.time); }

// Addresses of the byte-stream layer that name no file of their own ("-",
// "mem://...", sockets): there is nothing to rename and nothing to hold.
bool is_stream_address(const std::filesystem::path& path) {
    const std::string& text = path.native();
    return text == "-" || text.find("://") != std::string::npos;
}

// The interval file's address is the events address with another extension:
// for a memory region that is the same region, for a socket another host or
// port. Neither can hold a cache.
void check_cache_address(const std::filesystem::path& path) {
    const std::string& text = path.native();
    for (const char* scheme : {"mem://", "tcp://", "udp://"}) {
        if (text.starts_with(scheme))
            throw std::invalid_argument(format("Event cache {} is a memory region or socket address, where its "
                                               "interval file {} would be no file of its own; caches are files!",
                                               text, interval_file(path).string()));
    }
}

// A file held from before it is read until after. While the descriptor lives
// the file's inode number cannot pass to another file, and a writer places
// each file once and never moves it again: a path that names the held file
// afterwards has named it all along, so what was read by that name is it.
// O_PATH holds the file without opening it for reading, which would wait on
// a FIFO.
class HeldFile {
public:
    explicit HeldFile(std::filesystem::path path)
        : path(std::move(path)), fd(::open(this->path.c_str(), O_PATH | O_CLOEXEC)) {}
    ~HeldFile() {
        if (fd >= 0) ::close(fd);
    }
    HeldFile(const HeldFile&) = delete;
    HeldFile& operator=(const HeldFile&) = delete;

    bool still_named() const { return detail::names_open_file(path, fd); }

private:
    std::filesystem::path path;
    int fd;
};

struct StoredPair {
    std::vector<BackgroundEvent> events;
    std::vector<double> numbers;
};

constexpr int kReadAttempts = 5;
constexpr std::chrono::milliseconds kRetryPause{2};

// Both files are held while both are read. A writer takes the old interval
// file away before it places new events, and places the new interval file
// after them: at the moment the interval file was taken hold of, both held
// files stood at their paths, and an interval file standing means the events
// beside it are of the same write. Empty when either path has moved on, or
// when the interval file is missing or gone while a writer may be between
// its steps; on the last attempt that failure is reported as it is.
std::optional<StoredPair> read_unchanged_pair(const Serializer& serializer, const std::filesystem::path& path,
                                              const std::filesystem::path& interval, bool last_attempt) {
    const HeldFile held_events(path);
    StoredPair pair{serializer.read_events(path), {}};
    const HeldFile held_interval(interval);
    try {
        pair.numbers = serializer.read_numbers(interval);
    } catch (const std::ios_base::failure&) {
        if (last_attempt || held_interval.still_named()) throw;
        return std::nullopt;
    }
    if (held_events.still_named() && held_interval.still_named()) return pair;
    return std::nullopt;
}

StoredPair read_pair(const std::filesystem::path& path) {
    const auto serializer = Serializer::create_default();
    const std::filesystem::path interval = interval_file(path);
    if (is_stream_address(path)) return {serializer->read_events(path), serializer->read_numbers(interval)};
    for (int attempt = 1;; ++attempt) {
        if (auto pair = read_unchanged_pair(*serializer, path, interval, attempt == kReadAttempts))
            return std::move(*pair);
        if (attempt == kReadAttempts) break;
        detail::pause_for(kRetryPause);
    }
    throw IOError(format("Event cache {} was rewritten while it was read; open it again!", path.string()));
}

// CachedModel refuses these; a cache that it would refuse is not written.
void check_cache_arguments(const std::filesystem::path& path, const std::vector<BackgroundEvent>& events, double begin,
                           double end) {
    check_cache_address(path);
    if (path.extension() == ".cm") {
        throw std::invalid_argument(format(
            "Event cache {} has the extension .cm of its own interval file; name it otherwise!", path.string()));
    }
    if (!(begin <= end)) {
        throw std::invalid_argument(
            format("Event cache {} needs an interval with begin <= end, got [{} s,{} s)!", path.string(), begin, end));
    }
    for (std::size_t i = 0; i < events.size(); ++i) {
        if (has_no_time(events[i]))
            throw std::invalid_argument(
                format("Event cache {} needs events with a time, got NaN for event {}!", path.string(), i));
        if (i > 0 && earlier(events[i], events[i - 1]))
            throw std::invalid_argument(
                format("Event cache {} needs events sorted by time, got event {} at {} s after event {} at {} s!",
                       path.string(), i, events[i].time, i - 1, events[i - 1].time));
    }
}

// Where a write through `file` lands. A symbolic link is followed to what it
// leads to, so that the link stays a link and its target gets the new file.
std::filesystem::path written_through(std::filesystem::path file) {
    constexpr int kMaxLinks = 40;  // as the kernel allows in one lookup
    for (int links = 0; std::filesystem::is_symlink(file); ++links) {
        if (links == kMaxLinks)
            throw std::filesystem::filesystem_error("cannot follow link", file,
                                                    std::make_error_code(std::errc::too_many_symbolic_link_levels));
        file = file.parent_path() / std::filesystem::read_symlink(file);
    }
    return file;
}

// Writers of one interval file take turns on this file beside it; caches
// whose names differ only after the last dot share their interval file and
// so their turns. Readers never touch it.
std::filesystem::path lock_file(const std::filesystem::path& interval) {
    return interval.parent_path() / format(".{}.lock", interval.filename().string());
}

std::atomic<unsigned long> parts_named{0};

// A name beside `file` that no reader looks for and no other writer uses, not
// even another thread of this process.
std::filesystem::path part_name(const std::filesystem::path& file) {
    return file.parent_path() / format(".{}.{}-{}.part", file.filename().string(), ::getpid(), parts_named++);
}

bool is_number(std::string_view text) {
    return !text.empty() && std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// Whether `name` is a part name of `file_name`, from this writer or an older
// one: ".{file_name}.{digits}[-{digits}].part". The middle is matched
// strictly: the parts of cache "a.1" begin like those of cache "a".
bool is_part_of(std::string_view name, std::string_view file_name) {
    const std::string head = format(".{}.", file_name);
    constexpr std::string_view tail = ".part";
    if (name.size() < head.size() + tail.size() || !name.starts_with(head) || !name.ends_with(tail)) return false;
    const std::string_view middle = name.substr(head.size(), name.size() - head.size() - tail.size());
    const std::size_t dash = middle.find('-');
    if (dash == std::string_view::npos) return is_number(middle);
    return is_number(middle.substr(0, dash)) && is_number(middle.substr(dash + 1));
}

// A part that could not be opened or written is reported under the name the
// caller gave, as a write in place would be; the system's reason nested
// inside names the part.
template <typename Write>
void write_part(const std::filesystem::path& part, const std::filesystem::path& shown, const Write& write) {
    try {
        write();
    } catch (const std::ios_base::failure& failure) {
        std::string text = failure.what();
        const std::string part_name = part.generic_string();
        const std::size_t at = text.find(part_name);
        if (at == std::string::npos) throw;
        const IOError renamed(text.replace(at, part_name.size(), shown.generic_string()));
        const auto* reason = dynamic_cast<const std::nested_exception*>(&failure);
        if (!reason || !reason->nested_ptr()) throw renamed;
        try {
            reason->rethrow_nested();
        } catch (...) {
            std::throw_with_nested(renamed);
        }
    }
}

// Sending a part to the disk and putting the new files in place fail like a
// write of the file the caller named; the system's reason nested inside names
// the file it concerns.
[[noreturn]] void throw_write_failure(const std::filesystem::path& shown, const std::error_code& reason,
                                      const std::string& concerned) {
    detail::throw_with_system_reason(
        IOError(format("Failed to write to file {}!\nImplementation reports: write error", shown.generic_string())),
        reason, concerned);
}

void sync_part(const std::filesystem::path& part, const std::filesystem::path& shown) {
    if (const std::error_code error = detail::sync_file(part)) throw_write_failure(shown, error, part.string());
}

// Whether there was an old file to move to `aside`. A directory at its name is
// someone's own, not an old interval file: it is refused where it stands
// rather than hidden under a part name.
bool move_aside(const std::filesystem::path& file, const std::filesystem::path& aside,
                const std::filesystem::path& shown) {
    std::error_code error;
    if (std::filesystem::is_directory(std::filesystem::symlink_status(file, error)))
        throw_write_failure(shown, std::make_error_code(std::errc::is_a_directory), file.string());
    std::filesystem::rename(file, aside, error);
    if (error == std::errc::no_such_file_or_directory) return false;
    if (error) throw_write_failure(shown, error, file.string());
    return true;
}

void place(const std::filesystem::path& part, const std::filesystem::path& target, const std::filesystem::path& shown) {
    std::error_code error;
    std::filesystem::rename(part, target, error);
    if (error) throw_write_failure(shown, error, format("{} -> {}", part.string(), target.string()));
}

// Parts that a killed or failed writer left; only the writer holding the
// lock calls this, so no part of `file` is being written. Clearing them is
// tidiness, not a step of the write: a directory that cannot be listed or
// changed leaves them, and the write itself then reports what stops it.
void remove_leftover_parts(const std::filesystem::path& file) {
    const std::filesystem::path dir = detail::directory_of(file);
    const std::string name = file.filename().string();
    std::vector<std::filesystem::path> leftovers;
    std::error_code error;
    for (std::filesystem::directory_iterator entry(dir, error), end; !error && entry != end; entry.increment(error))
        if (is_part_of(entry->path().filename().string(), name)) leftovers.push_back(entry->path());
    for (const auto& leftover : leftovers) std::filesystem::remove(leftover, error);
}

}  // namespace

// The binary searches of sample() select the right events only from a list
// sorted by time, and its interval checks mean something only for a finite,
// ordered interval; a cache that breaks either is refused rather than
// replayed wrongly.
CachedModel::CachedModel(std::filesystem::path path) {
    check_cache_address(path);
    StoredPair pair = read_pair(path);
    events = std::move(pair.events);
    const std::filesystem::path interval = interval_file(path);
    if (pair.numbers.size() != 2) throw corrupted(interval);
    valid_begin = pair.numbers[0];
    valid_end = pair.numbers[1];
    if (!(valid_begin <= valid_end)) throw corrupted(interval);
    if (!std::is_sorted(events.begin(), events.end(), earlier) || std::any_of(events.begin(), events.end(), has_no_time))
        throw corrupted(path);
}

std::vector<BackgroundEvent> CachedModel::sample(double begin, double end) {
    if (begin > end) {
        throw std::out_of_range(
            format("Interval begin time has to be before interval end time! {} < {}", begin, end));
    }
    if (valid_begin > begin || end > valid_end) {
        throw std::out_of_range(format("Cannot sample interval [{} s,{} s)! Model is only defined in [{} s,{} s).",
                                       begin, end, valid_begin, valid_end));
    }
    const auto by_time = [](const BackgroundEvent& e, double t) { return e.time < t; };
    const auto first = std::lower_bound(events.begin(), events.end(), begin, by_time);
    const auto last = std::lower_bound(first, events.end(), end, by_time);
    return {first, last};
}

// The pair must change as one: both files are written under other names and
// sent to the disk first, the old interval file moves aside (on the disk too)
// before the new events take the place of the old ones, and the new interval
// file comes last. Whenever the writer stops, a reader meets either the old
// cache whole or no interval file; with one writer at a time, an interval file
// standing always means the events beside it are of its write. Until the new
// events stand, the old interval file may come back: events that cannot be
// placed leave the old cache as it was. After, it never may.
void CachedModel::write_cache(std::filesystem::path path, const std::vector<BackgroundEvent>& events, double begin,
                              double end) {
    check_cache_arguments(path, events, begin, end);
    const auto serializer = Serializer::create_default();
    if (is_stream_address(path)) {
        serializer->write_events(path, events);
        serializer->write_numbers(interval_file(path), {begin, end});
        return;
    }
    const std::filesystem::path interval = interval_file(path);
    const std::filesystem::path events_target = written_through(path), interval_target = written_through(interval);
    const detail::WriterLock lock(lock_file(interval_target));
    remove_leftover_parts(events_target);
    remove_leftover_parts(interval_target);
    const std::filesystem::path events_part = part_name(events_target), interval_part = part_name(interval_target);
    const std::filesystem::path old_interval = part_name(interval_target);
    bool old_interval_aside = false, events_placed = false;
    try {
        write_part(events_part, path, [&] { serializer->write_events(events_part, events); });
        write_part(interval_part, interval, [&] { serializer->write_numbers(interval_part, {begin, end}); });
        sync_part(events_part, path);
        sync_part(interval_part, interval);
        old_interval_aside = move_aside(interval_target, old_interval, interval);
        if (old_interval_aside) detail::sync_directory(interval_target.parent_path());
        place(events_part, events_target, path);
        events_placed = true;
        place(interval_part, interval_target, interval);
    } catch (...) {
        std::error_code ignored;
        std::filesystem::remove(events_part, ignored);
        std::filesystem::remove(interval_part, ignored);
        if (old_interval_aside && !events_placed) std::filesystem::rename(old_interval, interval_target, ignored);
        std::filesystem::remove(old_interval, ignored);
        throw;
    }
    std::error_code ignored;
    if (old_interval_aside) std::filesystem::remove(old_interval, ignored);  // else the next write removes it
    // The new cache stands; a failure here only says it may not survive a crash.
    detail::sync_directory(events_target.parent_path());
    if (interval_target.parent_path() != events_target.parent_path())
        detail::sync_directory(interval_target.parent_path());
}

}  // namespace background
