// Independent reference implementations of the leaf built-ins, in field-leaf form.

#include "brindlecap/functions/filtrations_evaluation/core/reference_operators_internal.hpp"

#include <algorithm>
#include <cmath>
#include <limits>
#include <unordered_set>

#include "brindlecap/functions/filtrations_evaluation/core/errors.hpp"
#include "brindlecap/functions/filtrations_evaluation/core/operator_table_internal.hpp"
#include "brindlecap/runtime/errors.hpp"
#include "brindlecap/runtime/text.hpp"

namespace brindlecap::functions::filtrations_evaluation::detail {

using runtime::List;

namespace {

constexpr double TOLERANCE = 1e-12;

IdSet empty_over(const PreparedField& prepared) { return IdSet::over(prepared.pool_keys.universe()); }

bool reference_eq(const Value& actual, const Value& target) {
    if (actual.is_bool()) return target.is_bool() && target.as_bool() == actual.as_bool();
    if (actual.is_number()) {
        const double a = actual.to_double();
        if (std::isnan(a)) return false;
        const double t = target.to_double();
        return a == t || std::abs(a - t) < TOLERANCE;
    }
    if (actual.is_str()) return target.is_str() && target.as_str() == actual.as_str();
    return false;
}

bool reference_neq(const Value& actual, const Value& target) {
    if (actual.is_bool()) return target.is_bool() && target.as_bool() != actual.as_bool();
    if (actual.is_number()) {
        const double a = actual.to_double();
        if (std::isnan(a)) return false;
        const double t = target.to_double();
        return a != t && std::abs(a - t) >= TOLERANCE;
    }
    if (actual.is_str()) return actual != target;
    return false;
}

// Members of a collection value: a list, a tuple or a set.
std::optional<List> members(const Value& v) {
    if (v.is_list()) return v.as_list();
    if (v.is_object()) return v.as_object().elements();
    return std::nullopt;
}

bool hashable(const Value& v) { return !v.is_list() && !v.is_dict(); }

// int(x) of Python for a count.
std::int64_t truncate_count(const Value& v) {
    if (v.is_bool() || v.is_int()) return v.is_bool() ? (v.as_bool() ? 1 : 0) : v.as_int();
    if (v.is_float()) {
        const double d = v.as_float();
        if (std::isnan(d)) throw runtime::ValueError("cannot convert float NaN to integer");
        if (std::isinf(d)) throw runtime::ValueError("cannot convert float infinity to integer");
        const double t = std::trunc(d);
        if (t >= 9.2e18) return std::numeric_limits<std::int64_t>::max();
        if (t <= -9.2e18) return std::numeric_limits<std::int64_t>::min();
        return static_cast<std::int64_t>(t);
    }
    throw runtime::TypeError("int() argument must be a string, a bytes-like object or a real number, not '" +
                             runtime::type_name(v) + "'");
}

// The values for which pass(value, target) holds, target the `value` parameter.
template <class Pass>
Operator comparison_reference(const BuiltinOperatorFacts& self, Pass pass) {
    return field_operator(std::string(self.name), [pass](const PreparedField& prepared, const Dict& params) {
        const Value target = params.get("value");
        IdSet out = empty_over(prepared);
        for (const PreparedValue& pv : prepared.values) {
            if (pass(*pv.value, target)) out.insert(pv.id);
        }
        return out;
    });
}

}  // namespace

Operator greater_reference(const BuiltinOperatorFacts& self) {
    return comparison_reference(self, [](const Value& a, const Value& t) { return runtime::greater(a, t); });
}

Operator greater_equal_reference(const BuiltinOperatorFacts& self) {
    return comparison_reference(self, [](const Value& a, const Value& t) { return runtime::greater_equal(a, t); });
}

Operator less_reference(const BuiltinOperatorFacts& self) {
    return comparison_reference(self, [](const Value& a, const Value& t) { return runtime::less(a, t); });
}

Operator less_equal_reference(const BuiltinOperatorFacts& self) {
    return comparison_reference(self, [](const Value& a, const Value& t) { return runtime::less_equal(a, t); });
}

Operator equal_reference(const BuiltinOperatorFacts& self) { return comparison_reference(self, reference_eq); }

Operator not_equal_reference(const BuiltinOperatorFacts& self) { return comparison_reference(self, reference_neq); }

Operator range_reference(const BuiltinOperatorFacts& self) {
    return field_operator(std::string(self.name), [](const PreparedField& prepared, const Dict& params) {
        const Value low = params.get("low");
        const Value high = params.get("high");
        IdSet out = empty_over(prepared);
        for (const PreparedValue& pv : prepared.values) {
            // low <= value <= high, the second comparison only when the first holds.
            if (runtime::less_equal(low, *pv.value) && runtime::less_equal(*pv.value, high)) out.insert(pv.id);
        }
        return out;
    });
}

Operator membership_reference(const BuiltinOperatorFacts& self) {
    return field_operator(std::string(self.name), [](const PreparedField& prepared, const Dict& params) {
        const Value* given = params.find("values");
        std::unordered_set<Value, runtime::ValueHash> targets;
        if (given != nullptr) {
            std::optional<List> items = members(*given);
            if (!items && given->is_dict()) items = given->as_dict().keys();
            if (!items && given->is_str()) {
                // A string's members are its characters (code points).
                items.emplace();
                const std::string& s = given->as_str();
                for (std::size_t i = 0; i < s.size();) {
                    std::size_t len = 1;
                    const auto c = static_cast<unsigned char>(s[i]);
                    if (c >= 0xF0) len = 4; else if (c >= 0xE0) len = 3; else if (c >= 0xC0) len = 2;
                    items->emplace_back(s.substr(i, len));
                    i += len;
                }
            }
            if (!items) {
                throw runtime::TypeError("'" + runtime::type_name(*given) + "' object is not iterable");
            }
            for (const Value& item : *items) {
                if (!hashable(item)) throw runtime::TypeError("unhashable type: '" + runtime::type_name(item) + "'");
                targets.insert(item);
            }
        }
        // Probing a list or dict for membership raises, as Python's set does.
        auto member = [&](const Value& v) {
            if (!hashable(v)) throw runtime::TypeError("unhashable type: '" + runtime::type_name(v) + "'");
            return targets.contains(v);
        };

        IdSet out = empty_over(prepared);
        for (const PreparedValue& pv : prepared.values) {
            const Value& value = *pv.value;
            bool pass = false;
            if (std::optional<List> items = members(value)) {
                pass = std::any_of(items->begin(), items->end(), member);
            } else {
                pass = member(value);
            }
            if (pass) out.insert(pv.id);
        }
        return out;
    });
}

Operator rank_reference(const BuiltinOperatorFacts& self) {
    const std::string name(self.name);
    const bool descending = self.direction == RankDirection::top;
    return field_operator(name, [name, descending](const PreparedField& prepared,
                                                   const Dict& params) -> OperatorResult {
        Value n = params.get("n");
        const Value pct = params.get("pct");

        std::vector<const PreparedValue*> pairs;
        pairs.reserve(prepared.values.size());
        for (const PreparedValue& pv : prepared.values) pairs.push_back(&pv);
        // Key (value, identifier), both in the direction of the ranking.
        auto key_less = [](const PreparedValue* a, const PreparedValue* b) {
            if (*a->value == *b->value) return a->id < b->id;
            return runtime::less(*a->value, *b->value);
        };
        if (descending) {
            std::stable_sort(pairs.begin(), pairs.end(), [&](auto* a, auto* b) { return key_less(b, a); });
        } else {
            std::stable_sort(pairs.begin(), pairs.end(), key_less);
        }

        if (!pct.is_none()) {
            if (!pct.is_number() && !pct.is_bool()) {
                throw runtime::TypeError("must be real number, not " + runtime::type_name(pct));
            }
            const double p = pct.to_double();
            if (std::isnan(p)) throw FilterValidationError("pct must be in (0.0, 1.0], got nan");
            const double positions = std::ceil(static_cast<double>(pairs.size()) * p);
            n = Value(std::max<std::int64_t>(1, truncate_count(Value(positions))));
        }

        std::int64_t count = n.is_none() || !n.truthy() ? 0 : truncate_count(n);
        count = std::max<std::int64_t>(count, 0);
        IdSet out = empty_over(prepared);
        if (count == 0) return out;
        if (pairs.empty()) {
            throw runtime::ValueError("Reference " + name + " has no values to rank for field '" +
                                      prepared.field_name + "'");
        }

        const std::size_t position = std::min<std::size_t>(static_cast<std::size_t>(count), pairs.size());
        const Value cutoff = *pairs[position - 1]->value;
        for (const PreparedValue* pv : pairs) {
            const bool pass = descending ? runtime::greater_equal(*pv->value, cutoff)
                                         : runtime::less_equal(*pv->value, cutoff);
            if (pass) out.insert(pv->id);
        }
        return out;
    });
}

}  // namespace brindlecap::functions::filtrations_evaluation::detail
