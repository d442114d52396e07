#pragma once
// The registry of source-backed product fields that product filters may test.

#include "brindlecap/runtime/value.hpp"

namespace brindlecap::functions::filtrations_evaluation {

// Qualified field name ("signal.is_sharpe") -> registry entry dict with the keys field_name,
// product_layer, investment_product_type, field_type, field_category, source, source_path,
// source_field, source_kind, source_owner, source_ledger. Built afresh on every call: 27 entries,
// the signal fields first, then strategy, then allocation.
runtime::Dict build_product_filtration_field_registry();

}  // namespace brindlecap::functions::filtrations_evaluation
