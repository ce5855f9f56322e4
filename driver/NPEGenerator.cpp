#include <background/driver/NPEGenerator.hpp>

#include <cstdint>

namespace background {

namespace {

int channel_of(const BackgroundEvent& event) { return static_cast<std::int32_t>(static_cast<std::uint32_t>(event.id)); }

}  // namespace

PEList NPEGenerator::generate(BackgroundEvent event) {
    PEList result;
    if (num_pe <= 0) return result;
    result.reserve(1);
    result.emplace_back(channel_of(event), std::vector<double>(static_cast<std::size_t>(num_pe), event.time));
    return result;
}

void NPEGenerator::generate_into(BackgroundEvent event, PEBuffer& out) {
    if (num_pe > 0) out.add(channel_of(event), static_cast<std::size_t>(num_pe), event.time);
}

}  // namespace background
