#pragma once
// The kernels of the built-in filtration operators, grouped by module (each is published where its
// row of the operator table says), plus the small helpers their implementations share.

#include <cmath>
#include <cstdint>
#include <functional>
#include <string>
#include <optional>
#include <vector>

#include "brindlecap/functions/filtrations_evaluation/core/builtin_operator_internal.hpp"
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

using filtrations_evaluation::detail::Bits;
using filtrations_evaluation::detail::Column;
using filtrations_evaluation::detail::ColumnCall;
using filtrations_evaluation::detail::ColumnKernel;
using filtrations_evaluation::detail::ColumnKind;

struct NamedOperator {
    std::string name;
    Operator op;
    ColumnKernel columns = {};  // field leaves: the same operator over a column
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

// ---- Columns ----------------------------------------------------------------------------------

// Bits of the positions p < n for which pass(p) holds.
template <class Pass>
Bits bits_where(std::size_t n, Pass&& pass) {
    Bits bits(filtrations_evaluation::detail::word_count(n), 0);
    const std::size_t full = n / 64;
    for (std::size_t w = 0; w < full; ++w) {
        std::uint64_t word = 0;
        const std::size_t base = w * 64;
        for (std::size_t j = 0; j < 64; ++j) word |= static_cast<std::uint64_t>(pass(base + j)) << j;
        bits[w] = word;
    }
    for (std::size_t p = full * 64; p < n; ++p) bits[full] |= static_cast<std::uint64_t>(pass(p)) << (p & 63);
    return bits;
}

// The row way's answer over a column: keep(value) for the values a PreparedField lists, in pool
// order (numbers: those not NaN; other kinds: also the field type's missing default where the
// field is not held), evaluated once per distinct value where the column keeps them distinct.
// nullopt for columns that keep no values.
template <class Keep>
std::optional<Bits> select_values(const Column& c, Keep&& keep) {
    using filtrations_evaluation::detail::bit;
    const std::size_t n = c.size;
    const bool some_missing = c.present_count < n;
    switch (c.kind) {
        case ColumnKind::number:
            return bits_where(n, [&](std::size_t p) { return !std::isnan(c.numbers[p]) && keep(c.value_at(p)); });
        case ColumnKind::integer:
            return bits_where(n, [&](std::size_t p) { return c.holds(p) && keep(Value(c.integers[p])); });
        case ColumnKind::boolean: {
            // A missing boolean is False.
            int pass_true = -1, pass_false = -1;
            for (std::size_t p = 0; p < n; ++p) {
                const bool v = c.holds(p) && bit(c.bools, p);
                int& slot = v ? pass_true : pass_false;
                if (slot < 0) slot = keep(Value(v)) ? 1 : 0;
                if (pass_true >= 0 && pass_false >= 0) break;
            }
            return bits_where(n, [&](std::size_t p) { return (c.holds(p) && bit(c.bools, p)) ? pass_true == 1 : pass_false == 1; });
        }
        case ColumnKind::str: {
            // A missing string is "".
            std::vector<std::int8_t> table(c.strings.size(), -1);
            std::int8_t pass_missing = -1;
            for (std::size_t p = 0; p < n; ++p) {
                std::int8_t& slot = c.holds(p) ? table[c.codes[p]] : pass_missing;
                if (slot < 0) slot = keep(c.holds(p) ? Value(c.strings[c.codes[p]]) : Value("")) ? 1 : 0;
            }
            return bits_where(n, [&](std::size_t p) { return c.holds(p) ? table[c.codes[p]] == 1 : pass_missing == 1; });
        }
        case ColumnKind::str_list: {
            // A missing list is [].
            std::int8_t pass_missing = -1;
            if (some_missing) pass_missing = keep(Value::list({})) ? 1 : 0;
            return bits_where(n, [&](std::size_t p) { return c.holds(p) ? keep(c.value_at(p)) : pass_missing == 1; });
        }
        case ColumnKind::values:
        case ColumnKind::rows:
            break;
    }
    return std::nullopt;
}

inline IdSet column_set(const ColumnCall& call, Bits bits) {
    return IdSet::from_bits(call.universe, std::move(bits));
}

}  // namespace brindlecap::functions::filtrations::detail
