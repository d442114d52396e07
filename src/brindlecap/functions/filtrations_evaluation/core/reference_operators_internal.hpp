#pragma once
// Independent reference implementations of the leaf built-ins, in field-leaf form. Each row of
// the operator table names its own; the checks reach them through get_reference_operator.

#include "brindlecap/functions/filtrations_evaluation/core/names_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/core/operator.hpp"

namespace brindlecap::functions::filtrations_evaluation::detail {

struct BuiltinOperatorFacts;

// The comparisons with the `value` parameter: the values' own ordering; eq and neq with an
// absolute tolerance of 1e-12 on numbers.
Operator greater_reference(const BuiltinOperatorFacts& self);
Operator greater_equal_reference(const BuiltinOperatorFacts& self);
Operator less_reference(const BuiltinOperatorFacts& self);
Operator less_equal_reference(const BuiltinOperatorFacts& self);
Operator equal_reference(const BuiltinOperatorFacts& self);
Operator not_equal_reference(const BuiltinOperatorFacts& self);
// low <= value <= high.
Operator range_reference(const BuiltinOperatorFacts& self);
// A value, or one of a list's members, among `values`.
Operator membership_reference(const BuiltinOperatorFacts& self);
// The values at or beyond the cutoff of n (or pct) positions in self's direction, ties included.
Operator rank_reference(const BuiltinOperatorFacts& self);

}  // namespace brindlecap::functions::filtrations_evaluation::detail
