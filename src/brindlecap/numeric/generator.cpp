#include "brindlecap/numeric/generator_internal.hpp"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <stdexcept>
#include <unordered_set>
#include <utility>

namespace brindlecap::numeric {

namespace detail {

void throw_invalid(const char* message) { throw std::invalid_argument(message); }

namespace {

constexpr std::uint32_t INIT_A = 0x43B0D7E5U;
constexpr std::uint32_t MULT_A = 0x931E8875U;
constexpr std::uint32_t INIT_B = 0x8B51F9DDU;
constexpr std::uint32_t MULT_B = 0x58F38DEDU;
constexpr std::uint32_t MIX_MULT_L = 0xCA01F9DDU;
constexpr std::uint32_t MIX_MULT_R = 0x4973F715U;

std::uint32_t mix(std::uint32_t x, std::uint32_t y) {
    std::uint32_t r = MIX_MULT_L * x - MIX_MULT_R * y;
    return r ^ (r >> 16);
}

}  // namespace

std::vector<std::uint32_t> seed_entropy(std::uint64_t seed) {
    std::vector<std::uint32_t> words{static_cast<std::uint32_t>(seed)};
    if ((seed >> 32) != 0) words.push_back(static_cast<std::uint32_t>(seed >> 32));
    return words;
}

std::array<std::uint32_t, 4> seed_pool(const std::vector<std::uint32_t>& entropy) {
    std::uint32_t h = INIT_A;
    auto hashmix = [&h](std::uint32_t v) {
        v ^= h;
        h *= MULT_A;
        v *= h;
        return v ^ (v >> 16);
    };
    std::array<std::uint32_t, 4> pool{};
    for (std::size_t i = 0; i < pool.size(); ++i) pool[i] = hashmix(i < entropy.size() ? entropy[i] : 0U);
    for (std::size_t src = 0; src < pool.size(); ++src)
        for (std::size_t dst = 0; dst < pool.size(); ++dst)
            if (dst != src) pool[dst] = mix(pool[dst], hashmix(pool[src]));
    for (std::size_t src = pool.size(); src < entropy.size(); ++src)
        for (std::size_t dst = 0; dst < pool.size(); ++dst) pool[dst] = mix(pool[dst], hashmix(entropy[src]));
    return pool;
}

std::vector<std::uint32_t> seed_generate_state(const std::array<std::uint32_t, 4>& pool, std::size_t n_words) {
    std::vector<std::uint32_t> out(n_words);
    std::uint32_t h = INIT_B;
    for (std::size_t i = 0; i < n_words; ++i) {
        std::uint32_t v = pool[i % pool.size()] ^ h;
        h *= MULT_B;
        v *= h;
        out[i] = v ^ (v >> 16);
    }
    return out;
}

}  // namespace detail

namespace {

using detail::PCG_MULTIPLIER;
using detail::ZIG_FI;
using detail::ZIG_KI;
using detail::ZIG_WI;
using detail::uint128;

constexpr std::uint64_t ZIG_MANTISSA_MASK = 0x000FFFFFFFFFFFFFULL;

// Keeps a product rounded on its own, so it is never fused into a multiply-add.
inline double rounded(double v) {
#if defined(__GNUC__) && (defined(__x86_64__) || defined(__i386__))
    __asm__("" : "+x"(v));
#elif defined(__GNUC__) && defined(__aarch64__)
    __asm__("" : "+w"(v));
#else
    volatile double t = v;
    v = t;
#endif
    return v;
}

}  // namespace

Generator::Generator(std::uint64_t seed) {
    const auto words = detail::seed_generate_state(detail::seed_pool(detail::seed_entropy(seed)), 8);
    std::uint64_t w[4];
    for (std::size_t k = 0; k < 4; ++k)
        w[k] = static_cast<std::uint64_t>(words[2 * k]) | (static_cast<std::uint64_t>(words[2 * k + 1]) << 32);
    const uint128 initstate = (static_cast<uint128>(w[0]) << 64) | w[1];
    const uint128 initseq = (static_cast<uint128>(w[2]) << 64) | w[3];
    inc_ = (initseq << 1) | 1U;
    state_ = (initstate + inc_) * PCG_MULTIPLIER + inc_;
    set_steps();
}

Generator::Generator(const Pcg64State& state)
    : state_(state.state), inc_(state.inc), uinteger_(state.uinteger), has_uint32_(state.has_uint32) {
    set_steps();
}

void Generator::set_steps() noexcept {
    const uint128 m2 = PCG_MULTIPLIER * PCG_MULTIPLIER;
    mult4_ = m2 * m2;
    inc4_ = inc_ * (1U + PCG_MULTIPLIER + m2 + m2 * PCG_MULTIPLIER);
}

Generator default_rng(std::uint64_t seed) { return Generator(seed); }

std::uint64_t Generator::lemire32_retry(std::uint64_t m, std::uint32_t excl) {
    const std::uint32_t threshold = static_cast<std::uint32_t>(0U - excl) % excl;
    while (static_cast<std::uint32_t>(m) < threshold) m = static_cast<std::uint64_t>(next_uint32()) * excl;
    return m;
}

std::uint64_t Generator::bounded64(std::uint64_t rng) {
    if (rng == ~std::uint64_t{0}) return next_uint64();
    const std::uint64_t excl = rng + 1U;
    uint128 m = static_cast<uint128>(next_uint64()) * excl;
    if (static_cast<std::uint64_t>(m) < excl) {
        const std::uint64_t threshold = (0U - excl) % excl;
        while (static_cast<std::uint64_t>(m) < threshold) m = static_cast<uint128>(next_uint64()) * excl;
    }
    return static_cast<std::uint64_t>(m >> 64);
}

std::uint64_t Generator::interval(std::uint64_t max) {
    if (max == 0) return 0;
    std::uint64_t mask = max;
    mask |= mask >> 1;
    mask |= mask >> 2;
    mask |= mask >> 4;
    mask |= mask >> 8;
    mask |= mask >> 16;
    mask |= mask >> 32;
    std::uint64_t v;
    if (max <= 0xFFFFFFFFULL) {
        while ((v = next_uint32() & mask) > max) {
        }
    } else {
        while ((v = next_uint64() & mask) > max) {
        }
    }
    return v;
}

std::vector<std::int64_t> Generator::integers(std::int64_t low, std::int64_t high, std::size_t n) {
    if (high <= low) detail::throw_invalid("low >= high");
    const std::uint64_t rng = static_cast<std::uint64_t>(high) - 1U - static_cast<std::uint64_t>(low);
    std::vector<std::int64_t> out(n);
    for (auto& v : out) v = static_cast<std::int64_t>(static_cast<std::uint64_t>(low) + bounded(rng));
    return out;
}

// Ziggurat from a first draw that may miss the fast path: wedge and tail tests, then redraws.
double Generator::standard_normal_slow(std::uint64_t b) {
    for (;;) {
        const unsigned idx = static_cast<unsigned>(b & 0xFF);
        const std::uint64_t rabs = (b >> 9) & ZIG_MANTISSA_MASK;
        const double x = static_cast<double>(static_cast<std::int64_t>(rabs)) * ZIG_WI[b & 0x1FF];
        if (rabs < ZIG_KI[idx]) return x;
        if (idx == 0) {
            for (;;) {
                const double xx = -detail::ZIG_NORM_INV_R * std::log1p(-random());
                const double yy = -std::log1p(-random());
                if (yy + yy > xx * xx)
                    return ((rabs >> 8) & 1) ? -(detail::ZIG_NORM_R + xx) : detail::ZIG_NORM_R + xx;
            }
        }
        const double u = random();
        if (rounded((ZIG_FI[idx - 1] - ZIG_FI[idx]) * u) + ZIG_FI[idx] < std::exp(-0.5 * x * x)) return x;
        b = next_uint64();
    }
}

// Four interleaved LCG chains, lane k holding the state of the k-th next draw. Each accepted fast-path
// draw advances one lane; a draw that misses the fast path hands its lane state to the scalar slow
// path, and the chains restart from wherever that left the stream.
template <bool WRITE>
void Generator::normal_stream(double* out, std::size_t n) {
    const uint128 mult = PCG_MULTIPLIER;
    const uint128 inc = inc_;
    const uint128 mult4 = mult4_;
    const uint128 inc4 = inc4_;
    std::size_t i = 0;
    auto lane = [&](uint128 st) {
        const std::uint64_t b = detail::pcg_output(st);
        const unsigned idx = static_cast<unsigned>(b & 0xFF);
        const std::uint64_t rabs = (b >> 9) & ZIG_MANTISSA_MASK;
        if (rabs < ZIG_KI[idx]) [[likely]] {
            if constexpr (WRITE) out[i] = static_cast<double>(static_cast<std::int64_t>(rabs)) * ZIG_WI[b & 0x1FF];
            ++i;
            return true;
        }
        state_ = st;
        const double v = standard_normal_slow(b);
        if constexpr (WRITE) out[i] = v;
        ++i;
        return false;
    };
    while (n - i >= 4) {
        uint128 s0 = state_ * mult + inc;
        uint128 s1 = s0 * mult + inc;
        uint128 s2 = s1 * mult + inc;
        uint128 s3 = s2 * mult + inc;
        for (;;) {
            if (!lane(s0) || !lane(s1) || !lane(s2) || !lane(s3)) break;
            if (n - i < 4) {
                state_ = s3;
                break;
            }
            s0 = s0 * mult4 + inc4;
            s1 = s1 * mult4 + inc4;
            s2 = s2 * mult4 + inc4;
            s3 = s3 * mult4 + inc4;
        }
    }
    for (; i < n; ++i) {
        const double v = standard_normal();
        if constexpr (WRITE) out[i] = v;
    }
}

void Generator::standard_normal(double* out, std::size_t n) { normal_stream<true>(out, n); }

Matrix Generator::standard_normal(std::size_t rows, std::size_t cols) {
    Matrix m(rows, cols);
    standard_normal(m.data(), m.size());
    return m;
}

void Generator::skip_standard_normal(std::size_t n) { normal_stream<false>(nullptr, n); }

double Generator::uniform(double low, double high) {
    const double range = high - low;
    if (!std::isfinite(range)) detail::throw_invalid("high - low range exceeds valid bounds");
    if (std::signbit(range)) detail::throw_invalid("high - low < 0");
    return low + rounded(range * random());
}

std::vector<std::size_t> Generator::choice_without_replacement(std::size_t n, std::size_t k) {
    if (n == 0 && k != 0) detail::throw_invalid("a cannot be empty unless no samples are taken");
    if (k > n) detail::throw_invalid("Cannot take a larger sample than population when replace is False");

    if (n > 10000 && k > n / 50) {
        // Partial Fisher-Yates over the tail of 0..n-1.
        std::vector<std::size_t> pool(n);
        std::iota(pool.begin(), pool.end(), std::size_t{0});
        const std::size_t stop = std::max<std::size_t>(n - k, 1);
        for (std::size_t i = n - 1; i >= stop; --i) std::swap(pool[i], pool[static_cast<std::size_t>(bounded(i))]);
        return {pool.begin() + static_cast<std::ptrdiff_t>(n - k), pool.end()};
    }

    // Floyd's sampling, then a Lemire-driven shuffle of the selection.
    std::vector<std::size_t> sel;
    sel.reserve(k);
    constexpr std::size_t LINEAR_LIMIT = 32;
    std::unordered_set<std::size_t> seen;
    if (k > LINEAR_LIMIT) seen.reserve(2 * k);
    for (std::size_t j = n - k; j < n; ++j) {
        auto t = static_cast<std::size_t>(bounded(j));
        const bool taken = k > LINEAR_LIMIT ? !seen.insert(t).second
                                            : std::find(sel.begin(), sel.end(), t) != sel.end();
        if (taken) {
            t = j;
            if (k > LINEAR_LIMIT) seen.insert(t);
        }
        sel.push_back(t);
    }
    for (std::size_t i = k; i > 1;) {
        --i;
        std::swap(sel[i], sel[static_cast<std::size_t>(bounded(i))]);
    }
    return sel;
}

}  // namespace brindlecap::numeric
