// gt, gte, lt, lte, eq, neq, between, in_: one pass over the prepared values.

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "brindlecap/functions/filtrations/builtin_operators_internal.hpp"
#include "brindlecap/runtime/text.hpp"

namespace brindlecap::functions::filtrations::detail {
namespace {

using Kind = Value::Kind;

constexpr double EQ_TOLERANCE = 1e-12;
using filtrations_evaluation::detail::exact_as_double;

const Value& required(const Dict& params, std::string_view key, const std::string& message) {
    const Value* v = params.find(key);
    if (v == nullptr) throw FilterValidationError(message);
    return *v;
}

// ---- Ordering --------------------------------------------------------------------------------

enum class Order { Gt, Gte, Lt, Lte };

template <Order O, class T>
bool holds(const T& a, const T& b) {
    if constexpr (O == Order::Gt) return a > b;
    if constexpr (O == Order::Gte) return a >= b;
    if constexpr (O == Order::Lt) return a < b;
    return a <= b;
}

// A comparison bound (target, low or high) with its fast representations.
struct Bound {
    explicit Bound(const Value& v) : value(v) {
        switch (v.kind()) {
            case Kind::floating:
                as_double = v.as_float();
                break;
            case Kind::boolean:
                as_double = v.as_bool() ? 1.0 : 0.0;
                break;
            case Kind::integer:
                as_int = v.as_int();
                if (exact_as_double(*as_int)) as_double = static_cast<double>(*as_int);
                break;
            case Kind::str:
                as_str = v.as_str();
                break;
            default:
                break;
        }
    }
    const Value& value;
    std::optional<double> as_double;
    std::optional<std::int64_t> as_int;
    std::optional<std::string_view> as_str;
};

// `actual O bound` for the common kinds; nullopt leaves the decision to Python ordering.
template <Order O>
std::optional<bool> fast_compare(const Value& actual, const Bound& b) {
    switch (actual.kind()) {
        case Kind::floating:
            if (b.as_double) return holds<O>(actual.as_float(), *b.as_double);
            break;
        case Kind::integer: {
            const std::int64_t i = actual.as_int();
            if (b.as_int) return holds<O>(i, *b.as_int);
            if (b.as_double && exact_as_double(i)) return holds<O>(static_cast<double>(i), *b.as_double);
            break;
        }
        case Kind::str:
            if (b.as_str) return holds<O>(std::string_view(actual.as_str()), *b.as_str);
            break;
        default:
            break;
    }
    return std::nullopt;
}

template <Order O>
bool python_compare(const Value& a, const Value& b) {
    if constexpr (O == Order::Gt) return runtime::greater(a, b);
    if constexpr (O == Order::Gte) return runtime::greater_equal(a, b);
    if constexpr (O == Order::Lt) return runtime::less(a, b);
    return runtime::less_equal(a, b);
}

template <Order O>
bool passes(const Value& v, const Bound& target) {
    const std::optional<bool> fast = fast_compare<O>(v, target);
    return fast ? *fast : python_compare<O>(v, target.value);
}

// low <= v <= high, evaluated left to right like a chained comparison.
bool within(const Value& v, const Bound& low, const Bound& high) {
    const std::optional<bool> above = fast_compare<Order::Gte>(v, low);
    if (!(above ? *above : runtime::less_equal(low.value, v))) return false;
    const std::optional<bool> below = fast_compare<Order::Lte>(v, high);
    return below ? *below : runtime::less_equal(v, high.value);
}

template <Order O>
IdSet ordered(const PreparedField& f, const Dict& params, const std::string& name) {
    const Bound target(required(params, "value", "Operator '" + name + "' requires a 'value' parameter"));
    Selection sel(f);
    walk_values(f.values, [&](std::size_t i) {
        if (passes<O>(*f.values[i].value, target)) sel.add(f.values[i]);
    });
    return std::move(sel).take();
}

const std::string BETWEEN_PARAMS = "Operator 'between' requires 'low' and 'high' parameters";

IdSet between(const PreparedField& f, const Dict& params) {
    const Bound low(required(params, "low", BETWEEN_PARAMS));
    const Bound high(required(params, "high", BETWEEN_PARAMS));
    Selection sel(f);
    walk_values(f.values, [&](std::size_t i) {
        if (within(*f.values[i].value, low, high)) sel.add(f.values[i]);
    });
    return std::move(sel).take();
}

// ---- Over columns ----------------------------------------------------------------------------

// For a number bound (bool, int or float): the largest double not above it and the smallest not
// below it. For a double x then x > b iff x > below, x >= b iff x >= above, x < b iff
// x < above, x <= b iff x <= below, exactly (a NaN bound gives NaN: nothing passes).
struct Thresholds {
    double below;
    double above;
};

std::optional<Thresholds> thresholds(const Value& b) {
    switch (b.kind()) {
        case Kind::boolean: {
            const double d = b.as_bool() ? 1.0 : 0.0;
            return Thresholds{d, d};
        }
        case Kind::floating:
            return Thresholds{b.as_float(), b.as_float()};
        case Kind::integer: {
            const std::int64_t i = b.as_int();
            const double d = static_cast<double>(i);  // i rounded to nearest
            if (exact_as_double(i)) return Thresholds{d, d};
            const bool rounded_up = d >= 0x1p63 || static_cast<std::int64_t>(d) > i;
            const bool rounded_down = d < 0x1p63 && static_cast<std::int64_t>(d) < i;
            if (rounded_up) return Thresholds{std::nextafter(d, -HUGE_VAL), d};
            if (rounded_down) return Thresholds{d, std::nextafter(d, HUGE_VAL)};
            return Thresholds{d, d};
        }
        default:
            return std::nullopt;
    }
}

std::optional<IdSet> by_row_rule(const ColumnCall& call, std::optional<Bits> bits) {
    if (!bits) return std::nullopt;
    return column_set(call, std::move(*bits));
}

template <Order O>
std::optional<IdSet> ordered_column(const ColumnCall& call, const std::string& name) {
    const Value& value = required(call.params, "value", "Operator '" + name + "' requires a 'value' parameter");
    const Column& c = call.column;
    if (c.kind == ColumnKind::number) {
        if (const std::optional<Thresholds> t = thresholds(value)) {
            const double* x = c.numbers.data();
            const double below = t->below;
            const double above = t->above;
            if constexpr (O == Order::Gt) return column_set(call, bits_where(c.size, [=](std::size_t p) { return x[p] > below; }));
            if constexpr (O == Order::Gte) return column_set(call, bits_where(c.size, [=](std::size_t p) { return x[p] >= above; }));
            if constexpr (O == Order::Lt) return column_set(call, bits_where(c.size, [=](std::size_t p) { return x[p] < above; }));
            return column_set(call, bits_where(c.size, [=](std::size_t p) { return x[p] <= below; }));
        }
    }
    const Bound target(value);
    return by_row_rule(call, select_values(c, [&](const Value& v) { return passes<O>(v, target); }));
}

std::optional<IdSet> between_column(const ColumnCall& call) {
    const Value& low_value = required(call.params, "low", BETWEEN_PARAMS);
    const Value& high_value = required(call.params, "high", BETWEEN_PARAMS);
    const Column& c = call.column;
    if (c.kind == ColumnKind::number) {
        const std::optional<Thresholds> low = thresholds(low_value);
        const std::optional<Thresholds> high = thresholds(high_value);
        if (low && high) {
            const double* x = c.numbers.data();
            const double from = low->above;
            const double to = high->below;
            return column_set(call, bits_where(c.size, [=](std::size_t p) { return x[p] >= from && x[p] <= to; }));
        }
    }
    const Bound low(low_value);
    const Bound high(high_value);
    return by_row_rule(call, select_values(c, [&](const Value& v) { return within(v, low, high); }));
}

// ---- Equality with tolerance -----------------------------------------------------------------

class EqTarget {
public:
    explicit EqTarget(const Value& v) : value_(v) {}

    bool is_bool() const { return value_.is_bool(); }
    bool as_bool() const { return value_.as_bool(); }
    bool is_str() const { return value_.is_str(); }
    const std::string& as_str() const { return value_.as_str(); }
    // float(target), converted on first use: a non-numeric target only fails against numbers.
    double number() const {
        if (!converted_) {
            number_ = value_.to_double();
            converted_ = true;
        }
        return number_;
    }

private:
    const Value& value_;
    mutable double number_ = 0.0;
    mutable bool converted_ = false;
};

bool number_of(const Value& v, double& out) {
    if (v.is_float()) {
        out = v.as_float();
        return true;
    }
    if (v.is_int()) {
        out = static_cast<double>(v.as_int());
        return true;
    }
    return false;
}

bool equal_within_tolerance(const Value& actual, const EqTarget& t) {
    double x;
    if (number_of(actual, x)) {
        if (std::isnan(x)) return false;
        const double y = t.number();
        return x == y || std::fabs(x - y) < EQ_TOLERANCE;
    }
    if (actual.is_bool()) return t.is_bool() && actual.as_bool() == t.as_bool();
    if (actual.is_str()) return t.is_str() && actual.as_str() == t.as_str();
    return false;
}

// Not the negation of equality: NaN, None, lists and booleans against non-booleans pass neither.
bool differs_beyond_tolerance(const Value& actual, const EqTarget& t) {
    double x;
    if (number_of(actual, x)) {
        if (std::isnan(x)) return false;
        const double y = t.number();
        return x != y && std::fabs(x - y) >= EQ_TOLERANCE;
    }
    if (actual.is_bool()) return t.is_bool() && actual.as_bool() != t.as_bool();
    if (actual.is_str()) return !(t.is_str() && actual.as_str() == t.as_str());
    return false;
}

template <bool Equal>
std::optional<IdSet> equality_column(const ColumnCall& call, const std::string& name) {
    const Value& value = required(call.params, "value", "Operator '" + name + "' requires a 'value' parameter");
    const Column& c = call.column;
    if (c.kind == ColumnKind::number && (value.is_bool() || value.is_number())) {
        const double y = value.to_double();
        const double* x = c.numbers.data();
        if constexpr (Equal) {
            return column_set(call, bits_where(c.size, [=](std::size_t p) {
                return x[p] == y || std::fabs(x[p] - y) < EQ_TOLERANCE;
            }));
        } else {
            return column_set(call, bits_where(c.size, [=](std::size_t p) {
                return x[p] != y && std::fabs(x[p] - y) >= EQ_TOLERANCE;
            }));
        }
    }
    const EqTarget target(value);
    return by_row_rule(call, select_values(c, [&](const Value& v) {
        return Equal ? equal_within_tolerance(v, target) : differs_beyond_tolerance(v, target);
    }));
}

template <bool Equal>
IdSet equality(const PreparedField& f, const Dict& params, const std::string& name) {
    const EqTarget target(required(params, "value", "Operator '" + name + "' requires a 'value' parameter"));
    Selection sel(f);
    walk_values(f.values, [&](std::size_t i) {
        const PreparedValue& pv = f.values[i];
        const bool pass = Equal ? equal_within_tolerance(*pv.value, target)
                                : differs_beyond_tolerance(*pv.value, target);
        if (pass) sel.add(pv);
    });
    return std::move(sel).take();
}

// ---- Membership ------------------------------------------------------------------------------

[[noreturn]] void unhashable(const Value& v) {
    throw runtime::TypeError("unhashable type: '" + runtime::type_name(v) + "'");
}

// The targets of in_ as a Python set of them: strings (compared directly) and other values
// (Python ==). Lists and dicts cannot be members or be probed for membership (TypeError).
class Targets {
public:
    explicit Targets(const runtime::List& items) {
        for (const Value& item : items) {
            if (item.is_list() || item.is_dict()) unhashable(item);
            if (item.is_str()) {
                strs_.push_back(item.as_str());
            } else {
                others_.push_back(&item);
            }
        }
        if (strs_.size() > SMALL) str_set_.insert(strs_.begin(), strs_.end());
        if (others_.size() > SMALL) {
            for (const Value* v : others_) other_set_.insert(*v);
        }
    }

    bool empty() const { return strs_.empty() && others_.empty(); }

    bool contains(const Value& v) const {
        if (v.is_str()) {
            const std::string_view s = v.as_str();
            if (strs_.size() > SMALL) return str_set_.count(s) != 0;
            for (std::string_view t : strs_) {
                if (t == s) return true;
            }
            return false;
        }
        if (v.is_list() || v.is_dict()) unhashable(v);
        if (others_.empty()) return false;
        if (others_.size() > SMALL) return other_set_.count(v) != 0;
        for (const Value* t : others_) {
            if (*t == v) return true;
        }
        return false;
    }

    // Probes the items in order; the first member ends the probe.
    bool shares_any(const runtime::List& items) const {
        for (const Value& item : items) {
            if (contains(item)) return true;
        }
        return false;
    }

    // A collection (a list, or a tuple or set held as an object) passes by any of its items, any
    // other value by itself.
    bool passes(const Value& v) const {
        if (v.is_list()) return shares_any(v.as_list());
        if (v.is_object()) {
            if (const std::optional<runtime::List> items = v.as_object().elements()) return shares_any(*items);
        }
        return contains(v);
    }

private:
    static constexpr std::size_t SMALL = 8;
    std::vector<std::string_view> strs_;
    std::vector<const Value*> others_;
    std::unordered_set<std::string_view> str_set_;
    std::unordered_set<Value, runtime::ValueHash> other_set_;
};

IdSet in_(const PreparedField& f, const Dict& params) {
    Selection sel(f);
    // No values: no targets, but the values are still probed (a dict cannot be).
    static const runtime::List NO_TARGETS;
    const Value* values = params.find(std::string_view("values"));
    if (values != nullptr && !values->is_list()) {
        throw FilterValidationError("Operator 'in_' requires 'values' to be a list, got " +
                                    runtime::type_name(*values));
    }
    const Targets targets(values != nullptr ? values->as_list() : NO_TARGETS);
    // A list's strings sit four dependent loads away (value, list header, elements, string), so
    // each is fetched in its own stage ahead of the value being tested.
    constexpr std::size_t STAGE = 8;
    constexpr std::size_t PREFETCHED_ELEMENTS = 4;
    const std::vector<PreparedValue>& vals = f.values;
    const std::size_t n = vals.size();
    for (std::size_t i = 0; i < n; ++i) {
        if (i + 4 * STAGE < n) __builtin_prefetch(vals[i + 4 * STAGE].value);
        if (i + 3 * STAGE < n && vals[i + 3 * STAGE].value->is_list()) {
            __builtin_prefetch(&vals[i + 3 * STAGE].value->as_list());
        }
        if (i + 2 * STAGE < n && vals[i + 2 * STAGE].value->is_list()) {
            __builtin_prefetch(vals[i + 2 * STAGE].value->as_list().data());
        }
        if (i + STAGE < n) {
            const Value& ahead = *vals[i + STAGE].value;
            if (ahead.is_list()) {
                const runtime::List& items = ahead.as_list();
                const std::size_t k = std::min(items.size(), PREFETCHED_ELEMENTS);
                for (std::size_t e = 0; e < k; ++e) {
                    if (items[e].is_str()) __builtin_prefetch(items[e].str_ptr().get());
                }
            } else if (ahead.is_str()) {
                __builtin_prefetch(ahead.str_ptr().get());
            }
        }
        if (targets.passes(*vals[i].value)) sel.add(vals[i]);
    }
    return std::move(sel).take();
}

std::optional<IdSet> in_column(const ColumnCall& call) {
    const Column& c = call.column;
    const Value* values = call.params.find(std::string_view("values"));
    if (values == nullptr) return IdSet::over(call.universe);
    if (!values->is_list()) {
        throw FilterValidationError("Operator 'in_' requires 'values' to be a list, got " +
                                    runtime::type_name(*values));
    }
    const Targets targets(values->as_list());
    if (targets.empty()) return IdSet::over(call.universe);
    if (c.kind != ColumnKind::str_list) {
        return by_row_rule(call, select_values(c, [&](const Value& v) { return targets.passes(v); }));
    }
    // A list passes when one of its strings is a target: decided once per distinct string.
    std::vector<std::uint8_t> wanted(c.strings.size());
    std::uint64_t wanted_mask = 0;
    for (std::size_t code = 0; code < c.strings.size(); ++code) {
        wanted[code] = targets.contains(Value(c.strings[code]));
        if (wanted[code] && code < 64) wanted_mask |= std::uint64_t{1} << code;
    }
    if (!c.masks.empty()) {
        const std::uint8_t* masks = c.masks.data();
        const auto any_wanted = [&]<class M>(M) {
            const auto wanted_bits = static_cast<M>(wanted_mask);
            return column_set(call, bits_where(c.size, [=](std::size_t p) {
                M m;
                std::memcpy(&m, masks + p * sizeof(M), sizeof(M));
                return (m & wanted_bits) != 0;
            }));
        };
        switch (c.mask_bytes) {
            case 1: return any_wanted(std::uint8_t{});
            case 2: return any_wanted(std::uint16_t{});
            case 4: return any_wanted(std::uint32_t{});
            default: return any_wanted(std::uint64_t{});
        }
    }
    return column_set(call, bits_where(c.size, [&](std::size_t p) {
        for (std::uint32_t i = c.offsets[p]; i < c.offsets[p + 1]; ++i) {
            if (wanted[c.codes[i]]) return true;
        }
        return false;
    }));
}

template <Order O>
NamedOperator ordered_operator(const std::string& name) {
    return {name,
            field_leaf_operator(name, [name](const PreparedField& f, const Dict& p) { return ordered<O>(f, p, name); }),
            [name](const ColumnCall& call) { return ordered_column<O>(call, name); }};
}

template <bool Equal>
NamedOperator equality_operator(const std::string& name) {
    return {name,
            field_leaf_operator(name, [name](const PreparedField& f, const Dict& p) { return equality<Equal>(f, p, name); }),
            [name](const ColumnCall& call) { return equality_column<Equal>(call, name); }};
}

}  // namespace

std::vector<NamedOperator> comparison_operators() {
    return {
        ordered_operator<Order::Gt>("gt"),
        ordered_operator<Order::Gte>("gte"),
        ordered_operator<Order::Lt>("lt"),
        ordered_operator<Order::Lte>("lte"),
        equality_operator<true>("eq"),
        equality_operator<false>("neq"),
        {"between", field_leaf_operator("between", between), between_column},
        {"in_", field_leaf_operator("in_", in_), in_column},
    };
}

}  // namespace brindlecap::functions::filtrations::detail
