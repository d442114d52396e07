#pragma once
// JSON reading and writing for runtime values, with the NaN, Infinity and -Infinity literals.

#include <string>
#include <string_view>

#include "brindlecap/runtime/value.hpp"

namespace brindlecap::runtime {

// Deepest nesting of arrays and objects that parse_json and to_json accept.
inline constexpr int JSON_MAX_DEPTH = 10000;

// Objects become Dicts in file order (a repeated key keeps its first position and last value),
// arrays Lists; integers int64 (out of range: double); numbers with a fraction or exponent double.
// ValueError "<what>: line L column C (char N)" on malformed text (column in code points).
Value parse_json(std::string_view text);

// indent < 0: one line with ", " and ": " separators; indent >= 0: one item per line, indented
// by `indent` spaces per level. Finite doubles are written as repr() writes them (1.0 stays 1.0).
// Dict keys may be str, int, float, bool or None (written as strings); other keys and Objects
// raise TypeError; a list or dict that contains itself raises ValueError.
std::string to_json(const Value& value, int indent = -1);

// parse_json over a file's contents; errors name the file (RuntimeError when it can't be read).
Value read_json_file(const std::string& path);

}  // namespace brindlecap::runtime
