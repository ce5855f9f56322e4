#pragma once

#include <background/core/ShowerProvider.hpp>

#include <filesystem>
#include <map>
#include <memory>
#include <vector>

namespace background {

/// Serves the showers of a directory of simulation files (".xcd"). A shower's
/// UID is its file's key (the path hash of the file's canonical path with the
/// low 16 bits cleared) plus its 1-based record number, so UIDs change when
/// the files move. Dense channels can be thinned: at most `cutoff_pes` PEs per
/// `cutoff_interval` seconds.
class SimulationProvider : public ShowerProvider {
public:
    /// `file_limit` bounds the files get_all_metadata reads (negative: all);
    /// a negative `cutoff_pes` turns thinning off.
    SimulationProvider(std::filesystem::path input_files, int file_limit, int cutoff_pes, double cutoff_interval,
                       bool warn_unverified);
    ~SimulationProvider() override;

    /// Adds the ".xcd" entries of `dir` to `index` under their file keys.
    static void make_index(std::filesystem::path dir, std::map<unsigned long, std::filesystem::path>& index);
    /// Refuses a thinning interval that is not positive while thinning is on.
    static void check_thinning(int cutoff_pes, double cutoff_interval);

    std::vector<Metadata> get_all_metadata() override;
    Metadata get_metadata(unsigned long uid) override;
    PEList get_pe_list(unsigned long uid) override;

private:
    class Impl;
    std::unique_ptr<Impl> impl;
};

}  // namespace background
