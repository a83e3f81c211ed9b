#include "rng_compat.hpp"

#include <cassert>
#include <cmath>
#include <string>
#include <utility>

#include "cpu_dispatch.hpp"

namespace rsvelmo {

namespace {

constexpr std::size_t kMtN = 624;
constexpr std::size_t kMtM = 397;

// One linear-congruential step of R's seed scrambling.
constexpr std::uint32_t lcg_step(std::uint32_t s) { return 69069u * s + 1u; }

std::uint32_t scrambled_seed(std::uint64_t seed) {
    auto s = static_cast<std::uint32_t>(seed);
    for (int i = 0; i < 50; ++i) s = lcg_step(s);
    return s;
}

// 2^-32: scales a 32-bit output into [0, 1) exactly.
constexpr double kTwoPowMinus32 = 2.3283064365386963e-10;
// R keeps Mersenne-Twister uniforms strictly inside (0, 1) with these clamps:
// half of 1/(2^32 - 1), and one minus it.
constexpr double kMtUniformFloor = 1.1641532185403984e-10;
constexpr double kMtUniformCeil = 0.9999999998835847;

constexpr std::int64_t kLecuyerM1 = 4294967087;  // 0xFFFFFF2F
constexpr std::int64_t kLecuyerM2 = 4294944443;  // 0xFFFFA6BB
// 1 / (m1 + 1), R's normalisation of the combined L'Ecuyer output.
constexpr double kLecuyerNorm = 2.328306549295727688e-10;

// R's rejection sampling of an index below dn from any uniform source.
template <class Uniform>
std::uint64_t unif_index(std::uint64_t dn, Uniform&& unif) {
    if (dn == 0) return 0;
    const int bits = static_cast<int>(std::ceil(std::log2(static_cast<double>(dn))));
    if (bits < 0) return 0;
    const std::uint64_t mask = bits >= 64 ? ~std::uint64_t{0} : (std::uint64_t{1} << bits) - 1;
    while (true) {
        std::uint64_t v = 0;
        for (int n = 0; n <= bits; n += 16) {
            const double u = unif();
            v = v * 65536 + static_cast<std::uint64_t>(std::floor(u * 65536.0));
        }
        v &= mask;
        if (v < dn) return v;
    }
}

std::int64_t reduce_mod(std::int64_t p, std::int64_t m) {
    p -= (p / m) * m;  // truncating division, as in C
    if (p < 0) p += m;
    return p;
}

}  // namespace

RSVELMO_CPU_CLONES void MtCore::regenerate() {
    // The twist in three runs, so that no index needs a modulo: words
    // 0..N-M-1 read ahead M words, N-M..N-2 wrap around, N-1 reads word 0.
    const auto mix = [](std::uint32_t upper, std::uint32_t lower, std::uint32_t far) {
        const std::uint32_t y = (upper & 0x80000000u) | (lower & 0x7FFFFFFFu);
        return far ^ (y >> 1) ^ ((0u - (y & 1u)) & 0x9908B0DFu);
    };
    std::size_t i = 0;
    for (; i < kMtN - kMtM; ++i) state[i] = mix(state[i], state[i + 1], state[i + kMtM]);
    for (; i < kMtN - 1; ++i) state[i] = mix(state[i], state[i + 1], state[i + kMtM - kMtN]);
    state[kMtN - 1] = mix(state[kMtN - 1], state[0], state[kMtM - 1]);
    for (std::size_t j = 0; j < kMtN; ++j) {
        std::uint32_t y = state[j];
        y ^= y >> 11;
        y ^= (y << 7) & 0x9D2C5680u;
        y ^= (y << 15) & 0xEFC60000u;
        y ^= y >> 18;
        output_[j] = y;
    }
    index = 0;
}

Mt19937::Mt19937(std::uint32_t seed) {
    core_.state[0] = seed;
    for (std::uint32_t i = 1; i < kMtN; ++i) {
        const std::uint32_t prev = core_.state[i - 1];
        core_.state[i] = 1812433253u * (prev ^ (prev >> 30)) + i;
    }
    core_.index = kMtN;
}

RMt19937SeedCompat::RMt19937SeedCompat(std::uint64_t seed) {
    std::uint32_t s = scrambled_seed(seed);
    s = lcg_step(s);  // R's slot for the index; its value is discarded
    for (auto& word : core_.state) {
        s = lcg_step(s);
        word = s;
    }
    core_.index = kMtN;
}

double RMt19937SeedCompat::unif_rand() {
    const double u = static_cast<double>(core_.next_u32()) * kTwoPowMinus32;
    if (u <= 0.0) return kMtUniformFloor;
    if (u >= 1.0) return kMtUniformCeil;
    return u;
}

std::uint64_t RMt19937SeedCompat::r_unif_index(std::uint64_t dn) {
    return unif_index(dn, [this] { return unif_rand(); });
}

RLecuyerCmrgSeedCompat::RLecuyerCmrgSeedCompat(std::uint64_t seed) {
    std::uint32_t s = scrambled_seed(seed);
    for (auto& word : s_) {
        do {
            s = lcg_step(s);
        } while (s >= static_cast<std::uint64_t>(kLecuyerM2));
        word = s;
    }
}

double RLecuyerCmrgSeedCompat::unif_rand() {
    std::int64_t p1 = 1403580 * static_cast<std::int64_t>(s_[1]) - 810728 * static_cast<std::int64_t>(s_[0]);
    p1 = reduce_mod(p1, kLecuyerM1);
    s_[0] = s_[1];
    s_[1] = s_[2];
    s_[2] = static_cast<std::uint32_t>(p1);
    std::int64_t p2 = 527612 * static_cast<std::int64_t>(s_[5]) - 1370589 * static_cast<std::int64_t>(s_[3]);
    p2 = reduce_mod(p2, kLecuyerM2);
    s_[3] = s_[4];
    s_[4] = s_[5];
    s_[5] = static_cast<std::uint32_t>(p2);
    const std::int64_t diff = p1 > p2 ? p1 - p2 : p1 - p2 + kLecuyerM1;
    return static_cast<double>(diff) * kLecuyerNorm;
}

std::uint64_t RLecuyerCmrgSeedCompat::r_unif_index(std::uint64_t dn) {
    return unif_index(dn, [this] { return unif_rand(); });
}

NoReplaceSampler::NoReplaceSampler(std::uint64_t n) : pool_(n) {
    for (std::uint64_t i = 0; i < n; ++i) pool_[i] = i + 1;
}

bool NoReplaceSampler::draw(RLecuyerCmrgSeedCompat& rng, std::uint64_t k, std::vector<std::uint64_t>& out) {
    const std::uint64_t n = pool_.size();
    if (k > n) return false;
    out.resize(k);
    slots_.resize(k);
    for (std::uint64_t i = 0; i < k; ++i) {
        const std::uint64_t live = n - i;
        const std::uint64_t j = rng.r_unif_index(live);
        out[i] = pool_[j];
        slots_[i] = j;
        pool_[j] = pool_[live - 1];
    }
    // Undo the swaps newest first: slot j_i held out[i] before step i, and
    // later steps never touch the entry that step i copied from.
    for (std::uint64_t i = k; i-- > 0;) pool_[slots_[i]] = out[i];
    return true;
}

std::vector<std::uint64_t> combination(std::uint64_t lo, std::uint64_t hi, std::uint64_t k, Mt19937& engine) {
    CombinationSampler sampler;
    std::vector<std::uint64_t> out;
    sampler.draw(lo, hi, k, engine, out);
    return out;
}

void CombinationSampler::draw(std::uint64_t lo, std::uint64_t hi, std::uint64_t k, Mt19937& engine,
                              std::vector<std::uint64_t>& out) {
    const std::uint64_t n = hi - lo + 1;
    out.clear();
    if (flags_.size() < n) flags_.resize(n, 0);
    if (static_cast<double>(n) * 0.5 > static_cast<double>(k)) {
        // Few values from a large range: rejection against the flags.
        while (out.size() < k) {
            const std::uint64_t t = uid_wrapper(0, n - 1, engine);
            if (flags_[t]) continue;
            flags_[t] = 1;
            out.push_back(lo + t);
        }
    } else {
        // Floyd's method keeps the number of draws at k, then a shuffle.
        if (k == 0 || k > n) return;
        for (std::uint64_t j = n - k; j < n; ++j) {
            const std::uint64_t t = uid_wrapper(0, j, engine);
            const std::uint64_t taken = flags_[t] ? j : t;
            flags_[taken] = 1;
            out.push_back(lo + taken);
        }
        for (std::uint64_t i = k - 1; i >= 1; --i) {
            const std::uint64_t t = uid_wrapper(0, i, engine);
            std::swap(out[i], out[t]);
        }
    }
    for (std::uint64_t v : out) flags_[v - lo] = 0;
}

}  // namespace rsvelmo
