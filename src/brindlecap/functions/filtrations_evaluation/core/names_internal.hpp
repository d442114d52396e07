#pragma once
// The runtime's value types under short names, for the module's sources and internal headers.
// Installed headers write runtime::Dict and runtime::Value: the module's public namespace holds
// its own names only.

#include "brindlecap/runtime/value.hpp"

namespace brindlecap::functions::filtrations_evaluation {

using runtime::Dict;
using runtime::DictPtr;
using runtime::Value;

}  // namespace brindlecap::functions::filtrations_evaluation
