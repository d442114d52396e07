#pragma once
// The steps of product-layer resolution.

#include <functional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "brindlecap/functions/filtrations_evaluation/product/resolve.hpp"

namespace brindlecap::functions::filtrations_evaluation::detail {

// resolve_product_filtrations for callers whose tree may be absent (FilterValidationError
// "product filtration tree is required" at its place among the checks).
ProductFiltrationResult resolve_product_filtrations(const runtime::Value& products, const FilterNode* filter_tree,
                                                    const std::string& investment_product_type,
                                                    std::function<runtime::Value(const runtime::Dict&)> reduction_fn,
                                                    const registry_and_store::FunctionStore* store);

void validate_product_filter_tree(const FilterNode& filter_tree, std::string_view prior_layer,
                                  const runtime::Dict& field_registry,
                                  const runtime::Dict& product_metadata);

// (field name, operator name) for every node with a `field` parameter, pre-order.
std::vector<std::pair<std::string, std::string>> product_filter_field_references(
    const FilterNode& filter_tree);

// A childless `filtration` node without a true select_all.
bool is_implicit_product_select_all(const FilterNode& filter_tree);

// Text id -> product for the products of prior_layer, in ascending order of the caller's ids.
runtime::Dict prior_layer_products(const runtime::Dict& products, std::string_view prior_layer);

// The product's investment_product_type (top level, else nested metadata), or None.
runtime::Value product_layer(const runtime::Value& product);

// All metadata of a product: nested metadata first, then top-level entries, then product_id.
runtime::Dict product_metadata(const runtime::Value& product_id, const runtime::Value& product);

// The product's metadata restricted to the registry's fields, in registry order.
runtime::Dict registered_product_metadata(const runtime::Value& product_id,
                                          const runtime::Value& product,
                                          const runtime::Dict& field_registry);

registry_and_store::FunctionStore default_product_filtration_store();

}  // namespace brindlecap::functions::filtrations_evaluation::detail
