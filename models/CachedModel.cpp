#include <background/models/CachedModel.hpp>

#include <background/core/Format.hpp>
#include <background/core/IOError.hpp>
#include <background/storage/Serializer.hpp>

#include <algorithm>
#include <cmath>
#include <stdexcept>

namespace background {

namespace {

std::filesystem::path interval_file(std::filesystem::path path) { return path.replace_extension(".cm"); }

IOError corrupted(const std::filesystem::path& file) {
    return IOError(format("Cached data is corrupted, check if {} was modified.", file.string()));
}

bool earlier(const BackgroundEvent& a, const BackgroundEvent& b) { return a.time < b.time; }

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
    if (!(std::isfinite(valid_begin) && std::isfinite(valid_end) && valid_begin <= valid_end)) {
        throw corrupted(interval);
    }
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

void CachedModel::write_cache(std::filesystem::path path, const std::vector<BackgroundEvent>& events, double begin,
                              double end) {
    if (path.extension() == ".cm") {
        throw std::invalid_argument(format(
            "Event cache {} has the extension .cm of its own interval file; name it otherwise!", path.string()));
    }
    const auto serializer = Serializer::create_default();
    serializer->write_events(path, events);
    serializer->write_numbers(interval_file(path), {begin, end});
}

}  // namespace background
