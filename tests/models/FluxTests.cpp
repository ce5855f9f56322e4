#include <background/core/Factory.hpp>
#include <background/core/IOError.hpp>
#include <background/models/PowerLawFlux.hpp>
#include <background/models/TabulatedFlux.hpp>

#include "support/TestHelpers.hpp"

#include <array>
#include <cmath>

namespace background {
namespace {

using testing::TempDir;

TEST(PowerLawFlux, IntegralMatchesTheClosedForm) {
    for (const auto& [index, f_ref, e_ref, e1, e2] :
         {std::array{-2.0, 1.0, 1.0, 1.0, 2.0}, {-1.0, 3.0, 10.0, 5.0, 500.0}, {-2.7, 1.8e4, 1.0, 1e3, 1e6},
          {1.5, 2.0, 4.0, 1.0, 9.0}}) {
        PowerLawFlux flux(index, f_ref, e_ref);
        const double p = index + 1;
        const double exact = p == 0 ? f_ref * e_ref * std::log(e2 / e1)
                                    : f_ref * e_ref / p * (std::pow(e2 / e_ref, p) - std::pow(e1 / e_ref, p));
        EXPECT_NEAR(flux.flux_density(e1), f_ref * std::pow(e1 / e_ref, index), 1e-12 * flux.flux_density(e1)) << index;
        EXPECT_NEAR(flux.integrate(e1, e2), exact, 1e-12 * exact) << index;
        EXPECT_NEAR(flux.integrate(e2, e1), -exact, 1e-12 * exact) << index;
    }
}

TEST(TabulatedFlux, InterpolatesAndIntegratesTheTable) {
    TempDir dir;
    // Comments at column 0, a blank line and text after the two numbers are not rows.
    TabulatedFlux linear(dir.write("linear.txt", "# energy flux\n1 10\n\n  2 20 trailing words\n#4 0\n4 0\n"), false, 10);
    for (auto [e, density] : {std::pair{1.0, 10.0}, {1.5, 15.0}, {2.0, 20.0}, {3.5, 5.0}, {4.0, 0.0}}) {
        EXPECT_DOUBLE_EQ(linear.flux_density(e), density) << e;
    }
    TabulatedFlux log(dir.write("log.txt", "10 1e4\n100 1e2\n1000 1\n"), true, 1000);
    for (double e : {10.0, 55.5, 100.0, 999.0, 1000.0}) EXPECT_NEAR(log.flux_density(e), 1e6 / (e * e), 1e-6 / e / e);
    EXPECT_NEAR(log.integrate(10.0, 1000.0), 1e6 * (0.1 - 0.001), 2e-5 * 1e5);
    EXPECT_EQ(TabulatedFlux(dir.write("step.txt", "1 2\n2 2\n2 3\n3 3\n"), false, 10).flux_density(2.0), 3.0) << "step";
    for (unsigned long steps : {1ul, 7ul, 1000ul}) {
        EXPECT_NEAR(TabulatedFlux(dir.write("line.txt", "1 1\n3 3\n"), false, steps).integrate(1.0, 2.0), 1.5, 1e-12);
    }
    // exp(n * s + ln e1) lands above 1000 at these step counts: the last point must be pinned to the upper bound.
    for (unsigned long steps : {11ul, 22ul, 44ul, 51ul, 73ul}) {
        const double integral = TabulatedFlux(dir.write("wide.txt", "1 1\n1000 1e-6\n"), true, steps).integrate(1, 1000);
        EXPECT_TRUE(integral > 0.999 && integral < 0.999 * 1.21) << steps << ": " << integral;
    }
    EXPECT_DOUBLE_EQ(TabulatedFlux(dir.write("flat.txt", "1.3 1\n3.7 1\n"), false, 19).integrate(1.3, 3.7), 3.7 - 1.3);
}

TEST(Flux, Refusals) {
    TempDir dir;
    const std::string name = "Flux table " + (dir.path() / "flux.txt").string();
    for (const auto& [rows, log, message] : {
             std::tuple{"# only a comment\n\n", false, name + " holds no rows!"},
             {"1 2\n3\n", false, name + ", line 2: expected an energy and a flux value!"},
             {" # not a comment\n", false, name + ", line 1: expected an energy and a flux value!"},
             {"1 2\n3 4\n2.5 1\n", false, name + ", line 3: energy 2.5 GeV is below the 3 GeV of the row before!"},
             {"1 2\n3 0\n", true, name + ", line 2: log interpolation needs positive values, found 3 and 0!"},
             {"-1 2\n", true, name + ", line 1: log interpolation needs positive values, found -1 and 2!"}}) {
        EXPECT_THROW_MSG(TabulatedFlux(dir.write("flux.txt", rows), log, 10), IOError, message);
    }
    EXPECT_THROW_MSG(TabulatedFlux(dir.path() / "missing", false, 10), IOError,
                     "Failed to open file " + (dir.path() / "missing").string() + "!");
    TabulatedFlux table(dir.write("flux.txt", "1 10\n4 0\n"), false, 10), log(dir.write("log.txt", "10 1\n100 1\n"), true, 5);
    const auto range = [](const std::string& what) { return "Requested energy " + what + " is out of range 1-4 GeV!"; };
    EXPECT_THROW_MSG(table.flux_density(std::nextafter(4.0, 5.0)), std::out_of_range, range("4.000000000000001 GeV"));
    EXPECT_THROW_MSG(table.flux_density(0.5), std::out_of_range, range("0.5 GeV"));
    EXPECT_THROW_MSG(log.flux_density(9.99), std::out_of_range, "Requested energy 9.99 GeV is out of range 10-100 GeV!");
    EXPECT_THROW_MSG(table.integrate(2.0, 1.5), std::out_of_range, range("range 2-1.5 GeV"));
    EXPECT_THROW_MSG(table.integrate(0.5, 2.0), std::out_of_range, range("range 0.5-2 GeV"));
    EXPECT_THROW_MSG(table.integrate(1.0, 4.5), std::out_of_range, range("range 1-4.5 GeV"));
    PowerLawFlux power(-2.0, 1.0, 1.0);
    const std::string positive = "Flux density is only defined for positive energies!";
    EXPECT_THROW_MSG(power.flux_density(0.0), std::out_of_range, positive);
    EXPECT_THROW_MSG(power.integrate(0.0, 1.0), std::out_of_range, positive);
    EXPECT_THROW_MSG(power.integrate(1.0, -2.0), std::out_of_range, positive);
    EXPECT_EQ(table.integrate(7.0, 7.0), 0.0);
}

// Each setting reaches its own argument; the table is found beside the settings file.
TEST(FluxFactory, BuildsBothClassesFromTheirSettings) {
    TempDir dir;
    dir.write("tables/flux.txt", "1 10\n3 30\n");
    Factory<Flux> fluxes(dir.write("cfg/settings.yaml", R"(
fluxes:
  power: {class: PowerLawFlux, e_ref: 10.0, f_ref: 3.0, index: -2.0}
  table: {class: TabulatedFlux, integration_steps: 4, log_interpolate: false, table: ../tables/flux.txt}
  negative: {class: TabulatedFlux, integration_steps: -3, log_interpolate: false, table: ../tables/flux.txt}
)"));
    EXPECT_DOUBLE_EQ(fluxes.create_by_name("power")->flux_density(20.0), 0.75);
    EXPECT_DOUBLE_EQ(fluxes.create_by_name("table")->integrate(1.0, 3.0), 40.0);
    EXPECT_THROW_MSG(fluxes.create_by_name("negative"), std::invalid_argument, "Setting integration_steps = -3 is negative!");
}

}  // namespace
}  // namespace background
