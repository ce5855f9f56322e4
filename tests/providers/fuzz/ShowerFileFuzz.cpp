// Fuzz target for the shower-file readers: the ".xcd" simulation-file reader
// (fed from memory, and through a simulation provider that thins its PEs), the
// ordered shower library reader (the input becomes the library's files) and
// the event-cache reader. Input: one flag byte, a 4-byte little-endian length
// L, then L bytes for the library's metadata file (the cache's events file) and
// the rest for its data file (the cache's interval file); an interleaved
// library and the simulation file take everything after the length.
// Exceptions other than the ones the readers document abort. FUZZ_READER=sim,
// library or cache gives one reader a fuzzing run of its own.

#include <background/models/CachedModel.hpp>
#include <background/providers/OrderedProvider.hpp>
#include <background/providers/SimulationProvider.hpp>
#include <background/providers/XCDFReader.hpp>
#include <background/storage/TMIO.hpp>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <ios>
#include <limits>
#include <map>
#include <stdexcept>
#include <string>
#include <string_view>
#include <system_error>
#include <vector>

namespace {

namespace fs = std::filesystem;
using background::Metadata;

template <typename Read>
void guarded(Read read) {
    try {
        read();
    } catch (const std::ios_base::failure&) {
    } catch (const std::out_of_range&) {
    } catch (const std::length_error&) {
    } catch (...) {
        std::abort();
    }
}

std::string memory_address(const std::uint8_t* data, std::size_t size) {
    static const std::uint8_t empty = 0;
    char text[64];
    std::snprintf(text, sizeof text, "mem://%p/%zu", static_cast<const void*>(size ? data : &empty), size);
    return text;
}

void write_file(const fs::path& path, std::string_view bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

// Removed when the process exits, so that neither the corpus test nor a
// fuzzing run leaves it behind.
struct WorkDir {
    fs::path path;
    ~WorkDir() {
        std::error_code ignored;
        fs::remove_all(path, ignored);
    }
};

// Also silences the provider's warnings, which would otherwise flood the
// fuzzer's log.
const fs::path& work_dir() {
    static const WorkDir dir{[] {
        std::cerr.rdbuf(nullptr);
        std::string templ = (fs::temp_directory_path() / "showerfuzz-XXXXXX").string();
        if (!mkdtemp(templ.data())) std::abort();
        const fs::path made = templ;
        fs::create_directory(made / "sim");
        fs::create_directory(made / "lib");
        fs::create_directory(made / "cache");
        double zero = 0;
        background::tmio::TMIO(made / "lib" / "OP_HINT.tmio", std::ios::out, "OP_HINT")
            .write_array(background::tmio::VECTOR_TAG, &zero, 1);
        return made;
    }()};
    return dir.path;
}

void read_simulation_file(const std::string& address) {
    for (bool with_pe_data : {true, false}) {
        guarded([&] {
            background::XCDFReader reader(address, true, with_pe_data);
            for (int record = 0; record < 1000 && reader.next(); ++record) {
                (void)reader.get_metadata();
                if (with_pe_data && record % 2 == 0) (void)reader.get_pe_data();
            }
        });
    }
}

// Positioned reads come whether or not the scan refused the file: a damaged
// file must not serve a shower out of a shifted frame either.
void serve_simulation_file(std::string_view bytes) {
    const fs::path dir = work_dir() / "sim";
    write_file(dir / "f.xcd", bytes);
    guarded([&] {
        background::SimulationProvider provider(dir, -1, 2, 1e-3, true);
        guarded([&] { (void)provider.get_all_metadata(); });
        std::map<unsigned long, fs::path> index;
        background::SimulationProvider::make_index(dir, index);
        const unsigned long key = index.begin()->first;
        for (unsigned long record = 1; record <= 8; ++record) {
            guarded([&] { (void)provider.get_pe_list(key + record); });
            guarded([&] { (void)provider.get_metadata(key + record); });
        }
    });
}

void serve_library(bool interleaved, std::string_view meta, std::string_view data) {
    const fs::path dir = work_dir() / "lib";
    for (const char* name : {"OP_INTER_0.tmio", "OP_DATA_0.tmio", "OP_META_0.tmio"}) fs::remove(dir / name);
    if (interleaved) {
        write_file(dir / "OP_INTER_0.tmio", data);
    } else {
        write_file(dir / "OP_META_0.tmio", meta);
        write_file(dir / "OP_DATA_0.tmio", data);
    }
    guarded([&] {
        background::OrderedProvider provider(dir, 0);
        std::vector<Metadata> all;
        guarded([&] { all = provider.get_all_metadata(); });
        provider.skip_to_time(0);
        std::vector<unsigned long> uids{0, 1};
        for (std::size_t i = 0; i < std::min<std::size_t>(all.size(), 8); ++i) uids.push_back(all[i].uid);
        for (unsigned long uid : uids) {
            guarded([&] { (void)provider.get_metadata(uid); });
            guarded([&] { (void)provider.get_pe_list(uid); });
        }
    });
}

// Sampled intervals must hold only their own events, in time order.
void replay_cache(std::string_view events, std::string_view interval) {
    const fs::path dir = work_dir() / "cache";
    write_file(dir / "c.ev", events);
    write_file(dir / "c.cm", interval);
    guarded([&] {
        background::CachedModel model(dir / "c.ev");
        constexpr double inf = std::numeric_limits<double>::infinity();
        for (const auto& [b, e] : {std::pair{-inf, inf}, {0.0, 1.0}, {1.0, 1.0}, {-1e300, 1e300}, {2.0, 1.0}})
            guarded([&, begin = b, end = e] {
                const auto got = model.sample(begin, end);
                for (std::size_t i = 0; i < got.size(); ++i)
                    if (!(begin <= got[i].time && got[i].time < end) || (i && got[i].time < got[i - 1].time)) std::abort();
            });
    });
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 5) return 0;
    const bool interleaved = data[0] & 1;
    std::uint32_t split;
    std::memcpy(&split, data + 1, sizeof split);
    const std::string_view rest(reinterpret_cast<const char*>(data + 5), size - 5);
    const std::size_t meta_size = std::min<std::size_t>(split, rest.size());
    static const char* const only = std::getenv("FUZZ_READER");
    const auto fuzzed = [](const char* reader) { return !only || std::strcmp(only, reader) == 0; };
    if (fuzzed("sim")) read_simulation_file(memory_address(data + 5, size - 5));
    if (fuzzed("sim")) serve_simulation_file(rest);
    if (fuzzed("library"))
        serve_library(interleaved, rest.substr(0, meta_size), interleaved ? rest : rest.substr(meta_size));
    if (fuzzed("cache")) replay_cache(rest.substr(0, meta_size), rest.substr(meta_size));
    return 0;
}
