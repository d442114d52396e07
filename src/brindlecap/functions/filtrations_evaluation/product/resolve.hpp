#pragma once
// Filtrations over investment products of the layer below the one being built.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "brindlecap/functions/filtrations_evaluation/core/errors.hpp"
#include "brindlecap/functions/filtrations_evaluation/core/operator.hpp"
#include "brindlecap/functions/filtrations_evaluation/core/pool.hpp"
#include "brindlecap/functions/filtrations_evaluation/core/records.hpp"
#include "brindlecap/functions/filtrations_evaluation/tree/resolve.hpp"
#include "brindlecap/functions/registry_and_store/store.hpp"
#include "brindlecap/runtime/value.hpp"

namespace brindlecap::functions::filtrations_evaluation {

struct ProductFiltrationResult {
    // One list object under three names.
    runtime::ListPtr passing_ids = std::make_shared<runtime::List>();
    runtime::ListPtr selected_ids = passing_ids;
    runtime::ListPtr product_ids = passing_ids;
    std::string product_layer;
    std::string investment_product_type;
    std::int64_t total_pool_size = 0;
    std::vector<FilterDiagnostic> filter_diagnostics;
    // Selected identifier -> the caller's own product value, in passing_ids order.
    runtime::Dict selected_products;
    runtime::Value reduction_result;

    // The nine entries in field order; diagnostics as dicts (filter_description, passing_count,
    // function_name); the three id entries share one list.
    runtime::Dict to_dict() const;
};

// Selects the prior-layer products of `products` (a dict id -> product dict or object) that
// pass `filter_tree`. Products are never modified. Without a store a default one is built for
// the call; `reduction_fn`, when given, is called once with the selected products.
ProductFiltrationResult resolve_product_filtrations(
    const runtime::Value& products, const FilterNode& filter_tree,
    const std::string& investment_product_type,
    std::function<runtime::Value(const runtime::Dict&)> reduction_fn = {},
    const registry_and_store::FunctionStore* store = nullptr);

}  // namespace brindlecap::functions::filtrations_evaluation
