#pragma once
// The module's operator sets, the expected metadata fields and field type inference.

#include <functional>
#include <set>
#include <string>
#include <string_view>

#include "brindlecap/functions/filtrations_evaluation/core/vocabulary.hpp"
#include "brindlecap/runtime/value.hpp"

namespace brindlecap::functions::filtrations_evaluation::detail {

using NameSet = std::set<std::string, std::less<>>;
extern const NameSet COMPARISON_OPS;
extern const NameSet RANK_OPS;
extern const NameSet BOOLEAN_OPS;
extern const NameSet EXPECTED_METADATA_FIELDS;

// Field type of a value: boolean, numeric (refined to date for names ending in _date or
// _timestamp when date_refinement is set), list_str, categorical, else numeric.
FieldType infer_field_type(const runtime::Value& value, std::string_view field_name, bool date_refinement);

}  // namespace brindlecap::functions::filtrations_evaluation::detail
