#pragma once
// The product field ledger and per-layer views of the registry.

#include <array>
#include <span>
#include <string_view>
#include <utility>

#include "brindlecap/functions/filtrations_evaluation/product/fields.hpp"

namespace brindlecap::functions::filtrations_evaluation::detail {


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

}  // namespace brindlecap::functions::filtrations_evaluation::detail
