#include <background/storage/Serializer.hpp>

#include <background/storage/TMIOSerializer.hpp>

namespace background {

std::unique_ptr<Serializer> Serializer::create_default() { return std::make_unique<TMIOSerializer>(); }

}  // namespace background
