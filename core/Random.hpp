#pragma once

#include <cmath>
#include <random>

namespace background {

/// A uniform double in [0, 1) from one 64-bit engine output, bit for bit what
/// std::generate_canonical<double, 53> of libstdc++ returns for this engine
/// (output scaled by 2^-64, a result that rounds to 1 replaced by the largest
/// double below 1), without its long-double arithmetic.
template <typename Engine>
double canonical_double(Engine& rng) {
    static_assert(Engine::min() == 0 && Engine::max() == ~0ull, "needs a full 64-bit engine");
    const double u = static_cast<double>(rng()) * 0x1p-64;
    return u < 1.0 ? u : 0x1.fffffffffffffp-1;
}

}  // namespace background
