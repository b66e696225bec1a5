#pragma once
// The per-thread random generator behind root noise, sampled actions and the random players. Seeded from
// the operating system's entropy source, so games are deliberately not reproducible.
#include <cstdint>
#include <limits>
#include <random>

namespace zelmor_self_play {

// xoshiro256++: fast, small state, good enough statistics for sampling; usable as a standard URBG.
class Rng {
public:
    using result_type = uint64_t;
    static constexpr result_type min() { return 0; }
    static constexpr result_type max() { return std::numeric_limits<result_type>::max(); }

    Rng() {
        std::random_device entropy;
        for (auto& word : state_) word = (uint64_t{entropy()} << 32) | entropy();
        if (!(state_[0] | state_[1] | state_[2] | state_[3])) state_[0] = 1;
    }

    result_type operator()() {
        const uint64_t result = rotl(state_[0] + state_[3], 23) + state_[0];
        const uint64_t t = state_[1] << 17;
        state_[2] ^= state_[0];
        state_[3] ^= state_[1];
        state_[1] ^= state_[2];
        state_[0] ^= state_[3];
        state_[2] ^= t;
        state_[3] = rotl(state_[3], 45);
        return result;
    }

    uint32_t next_u32() { return static_cast<uint32_t>((*this)() >> 32); }

    // Uniform in 0..n-1 without bias (Lemire's multiply-and-reject); n > 0.
    uint32_t below(uint32_t n) {
        uint64_t product = uint64_t{next_u32()} * n;
        if (static_cast<uint32_t>(product) < n) {
            const uint32_t threshold = static_cast<uint32_t>(-n) % n;
            while (static_cast<uint32_t>(product) < threshold) product = uint64_t{next_u32()} * n;
        }
        return static_cast<uint32_t>(product >> 32);
    }

private:
    static uint64_t rotl(uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }
    uint64_t state_[4];
};

inline Rng& thread_rng() {
    thread_local Rng rng;
    return rng;
}

}  // namespace zelmor_self_play
