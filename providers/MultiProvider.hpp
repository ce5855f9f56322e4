#pragma once

#include <background/core/ShowerProvider.hpp>

#include <filesystem>
#include <memory>
#include <vector>

namespace background {

/// Several simulation datasets served as one: each request goes to the
/// dataset that holds the UID's file key. Datasets never share a file.
class MultiProvider : public ShowerProvider {
public:
    /// The thinning and warning settings shared by every dataset.
    MultiProvider(int cutoff_pes, double cutoff_interval, bool warn_unverified);
    ~MultiProvider() override;

    /// Adds the simulation files of `dir`; `file_limit` bounds the files its
    /// part of get_all_metadata reads.
    void add_dataset(std::filesystem::path dir, int file_limit);

    std::vector<Metadata> get_all_metadata() override;
    Metadata get_metadata(unsigned long uid) override;
    PEList get_pe_list(unsigned long uid) override;

private:
    class Impl;
    std::unique_ptr<Impl> impl;
};

}  // namespace background
