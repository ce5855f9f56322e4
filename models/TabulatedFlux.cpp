#include <background/models/TabulatedFlux.hpp>

#include <background/core/Format.hpp>
#include <background/core/IOError.hpp>
#include <background/core/text_file_internal.hpp>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

namespace background {

class TabulatedFlux::Impl {
public:
    Impl(bool log_interpolate, unsigned long integration_steps)
        : log_interpolate(log_interpolate), integration_steps(integration_steps) {}

    bool log_interpolate;
    std::size_t integration_steps;
    std::vector<double> energies;
    std::vector<double> flux_values;

    void read(const std::filesystem::path& table);
};

namespace {

bool is_blank(const std::string& line) {
    return std::all_of(line.begin(), line.end(), [](unsigned char c) { return std::isspace(c); });
}

std::string table_text(const std::filesystem::path& table) {
    try {
        return detail::read_text_file(table);
    } catch (const IOError&) {
        throw IOError(format("Failed to open file {}!", table.string()));
    }
}

}  // namespace

// A row is only ever made of two numbers read from its own line: anything
// else in the file is refused with its line, so a broken table cannot turn
// into a plausible but wrong spectrum.
void TabulatedFlux::Impl::read(const std::filesystem::path& table) {
    std::istringstream file(table_text(table));
    std::string line;
    for (std::size_t number = 1; std::getline(file, line); ++number) {
        if ((!line.empty() && line.front() == '#') || is_blank(line)) continue;
        double energy, flux;
        if (!(std::istringstream(line) >> energy >> flux)) {
            throw IOError(format("Flux table {}, line {}: expected an energy and a flux value!", table.string(),
                                 number));
        }
        if (!energies.empty() && energy < energies.back()) {
            throw IOError(format("Flux table {}, line {}: energy {} GeV is below the {} GeV of the row before!",
                                 table.string(), number, energy, energies.back()));
        }
        if (log_interpolate && !(energy > 0 && flux > 0)) {
            throw IOError(format("Flux table {}, line {}: log interpolation needs positive values, found {} and {}!",
                                 table.string(), number, energy, flux));
        }
        energies.push_back(energy);
        flux_values.push_back(flux);
    }
    if (energies.empty()) throw IOError(format("Flux table {} holds no rows!", table.string()));
}

TabulatedFlux::TabulatedFlux(std::filesystem::path table, bool log_interpolate, unsigned long integration_steps)
    : impl(std::make_unique<Impl>(log_interpolate, integration_steps)) {
    impl->read(table);
}

TabulatedFlux::~TabulatedFlux() = default;

double TabulatedFlux::flux_density(double energy) {
    const std::vector<double>& e = impl->energies;
    const std::vector<double>& f = impl->flux_values;
    const auto i = static_cast<std::size_t>(std::upper_bound(e.begin(), e.end(), energy) - e.begin());
    if (i > 0 && i < e.size()) {
        if (!impl->log_interpolate) return std::lerp(f[i - 1], f[i], (energy - e[i - 1]) / (e[i] - e[i - 1]));
        const double t = (std::log(energy) - std::log(e[i - 1])) / (std::log(e[i]) - std::log(e[i - 1]));
        return std::exp(std::lerp(std::log(f[i - 1]), std::log(f[i]), t));
    }
    if (energy == e.back()) return f.back();
    throw std::out_of_range(
        format("Requested energy {} GeV is out of range {}-{} GeV!", energy, e.front(), e.back()));
}

double TabulatedFlux::integrate(double e1, double e2) {
    if (e1 == e2) return 0;
    const std::vector<double>& e = impl->energies;
    if (e1 > e2 || e1 < e.front() || e2 > e.back()) {
        throw std::out_of_range(
            format("Requested energy range {}-{} GeV is out of range {}-{} GeV!", e1, e2, e.front(), e.back()));
    }
    const bool log = impl->log_interpolate;
    const std::size_t n = impl->integration_steps;
    const double step = log ? (std::log(e2) - std::log(e1)) / static_cast<double>(n)
                            : (e2 - e1) / static_cast<double>(n);
    double x_prev = e1;
    double f_prev = flux_density(e1);
    if (n == 0) return 0;
    double sum = 0;
    for (std::size_t i = 1; i <= n; ++i) {
        const double offset = static_cast<double>(i) * step;
        // The computed last point can round past e2, which may lie at the
        // table's end; the range ends at e2 itself.
        const double x = i == n ? e2 : (log ? std::exp(offset + std::log(e1)) : offset + e1);
        const double f = flux_density(x);
        sum += (f_prev + f) * 0.5 * (x - x_prev);
        x_prev = x;
        f_prev = f;
    }
    return sum;
}

}  // namespace background
