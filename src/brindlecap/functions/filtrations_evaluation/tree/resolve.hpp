#pragma once
// Depth-first evaluation of a filter tree over a signal pool.

#include <string>
#include <string_view>
#include <vector>

#include "brindlecap/functions/filtrations_evaluation/tree/records.hpp"
#include "brindlecap/functions/registry_and_store/store.hpp"

namespace brindlecap::functions::filtrations_evaluation {

using registry_and_store::FunctionStore;

// Passing identifiers (sorted by code point) and one diagnostic per node in post-order.
// Raises EmptyPoolError, FilterValidationError, FiltrationSubsetError, EmptyFiltrationError.
FiltrationResult resolve_filtrations(const SignalPool& useful_signals, const FilterNode& filter_tree,
                                     const FunctionStore& store);

namespace detail {
// The operator of a name, loaded once per store (cached on the store).
Operator load_operator(const FunctionStore& store, const std::string& name);
IdSet evaluate_node(const FilterNode& node, const SignalPool& pool, const FunctionStore& store,
                    std::vector<FilterDiagnostic>& diagnostics);
std::string build_filter_description(const FilterNode& node);
}  // namespace detail

}  // namespace brindlecap::functions::filtrations_evaluation
