#pragma once
// Depth-first evaluation of a filter tree over a signal pool.

#include "brindlecap/functions/filtrations_evaluation/core/errors.hpp"
#include "brindlecap/functions/filtrations_evaluation/core/pool.hpp"
#include "brindlecap/functions/filtrations_evaluation/core/records.hpp"
#include "brindlecap/functions/registry_and_store/store.hpp"

namespace brindlecap::functions::filtrations_evaluation {

// Passing identifiers (sorted by code point) and one diagnostic per node in post-order.
// Raises EmptyPoolError, FilterValidationError, FiltrationSubsetError, EmptyFiltrationError.
FiltrationResult resolve_filtrations(const SignalPool& useful_signals, const FilterNode& filter_tree,
                                     const registry_and_store::FunctionStore& store);

}  // namespace brindlecap::functions::filtrations_evaluation
