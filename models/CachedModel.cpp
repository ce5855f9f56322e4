#include <background/models/CachedModel.hpp>

#include <background/core/Format.hpp>
#include <background/core/IOError.hpp>
#include <background/storage/Serializer.hpp>

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <cmath>
#include <stdexcept>
#include <string>
#include <system_error>

namespace background {

namespace {

std::filesystem::path interval_file(std::filesystem::path path) { return path.replace_extension(".cm"); }

IOError corrupted(const std::filesystem::path& file) {
    return IOError(format("Cached data is corrupted, check if {} was modified.", file.string()));
}

bool earlier(const BackgroundEvent& a, const BackgroundEvent& b) { return a.time < b.time; }

// Addresses of the byte-stream layer that name no file of their own ("-",
// "mem://...", sockets): there is nothing to rename.
bool is_stream_address(const std::filesystem::path& path) {
    const std::string& text = path.native();
    return text == "-" || text.find("://") != std::string::npos;
}

// A name beside `file` that no reader looks for and no other process uses.
std::filesystem::path part_name(const std::filesystem::path& file) {
    return file.parent_path() / format(".{}.{}.part", file.filename().string(), ::getpid());
}

// Sends the file's (or directory's) contents to the disk, so that a rename
// after it cannot reach the disk before the data it names.
void sync(const std::filesystem::path& path) {
    const int fd = ::open(path.empty() ? "." : path.c_str(), O_RDONLY | O_CLOEXEC);
    const bool synced = fd >= 0 && ::fsync(fd) == 0;
    const int error = errno;
    if (fd >= 0) ::close(fd);
    if (!synced) throw IOError(format("Failed to write to file {}: {}!", path.string(), std::strerror(error)));
}

}  // namespace

// The binary searches of sample() select the right events only from a list
// sorted by time, and its interval checks mean something only for a finite,
// ordered interval; a cache that breaks either is refused rather than
// replayed wrongly.
CachedModel::CachedModel(std::filesystem::path path) {
    const auto serializer = Serializer::create_default();
    events = serializer->read_events(path);
    const std::filesystem::path interval = interval_file(path);
    const std::vector<double> numbers = serializer->read_numbers(interval);
    if (numbers.size() != 2) throw corrupted(interval);
    valid_begin = numbers[0];
    valid_end = numbers[1];
    if (!(valid_begin <= valid_end)) throw corrupted(interval);
    if (!std::is_sorted(events.begin(), events.end(), earlier) ||
        std::any_of(events.begin(), events.end(), [](const BackgroundEvent& e) { return std::isnan(e.time); })) {
        throw corrupted(path);
    }
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

// The pair must change as one: both files are written under other names
// first, the old interval file goes before the new events take the place of
// the old ones, and the new interval file comes last. Whenever the writer
// stops, a reader meets either the old cache whole or no interval file.
void CachedModel::write_cache(std::filesystem::path path, const std::vector<BackgroundEvent>& events, double begin,
                              double end) {
    if (path.extension() == ".cm") {
        throw std::invalid_argument(format(
            "Event cache {} has the extension .cm of its own interval file; name it otherwise!", path.string()));
    }
    if (!(begin <= end)) {
        throw std::invalid_argument(
            format("Event cache {} needs an interval with begin <= end, got [{} s,{} s)!", path.string(), begin, end));
    }
    const auto serializer = Serializer::create_default();
    const std::filesystem::path interval = interval_file(path);
    if (is_stream_address(path)) {
        serializer->write_events(path, events);
        serializer->write_numbers(interval, {begin, end});
        return;
    }
    const std::filesystem::path events_part = part_name(path), interval_part = part_name(interval);
    try {
        serializer->write_events(events_part, events);
        serializer->write_numbers(interval_part, {begin, end});
        sync(events_part);
        sync(interval_part);
        std::filesystem::remove(interval);
        std::filesystem::rename(events_part, path);
        std::filesystem::rename(interval_part, interval);
        sync(path.parent_path());
    } catch (...) {
        std::error_code ignored;
        std::filesystem::remove(events_part, ignored);
        std::filesystem::remove(interval_part, ignored);
        throw;
    }
}

}  // namespace background
