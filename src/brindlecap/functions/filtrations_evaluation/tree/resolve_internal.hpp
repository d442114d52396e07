#pragma once
// Operator loading and the evaluation of one node.

#include <string>
#include <vector>

#include "brindlecap/functions/filtrations_evaluation/core/names_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/core/operator.hpp"
#include "brindlecap/functions/filtrations_evaluation/tree/resolve.hpp"

namespace brindlecap::functions::filtrations_evaluation::detail {

// The operator of a name, loaded once per store (cached on the store).
Operator load_operator(const registry_and_store::FunctionStore& store, const std::string& name);
IdSet evaluate_node(const FilterNode& node, const SignalPool& pool, const registry_and_store::FunctionStore& store,
                    std::vector<FilterDiagnostic>& diagnostics);
std::string build_filter_description(const FilterNode& node);

// resolve_filtrations with the passing signals as pool positions, in the order of their sorted
// identifiers (for callers that keep objects of their own for the identifiers).
struct PassingPositions {
    std::vector<std::uint32_t> positions;
    std::vector<std::uint32_t> ranks;  // in the pool's identifier order, when known (else empty)
    std::vector<FilterDiagnostic> diagnostics;
};
PassingPositions resolve_positions(const SignalPool& useful_signals, const FilterNode& filter_tree,
                                   const registry_and_store::FunctionStore& store);

}  // namespace brindlecap::functions::filtrations_evaluation::detail
