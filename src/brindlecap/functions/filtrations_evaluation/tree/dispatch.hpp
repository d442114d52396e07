#pragma once
// The boilerplate around every operator call: parameter checks, field preparation, dispatch
// by calling form, result validation.

#include <string_view>
#include <vector>

#include "brindlecap/functions/filtrations_evaluation/tree/records.hpp"

namespace brindlecap::functions::filtrations_evaluation::detail {

// Checks pct / n / low-high, calls impl in the form chosen by children and params, and
// returns the validated result. `children` only matters by its emptiness.
IdSet prepare_and_dispatch(const Operator& impl, const SignalPool& pool, const Dict& params,
                           std::size_t children_count, const std::vector<IdSet>& children_results,
                           std::string_view operator_name = "");

PreparedField preprocess_field(const SignalPool& pool, const Dict& params,
                               std::string_view operator_name);

// Turns an operator's result into a set of pool identifiers, or raises FiltrationSubsetError.
IdSet postprocess_result(OperatorResult result, const IdSet& pool_keys);

}  // namespace brindlecap::functions::filtrations_evaluation::detail
