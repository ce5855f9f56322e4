#include <background/providers/MultiProvider.hpp>

#include <background/core/Format.hpp>
#include <background/providers/SimulationProvider.hpp>

#include <map>
#include <stdexcept>
#include <utility>

namespace background {

namespace {

constexpr unsigned long kRecordBits = 0xFFFF;

}  // namespace

class MultiProvider::Impl {
public:
    using FileIndex = std::map<unsigned long, std::filesystem::path>;

    int cutoff_pes;
    double cutoff_interval;
    bool warn_unverified;
    std::vector<std::pair<FileIndex, std::unique_ptr<SimulationProvider>>> datasets;

    SimulationProvider& dataset_of(unsigned long uid) {
        const unsigned long key = uid & ~kRecordBits;
        for (auto& [index, provider] : datasets)
            if (index.contains(key)) return *provider;
        throw std::out_of_range(format("Shower with UID {} not found!", uid));
    }
};

MultiProvider::MultiProvider(int cutoff_pes, double cutoff_interval, bool warn_unverified) {
    SimulationProvider::check_thinning(cutoff_pes, cutoff_interval);
    impl = std::make_unique<Impl>(Impl{cutoff_pes, cutoff_interval, warn_unverified, {}});
}

MultiProvider::~MultiProvider() = default;

void MultiProvider::add_dataset(std::filesystem::path dir, int file_limit) {
    Impl::FileIndex index;
    SimulationProvider::make_index(dir, index);
    // The same file reached twice (the same directory, or through a link)
    // would serve its showers under one UID from two datasets.
    for (const auto& [earlier, provider] : impl->datasets) {
        for (const auto& [key, file] : index) {
            const auto shared = earlier.find(key);
            if (shared != earlier.end())
                throw std::runtime_error(format("Datasets contain files with same hashes!\nFile A: {}\nFile B: {}",
                                                shared->second.string(), file.string()));
        }
    }
    auto provider = std::make_unique<SimulationProvider>(std::move(dir), file_limit, impl->cutoff_pes,
                                                         impl->cutoff_interval, impl->warn_unverified);
    impl->datasets.emplace_back(std::move(index), std::move(provider));
}

std::vector<Metadata> MultiProvider::get_all_metadata() {
    std::vector<Metadata> result;
    for (auto& [index, provider] : impl->datasets) {
        std::vector<Metadata> part = provider->get_all_metadata();
        result.insert(result.end(), part.begin(), part.end());
    }
    return result;
}

Metadata MultiProvider::get_metadata(unsigned long uid) { return impl->dataset_of(uid).get_metadata(uid); }

PEList MultiProvider::get_pe_list(unsigned long uid) { return impl->dataset_of(uid).get_pe_list(uid); }

}  // namespace background
