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
    /// Loads the cache. A cache rewritten meanwhile by write_cache gives the
    /// old pair, the new pair, or an IOError naming the cache: the pair is read
    /// again a few times while either file changes, then refused.
    explicit CachedModel(std::filesystem::path path);

    /// The stored events with begin <= time < end; the interval must lie
    /// inside the cached one.
    std::vector<BackgroundEvent> sample(double begin, double end) override;

    /// Writes a cache of `events` (sorted by time, inside [begin, end)) that
    /// a CachedModel on `path` replays. `path` must not have the extension
    /// ".cm", which names the interval file, and begin <= end (infinities
    /// allowed, NaN not); events out of time order or with a NaN time are
    /// refused too, all before any file is touched. An earlier cache on `path`
    /// is replaced as a whole: whenever the write stops, a reader meets the
    /// old cache or none. Writers of one cache take turns; a path that is a
    /// symbolic link is written through to its target. A failed sync of the
    /// directory after the new cache is in place is reported all the same.
    static void write_cache(std::filesystem::path path, const std::vector<BackgroundEvent>& events, double begin,
                            double end);

private:
    std::vector<BackgroundEvent> events;
    double valid_begin;
    double valid_end;
};

}  // namespace background
