#pragma once
// Judging an operator against the caller's own oracle: its correctness cases computed by the
// oracle (config.references), or given directly (the test cases JSON format below).
//
//   config.references["my_gt"] = my_oracle;  // any Operator
//   fe::evaluate(config, {{"my_gt", std::nullopt}}, store);
//
// The correctness check then runs its custom-case mode on cases whose expected sets the oracle
// selected; the check itself is the same as for any caller's cases.

#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "brindlecap/functions/filtrations_evaluation/acceptance/results.hpp"
#include "brindlecap/runtime/value.hpp"

namespace brindlecap::functions::filtrations_evaluation {

// The oracle the configuration names for an operator, or nullopt.
std::optional<Operator> researcher_reference(std::string_view op_name, const FiltrationEvaluationConfig& config);

// The correctness cases an oracle gives: the correctness pool (the check's 25 signals of known
// values, built from config.seed) with the operator's parameter sets (a built-in name's own; a
// new leaf's declared shape's, config.properties; any other name the threshold comparisons':
// field is_sharpe, value 0.0, -5.0 and 5.0), or for a
// built-in combinator's name its children; each expected set is the oracle's selection.
// RuntimeError naming the operator and the case when the oracle raises.
std::vector<CorrectnessTestCase> reference_test_cases(const std::string& op_name, const Operator& oracle,
                                                      const FiltrationEvaluationConfig& config);

// The caller's cases with every missing `expected` selected by the oracle (on the case's pool,
// or the correctness pool when it has none), the others unchanged.
std::vector<CorrectnessTestCase> complete_test_cases(const std::string& op_name, const Operator& oracle,
                                                     std::vector<CorrectnessTestCase> cases,
                                                     const FiltrationEvaluationConfig& config);

// What evaluate() does with the configuration's oracles, for callers that build operator
// configurations themselves: every configuration whose operator has an oracle gets its cases from
// it (reference_test_cases, or complete_test_cases of its own cases).
void apply_references(std::vector<EvalFiltrationConfig>& operator_configs, const FiltrationEvaluationConfig& config);

// What a failed correctness check of an operator without any oracle tells its reader: how to
// give one (the evidence says missing_correctness_oracle).
std::string missing_oracle_hint(std::string_view op_name);

// Test cases from JSON: an object of operator name -> list of cases, each case an object with
// any of
//   "pool":             {signal id: {metadata}}         (default: the check's synthetic pool)
//   "params":           {parameter: value}              (default: {})
//   "expected":         [signal id, ...]                (missing: the oracle's, if one is given)
//   "children_results": [[signal id, ...], ...]         (combinators; default: [[]])
// ValueError naming the item at fault, e.g. "my_gt[2].expected: expected a list of signal ids,
// got 3"; `where` prefixes the message.
std::map<std::string, std::vector<CorrectnessTestCase>, std::less<>> test_cases_from_value(
    const runtime::Value& document, const std::string& where = "test cases");
// The same from a file (NaN and Infinity literals read as such).
std::map<std::string, std::vector<CorrectnessTestCase>, std::less<>> read_test_cases_json(const std::string& path);

}  // namespace brindlecap::functions::filtrations_evaluation
