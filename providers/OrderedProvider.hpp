#pragma once

#include <background/core/BackgroundEvent.hpp>
#include <background/core/ShowerProvider.hpp>

#include <filesystem>
#include <memory>
#include <vector>

namespace background {

/// Serves the showers of an ordered shower library: the showers of a time-
/// sorted event list, stored in event order over numbered files, with a hint
/// file giving each numbered file's first event time. Files are read strictly
/// forward; a request out of library order scans on, wrapping around once. A
/// record served must be followed by what the layout puts behind it (a clean
/// end or the next record of its file), else the file is refused as damaged.
class OrderedProvider : public ShowerProvider {
public:
    /// Opens the library in `dir`; a positive `hook_id` registers skip_to_time
    /// as the time-hint hook under that ID, taking over an earlier registration.
    OrderedProvider(std::filesystem::path dir, int hook_id);
    ~OrderedProvider() override;
    OrderedProvider(const OrderedProvider&) = delete;
    OrderedProvider& operator=(const OrderedProvider&) = delete;

    std::vector<Metadata> get_all_metadata() override;
    Metadata get_metadata(unsigned long uid) override;
    PEList get_pe_list(unsigned long uid) override;

    /// Makes the last numbered file whose hint time is not after `time` the
    /// current one; a file already current is not rewound.
    void skip_to_time(double time);

    /// Writes the library of `events` (sorted by time) into `dir`, removing
    /// every entry whose name begins with "OP" first. Each numbered file holds
    /// `events_per_file` events; with `drop_empty` events whose shower has no
    /// PEs are left out and erased from `events`; `interleaved` writes one
    /// file per number instead of a data and a metadata file; with
    /// `paired_queries` the source is asked for each shower's metadata and PE
    /// list in turn.
    static void order_events(std::filesystem::path dir, ShowerProvider& source, std::vector<BackgroundEvent>& events,
                             unsigned long events_per_file, bool drop_empty, bool interleaved, bool paired_queries);

private:
    class Impl;
    std::unique_ptr<Impl> impl;
};

}  // namespace background
