#pragma once
// The sixteen built-in filtration operators, grouped by the module that publishes them, plus the
// small helpers their implementations share.

#include <functional>
#include <string>
#include <vector>

#include "brindlecap/functions/filtrations_evaluation/core/errors.hpp"
#include "brindlecap/functions/filtrations_evaluation/core/operator.hpp"
#include "brindlecap/functions/filtrations_evaluation/core/pool.hpp"
#include "brindlecap/functions/filtrations_evaluation/core/records.hpp"

namespace brindlecap::functions::filtrations::detail {

using filtrations_evaluation::Dict;
using filtrations_evaluation::FilterValidationError;
using filtrations_evaluation::IdSet;
using filtrations_evaluation::Operator;
using filtrations_evaluation::OperatorCall;
using filtrations_evaluation::PreparedField;
using filtrations_evaluation::PreparedValue;
using filtrations_evaluation::Value;

struct NamedOperator {
    std::string name;
    Operator op;
};

std::vector<NamedOperator> comparison_operators();  // gt gte lt lte eq neq between in_
std::vector<NamedOperator> rank_operators();        // top_pct bottom_pct top_n bottom_n
std::vector<NamedOperator> boolean_operators();     // and_ or_ not_
std::vector<NamedOperator> wrapper_operators();     // filtration

// A leaf operator over a prepared field: the plain leaf form raises "requires a 'field'
// parameter", the combinator form "does not accept children".
using FieldFn = std::function<IdSet(const PreparedField&, const Dict&)>;
Operator field_leaf_operator(const std::string& name, FieldFn fn);

// Calls f(i) for every prepared value in order. The values live in separately allocated
// metadata, so a plain walk stalls on one cache miss per value; fetching a few values ahead
// keeps several misses in flight.
template <class F>
void walk_values(const std::vector<PreparedValue>& values, F&& f) {
    constexpr std::size_t AHEAD = 16;
    const std::size_t n = values.size();
    for (std::size_t i = 0; i < n; ++i) {
        if (i + AHEAD < n) __builtin_prefetch(values[i + AHEAD].value);
        f(i);
    }
}

// Collects the identifiers of prepared values into a set over the pool's key index.
class Selection {
public:
    explicit Selection(const PreparedField& field);
    void add(const PreparedValue& v) {
        if (by_pos_) {
            set_.insert_pos(v.pos);
        } else {
            set_.insert(v.id);
        }
    }
    IdSet take() && { return std::move(set_); }

private:
    IdSet set_;
    bool by_pos_;
};

}  // namespace brindlecap::functions::filtrations::detail
