// Writes the example's shower library: synthetic but plausible air showers on
// a rectangular array of channels, as ".xcd" simulation files.
//
//   make_showers OUTPUT_DIR [NUM_CHANNELS, default 1000, at most 1e9]
//   make_showers --check OUTPUT_DIR     exit status 0 when the folders hold exactly
//                                       the files written, each whole with all its showers
//   make_showers --help                 the usage; any other first argument starting
//                                       with "-" is refused, never taken for a folder
//
// OUTPUT_DIR/protons_run1 and OUTPUT_DIR/protons_run2 hold protons thrown
// alike (a production split over two runs), OUTPUT_DIR/gammas holds gammas.
// These folders are make_showers' own: a run removes from them every ".xcd"
// and ".part" entry it does not write, so that a provider on a folder serves
// exactly the showers written.
// Each primary is thrown the way a CosmicRayModel checks it: energies as a
// power law, cores uniform over a disc, zenith density sin(theta) cos(theta),
// uniform azimuth. Every quantity takes one value per stratum of its
// distribution, strata dealt to showers in shuffled order, so the library
// follows its distributions closely and the model's goodness-of-fit tests pass
// for any seed. The same arguments always write the same files. Each file is
// written under another name and renamed when complete, so a run that stops
// early leaves no file that passes for a whole one; the renames are on the
// disk before the run reports success.

#include <background/core/Metadata.hpp>
#include <background/providers/SimulationProvider.hpp>
#include <background/providers/XCDFReader.hpp>
#include <background/providers/XCDFWriter.hpp>

#include "example_support.hpp"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <exception>
#include <filesystem>
#include <map>
#include <random>
#include <set>
#include <stdexcept>
#include <string>
#include <vector>

namespace {

using background::Metadata;
using background::SimulationProvider;
using background::XCDFReader;
using background::XCDFWriter;

constexpr double kPi = 3.141592653589793;
constexpr double kSpeedOfLight = 0.299792458;  // m/ns
constexpr unsigned long kRecordNumber = 0xFFFF;  // the bits of a shower UID below its file's key

/// How one primary was thrown; the example's settings carry the same numbers.
struct Throw {
    const char* directory;
    Metadata::Primary primary;
    unsigned long seed;
    int files;
    int showers_per_file;
    double index;
    double e_min;  // GeV
    double e_max;  // GeV
    double r_max;  // m
    double theta_max;  // rad
    double pe_per_tev;  // PEs in a channel on the shower axis per TeV of primary energy
};

const Throw kThrows[] = {
    {"protons_run1", Metadata::PROTON, 11, 24, 50, -2.0, 1000.0, 100000.0, 300.0, 0.6, 12.0},
    {"protons_run2", Metadata::PROTON, 12, 24, 50, -2.0, 1000.0, 100000.0, 300.0, 0.6, 12.0},
    {"gammas", Metadata::GAMMA, 13, 20, 50, -2.0, 1000.0, 100000.0, 300.0, 0.6, 20.0},
};

/// Channels on a grid with 4 m spacing, about 1.6 times wider than deep,
/// centred on the origin; channel c sits in row c / columns.
struct Array {
    explicit Array(int channels) : channels(channels) {
        columns = std::max(1, static_cast<int>(std::lround(std::sqrt(channels * 1.6))));
        rows = (channels + columns - 1) / columns;
    }
    double x(int c) const { return (c % columns - (columns - 1) / 2.0) * 4.0; }
    double y(int c) const { return (c / columns - (rows - 1) / 2.0) * 4.0; }
    int channels, columns, rows;
};

/// One value of u in (0, 1) per stratum, in an order of their own.
std::vector<double> strata(int n, std::mt19937_64& rng) {
    std::vector<double> u(static_cast<std::size_t>(n));
    for (int i = 0; i < n; ++i) u[static_cast<std::size_t>(i)] = (i + 0.5) / n;
    std::shuffle(u.begin(), u.end(), rng);
    return u;
}

/// The showers of one primary, thrown as the model expects.
std::vector<Metadata> throw_showers(const Throw& t, int n, std::mt19937_64& rng) {
    std::vector<Metadata> showers(static_cast<std::size_t>(n));
    const auto energy = strata(n, rng), radius = strata(n, rng), angle = strata(n, rng), zenith = strata(n, rng),
               azimuth = strata(n, rng);
    const double g = t.index + 1.0;
    const double cos2_max = std::cos(t.theta_max) * std::cos(t.theta_max);
    for (std::size_t i = 0; i < showers.size(); ++i) {
        Metadata& m = showers[i];
        m.primary = t.primary;
        // Inverse of the cumulative distributions of E^index, r (uniform in
        // area), cos^2(theta) uniform, phi uniform.
        m.energy = std::pow(std::pow(t.e_min, g) + energy[i] * (std::pow(t.e_max, g) - std::pow(t.e_min, g)), 1 / g);
        const double r = t.r_max * std::sqrt(radius[i]);
        m.x = r * std::cos(2 * kPi * angle[i]);
        m.y = r * std::sin(2 * kPi * angle[i]);
        m.theta = std::acos(std::sqrt(cos2_max + zenith[i] * (1 - cos2_max)));
        m.phi = 2 * kPi * azimuth[i];
    }
    return showers;
}

/// The shower's PEs: per channel a Poisson count falling off with the
/// distance from the shower axis, at the time the plane front passes the
/// channel plus an exponential delay that grows away from the axis.
std::vector<XCDFReader::PEData> light_up(Metadata& m, const Throw& t, const Array& array, std::mt19937_64& rng) {
    const double nx = std::sin(m.theta) * std::cos(m.phi);
    const double ny = std::sin(m.theta) * std::sin(m.phi);
    std::vector<XCDFReader::PEData> pes;
    int lit = 0;
    for (int c = 0; c < array.channels; ++c) {
        const double dx = array.x(c) - m.x, dy = array.y(c) - m.y;
        const double along = dx * nx + dy * ny;  // distance along the axis, towards where it came from
        const double perpendicular = std::sqrt(std::max(0.0, dx * dx + dy * dy - along * along));
        const double mean = t.pe_per_tev * (m.energy / 1000.0) * std::exp(-perpendicular / 25.0) /
                            (1.0 + perpendicular / 5.0);
        if (mean < 1e-3) continue;
        const int count = std::poisson_distribution<int>(mean)(rng);
        if (count == 0) continue;
        ++lit;
        // The front reaches channels upstream of the core first.
        const double front = -along / kSpeedOfLight;
        std::exponential_distribution<double> delay(1.0 / (2.0 + perpendicular * 0.05));
        for (int k = 0; k < count; ++k) pes.push_back({c, (front + delay(rng)) * 1e-9});
    }
    m.num_pe = static_cast<int>(pes.size());
    m.num_channels = lit;
    return pes;
}

std::string file_name(int f) { return "showers_" + std::to_string(f) + ".xcd"; }

std::set<std::string> file_names(const Throw& t) {
    std::set<std::string> names;
    for (int f = 0; f < t.files; ++f) names.insert(file_name(f));
    return names;
}

// A provider would serve a stray ".xcd" file beside ours; a ".part" file is
// what an interrupted run left.
void remove_strays(const std::filesystem::path& folder, const Throw& t) {
    const auto ours = file_names(t);
    std::vector<std::filesystem::path> strays;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        const auto& path = entry.path();
        if ((path.extension() == ".xcd" || path.extension() == ".part") && !ours.contains(path.filename().string()))
            strays.push_back(path);
    }
    for (const auto& path : strays) std::filesystem::remove(path);
}

void write_primary(const std::filesystem::path& root, const Throw& t, const Array& array) {
    std::mt19937_64 rng(t.seed);
    const auto showers = throw_showers(t, t.files * t.showers_per_file, rng);
    const auto folder = root / t.directory;
    std::filesystem::create_directories(folder);
    remove_strays(folder, t);
    for (int f = 0; f < t.files; ++f) {
        const auto file = folder / file_name(f);
        auto part = file;
        part.replace_extension(".part");  // not ".xcd": no provider reads it
        XCDFWriter writer(part);
        for (int s = 0; s < t.showers_per_file; ++s) {
            Metadata m = showers[static_cast<std::size_t>(f * t.showers_per_file + s)];
            const auto pes = light_up(m, t, array, rng);
            writer.append(m, pes);
        }
        writer.close();
        std::filesystem::rename(part, file);
    }
    examples::sync_directory(folder);
}

// The folder as a provider reads it: the files it indexes are exactly ours,
// and its scan of their metadata, which refuses a cut or damaged file or
// records out of number, finds all the showers of each.
void check_folder(const std::filesystem::path& folder, const Throw& t) {
    std::map<unsigned long, std::filesystem::path> index;
    SimulationProvider::make_index(folder, index);
    std::set<std::string> indexed;
    for (const auto& entry : index) indexed.insert(entry.second.filename().string());
    if (indexed != file_names(t))
        throw std::runtime_error(folder.string() + " does not hold exactly the files showers_0.xcd to " +
                                 file_name(t.files - 1));
    SimulationProvider provider(folder, /*file_limit=*/-1, /*cutoff_pes=*/-1, /*cutoff_interval=*/1.0,
                                /*warn_unverified=*/false);
    std::map<unsigned long, int> showers_of_file;
    for (const Metadata& m : provider.get_all_metadata()) ++showers_of_file[m.uid & ~kRecordNumber];
    for (const auto& [key, file] : index) {
        if (showers_of_file[key] != t.showers_per_file)
            throw std::runtime_error(file.string() + " holds " + std::to_string(showers_of_file[key]) +
                                     " showers, not " + std::to_string(t.showers_per_file));
        // The metadata scan decodes no PE: a PE time the main job cannot use
        // shows only when the PEs are read.
        XCDFReader reader(file, true, true);
        while (reader.next()) reader.get_pe_data();
    }
}

void usage(std::FILE* stream, const char* program) {
    std::fprintf(stream, "usage: %s OUTPUT_DIR [NUM_CHANNELS]\n       %s --check OUTPUT_DIR\n", program, program);
}

}  // namespace

int main(int argc, char** argv) {
    const std::string first = argc > 1 ? argv[1] : "";
    if (first == "--help" || first == "-h") {
        usage(stdout, argv[0]);
        return 0;
    }
    if (argc == 3 && first == "--check") {
        try {
            for (const Throw& t : kThrows) check_folder(std::filesystem::path(argv[2]) / t.directory, t);
            return 0;
        } catch (const std::exception& error) {
            std::fprintf(stderr, "make_showers: %s\n", examples::with_causes(error).c_str());
            return 1;
        }
    }
    // A missing folder argument, as an empty variable leaves it, would
    // otherwise make an option the output folder, or the current directory.
    if (argc < 2 || argc > 3 || first.empty() || first.starts_with("-")) {
        usage(stderr, argv[0]);
        return 2;
    }
    const int channels = argc == 3 ? static_cast<int>(examples::count(argv[2])) : 1000;
    if (channels == 0) {
        std::fprintf(stderr, "make_showers: NUM_CHANNELS must be a whole number from 1 to 1e9\n");
        return 2;
    }
    try {
        const Array array(channels);
        for (const Throw& t : kThrows) write_primary(argv[1], t, array);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "make_showers: %s\n", examples::with_causes(error).c_str());
        return 1;
    }
    return 0;
}
