#include <background/driver/Background.hpp>

#include <background/core/Factory.hpp>
#include <background/core/Format.hpp>
#include <background/core/Hook.hpp>
#include <background/core/Settings.hpp>
#include <background/driver/ChannelMergers.hpp>

#include <cmath>
#include <filesystem>
#include <functional>
#include <stdexcept>
#include <utility>

namespace background {

namespace {

using TimeHint = std::function<void(double)>;

// The time-hint hook is optional: a missing key, an ID nobody registered or an
// entry of another type all mean "no hook".
TimeHint find_time_hint(const Settings& lib) {
    try {
        const int id = lib["time_hint_hook"];
        return Hook::get<TimeHint>(id);
    } catch (...) {
        return {};
    }
}

template <typename T>
std::unique_ptr<T> build_instance(const std::filesystem::path& path, const Settings& lib, const char* key) {
    Factory<T> factory(path);
    return factory.create_by_name(lib[key]);
}

}  // namespace

class Background::Impl {
public:
    explicit Impl(Settings settings) : settings(std::move(settings)) {}

    Settings settings;
    std::unique_ptr<ShowerProvider> provider;
    std::unique_ptr<EventGenerator> generator;
    std::unique_ptr<BackgroundModel> model;
    ChannelMergers channels{0};
    double chunk_start = 0.0;
    bool reset_pending = false;
    TimeHint metadata_hook;
    TimeHint chunk_hook;
};

Background::Background(const std::string& settings_file) {
    const std::filesystem::path path(settings_file);
    impl = std::make_unique<Impl>(Settings::from_file(path));
    const Settings lib = impl->settings["lib"];

    impl->provider = build_instance<ShowerProvider>(path, lib, "provider");
    impl->metadata_hook = find_time_hint(lib);
    impl->generator = build_instance<EventGenerator>(path, lib, "generator");
    impl->model = build_instance<BackgroundModel>(path, lib, "model");

    const int num_channels = lib["num_channels"];
    if (num_channels < 0) {
        throw std::invalid_argument(format("Setting num_channels = {} is negative!", num_channels));
    }
    impl->channels = ChannelMergers(static_cast<std::size_t>(num_channels));
    impl->chunk_hook = find_time_hint(lib);

    const double start_time = lib["start_time"];
    if (!std::isfinite(start_time)) {
        throw std::invalid_argument(format("Setting start_time = {} is not a finite time!", start_time));
    }
    seek(start_time);
}

Background::~Background() = default;

PEList Background::next_chunk(double time_span) {
    Impl& d = *impl;
    const double t0 = d.chunk_start;
    const double t1 = t0 + time_span;
    // A chunk end that is not finite would leave every later chunk empty.
    if (!std::isfinite(t1)) {
        throw std::invalid_argument(format("A chunk of {} s from {} s does not end at a finite time!", time_span, t0));
    }
    d.chunk_start = t1;

    const std::vector<BackgroundEvent> events = d.model->sample(t0, t1);

    if (d.reset_pending) {
        d.reset_pending = false;
        if (d.chunk_hook) d.chunk_hook(t0);
        d.channels.clear();
    }

    PEBuffer& runs = d.channels.incoming();
    for (const BackgroundEvent& event : events) {
        try {
            d.generator->generate_into(event, runs);
        } catch (...) {
            d.channels.reject();
            throw;
        }
        d.channels.accept();
    }
    return d.channels.drain(t1);
}

void Background::seek(double time) {
    if (!std::isfinite(time)) throw std::invalid_argument(format("Seek time {} is not a finite time!", time));
    impl->chunk_start = time;
    impl->reset_pending = true;
}

std::vector<Metadata> Background::generate_metadata(double begin, double end) {
    Impl& d = *impl;
    const std::vector<BackgroundEvent> events = d.model->sample(begin, end);
    const int type = d.settings["lib"]["meta_gen_type"];
    if (d.metadata_hook) d.metadata_hook(begin);

    std::vector<Metadata> result;
    for (const BackgroundEvent& event : events) {
        if (event.type != type) continue;
        Metadata record = d.provider->get_metadata(event.id);
        record.time = event.time;
        result.push_back(record);
    }
    return result;
}

}  // namespace background
