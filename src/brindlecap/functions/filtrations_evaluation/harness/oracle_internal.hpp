#pragma once
// Where the strict checks find what an operator should do: its oracle. The one place they ask.

#include <optional>
#include <string>

#include "brindlecap/functions/filtrations_evaluation/core/operator.hpp"
#include "brindlecap/functions/filtrations_evaluation/core/operator_table_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/metadata/config.hpp"

namespace brindlecap::functions::filtrations_evaluation::detail {

struct Oracle {
    // Selects what the operator should select, in the operator's calling form.
    Operator selects;
    // Raises FilterValidationError wherever the operator should (a built-in's own kernel).
    std::optional<Operator> validates;
    // What the operator is: the facts that choose its pools, parameters and relations.
    const BuiltinOperatorFacts* facts = nullptr;
    std::string origin;  // "the built-in reference of gt", for details
};

// The oracle of an operator judged under `name`: the caller's (config.references), else a
// built-in's; nullopt when there is none. A new name's oracle is taken for a comparison of a
// numeric field with `value`.
std::optional<Oracle> oracle_of(const std::string& name, const FiltrationEvaluationConfig& config);

// The combinators' oracle: set algebra over the children by the row's children case, with the
// built-ins' errors for a wrong number of children.
Operator combinator_oracle(const BuiltinOperatorFacts& facts);

}  // namespace brindlecap::functions::filtrations_evaluation::detail
