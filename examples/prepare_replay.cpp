// Prepares a replay of an interval of the background a settings file
// describes: an event cache of the settings' top model and an ordered shower
// library of the shower events among them.
//
//   prepare_replay SETTINGS OUTPUT_DIR CHUNK NUM_CHUNKS [EVENTS_PER_FILE, default 200]
//
// The model is sampled over exactly the chunk grid of a Background that streams
// NUM_CHUNKS chunks of CHUNK seconds from the settings' "start_time" (each chunk
// starting where the previous one ended), so a CachedModel on
// OUTPUT_DIR/events.tmio hands the driver the same events chunk by chunk. The events of the settings'
// "meta_gen_type" are showers of the driver's provider; their metadata and PE
// lists, as that provider serves them, go to OUTPUT_DIR/library in event
// order, for an OrderedProvider to read strictly forward.
//
// The cache's interval file, OUTPUT_DIR/events.cm, marks the replay complete:
// a run that stops anywhere leaves the previous replay whole, or one without
// that file, which a CachedModel refuses to open.

#include <background/core/BackgroundModel.hpp>
#include <background/core/Factory.hpp>
#include <background/core/Settings.hpp>
#include <background/core/ShowerProvider.hpp>
#include <background/models/CachedModel.hpp>
#include <background/providers/OrderedProvider.hpp>

#include "example_support.hpp"

#include <cmath>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <string>
#include <vector>

namespace {

using namespace background;
using examples::count;
using examples::number;

struct Arguments {
    std::filesystem::path settings;
    std::filesystem::path output;
    double chunk;
    long chunks;
    unsigned long events_per_file;
};

int prepare(const Arguments& args) {
    const Settings lib = Settings::from_file(args.settings)["lib"];
    const std::string model_name = lib["model"];
    const std::string provider_name = lib["provider"];
    const int shower_type = lib["meta_gen_type"];
    const double start = lib["start_time"];

    auto model = Factory<BackgroundModel>(args.settings).create_by_name(model_name);
    std::vector<BackgroundEvent> events;
    double begin = start;
    for (long k = 0; k < args.chunks; ++k) {
        const double end = begin + args.chunk;
        const auto chunk = model->sample(begin, end);
        events.insert(events.end(), chunk.begin(), chunk.end());
        begin = end;
    }
    std::vector<BackgroundEvent> showers;
    for (const BackgroundEvent& event : events) {
        if (event.type == shower_type) showers.push_back(event);
    }
    auto provider = Factory<ShowerProvider>(args.settings).create_by_name(provider_name);

    // Nothing has changed on the disk so far. The interval file goes first,
    // and is gone on the disk, before the library changes: from then on a
    // CachedModel refuses the replay, so no Background pairs the old events
    // with a new library or the new events with the old one. write_cache puts
    // the new interval file in place after everything else is written.
    const std::filesystem::path cache = args.output / "events.tmio";
    std::filesystem::create_directories(args.output);
    std::filesystem::remove(std::filesystem::path(cache).replace_extension(".cm"));
    examples::sync_directory(args.output);
    OrderedProvider::order_events(args.output / "library", *provider, showers, args.events_per_file,
                                  /*drop_empty=*/false, /*interleaved=*/false, /*paired_queries=*/false);
    CachedModel::write_cache(cache, events, start, begin);
    std::printf("Cached %zu events of [%g s, %g s), %zu of them showers.\n", events.size(), start, begin,
                showers.size());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 5 || argc > 6) {
        std::fprintf(stderr, "usage: %s SETTINGS OUTPUT_DIR CHUNK NUM_CHUNKS [EVENTS_PER_FILE]\n", argv[0]);
        return 2;
    }
    const Arguments args{argv[1], argv[2], number(argv[3]), count(argv[4]),
                         static_cast<unsigned long>(argc == 6 ? count(argv[5]) : 200)};
    if (!(args.chunk > 0 && args.chunk < HUGE_VAL) || args.chunks == 0 || args.events_per_file == 0) {
        std::fprintf(stderr, "prepare_replay: CHUNK must be a positive number, NUM_CHUNKS and EVENTS_PER_FILE "
                             "positive whole numbers\n");
        return 2;
    }
    try {
        return prepare(args);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "prepare_replay: %s\n", examples::with_causes(error).c_str());
        return 1;
    }
}
