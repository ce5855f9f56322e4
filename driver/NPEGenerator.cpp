#include <background/driver/NPEGenerator.hpp>

#include <cstdint>

namespace background {

PEList NPEGenerator::generate(BackgroundEvent event) {
    PEList result;
    if (num_pe <= 0) return result;
    const int channel = static_cast<std::int32_t>(static_cast<std::uint32_t>(event.id));
    result.reserve(1);
    result.emplace_back(channel, std::vector<double>(static_cast<std::size_t>(num_pe), event.time));
    return result;
}

}  // namespace background
