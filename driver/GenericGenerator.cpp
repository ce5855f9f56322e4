#include <background/driver/GenericGenerator.hpp>

#include <background/core/Format.hpp>

#include <stdexcept>
#include <utility>

namespace background {

void GenericGenerator::add_generator(int type, std::unique_ptr<EventGenerator> generator) {
    generators[type] = std::move(generator);
}

PEList GenericGenerator::generate(BackgroundEvent event) {
    const auto found = generators.find(event.type);
    if (found == generators.end()) {
        throw std::out_of_range(format("No generator with type {} available!", event.type));
    }
    return found->second->generate(event);
}

}  // namespace background
