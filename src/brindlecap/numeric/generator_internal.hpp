#pragma once
// numpy-compatible random generator: default_rng(seed) = Generator(PCG64(SeedSequence(seed))),
// reproducing numpy 1.24's streams bit for bit.

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "brindlecap/numeric/matrix.hpp"

namespace brindlecap::numeric {

namespace detail {

__extension__ typedef unsigned __int128 uint128;

// SeedSequence steps for a non-negative integer seed.
std::vector<std::uint32_t> seed_entropy(std::uint64_t seed);
std::array<std::uint32_t, 4> seed_pool(const std::vector<std::uint32_t>& entropy);
std::vector<std::uint32_t> seed_generate_state(const std::array<std::uint32_t, 4>& pool,
                                               std::size_t n_words);

extern const double ZIG_NORM_R;
extern const double ZIG_NORM_INV_R;
extern const std::uint64_t ZIG_KI[256];
extern const double ZIG_WI[512];  // [256 + i] = -[i]
extern const double ZIG_FI[256];

inline constexpr uint128 PCG_MULTIPLIER =
    (static_cast<uint128>(2549297995355413924ULL) << 64) | 4865540595714422341ULL;

inline std::uint64_t pcg_output(uint128 state) noexcept {
    const auto hi = static_cast<std::uint64_t>(state >> 64);
    const auto lo = static_cast<std::uint64_t>(state);
    const unsigned rot = static_cast<unsigned>(hi >> 58);
    const std::uint64_t x = hi ^ lo;
    return (x >> rot) | (x << ((64 - rot) & 63));
}

[[noreturn]] void throw_invalid(const char* message);

}  // namespace detail

// PCG64 state as numpy's bit_generator.state reports it.
struct Pcg64State {
    detail::uint128 state;
    detail::uint128 inc;
    bool has_uint32;
    std::uint32_t uinteger;
};

class Generator {
public:
    explicit Generator(std::uint64_t seed);
    // A generator continuing from a state another generator (numpy's, say) reported.
    explicit Generator(const Pcg64State& state);

    // bit_generator.random_raw(): one raw 64-bit PCG64 output.
    std::uint64_t next_uint64() noexcept {
        state_ = state_ * detail::PCG_MULTIPLIER + inc_;
        return detail::pcg_output(state_);
    }
    // 32-bit draw: low half of a 64-bit output, the high half buffered for the next call.
    std::uint32_t next_uint32() noexcept {
        if (has_uint32_) {
            has_uint32_ = false;
            return uinteger_;
        }
        const std::uint64_t v = next_uint64();
        uinteger_ = static_cast<std::uint32_t>(v >> 32);
        has_uint32_ = true;
        return static_cast<std::uint32_t>(v);
    }
    // Generator.random(): uniform double in [0, 1).
    double random() noexcept { return static_cast<double>(next_uint64() >> 11) * 0x1.0p-53; }

    // Uniform integer in [low, high).
    std::int64_t integers(std::int64_t low, std::int64_t high) {
        if (high <= low) detail::throw_invalid("low >= high");
        const std::uint64_t rng = static_cast<std::uint64_t>(high) - 1U - static_cast<std::uint64_t>(low);
        return static_cast<std::int64_t>(static_cast<std::uint64_t>(low) + bounded(rng));
    }
    std::vector<std::int64_t> integers(std::int64_t low, std::int64_t high, std::size_t n);

    double standard_normal() {
        const std::uint64_t b = next_uint64();
        const unsigned idx = static_cast<unsigned>(b & 0xFF);
        const std::uint64_t rabs = (b >> 9) & 0x000FFFFFFFFFFFFFULL;
        if (rabs < detail::ZIG_KI[idx])
            return static_cast<double>(static_cast<std::int64_t>(rabs)) * detail::ZIG_WI[b & 0x1FF];
        return standard_normal_slow(b);
    }
    // n draws in order; the same stream as n scalar calls.
    void standard_normal(double* out, std::size_t n);
    Matrix standard_normal(std::size_t rows, std::size_t cols);
    // Advances the stream exactly as standard_normal(n) would, writing nothing.
    void skip_standard_normal(std::size_t n);

    double uniform(double low, double high);

    // Index drawn by choice(seq) for a length-n sequence (replace=True, size None).
    std::size_t choice(std::size_t n) {
        if (n == 0) detail::throw_invalid("a cannot be empty unless no samples are taken");
        return static_cast<std::size_t>(bounded(static_cast<std::uint64_t>(n) - 1U));
    }
    // Indices drawn by choice(seq, k, replace=False), in drawn order.
    std::vector<std::size_t> choice_without_replacement(std::size_t n, std::size_t k);

    template <class T>
    const T& choice(const std::vector<T>& seq) {
        return seq[choice(seq.size())];
    }

    // numpy shuffle of a list: Fisher-Yates with masked-rejection indices.
    template <class T>
    void shuffle(std::vector<T>& v) {
        for (std::size_t i = v.size(); i > 1;) {
            --i;
            const auto j = static_cast<std::size_t>(interval(i));
            std::iter_swap(v.begin() + static_cast<std::ptrdiff_t>(i),
                           v.begin() + static_cast<std::ptrdiff_t>(j));
        }
    }

    Pcg64State state() const noexcept { return {state_, inc_, has_uint32_, uinteger_}; }

private:
    // Uniform in [0, rng] (Lemire on 32- or 64-bit draws, as numpy's integers).
    std::uint64_t bounded(std::uint64_t rng) {
        if (rng <= 0xFFFFFFFEULL) {
            if (rng == 0) return 0;
            const auto excl = static_cast<std::uint32_t>(rng + 1U);
            std::uint64_t m = static_cast<std::uint64_t>(next_uint32()) * excl;
            if (static_cast<std::uint32_t>(m) < excl) m = lemire32_retry(m, excl);
            return m >> 32;
        }
        if (rng == 0xFFFFFFFFULL) return next_uint32();
        return bounded64(rng);
    }
    std::uint64_t lemire32_retry(std::uint64_t m, std::uint32_t excl);
    std::uint64_t bounded64(std::uint64_t rng);
    // Uniform in [0, max] by masked rejection (numpy's shuffle).
    std::uint64_t interval(std::uint64_t max);
    [[gnu::noinline]] double standard_normal_slow(std::uint64_t first_draw);
    // The four-step multiplier and increment of the interleaved chains, from inc_.
    void set_steps() noexcept;
    template <bool WRITE>
    void normal_stream(double* out, std::size_t n);

    detail::uint128 state_ = 0;
    detail::uint128 inc_ = 0;
    // Four LCG steps at once, for running four interleaved chains.
    detail::uint128 mult4_ = 0;
    detail::uint128 inc4_ = 0;
    std::uint32_t uinteger_ = 0;
    bool has_uint32_ = false;
};

Generator default_rng(std::uint64_t seed);

}  // namespace brindlecap::numeric
