#pragma once

#include <background/core/BackgroundEvent.hpp>
#include <background/core/Metadata.hpp>

#include <filesystem>
#include <memory>
#include <vector>

namespace background {

/// Stores one whole vector per file: events, shower metadata or numbers.
class Serializer {
public:
    /// The record-stream implementation, TMIOSerializer.
    static std::unique_ptr<Serializer> create_default();

    virtual std::vector<BackgroundEvent> read_events(std::filesystem::path path) const = 0;
    virtual void write_events(std::filesystem::path path, const std::vector<BackgroundEvent>& events) const = 0;
    virtual std::vector<Metadata> read_metadata(std::filesystem::path path) const = 0;
    virtual void write_metadata(std::filesystem::path path, const std::vector<Metadata>& metadata) const = 0;
    virtual std::vector<double> read_numbers(std::filesystem::path path) const = 0;
    virtual void write_numbers(std::filesystem::path path, const std::vector<double>& numbers) const = 0;

    // Owners delete through std::unique_ptr<Serializer>; without a virtual
    // destructor that deletion would be undefined for any implementation.
    virtual ~Serializer() = default;
};

}  // namespace background
