#pragma once

#include <background/storage/Serializer.hpp>

namespace background {

/// Writes each vector as one VECTOR record of a tagged record stream whose
/// protocol names the kind of file ("EVENT_PROTOCOL", "META_PROTOCOL",
/// "NUMBER_PROTOCOL"), so that each kind is read only by its own operation.
/// A write reports a failure to get the bytes to the file before it returns.
class TMIOSerializer : public Serializer {
public:
    std::vector<BackgroundEvent> read_events(std::filesystem::path path) const override;
    void write_events(std::filesystem::path path, const std::vector<BackgroundEvent>& events) const override;
    std::vector<Metadata> read_metadata(std::filesystem::path path) const override;
    void write_metadata(std::filesystem::path path, const std::vector<Metadata>& metadata) const override;
    std::vector<double> read_numbers(std::filesystem::path path) const override;
    void write_numbers(std::filesystem::path path, const std::vector<double>& numbers) const override;
};

}  // namespace background
