// Writes the example's shower library: synthetic but plausible air showers on
// a rectangular array of channels, as ".xcd" simulation files.
//
//   make_showers OUTPUT_DIR [NUM_CHANNELS, default 1000]
//   make_showers --check OUTPUT_DIR     exit status 0 when every file is there and whole
//
// OUTPUT_DIR/protons_run1 and OUTPUT_DIR/protons_run2 hold protons thrown
// alike (a production split over two runs), OUTPUT_DIR/gammas holds gammas.
// Each primary is thrown the way a CosmicRayModel checks it: energies as a
// power law, cores uniform over a disc, zenith density sin(theta) cos(theta),
// uniform azimuth. Every quantity takes one value per stratum of its
// distribution, strata dealt to showers in shuffled order, so the library
// follows its distributions closely and the model's goodness-of-fit tests pass
// for any seed. The same arguments always write the same files. Each file is
// written under another name and renamed when complete, so a run that stops
// early leaves no file that passes for a whole one.

#include <background/core/Metadata.hpp>
#include <background/providers/XCDFReader.hpp>
#include <background/providers/XCDFWriter.hpp>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <exception>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

namespace {

using background::Metadata;
using background::XCDFReader;
using background::XCDFWriter;

constexpr double kPi = 3.141592653589793;
constexpr double kSpeedOfLight = 0.299792458;  // m/ns

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

std::filesystem::path file_of(const std::filesystem::path& root, const Throw& t, int f) {
    return root / t.directory / ("showers_" + std::to_string(f) + ".xcd");
}

void write_primary(const std::filesystem::path& root, const Throw& t, const Array& array) {
    std::mt19937_64 rng(t.seed);
    const auto showers = throw_showers(t, t.files * t.showers_per_file, rng);
    std::filesystem::create_directories(root / t.directory);
    for (int f = 0; f < t.files; ++f) {
        const auto file = file_of(root, t, f);
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
}

// Every file is there and reads whole to its end record, with all its showers.
bool all_whole(const std::filesystem::path& root) {
    for (const Throw& t : kThrows) {
        for (int f = 0; f < t.files; ++f) {
            const auto file = file_of(root, t, f);
            if (!std::filesystem::is_regular_file(file)) return false;
            XCDFReader scan(file, true, false);
            int showers = 0;
            while (scan.next()) ++showers;
            if (showers != t.showers_per_file) return false;
        }
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 3 && std::string(argv[1]) == "--check") {
        try {
            return all_whole(argv[2]) ? 0 : 1;
        } catch (const std::exception&) {
            return 1;
        }
    }
    if (argc < 2 || argc > 3) {
        std::fprintf(stderr, "usage: %s OUTPUT_DIR [NUM_CHANNELS]\n       %s --check OUTPUT_DIR\n", argv[0], argv[0]);
        return 2;
    }
    const int channels = argc == 3 ? std::atoi(argv[2]) : 1000;
    if (channels <= 0) {
        std::fprintf(stderr, "NUM_CHANNELS must be a positive number\n");
        return 2;
    }
    try {
        const Array array(channels);
        for (const Throw& t : kThrows) write_primary(argv[1], t, array);
    } catch (const std::exception& error) {
        std::fprintf(stderr, "make_showers: %s\n", error.what());
        return 1;
    }
    return 0;
}
