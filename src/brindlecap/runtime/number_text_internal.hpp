#pragma once
// The value of decimal number text, shared by the readers that accept numbers (JSON, inline
// tree expressions); each reader matches the text against its own grammar first.

#include <optional>
#include <string_view>

#include "brindlecap/runtime/value.hpp"

namespace brindlecap::runtime {

// text: an optional '-', digits with an optional '.' and fraction, an optional exponent
// ([eE][-+]?digits). integral (no fraction, no exponent) and within int64: an int; otherwise the
// nearest double, and beyond the double range inf or 0 by magnitude, with the text's sign.
// nullopt when the text is not such a number.
std::optional<Value> number_value(std::string_view text, bool integral);

}  // namespace brindlecap::runtime
