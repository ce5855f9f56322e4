#pragma once

#include <background/core/BackgroundModel.hpp>

#include <filesystem>
#include <vector>

namespace background {

/// Replays a stored event cache. A cache is two files: the events, sorted by
/// time, at the given path, and beside it the same name with the extension
/// ".cm", holding the interval [valid_begin, valid_end) that the events cover.
class CachedModel : public BackgroundModel {
public:
    explicit CachedModel(std::filesystem::path path);

    /// The stored events with begin <= time < end; the interval must lie
    /// inside the cached one.
    std::vector<BackgroundEvent> sample(double begin, double end) override;

    /// Writes a cache of `events` (sorted by time, inside [begin, end)) that
    /// a CachedModel on `path` replays. `path` must not have the extension
    /// ".cm", which names the interval file, and begin <= end (infinities
    /// allowed, NaN not). An earlier cache on `path` is replaced as a whole:
    /// whenever the write stops, a reader meets the old cache or none.
    static void write_cache(std::filesystem::path path, const std::vector<BackgroundEvent>& events, double begin,
                            double end);

private:
    std::vector<BackgroundEvent> events;
    double valid_begin;
    double valid_end;
};

}  // namespace background
