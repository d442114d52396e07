#pragma once
// The strict profile: checks beyond the canonical eight, run as plug-ins when registered
// (acceptance/strict.hpp). Each is deterministic for config.seed (the growth check times calls
// and the concurrency check races threads, so only their inputs are) and reports what it finds
// to the run observer like the canonical checks, for reproducers.

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "brindlecap/functions/evaluation_utils/evaluation_utils.hpp"
#include "brindlecap/functions/filtrations_evaluation/core/operator.hpp"
#include "brindlecap/functions/filtrations_evaluation/core/pool.hpp"
#include "brindlecap/functions/filtrations_evaluation/harness/oracle_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/metadata/config.hpp"
#include "brindlecap/numeric/generator_internal.hpp"

namespace brindlecap::functions::filtrations_evaluation::detail {

// A strict check: (operator name, operator, its oracle or none, configuration, generator).
using StrictRoutine = evaluation_utils::CheckOutcome (*)(const std::string&, const Operator&,
                                                         const std::optional<Oracle>&,
                                                         FiltrationEvaluationConfig&, numeric::Generator&);
struct StrictCheck {
    const char* name;
    StrictRoutine run;
};
// In the order they are registered (their plug-in numbers follow it).
std::span<const StrictCheck> strict_check_table();

// ---- What the strict checks call operators with --------------------------------------------

// One call's input: a pool, parameters, and a combinator's children.
struct StrictCase {
    std::shared_ptr<const SignalPool> pool;
    Dict params;
    std::optional<std::vector<IdSet>> children;
};

// A selection, or the kind of the error the call raised.
using CallOutcome = std::variant<IdSet, std::string>;

// Calls op on the case as the tree would, minus the parameter checks of dispatch (so that an
// operator meets reversed bounds or a zero pct itself), with a fresh copy of the parameters.
CallOutcome strict_call(const Operator& op, const std::string& op_name, const StrictCase& c);
// The same with the caller's parameters and children, which the operator may change.
IdSet strict_call_shared(const Operator& op, const std::string& op_name, const SignalPool& pool, Dict& params,
                         std::vector<IdSet>* children);

// A random adversarial case for an operator of these facts over `size` signals: dense ties and
// duplicates at the cutoffs, NaN, -0.0, subnormals, +-1e308, integers, floats and booleans
// mixed, values within and just beyond 1e-12 of the target, categories differing in case,
// whitespace or Unicode form, lists with overlapping, duplicate and empty entries; parameters
// fractional, negative and integer, pct near 0 and 1, pct with n, n beyond the pool. A
// combinator gets 0 to 6 children over the pool.
StrictCase adversarial_case(const BuiltinOperatorFacts& facts, numeric::Generator& g, std::size_t size);

// One of the adversarial cases' strings (categories differing in case, whitespace, Unicode form).
Value adversarial_string(numeric::Generator& g);

// The pool part of an adversarial case (leaves: fields x, c, tags and f; combinators: no
// metadata), with some of its numeric values for parameters to tie with.
struct AdversarialPool {
    std::shared_ptr<const SignalPool> pool;
    std::vector<Value> seen;
};
AdversarialPool adversarial_pool(bool combines, numeric::Generator& g, std::size_t size);
StrictCase adversarial_case(const BuiltinOperatorFacts& facts, numeric::Generator& g, const AdversarialPool& pool);
// The pool of adversarial_pool(combines, Generator(key), size), built once per process for every
// operator of a run (operators only read it).
std::shared_ptr<const AdversarialPool> shared_adversarial_pool(bool combines, std::uint64_t key, std::size_t size);

// A pool of `size` signals with a numeric field "x" (distinct normal values), a list field "tags"
// and, with `strings`, a string field "c", for the timing and threading checks.
std::shared_ptr<const SignalPool> numeric_pool(std::size_t size, numeric::Generator& g, const char* prefix = "s",
                                               bool strings = false);
StrictCase large_case(const BuiltinOperatorFacts& facts, std::size_t size, numeric::Generator& g);

// The signals of `pool` whose value of the parameters' field is of this type (numbers without
// flags for a numeric field): the values a leaf and its complement split between them.
IdSet holders(const SignalPool& pool, const Dict& params, FieldType type);

}  // namespace brindlecap::functions::filtrations_evaluation::detail
