#pragma once
// Readable gtest failure output for runtime values.

#include <optional>
#include <ostream>

#include "brindlecap/runtime/text.hpp"
#include "brindlecap/runtime/value.hpp"

namespace brindlecap::runtime {

inline void PrintTo(const Value& v, std::ostream* os) { *os << repr(v); }
inline void PrintTo(const Dict& d, std::ostream* os) { *os << repr(Value(d)); }

}  // namespace brindlecap::runtime
