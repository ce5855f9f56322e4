#pragma once
// Shared by the provider tests: simulation files made with XCDFWriter and an
// independent statement of their file key.

#include <background/core/Format.hpp>
#include <background/providers/XCDFWriter.hpp>

#include "support/TestHelpers.hpp"

#include <algorithm>
#include <functional>
#include <map>
#include <tuple>

// Tests that read simulation files have nothing to check in a build without
// the reader; the disabled behaviour has tests of its own.
#if BACKGROUND_WITH_XCDF
#define REQUIRE_XCDF() static_cast<void>(0)
#else
#define REQUIRE_XCDF() GTEST_SKIP() << "built without XCDF support"
#endif

namespace background::testing {

using PEs = std::vector<XCDFReader::PEData>;

/// Shower r of every test file: energy 100 r, PEs on channel 7 at 2 r and on channel r % 3 at 1 + r.
inline PEs test_pes(unsigned long record) { return {{7, 2.0 * double(record)}, {int(record % 3), 1.0 + double(record)}}; }

inline std::filesystem::path write_simulation_file(const std::filesystem::path& file, unsigned long records) {
    XCDFWriter writer(file);
    for (unsigned long r = 1; r <= records; ++r) writer.append(Metadata{0, {}, 100.0 * double(r), 0, 0, 0, 0, 0, 0, 0}, test_pes(r));
    writer.close();
    return file;
}

/// The file key as the GCC standard library hashes a path: the elements'
/// string hashes combined in order, low 16 bits cleared.
inline unsigned long reference_file_key(const std::filesystem::path& file) {
    std::size_t seed = 0;
    for (const auto& element : std::filesystem::canonical(file))
        seed ^= std::hash<std::string>{}(element.string()) + 0x9e3779b9 + (seed << 6) + (seed >> 2);
    return seed & ~std::size_t{0xFFFF};
}

}  // namespace background::testing
