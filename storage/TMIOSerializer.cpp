#include <background/storage/TMIOSerializer.hpp>

#include <background/core/Format.hpp>
#include <background/core/IOError.hpp>
#include <background/storage/TMIO.hpp>

#include <climits>
#include <stdexcept>

namespace background {

namespace {

const char* const EVENT_PROTOCOL = "EVENT_PROTOCOL";
const char* const METADATA_PROTOCOL = "META_PROTOCOL";
const char* const NUMBER_PROTOCOL = "NUMBER_PROTOCOL";

template <typename T>
void write_vector(const std::filesystem::path& path, const char* protocol, const std::vector<T>& data) {
    if (data.size() > static_cast<std::size_t>(INT_MAX))
        throw std::length_error(background::format("Cannot store {} elements as one record in file {}!",
                                                   data.size(), path.generic_string()));
    tmio::TMIO stream(path, std::ios::out, protocol);
    stream.write_array<T>(tmio::VECTOR_TAG, data.data(), static_cast<int>(data.size()));
    // The destructor's final flush cannot report; a file that did not get
    // all its bytes must not pass for a stored vector.
    stream.flush();
}

// Records after the vector are not part of it and are ignored. In a regular
// file they must still be whole frames: a byte inserted into the vector, or
// appended to the file, leaves a frame cut short behind it, which must not
// pass for a stored vector. Other streams are not read on, since what follows
// there may not have come yet, or may belong to the caller (a memory region
// larger than the file it holds).
void check_rest(tmio::TMIO& stream) {
    if (stream.on_regular_file() && !stream.rest_is_whole_frames())
        throw IOError(background::format("Read error in file {}: Found data after the VECTOR record.",
                                         stream.path.generic_string()));
}

template <typename T>
std::vector<T> read_vector(const std::filesystem::path& path, const char* protocol) {
    tmio::TMIO stream(path, std::ios::in, protocol);
    std::vector<T> vector = stream.read_vector<T>();
    check_rest(stream);
    return vector;
}

}  // namespace

std::vector<BackgroundEvent> TMIOSerializer::read_events(std::filesystem::path path) const {
    return read_vector<BackgroundEvent>(path, EVENT_PROTOCOL);
}

void TMIOSerializer::write_events(std::filesystem::path path, const std::vector<BackgroundEvent>& events) const {
    write_vector(path, EVENT_PROTOCOL, events);
}

std::vector<Metadata> TMIOSerializer::read_metadata(std::filesystem::path path) const {
    return read_vector<Metadata>(path, METADATA_PROTOCOL);
}

void TMIOSerializer::write_metadata(std::filesystem::path path, const std::vector<Metadata>& metadata) const {
    write_vector(path, METADATA_PROTOCOL, metadata);
}

std::vector<double> TMIOSerializer::read_numbers(std::filesystem::path path) const {
    return read_vector<double>(path, NUMBER_PROTOCOL);
}

void TMIOSerializer::write_numbers(std::filesystem::path path, const std::vector<double>& numbers) const {
    write_vector(path, NUMBER_PROTOCOL, numbers);
}

}  // namespace background
