#pragma once
// Where the strict checks find what an operator should do: its oracle. The one place they ask.

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "brindlecap/functions/filtrations_evaluation/core/operator.hpp"
#include "brindlecap/functions/filtrations_evaluation/core/operator_table_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/metadata/config.hpp"

namespace brindlecap::functions::filtrations_evaluation::detail {

// The facts a new operator's declared properties stand for (acceptance/properties.hpp).
struct DeclaredOperator {
    BuiltinOperatorFacts facts;  // its complement views the string below
    std::string complement;
};
// ValueError naming the operator and the item at fault; `config` (optional) holds the oracles a
// complement may name.
std::shared_ptr<const DeclaredOperator> declared_operator(std::string_view op_name,
                                                          const std::vector<std::string>& properties,
                                                          const FiltrationEvaluationConfig* config);

struct Oracle {
    // Selects what the operator should select, in the operator's calling form; empty when the
    // operator has only declared properties.
    Operator selects;
    // Raises FilterValidationError wherever the operator should (a built-in's own kernel).
    std::optional<Operator> validates;
    // What the operator is: the facts that choose its pools, parameters and relations.
    const BuiltinOperatorFacts* facts = nullptr;
    std::shared_ptr<const DeclaredOperator> declared;  // owns facts when they were declared
    std::string origin;  // "the built-in reference of gt", for details
};

// The oracle of an operator judged under `name`: the caller's (config.references), else a
// built-in's, else only the facts of its declared properties (config.properties; no selects);
// nullopt when there is none. A new name with an oracle and no declared properties is taken for
// a comparison of a numeric field with `value`.
std::optional<Oracle> oracle_of(const std::string& name, const FiltrationEvaluationConfig& config);

// The combinators' oracle: set algebra over the children by the row's children case, with the
// built-ins' errors for a wrong number of children.
Operator combinator_oracle(const BuiltinOperatorFacts& facts);

// What selects the complement a leaf's facts name: the caller's oracle of that name, else the
// built-in's reference; empty when there is none.
Operator complement_oracle(const BuiltinOperatorFacts& facts, const FiltrationEvaluationConfig& config);

}  // namespace brindlecap::functions::filtrations_evaluation::detail
