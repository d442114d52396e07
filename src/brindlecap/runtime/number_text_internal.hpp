#pragma once
// The value of decimal number text: the one place that turns digits into numbers, for the readers
// that accept numbers (JSON, inline tree expressions: each matches its own grammar first) and
// for float() of a string.

#include <array>
#include <bit>
#include <cstdint>
#include <optional>
#include <string_view>

#include "brindlecap/runtime/value.hpp"

namespace brindlecap::runtime {

// An ASCII decimal digit (std::isdigit depends on the locale).
constexpr bool is_digit(char c) noexcept { return c >= '0' && c <= '9'; }

// text: an optional '-', digits with an optional '.' and fraction, an optional exponent
// ([eE][-+]?digits). integral (no fraction, no exponent): an int, and ValueError "integer ... does
// not fit in 64 bits" beyond int64 (never a silently rounded double); otherwise the nearest
// double, and beyond the double range inf or 0 by magnitude, with the text's sign. nullopt when
// the text is not such a number.
std::optional<Value> number_value(std::string_view text, bool integral);

// The double nearest to the number text above (also ".5" and "5."), or nullopt.
std::optional<double> decimal_to_double(std::string_view text);

// The double nearest to m * 10**e (ties to even) for e from -22 to 22, without the general
// conversion; nullopt for other exponents (the caller converts the text the general way).
std::optional<double> nearest_double(std::uint64_t m, int e) noexcept;

// float(text) of Python: surrounding whitespace, a sign, nan/inf/infinity in any case, and
// underscores between digits are accepted; ValueError "could not convert string to float: 'x'".
double parse_python_float(std::string_view text);

// ---- nearest_double -------------------------------------------------------------------------

namespace number_text_detail {

__extension__ typedef unsigned __int128 u128;

inline constexpr int MIN_POWER = -22;
inline constexpr int MAX_POWER = 22;

// 5**q for q from MIN_POWER to MAX_POWER, times the power of two that brings it to [2**127,
// 2**128): exact for q >= 0 (5**22 has 52 bits), one above the truncated value for q < 0.
struct PowerOfFive {
    std::uint64_t high;
    std::uint64_t low;
};
inline constexpr std::array<PowerOfFive, MAX_POWER - MIN_POWER + 1> POWERS_OF_FIVE = [] {
    std::array<PowerOfFive, MAX_POWER - MIN_POWER + 1> out{};
    for (int q = MIN_POWER; q <= MAX_POWER; ++q) {
        std::uint64_t p = 1;
        for (int k = 0; k < (q < 0 ? -q : q); ++k) p *= 5;
        u128 c = 0;
        if (q >= 0) {
            c = static_cast<u128>(p) << (128 - std::bit_width(p));
        } else {
            // floor(2**(z + 127) / p) + 1 for p of z bits, in two steps of 64 bits.
            const u128 top = static_cast<u128>(1) << (std::bit_width(p) + 127 - 64);
            c = ((top / p) << 64) + (((top % p) << 64) / p) + 1;
        }
        out[static_cast<std::size_t>(q - MIN_POWER)] = {static_cast<std::uint64_t>(c >> 64), static_cast<std::uint64_t>(c)};
    }
    return out;
}();

}  // namespace number_text_detail

// The significand times the scaled power of five, the top 64 bits of the product and the next 64
// (the second word's share only where it can reach the bits kept): 54 bits of the result and
// a rounding bit under them, enough to round correctly for every m and q in this range (the
// product errs below the bits kept); an exact tie happens only for q from -4 to 23, where it is
// recognised and goes to the even neighbour.
inline std::optional<double> nearest_double(std::uint64_t m, int e) noexcept {
    using namespace number_text_detail;
    if (m == 0) return 0.0;
    if (e < MIN_POWER || e > MAX_POWER) return std::nullopt;
    const PowerOfFive& t = POWERS_OF_FIVE[static_cast<std::size_t>(e - MIN_POWER)];
    const int lz = std::countl_zero(m);
    const std::uint64_t w = m << lz;
    const u128 first = static_cast<u128>(w) * t.high;
    auto high = static_cast<std::uint64_t>(first >> 64);
    auto low = static_cast<std::uint64_t>(first);
    if ((high & 0x1FF) == 0x1FF) {
        const auto second = static_cast<std::uint64_t>((static_cast<u128>(w) * t.low) >> 64);
        low += second;
        if (second > low) ++high;
    }
    const int upper = static_cast<int>(high >> 63);
    const int shift = upper + 9;
    std::uint64_t mantissa = high >> shift;  // 54 bits
    // floor(e * log2(10)) + 63: the product's binary exponent; plus the bias.
    int biased = ((217706 * e) >> 16) + 63 + upper - lz + 1023;
    if (low <= 1 && e >= -4 && (mantissa & 3) == 1 && (mantissa << shift) == high) mantissa &= ~std::uint64_t{1};
    mantissa += mantissa & 1;
    mantissa >>= 1;
    if (mantissa >= (std::uint64_t{2} << 52)) {
        mantissa = std::uint64_t{1} << 52;
        ++biased;
    }
    mantissa &= ~(std::uint64_t{1} << 52);
    return std::bit_cast<double>(mantissa | (static_cast<std::uint64_t>(biased) << 52));
}

}  // namespace brindlecap::runtime
