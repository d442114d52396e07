#pragma once
// The boilerplate around every operator call: parameter checks, field preparation, dispatch
// by calling form, result validation.

#include <cstddef>
#include <optional>
#include <string_view>
#include <vector>

#include "brindlecap/functions/filtrations_evaluation/core/names_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/core/operator.hpp"
#include "brindlecap/functions/filtrations_evaluation/core/pool.hpp"

namespace brindlecap::functions::filtrations_evaluation::detail {

// Checks pct / n / low-high, calls impl in the form chosen by children and params, and
// returns the validated result. `children_count` only matters by being zero or not.
// `holder`, when a caller already found it, is the pool position of the first signal holding
// the field, so that the pool is not searched again.
IdSet prepare_and_dispatch(const Operator& impl, const SignalPool& pool, const Dict& params,
                           std::size_t children_count, const std::vector<IdSet>& children_results,
                           std::string_view operator_name = "", std::optional<std::size_t> holder = std::nullopt);

PreparedField preprocess_field(const SignalPool& pool, const Dict& params, std::string_view operator_name,
                               std::optional<std::size_t> holder = std::nullopt);

// Turns an operator's result into a set of pool identifiers, or raises FiltrationSubsetError.
IdSet postprocess_result(OperatorResult result, const IdSet& pool_keys);

// Range checks of pct (when present), n and low/high; comparisons of incomparable values
// raise TypeError.
void check_pct(const Dict& params);
void check_count(const Value& n);
void check_bounds(const Value& low, const Value& high);

}  // namespace brindlecap::functions::filtrations_evaluation::detail
