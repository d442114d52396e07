#pragma once
// A caller's own correctness case for an operator, run by the correctness check.

#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "brindlecap/functions/filtrations_evaluation/core/ids.hpp"
#include "brindlecap/functions/filtrations_evaluation/core/operator.hpp"
#include "brindlecap/functions/filtrations_evaluation/core/pool.hpp"

namespace brindlecap::functions::filtrations_evaluation {

// A pool entry is either a signal or a metadata dict (which gets all-zero weights of the
// configured shape).
struct CorrectnessTestCase {
    using PoolEntry = std::variant<UsefulSignal, runtime::Dict>;
    std::optional<std::vector<std::pair<std::string, PoolEntry>>> pool;  // default: the check's pool
    std::optional<runtime::Dict> params;                                 // default: {}
    std::optional<IdSet> expected;                                       // missing: counted as such
    std::optional<std::vector<IdSet>> children_results;                  // default: [{}]
    // The oracle that selected `expected`, if one did: a failing case's reproducer is shrunk
    // against it rather than against the fixed set.
    std::optional<Operator> oracle;
};

}  // namespace brindlecap::functions::filtrations_evaluation
