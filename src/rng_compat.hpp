// Random streams that reproduce R's generators bit for bit (Mersenne-Twister
// and L'Ecuyer-CMRG with set.seed seeding, R's uniform index and sampling
// without replacement) and a standard MT19937 engine with the samplers the
// statistics use. Every generator is a plain value owned by one user.
#pragma once

#include <array>
#include <cassert>
#include <cstdint>
#include <vector>

namespace rsvelmo {

// The MT19937 twister state and output, shared by both Mersenne-Twister types.
class MtCore {
public:
    // Inline: the multilevel estimator draws hundreds of millions of these.
    std::uint32_t next_u32() {
        if (index >= state.size()) regenerate();
        return output_[index++];
    }

    std::array<std::uint32_t, 624> state{};
    std::uint64_t index = 624;  // >= 624: regenerate before the next output

private:
    // The twist of all 624 words, and their tempered outputs: both loops
    // work a whole block, which the compiler can vectorise.
    void regenerate();
    std::array<std::uint32_t, 624> output_{};
};

// The standard 32-bit MT19937 engine with its standard seeding.
class Mt19937 {
public:
    explicit Mt19937(std::uint32_t seed);
    std::uint32_t next_u32() { return core_.next_u32(); }

private:
    MtCore core_;
};

// R's default generator, positioned as after set.seed(seed).
class RMt19937SeedCompat {
public:
    explicit RMt19937SeedCompat(std::uint64_t seed);  // low 32 bits used

    // R's unif_rand(): strictly inside (0, 1).
    double unif_rand();
    // R's uniform index in [0, dn) by rejection sampling; 0 for dn = 0.
    std::uint64_t r_unif_index(std::uint64_t dn);
    // R's sample.int(1e9, 1): the seed of every stream derived from this one.
    std::uint64_t draw_seed() { return r_unif_index(1000000000) + 1; }

private:
    MtCore core_;
};

// R's L'Ecuyer-CMRG generator, positioned as after set.seed(seed).
class RLecuyerCmrgSeedCompat {
public:
    explicit RLecuyerCmrgSeedCompat(std::uint64_t seed);  // low 32 bits used

    double unif_rand();
    std::uint64_t r_unif_index(std::uint64_t dn);

private:
    friend class NoReplaceSampler;
    std::array<std::uint32_t, 6> s_{};
};

// R's sample.int(n, k) without replacement: k distinct values of 1..n in
// draw order. The pool of 1..n is built once and restored after each draw
// in O(k), for callers that draw many sets over the same n.
class NoReplaceSampler {
public:
    explicit NoReplaceSampler(std::uint64_t n);
    // Writes k values into out (resized); false when k > n.
    bool draw(RLecuyerCmrgSeedCompat& rng, std::uint64_t k, std::vector<std::uint64_t>& out);

private:
    std::vector<std::uint64_t> pool_;
    std::vector<std::uint64_t> slots_;  // the pool index drawn at each step
};

// A uniform integer in [lo, hi]; the span hi - lo must be below 2^32 - 1.
inline std::uint64_t uid_wrapper(std::uint64_t lo, std::uint64_t hi, Mt19937& engine) {
    const auto range = static_cast<std::uint32_t>((hi - lo) + 1);
    assert(range != 0 && "uid_wrapper: span must be below 2^32 - 1");
    const std::uint32_t limit = (0xFFFFFFFFu / range) * range;
    std::uint32_t y;
    do {
        y = engine.next_u32();
    } while (y >= limit);
    return lo + (y % range);
}

// uid_wrapper(0, hi, engine) for many draws of one range: the rejection limit
// is worked out once and the remainder taken by multiplication (exact for
// 32-bit operands), so each draw returns what uid_wrapper returns.
class UniformIndex {
public:
    explicit UniformIndex(std::uint64_t hi)
        : range_(static_cast<std::uint32_t>(hi + 1)),
          limit_((0xFFFFFFFFu / range_) * range_),
          inverse_(~std::uint64_t{0} / range_ + 1) {
        assert(range_ != 0 && "UniformIndex: span must be below 2^32 - 1");
    }
    std::uint64_t draw(Mt19937& engine) const {
        std::uint32_t y;
        do {
            y = engine.next_u32();
        } while (y >= limit_);
        const std::uint64_t fraction = inverse_ * y;  // y / range in 0.64 fixed point
        return static_cast<std::uint64_t>((static_cast<unsigned __int128>(fraction) * range_) >> 64);
    }

private:
    std::uint32_t range_;
    std::uint32_t limit_;
    std::uint64_t inverse_;
};

// k distinct integers of [lo, hi] in draw order; empty when k exceeds the range.
std::vector<std::uint64_t> combination(std::uint64_t lo, std::uint64_t hi, std::uint64_t k, Mt19937& engine);

// combination for callers that draw many sets: the flag array is kept and
// cleared after each draw in O(k). Draws exactly the values combination does.
class CombinationSampler {
public:
    void draw(std::uint64_t lo, std::uint64_t hi, std::uint64_t k, Mt19937& engine, std::vector<std::uint64_t>& out);

private:
    std::vector<std::uint8_t> flags_;
};

}  // namespace rsvelmo
