#pragma once
// The value of decimal number text: the one place that turns digits into numbers, for the readers
// that accept numbers (JSON, inline tree expressions: each matches its own grammar first) and
// for float() of a string.

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

// float(text) of Python: surrounding whitespace, a sign, nan/inf/infinity in any case, and
// underscores between digits are accepted; ValueError "could not convert string to float: 'x'".
double parse_python_float(std::string_view text);

}  // namespace brindlecap::runtime
