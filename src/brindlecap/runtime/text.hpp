#pragma once
// Python's text conversion. Every message of the library goes through these functions.

#include <string>
#include <string_view>
#include <vector>

#include "brindlecap/runtime/value.hpp"

namespace brindlecap::runtime {

// repr(): strings quoted ('a', "it's"), floats shortest round-trip (0.1, 2.0, 1e-05, 1e+16,
// nan, inf, -0.0), True/False/None, [a, b], {k: v}.
std::string repr(const Value& v);
std::string repr(double d);
std::string repr(std::string_view s);
// str(): a string unchanged, an object by its own str(), everything else as repr().
std::string str(const Value& v);
// Type names: int, float, str, bool, NoneType, list, dict, or the object's own type name.
std::string type_name(const Value& v);

// ['a', 'b'] for a list of strings (Python's list display of strings).
std::string repr_list(const std::vector<std::string>& items);
// {'a', 'b'} set display; items are written in the given order (callers sort).
std::string set_display(const std::vector<std::string>& items);
// {1, 3} display of check numbers, given order.
std::string int_set_display(const std::vector<long long>& items);

// printf-style fixed decimals: fixed(0.1, 4) == "0.1000".
std::string fixed(double d, int decimals);

}  // namespace brindlecap::runtime
