#pragma once
// How operator calls recognise a built-in operator, and what a built-in field leaf gets instead
// of a PreparedField: its field's column.

#include <functional>
#include <optional>

#include "brindlecap/functions/filtrations_evaluation/core/columns_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/core/names_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/core/operator.hpp"

namespace brindlecap::functions::filtrations_evaluation::detail {

struct ColumnCall {
    const Column& column;
    const Dict& params;
    const KeyIndexPtr& universe;
};

// nullopt where the column cannot give the row path's answer exactly; the call then goes the
// row way (a PreparedField), which also raises whatever that way raises.
using ColumnKernel = std::function<std::optional<IdSet>(const ColumnCall&)>;

// The callable inside every built-in Operator: today's implementation for all calling forms,
// and for a field leaf a kernel over the field's column. An Operator holding anything else (a
// store's own factory, a wrapper around a built-in) is called as before.
struct BuiltinOperator {
    Operator rows;
    ColumnKernel columns;  // empty for the combinators
    OperatorResult operator()(const OperatorCall& call) const { return rows(call); }
};

inline const BuiltinOperator* builtin_of(const Operator& op) noexcept { return op.target<BuiltinOperator>(); }

}  // namespace brindlecap::functions::filtrations_evaluation::detail
