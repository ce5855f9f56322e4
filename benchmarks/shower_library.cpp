// Shower libraries: 1e4 showers of a few hundred PEs over tens of channels,
// served by SimulationProvider in ascending UID order, written by
// order_events as an ordered library, and served back by OrderedProvider in
// library order; beside the last, the same library bytes read with plain
// buffered reads, record by record and in large pieces. Medians of several
// rounds.
//
//   shower_library [showers, default 10000] [rounds, default 5]

#include <background/providers/OrderedProvider.hpp>
#include <background/providers/SimulationProvider.hpp>
#include <background/providers/XCDFWriter.hpp>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include <unistd.h>

namespace {

namespace fs = std::filesystem;
using namespace background;

constexpr std::size_t kShowersPerFile = 1000;
constexpr unsigned long kEventsPerFile = 1000;

double elapsed_since(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

template <typename Run>
double median_seconds(int rounds, Run run) {
    std::vector<double> times;
    for (int i = 0; i < rounds; ++i) {
        const auto start = std::chrono::steady_clock::now();
        run();
        times.push_back(elapsed_since(start));
    }
    std::ranges::sort(times);
    return times[times.size() / 2];
}

// 100 to 600 PEs over 10 to 60 channels, arrival times spread over 1 us.
void write_simulation_files(const fs::path& dir, std::size_t showers) {
    std::mt19937_64 rng(1);
    std::vector<XCDFReader::PEData> pes;
    for (std::size_t first = 0; first < showers; first += kShowersPerFile) {
        XCDFWriter writer(dir / ("run" + std::to_string(first / kShowersPerFile) + ".xcd"));
        for (std::size_t s = first; s < std::min(showers, first + kShowersPerFile); ++s) {
            const int channels = 10 + static_cast<int>(rng() % 51);
            const int count = 100 + static_cast<int>(rng() % 501);
            pes.clear();
            std::exponential_distribution<double> delay(1e7);
            for (int i = 0; i < count; ++i) pes.push_back({static_cast<int>(rng() % channels) * 7, delay(rng)});
            Metadata md{};
            md.energy = 1000.0;
            writer.append(md, pes);
        }
        writer.close();
    }
}

// Reads every file of `dir` with `read(file, buffer)`, which returns the bytes it took.
template <typename Read>
std::uintmax_t read_files(const fs::path& dir, Read read) {
    static std::vector<char> buffer(1 << 16);
    std::uintmax_t bytes = 0;
    for (const auto& entry : fs::directory_iterator(dir)) {
        std::FILE* file = std::fopen(entry.path().c_str(), "rb");
        if (!file) std::abort();
        bytes += read(file, buffer);
        std::fclose(file);
    }
    return bytes;
}

// The floor of any reader: the library's bytes in 64 KiB pieces.
std::uintmax_t bulk_read(const fs::path& dir) {
    return read_files(dir, [](std::FILE* file, std::vector<char>& buffer) {
        std::uintmax_t bytes = 0;
        std::size_t got;
        while ((got = std::fread(buffer.data(), 1, buffer.size(), file)) > 0) bytes += got;
        return bytes;
    });
}

// The same bytes in the pieces a record reader must take them: the 68-byte
// handshake, then each 4-byte frame word and each data record, with stdio's
// buffered reads and nothing decoded or kept.
std::uintmax_t record_read(const fs::path& dir) {
    return read_files(dir, [](std::FILE* file, std::vector<char>& buffer) {
        std::uintmax_t bytes = std::fread(buffer.data(), 1, 68, file);
        std::int32_t word;
        while (std::fread(&word, sizeof word, 1, file) == 1) {
            bytes += sizeof word;
            if (word <= 0) continue;
            if (static_cast<std::size_t>(word) > buffer.size()) buffer.resize(static_cast<std::size_t>(word));
            bytes += std::fread(buffer.data(), 1, static_cast<std::size_t>(word), file);
        }
        return bytes;
    });
}

}  // namespace

int main(int argc, char** argv) {
    const std::size_t showers = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 10000;
    const int rounds = argc > 2 ? std::atoi(argv[2]) : 5;
    const fs::path root = fs::temp_directory_path() / ("shower_library_bench_" + std::to_string(::getpid()));
    fs::create_directories(root / "sims");
    write_simulation_files(root / "sims", showers);

    SimulationProvider simulation(root / "sims", -1, -1, 1.0, false);
    std::vector<unsigned long> uids;
    for (const Metadata& md : simulation.get_all_metadata()) uids.push_back(md.uid);
    std::ranges::sort(uids);
    std::size_t pes = 0;
    const double simulation_seconds = median_seconds(rounds, [&] {
        pes = 0;
        for (unsigned long uid : uids) {
            (void)simulation.get_metadata(uid);
            for (const auto& entry : simulation.get_pe_list(uid)) pes += entry.second.size();
        }
    });

    // Events in random shower order at ascending times, as a replay meets them.
    std::vector<BackgroundEvent> events;
    std::mt19937_64 rng(2);
    std::vector<unsigned long> shuffled = uids;
    std::ranges::shuffle(shuffled, rng);
    for (std::size_t i = 0; i < shuffled.size(); ++i) events.push_back({double(i) * 1e-3, 0, shuffled[i]});
    const double order_seconds = median_seconds(rounds, [&] {
        OrderedProvider::order_events(root / "library", simulation, events, kEventsPerFile, false, true, false);
    });

    OrderedProvider ordered(root / "library", 0);
    const double ordered_seconds = median_seconds(rounds, [&] {
        ordered.skip_to_time(-1);
        ordered.skip_to_time(0);
        for (const BackgroundEvent& event : events) {
            (void)ordered.get_metadata(event.id);
            (void)ordered.get_pe_list(event.id);
        }
    });
    std::uintmax_t bytes = 0;
    const double bulk_seconds = median_seconds(rounds, [&] { bytes = bulk_read(root / "library"); });
    const double record_seconds = median_seconds(rounds, [&] { bytes = record_read(root / "library"); });

    const double n = static_cast<double>(showers);
    std::printf("%zu showers, %.0f PEs each on average, library %.1f MB; medians of %d rounds\n", showers,
                static_cast<double>(pes) / n, static_cast<double>(bytes) / 1e6, rounds);
    std::printf("SimulationProvider, ascending UIDs : %10.0f showers/s\n", n / simulation_seconds);
    std::printf("order_events (interleaved)         : %10.0f showers/s\n", n / order_seconds);
    std::printf("OrderedProvider, library order     : %10.0f showers/s  (%.4f s)\n", n / ordered_seconds,
                ordered_seconds);
    std::printf("same bytes, plain record-wise reads: %10.0f showers/s  (%.4f s)\n", n / record_seconds,
                record_seconds);
    std::printf("same bytes, plain 64 KiB reads     : %10.0f showers/s  (%.4f s)\n", n / bulk_seconds, bulk_seconds);
    std::printf("ordered / record-wise reads        : %10.2f (target <= 2)\n", ordered_seconds / record_seconds);
    std::printf("ordered / 64 KiB reads             : %10.2f\n", ordered_seconds / bulk_seconds);
    if (!std::getenv("KEEP_LIBRARY")) fs::remove_all(root);
    else std::printf("kept %s\n", root.c_str());
    return 0;
}
