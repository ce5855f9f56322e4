#include <background/driver/GenericGenerator.hpp>

#include <background/core/Format.hpp>

#include <stdexcept>
#include <utility>

namespace background {

void GenericGenerator::add_generator(int type, std::unique_ptr<EventGenerator> generator) {
    generators[type] = std::move(generator);
}

EventGenerator& GenericGenerator::generator_for(int type) const {
    const auto found = generators.find(type);
    if (found == generators.end()) throw std::out_of_range(format("No generator with type {} available!", type));
    return *found->second;
}

PEList GenericGenerator::generate(BackgroundEvent event) { return generator_for(event.type).generate(event); }

void GenericGenerator::generate_into(BackgroundEvent event, PEBuffer& out) {
    generator_for(event.type).generate_into(event, out);
}

}  // namespace background
