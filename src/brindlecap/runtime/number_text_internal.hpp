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

// The double nearest to m * 10**e (ties to even), for m below 10**19, when it comes without the
// general conversion: one correctly rounded operation on exact operands (m up to 2**53, 10**|e|
// up to 10**22), or else a first guess from double arithmetic, checked and moved by one step at a
// time against the exact value in 128-bit integers (e from -22 to 18). nullopt otherwise: the
// caller converts the text the general way.
std::optional<double> nearest_double(std::uint64_t m, int e) noexcept;

// float(text) of Python: surrounding whitespace, a sign, nan/inf/infinity in any case, and
// underscores between digits are accepted; ValueError "could not convert string to float: 'x'".
double parse_python_float(std::string_view text);

// ---- nearest_double -------------------------------------------------------------------------

namespace number_text_detail {

__extension__ typedef unsigned __int128 u128;

inline constexpr std::array<double, 23> POWERS = {1e0,  1e1,  1e2,  1e3,  1e4,  1e5,  1e6,  1e7,
                                                  1e8,  1e9,  1e10, 1e11, 1e12, 1e13, 1e14, 1e15,
                                                  1e16, 1e17, 1e18, 1e19, 1e20, 1e21, 1e22};

inline constexpr std::array<double, 23> INVERSE_POWERS = {1e-0,  1e-1,  1e-2,  1e-3,  1e-4,  1e-5,  1e-6,  1e-7,
                                                          1e-8,  1e-9,  1e-10, 1e-11, 1e-12, 1e-13, 1e-14, 1e-15,
                                                          1e-16, 1e-17, 1e-18, 1e-19, 1e-20, 1e-21, 1e-22};

// 10**k exactly, and its bit length.
inline constexpr std::array<u128, 23> POWERS_EXACT = [] {
    std::array<u128, 23> p{};
    p[0] = 1;
    for (std::size_t k = 1; k < p.size(); ++k) p[k] = p[k - 1] * 10;
    return p;
}();
inline constexpr std::array<int, 23> POWER_BITS = [] {
    std::array<int, 23> b{};
    for (std::size_t k = 0; k < b.size(); ++k) {
        const auto high = static_cast<std::uint64_t>(POWERS_EXACT[k] >> 64);
        b[k] = high != 0 ? 64 + std::bit_width(high) : std::bit_width(static_cast<std::uint64_t>(POWERS_EXACT[k]));
    }
    return b;
}();

}  // namespace number_text_detail

inline std::optional<double> nearest_double(std::uint64_t m, int e) noexcept {
    using namespace number_text_detail;
    if (m == 0) return 0.0;
    if (e < -22 || e > 22) return std::nullopt;
    const auto k = static_cast<std::size_t>(e < 0 ? -e : e);
    if (m <= (std::uint64_t{1} << 53)) {  // exact operands, one rounding
        const auto exact = static_cast<double>(static_cast<std::int64_t>(m));
        return e < 0 ? exact / POWERS[k] : exact * POWERS[k];
    }
    if (e > 18) return std::nullopt;
    // Within two units in the last place (three roundings), and cheaper than a division.
    const double approx = m < (std::uint64_t{1} << 63) ? static_cast<double>(static_cast<std::int64_t>(m)) : static_cast<double>(m);
    double d = approx * (e < 0 ? INVERSE_POWERS[k] : POWERS[k]);
    // x = m * 10**e lies strictly between the midpoints to d's neighbours, (2M - 1) 2**(E-1) and
    // (2M + 1) 2**(E-1), when d = M 2**E is the nearest double. Both sides times 2 * 10**-e * 2**-E
    // (of the two factors the ones below one move to the other side) are integers below 2**127.
    const int up = e > 0 ? e : 0;
    const int down = e < 0 ? -e : 0;
    for (int step = 0; step < 4; ++step) {
        const auto bits = std::bit_cast<std::uint64_t>(d);
        const auto biased = static_cast<int>(bits >> 52);
        const std::uint64_t M = (bits & ((std::uint64_t{1} << 52) - 1)) | (std::uint64_t{1} << 52);
        // Below the smallest significand the gap under d is half the one above: left to the
        // general conversion, as are results that are no normal doubles.
        if (biased == 0 || biased >= 0x7FF || M == (std::uint64_t{1} << 52)) return std::nullopt;
        const int E = biased - 1075;
        const int left_shift = E < 0 ? -E : 0;
        const int right_shift = E > 0 ? E : 0;
        if (std::bit_width(m) + 1 + POWER_BITS[static_cast<std::size_t>(up)] + left_shift > 127 ||
            54 + POWER_BITS[static_cast<std::size_t>(down)] + right_shift > 127) {
            return std::nullopt;
        }
        const u128 scaled = up == 0 ? static_cast<u128>(m) : static_cast<u128>(m) * POWERS_EXACT[static_cast<std::size_t>(up)];
        const u128 x2 = scaled << (left_shift + 1);
        const u128 unit = POWERS_EXACT[static_cast<std::size_t>(down)] << right_shift;
        const u128 low = static_cast<u128>(2 * M - 1) * unit;
        const u128 high = low + 2 * unit;
        if (x2 > low && x2 < high) return d;
        if (x2 == low) return std::bit_cast<double>(bits - (M & 1));   // a tie: the even one
        if (x2 == high) return std::bit_cast<double>(bits + (M & 1));  // (M + 1 may start the next binade)
        d = std::bit_cast<double>(x2 < low ? bits - 1 : bits + 1);
    }
    return std::nullopt;
}

}  // namespace brindlecap::runtime
