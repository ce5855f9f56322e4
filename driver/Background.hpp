#pragma once

#include <background/core/Metadata.hpp>
#include <background/core/PEList.hpp>

#include <memory>
#include <string>
#include <vector>

namespace background {

/// The library's entry point: built from one settings file, it hands out
/// consecutive chunks of per-channel sorted PE times and rebuilds the shower
/// metadata of any interval.
class Background {
public:
    /// Builds the provider, generator and model named in the "lib" section.
    explicit Background(const std::string& settings);
    ~Background();
    Background(const Background&) = delete;
    Background& operator=(const Background&) = delete;

    /// The PE times of [t0, t0 + time_span], t0 being the end of the previous
    /// chunk; channels ascending, each with a non-empty sorted list. Throws
    /// std::invalid_argument, before time moves on, if the end is not finite.
    PEList next_chunk(double time_span);

    /// Makes the next chunk start at `time`, drop every held time and fire
    /// the time-hint hook. Throws std::invalid_argument for a time that is
    /// not finite, and then changes nothing.
    void seek(double time);

    /// The metadata of the showers the model yields for [begin, end).
    std::vector<Metadata> generate_metadata(double begin, double end);

private:
    class Impl;
    std::unique_ptr<Impl> impl;
};

}  // namespace background
