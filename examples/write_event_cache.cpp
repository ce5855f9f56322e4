// Writes an event cache from a model of a settings file: the model's events
// of [begin, end), sampled in one call, go into CACHE and the interval into
// CACHE with the extension ".cm", for a CachedModel to replay.
//
//   write_event_cache SETTINGS MODEL BEGIN END CACHE
//   write_event_cache examples/settings.yaml cosmic_rays 0 10 examples/cosmic_ray_cache.tmio

#include <background/core/Factory.hpp>
#include <background/models/CachedModel.hpp>

#include <cstdio>
#include <exception>
#include <string>

int main(int argc, char** argv) {
    if (argc != 6) {
        std::fprintf(stderr, "usage: %s SETTINGS MODEL BEGIN END CACHE\n", argv[0]);
        return 2;
    }
    try {
        const double begin = std::stod(argv[3]);
        const double end = std::stod(argv[4]);
        background::Factory<background::BackgroundModel> models(argv[1]);
        const auto events = models.create_by_name(argv[2])->sample(begin, end);
        background::CachedModel::write_cache(argv[5], events, begin, end);
        std::printf("Wrote %zu events of model %s in [%g s, %g s) to %s\n", events.size(), argv[2], begin, end,
                    argv[5]);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "Cannot write the cache: %s\n", error.what());
        return 1;
    }
    return 0;
}
