#pragma once
// Filtrations over investment products of the layer below the one being built: the registry of
// source-backed product fields and the evaluation of a filter tree over prior-layer products.

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "brindlecap/functions/filtrations_evaluation/tree/records.hpp"
#include "brindlecap/functions/filtrations_evaluation/tree/resolve.hpp"
#include "brindlecap/functions/registry_and_store/store.hpp"
#include "brindlecap/runtime/value.hpp"

namespace brindlecap::functions::filtrations_evaluation {

// Qualified field name ("signal.is_sharpe") -> registry entry dict with the keys field_name,
// product_layer, investment_product_type, field_type, field_category, source, source_path,
// source_field, source_kind, source_owner, source_ledger. Built afresh on every call: 27 entries,
// the signal fields first, then strategy, then allocation.
runtime::Dict build_product_filtration_field_registry();

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
    const runtime::Value& products, const FilterNode* filter_tree,
    const std::string& investment_product_type,
    std::function<runtime::Value(const runtime::Dict&)> reduction_fn = {},
    const FunctionStore* store = nullptr);

namespace detail {

struct ProductFieldSource {
    std::string_view source_path;
    std::string_view source_field;
    std::string_view needle;
    std::string_view source_kind;
    std::string_view owner;
};

struct ProductFieldSpec {
    std::string_view field_category;
    std::string_view field_name;
    std::string_view field_type;
    std::span<const ProductFieldSource> source_ledger;  // the first is the primary source
};

extern const std::array<ProductFieldSpec, 9> PRODUCT_FILTRATION_FIELDS;

// Product layer being built -> the layer whose products it filters, in table order.
extern const std::array<std::pair<std::string_view, std::string_view>, 3> PRODUCT_PRIOR_LAYER;

// A new source record dict with the five entries in argument order.
runtime::Dict product_field_source(std::string_view source_path, std::string_view source_field,
                                   std::string_view needle, std::string_view source_kind,
                                   std::string_view owner);

// Bare field name -> registry entry for the fields of one layer, in registry order.
// FilterValidationError when the layer has none.
runtime::Dict product_field_registry_for_layer(std::string_view prior_layer);

// A dict entry's value under key, or an object entry's attribute; `fallback` when absent.
runtime::Value product_registry_entry_value(const runtime::Value& entry, std::string_view key,
                                            runtime::Value fallback = {});

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

}  // namespace detail

}  // namespace brindlecap::functions::filtrations_evaluation
