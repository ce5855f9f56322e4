#pragma once
// Shared by the provider tests: simulation files made with XCDFWriter, an
// independent statement of the file key, a shower source with a query log,
// and capture of standard error.

#include <background/core/ShowerProvider.hpp>
#include <background/providers/XCDFWriter.hpp>

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <functional>
#include <iostream>
#include <map>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

// Tests that read simulation files have nothing to check in a build without
// the reader; the disabled behaviour has tests of its own.
#if BACKGROUND_WITH_XCDF
#define REQUIRE_XCDF() static_cast<void>(0)
#else
#define REQUIRE_XCDF() GTEST_SKIP() << "built without XCDF support"
#endif

namespace background::testing {

using PEs = std::vector<XCDFReader::PEData>;

/// Shower r of every test file: energy 100 r, PEs on channel r % 3 at 1 + r
/// and on channel 7 at 2 r.
inline Metadata test_metadata(unsigned long record) {
    Metadata md{};
    md.primary = Metadata::GAMMA;
    md.energy = 100.0 * static_cast<double>(record);
    md.num_pe = 2;
    md.num_channels = 2;
    return md;
}

inline PEs test_pes(unsigned long record) {
    const double r = static_cast<double>(record);
    return {{7, 2 * r}, {static_cast<int>(record % 3), 1 + r}};
}

/// A simulation file of `records` test showers.
inline std::filesystem::path write_simulation_file(const std::filesystem::path& file, unsigned long records) {
    XCDFWriter writer(file);
    for (unsigned long r = 1; r <= records; ++r) writer.append(test_metadata(r), test_pes(r));
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

/// A shower source of fixed records that logs every query.
class TableProvider : public ShowerProvider {
public:
    std::map<unsigned long, std::pair<Metadata, PEList>> showers;
    std::vector<std::pair<char, unsigned long>> queries;  // 'm' or 'p', uid

    void add(unsigned long uid, PEList pe_list) {
        Metadata md{};
        md.uid = uid;
        md.energy = 10.0 + static_cast<double>(uid);
        md.time = -1.0;
        md.num_pe = md.num_channels = -1;
        showers[uid] = {md, std::move(pe_list)};
    }
    std::vector<Metadata> get_all_metadata() override { return {}; }
    Metadata get_metadata(unsigned long uid) override {
        queries.emplace_back('m', uid);
        return showers.at(uid).first;
    }
    PEList get_pe_list(unsigned long uid) override {
        queries.emplace_back('p', uid);
        return showers.at(uid).second;
    }
};

/// Collects what is written to std::cerr while it lives.
class CaptureStderr {
public:
    CaptureStderr() : previous(std::cerr.rdbuf(text.rdbuf())) {}
    ~CaptureStderr() { std::cerr.rdbuf(previous); }
    CaptureStderr(const CaptureStderr&) = delete;
    CaptureStderr& operator=(const CaptureStderr&) = delete;
    std::string str() const { return text.str(); }

private:
    std::ostringstream text;
    std::streambuf* previous;
};

}  // namespace background::testing
