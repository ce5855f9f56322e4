#include <background/core/Random.hpp>

#include <algorithm>
#include <bit>
#include <cstring>

namespace background {

namespace {

// The constants of std::mt19937_64 (Matsumoto and Nishimura's MT19937-64).
constexpr std::size_t kN = MersenneTwister64::state_size;
constexpr std::size_t kM = 156;
constexpr std::uint64_t kUpper = 0xffffffff80000000ull;
constexpr std::uint64_t kLower = 0x000000007fffffffull;
constexpr std::uint64_t kMatrix = 0xb5026f5aa96619e9ull;

// Four lanes as a GCC vector: the compiler lowers them to whatever the
// function is built for, so one body serves both paths and every lane does
// exactly the scalar integer arithmetic. Vectors travel by pointer only, as
// passing them by value has no ABI fixed across the two builds.
using Lanes = std::uint64_t __attribute__((vector_size(32)));

template <typename W>
inline __attribute__((always_inline)) void load(W& w, const std::uint64_t* p) {
    std::memcpy(&w, p, sizeof w);
}

// x[k] from x[k], x[k + 1] and the word m places ahead (cyclically).
template <typename W>
inline __attribute__((always_inline)) void twist(std::uint64_t* word, const std::uint64_t* far_word) {
    W w, next_w, far_w;
    load(w, word);
    load(next_w, word + 1);
    load(far_w, far_word);
    const W y = (w & kUpper) | (next_w & kLower);
    w = far_w ^ (y >> 1) ^ ((W{} - (y & 1)) & kMatrix);
    std::memcpy(word, &w, sizeof w);
}

template <typename W>
inline __attribute__((always_inline)) void temper(const std::uint64_t* word, std::uint64_t* out) {
    W y;
    load(y, word);
    y ^= (y >> 29) & 0x5555555555555555ull;
    y ^= (y << 17) & 0x71d67fffeda60000ull;
    y ^= (y << 37) & 0xfff7eee000000000ull;
    y ^= y >> 43;
    std::memcpy(out, &y, sizeof y);
}

// The loops of libstdc++'s _M_gen_rand four words at a time. Word k reads
// word k + 1 before that word is renewed, and word k + m (or k + m - n, then
// already renewed) which is at least 156 words away, so four neighbours can
// be renewed together.
inline __attribute__((always_inline)) void twist_block_body(std::uint64_t* x, std::uint64_t* out) {
    std::size_t k = 0;
    for (; k < kN - kM; k += 4) twist<Lanes>(x + k, x + k + kM);
    for (; k + 4 < kN; k += 4) twist<Lanes>(x + k, x + k + kM - kN);
    for (; k < kN - 1; ++k) twist<std::uint64_t>(x + k, x + k + kM - kN);
    // The last word's neighbour is the first word, renewed already.
    const std::uint64_t y = (x[kN - 1] & kUpper) | (x[0] & kLower);
    x[kN - 1] = x[kM - 1] ^ (y >> 1) ^ ((0 - (y & 1)) & kMatrix);
    for (k = 0; k < kN; k += 4) temper<Lanes>(x + k, out + k);
}

void twist_block_portable(std::uint64_t* x, std::uint64_t* out) { twist_block_body(x, out); }

__attribute__((target("avx2"))) void twist_block_avx2(std::uint64_t* x, std::uint64_t* out) {
    twist_block_body(x, out);
}

}  // namespace

namespace detail {

void twist_block(std::uint64_t* state, std::uint64_t* out, bool allow_avx2) {
    if (allow_avx2 && __builtin_cpu_supports("avx2")) {
        twist_block_avx2(state, out);
    } else {
        twist_block_portable(state, out);
    }
}

}  // namespace detail

namespace {

// An engine that returns one given output, to evaluate draws per output.
struct OneOutput {
    using result_type = std::uint64_t;
    static constexpr result_type min() { return 0; }
    static constexpr result_type max() { return ~result_type{0}; }
    result_type operator()() const { return output; }
    result_type output;
};

}  // namespace

SingleTrialBinomial::SingleTrialBinomial(double p) : flipped(!(p <= 0.5)) {
    const double p12 = flipped ? 1.0 - p : p;
    const double q = -std::log(1 - p12);
    const auto chosen = [q](double d) { return -std::log(d) <= q; };
    // Smallest d in (0, 1] that succeeds: chosen(1) holds as q >= 0.
    std::uint64_t lo = std::bit_cast<std::uint64_t>(0x1p-64);
    std::uint64_t hi = std::bit_cast<std::uint64_t>(1.0);
    if (!(q >= 0) || chosen(std::bit_cast<double>(lo))) return;
    while (hi - lo > 1) {
        const std::uint64_t mid = lo + (hi - lo) / 2;
        (chosen(std::bit_cast<double>(mid)) ? hi : lo) = mid;
    }
    const double min_chosen = std::bit_cast<double>(hi);
    usable = true;
    for (std::uint64_t step = 1; step <= 64; ++step) {
        const std::uint64_t above = std::min(hi + step, std::bit_cast<std::uint64_t>(1.0));
        if (chosen(std::bit_cast<double>(hi - step)) || !chosen(std::bit_cast<double>(above))) usable = false;
    }
    // 1 - u falls as the output grows, so the outputs that succeed are those
    // below the first one that fails: found by bisection as well.
    const auto succeeds = [min_chosen](std::uint64_t output) {
        OneOutput engine{output};
        return 1.0 - canonical_double(engine) >= min_chosen;
    };
    if (!succeeds(0)) return;
    if (succeeds(~std::uint64_t{0})) {
        usable = false;  // every output succeeds: no threshold below 2^64 says so
        return;
    }
    std::uint64_t yes = 0, no = ~std::uint64_t{0};
    while (no - yes > 1) {
        const std::uint64_t mid = yes + (no - yes) / 2;
        (succeeds(mid) ? yes : no) = mid;
    }
    succeeding = no;
}

void MersenneTwister64::seed(result_type value) {
    state[0] = value;
    for (std::size_t i = 1; i < kN; ++i) {
        const result_type previous = state[i - 1];
        state[i] = 6364136223846793005ull * (previous ^ (previous >> 62)) + i;
    }
    next = kN;
}

void MersenneTwister64::renew() {
    detail::twist_block(state.data(), block.data(), true);
    next = 0;
}

}  // namespace background
