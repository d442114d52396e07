#pragma once
// The process-wide operator cache behind FunctionStore::cached_operator.

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "brindlecap/functions/registry_and_store/store.hpp"

namespace brindlecap::functions::registry_and_store::detail {

// (store identity, operator name) of every cached operator.
std::vector<std::pair<std::uint64_t, std::string>> operator_cache_keys();
// Drops every cached operator; stores load them afresh.
void clear_operator_cache();

}  // namespace brindlecap::functions::registry_and_store::detail
