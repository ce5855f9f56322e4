#include <background/core/Factory.hpp>
#include <background/core/IOError.hpp>
#include <background/models/PowerLawFlux.hpp>
#include <background/models/TabulatedFlux.hpp>

#include "support/TestHelpers.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <stdexcept>
#include <string>

namespace background {
namespace {

using testing::TempDir;

// Simpson's rule in ln E, fine enough to stand in for the exact integral.
double numeric_integral(const std::function<double(double)>& density, double e1, double e2) {
    const int n = 20000;
    const double h = (std::log(e2) - std::log(e1)) / n;
    double sum = 0;
    for (int i = 0; i <= n; ++i) {
        const double e = std::exp(std::log(e1) + i * h);
        sum += (i == 0 || i == n ? 1 : (i % 2 ? 4 : 2)) * density(e) * e;
    }
    return sum * h / 3;
}

TEST(PowerLawFlux, IntegralMatchesTheDensity) {
    struct Case {
        double index, f_ref, e_ref, e1, e2;
    };
    for (const Case& c : {Case{-2.0, 1.0, 1.0, 1.0, 2.0}, {-1.0, 3.0, 10.0, 5.0, 500.0},
                          {-2.7, 1.8e4, 1.0, 1e3, 1e6}, {-2.7, 0.5, 100.0, 10.0, 1e4}, {1.5, 2.0, 4.0, 1.0, 9.0}}) {
        PowerLawFlux flux(c.index, c.f_ref, c.e_ref);
        EXPECT_DOUBLE_EQ(flux.flux_density(c.e_ref), c.f_ref);
        const double integral = flux.integrate(c.e1, c.e2);
        const auto density = [&](double e) { return flux.flux_density(e); };
        EXPECT_NEAR(integral, numeric_integral(density, c.e1, c.e2), 1e-9 * integral) << c.index;
        EXPECT_DOUBLE_EQ(flux.integrate(c.e2, c.e1), -integral);
        EXPECT_EQ(flux.integrate(c.e1, c.e1), 0.0);
    }
    EXPECT_DOUBLE_EQ(PowerLawFlux(-2.0, 1.0, 1.0).integrate(1.0, 2.0), 0.5);
    EXPECT_DOUBLE_EQ(PowerLawFlux(-1.0, 3.0, 10.0).integrate(1.0, std::exp(1.0)), 30.0);
}

class TabulatedFluxTest : public ::testing::Test {
protected:
    std::filesystem::path table(const std::string& rows) { return dir.write("flux.txt", rows); }
    TempDir dir;
};

// Comments, a blank line and text after the two numbers are not rows.
const char* const kLinearTable = "# energy flux\n1 10\n\n  2 20 trailing words\n#4 0\n4 0 # dropped to zero\n";

TEST_F(TabulatedFluxTest, LinearInterpolationAtBetweenAndBeyondRows) {
    TabulatedFlux flux(table(kLinearTable), false, 10);
    struct Case {
        double energy, density;
    };
    for (const Case& c : {Case{1.0, 10.0}, {1.5, 15.0}, {2.0, 20.0}, {3.0, 10.0}, {3.5, 5.0}, {4.0, 0.0}}) {
        EXPECT_DOUBLE_EQ(flux.flux_density(c.energy), c.density) << c.energy;
    }
    EXPECT_THROW_MSG(flux.flux_density(std::nextafter(4.0, 5.0)), std::out_of_range,
                     "Requested energy 4.000000000000001 GeV is out of range 1-4 GeV!");
    EXPECT_THROW_MSG(flux.flux_density(0.5), std::out_of_range, "Requested energy 0.5 GeV is out of range 1-4 GeV!");
    EXPECT_THROW_MSG(flux.integrate(2.0, 1.5), std::out_of_range,
                     "Requested energy range 2-1.5 GeV is out of range 1-4 GeV!");
    EXPECT_THROW_MSG(flux.integrate(0.5, 2.0), std::out_of_range,
                     "Requested energy range 0.5-2 GeV is out of range 1-4 GeV!");
    EXPECT_THROW_MSG(flux.integrate(1.0, 4.5), std::out_of_range,
                     "Requested energy range 1-4.5 GeV is out of range 1-4 GeV!");
    EXPECT_EQ(flux.integrate(7.0, 7.0), 0.0);
}

TEST_F(TabulatedFluxTest, LogInterpolationFollowsAPowerLaw) {
    TabulatedFlux flux(table("10 1e4\n100 1e2\n1000 1\n"), true, 1000);
    for (double e : {10.0, 20.0, 55.5, 100.0, 300.0, 999.0, 1000.0}) {
        EXPECT_NEAR(flux.flux_density(e), 1e6 * std::pow(e, -2.0), 1e-12 * 1e6 * std::pow(e, -2.0)) << e;
    }
    EXPECT_NEAR(flux.integrate(10.0, 1000.0), 1e6 * (0.1 - 0.001), 2e-5 * 1e6 * 0.1);
    EXPECT_THROW(flux.flux_density(9.99), std::out_of_range);
}

// The trapezoid rule is exact on a linear segment, whatever the step count.
TEST_F(TabulatedFluxTest, TrapezoidIsExactOnALinearSegment) {
    const auto path = table("1 1\n3 3\n");
    for (unsigned long steps : {1ul, 2ul, 7ul, 1000ul}) {
        EXPECT_NEAR(TabulatedFlux(path, false, steps).integrate(1.0, 2.0), 1.5, 1e-12) << steps;
    }
    EXPECT_EQ(TabulatedFlux(path, false, 0).integrate(1.0, 3.0), 0.0);
    TabulatedFlux one_row(table("5 2\n"), false, 4);
    EXPECT_EQ(one_row.flux_density(5.0), 2.0);
    EXPECT_THROW(one_row.flux_density(4.0), std::out_of_range);
}

// Computed as exp(n * s + ln e1), the last point of these step counts lands
// above 1000, beyond the table; the range still ends at the table's end.
TEST_F(TabulatedFluxTest, IntegralReachesTheLastTableEnergy) {
    const auto path = table("1 1\n1000 1e-6\n");
    for (unsigned long steps : {11ul, 22ul, 44ul, 51ul, 73ul}) {
        // The exact 0.999, overestimated by the trapezoids by at most 21 % at 11 steps.
        const double integral = TabulatedFlux(path, true, steps).integrate(1.0, 1000.0);
        EXPECT_GT(integral, 0.999) << steps;
        EXPECT_LT(integral, 0.999 * 1.21) << steps;
    }
    const auto linear = table("1.3 1\n3.7 1\n");
    EXPECT_DOUBLE_EQ(TabulatedFlux(linear, false, 19).integrate(1.3, 3.7), 3.7 - 1.3);
}

TEST_F(TabulatedFluxTest, BrokenTablesAreRefusedWithFileAndLine) {
    const std::string name = (dir.path() / "flux.txt").string();
    struct Case {
        std::string rows;
        bool log;
        std::string message;
    };
    for (const Case& c : {
             Case{"# only a comment\n\n", false, "Flux table " + name + " holds no rows!"},
             {"1 2\n3\n", false, "Flux table " + name + ", line 2: expected an energy and a flux value!"},
             {"1 2\n#\nenergy flux\n", false, "Flux table " + name + ", line 3: expected an energy and a flux value!"},
             {" # not a comment\n", false, "Flux table " + name + ", line 1: expected an energy and a flux value!"},
             {"1 2\n3 4\n2.5 1\n", false, "Flux table " + name + ", line 3: energy 2.5 GeV is below the 3 GeV of the row before!"},
             {"1 2\n3 0\n", true, "Flux table " + name + ", line 2: log interpolation needs positive values, found 3 and 0!"},
             {"-1 2\n", true, "Flux table " + name + ", line 1: log interpolation needs positive values, found -1 and 2!"},
         }) {
        EXPECT_THROW_MSG(TabulatedFlux(table(c.rows), c.log, 10), IOError, c.message);
    }
    // Equal energies make a step.
    EXPECT_EQ(TabulatedFlux(table("1 2\n2 2\n2 3\n3 3\n"), false, 10).flux_density(2.0), 3.0);
    EXPECT_THROW_MSG(TabulatedFlux(dir.path() / "missing.txt", false, 10), IOError,
                     "Failed to open file " + (dir.path() / "missing.txt").string() + "!");
}

TEST(PowerLawFlux, RefusesEnergiesNotAboveZero) {
    PowerLawFlux flux(-2.0, 1.0, 1.0);
    const std::string message = "Flux density is only defined for positive energies!";
    EXPECT_THROW_MSG(flux.flux_density(0.0), std::out_of_range, message);
    EXPECT_THROW_MSG(flux.flux_density(-1.0), std::out_of_range, message);
    EXPECT_THROW_MSG(flux.integrate(0.0, 1.0), std::out_of_range, message);
    EXPECT_THROW_MSG(flux.integrate(1.0, -2.0), std::out_of_range, message);
}

// Each setting reaches its own argument; the table is found beside the
// settings file.
TEST(FluxFactory, BuildsBothClassesFromTheirSettings) {
    TempDir dir;
    dir.write("tables/flux.txt", "1 10\n3 30\n");
    const auto settings = dir.write("cfg/settings.yaml", R"(
fluxes:
  power: {class: PowerLawFlux, e_ref: 10.0, f_ref: 3.0, index: -2.0}
  table: {class: TabulatedFlux, integration_steps: 4, log_interpolate: false, table: ../tables/flux.txt}
  logged: {class: TabulatedFlux, integration_steps: 4, log_interpolate: true, table: ../tables/flux.txt}
  negative: {class: TabulatedFlux, integration_steps: -3, log_interpolate: false, table: ../tables/flux.txt}
)");
    Factory<Flux> fluxes(settings);
    EXPECT_DOUBLE_EQ(fluxes.create_by_name("power")->flux_density(20.0), 0.75);
    EXPECT_DOUBLE_EQ(fluxes.create_by_name("table")->flux_density(2.0), 20.0);
    EXPECT_DOUBLE_EQ(fluxes.create_by_name("table")->integrate(1.0, 3.0), 40.0);
    EXPECT_NEAR(fluxes.create_by_name("logged")->flux_density(2.0), 20.0, 1e-12);
    EXPECT_THROW_MSG(fluxes.create_by_name("negative"), std::invalid_argument,
                     "Setting integration_steps = -3 is negative!");
}

}  // namespace
}  // namespace background
