// The strict checks' inputs: adversarial pools, parameters and children drawn from a generator,
// and the call path that hands them to an operator.

#include <array>
#include <cmath>
#include <limits>
#include <map>
#include <mutex>
#include <tuple>

#include "brindlecap/functions/filtrations_evaluation/checks/strict_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/tree/dispatch_internal.hpp"
#include "brindlecap/runtime/errors.hpp"

namespace brindlecap::functions::filtrations_evaluation::detail {

namespace {

constexpr double NaN = std::numeric_limits<double>::quiet_NaN();
constexpr double INF = std::numeric_limits<double>::infinity();

// Categories that differ only in case, whitespace or Unicode form (NFC "café" and NFD).
const std::array<const char*, 14> STRINGS = {"mom", "Mom", "mom ", " mom", "MOM", "value", "", "caf\xc3\xa9",
                                             "cafe\xcc\x81", "momentum", "01", "1", "a", "b"};
const std::array<double, 11> OFFSETS = {0.0, 1e-13, -1e-13, 9e-13, -9e-13, 1e-12, -1e-12, 2e-12, -2e-12, 1e-9, -1e-9};
const std::array<double, 10> EXTREMES = {-0.0, 5e-324, -5e-324, 2.2250738585072014e-308, 1e308, -1e308,
                                         INF, -INF, 1e-300, 0.1};

template <class Seq>
const auto& pick(numeric::Generator& g, const Seq& seq) {
    return seq[static_cast<std::size_t>(g.integers(0, static_cast<std::int64_t>(std::size(seq))))];
}

bool chance(numeric::Generator& g, double p) { return g.random() < p; }

// Fractional, negative, integer, tiny and huge targets.
Value numeric_target(numeric::Generator& g) {
    switch (g.integers(0, 14)) {
        case 0: return Value(0);
        case 1: return Value(0.0);
        case 2: return Value(-0.0);
        case 3: return Value(1);
        case 4: return Value(-1);
        case 5: return Value(0.5);
        case 6: return Value(2.5);
        case 7: return Value(1e-12);
        case 8: return Value(-1e-12);
        case 9: return Value(0.1);
        case 10: return Value(chance(g, 0.5) ? 1e308 : -1e308);
        case 11: return Value(3);
        case 12: return Value(-2.5);
        default: return Value(std::round(g.standard_normal() * 100.0) / 100.0);
    }
}

// A value of the numeric field: nullopt leaves the field out of the signal.
std::optional<Value> numeric_value(numeric::Generator& g, double target, bool first) {
    const auto dense = [&] { return static_cast<std::int64_t>(g.integers(-1, 3)); };
    if (first) return chance(g, 0.5) ? Value(static_cast<double>(dense())) : Value(g.standard_normal());
    switch (g.integers(0, 12)) {
        case 0: return Value(dense());
        case 1:
        case 2: return Value(static_cast<double>(dense()));
        case 3: {
            const std::int64_t v = dense();
            return v == 0 || v == 1 ? Value(v == 1) : Value(static_cast<double>(v));
        }
        case 4:
        case 5: return std::isfinite(target) ? Value(target + pick(g, OFFSETS)) : Value(target);
        case 6: return Value(pick(g, EXTREMES));
        case 7: return Value(NaN);
        case 8: return Value(g.standard_normal());
        case 9: return std::nullopt;
        case 10: return std::isfinite(target) && std::abs(target) < 1e15 ? Value(static_cast<std::int64_t>(std::llround(target)) + g.integers(-1, 2))
                                                                      : Value(target);
        default: return Value(target);
    }
}

Value string_list(numeric::Generator& g, std::int64_t most) {
    runtime::List items;
    const std::int64_t count = g.integers(0, most + 1);
    for (std::int64_t i = 0; i < count; ++i) items.push_back(Value(pick(g, STRINGS)));
    return Value::list(std::move(items));
}

double number_of(const Value& v) { return v.is_bool() ? (v.as_bool() ? 1.0 : 0.0) : v.to_double(); }

// A target taken from the pool's own values half of the time (ties at the cutoff).
Value numeric_param(numeric::Generator& g, const std::vector<Value>& seen) {
    if (!seen.empty() && chance(g, 0.4)) {
        const Value& v = pick(g, seen);
        if (v.is_number() && !v.is_nan()) return v;
    }
    return numeric_target(g);
}

Dict leaf_params(const BuiltinOperatorFacts& facts, numeric::Generator& g, std::size_t size,
                 const std::vector<Value>& seen) {
    Dict params{{"field", "x"}};
    switch (facts.shape) {
        case ParameterShape::threshold:
            if (facts.accepts(FieldType::categorical) && (!facts.accepts(FieldType::numeric) || chance(g, 0.35))) {
                params.set("field", "c");
                params.set("value", chance(g, 0.9) ? Value(pick(g, STRINGS)) : Value(0.0));
            } else if (facts.accepts(FieldType::boolean) && chance(g, 0.2)) {
                params.set("field", "f");
                const std::array<Value, 5> flags = {Value(true), Value(false), Value(1), Value(0), Value(1.0)};
                params.set("value", pick(g, flags));
            } else {
                params.set("value", numeric_param(g, seen));
            }
            break;
        case ParameterShape::range: {
            Value low = numeric_param(g, seen);
            Value high = numeric_param(g, seen);
            const bool reversed = runtime::greater(low, high);
            if (reversed != chance(g, 0.08)) std::swap(low, high);  // a few reversed bounds on purpose
            params.set("low", low);
            params.set("high", high);
            break;
        }
        case ParameterShape::members:
            params.set("field", !facts.accepts(FieldType::categorical) || chance(g, 0.6) ? "tags" : "c");
            params.set("values", string_list(g, 4));
            break;
        case ParameterShape::share:
        case ParameterShape::count: {
            const std::array<double, 11> shares = {1e-9, 0.01, 0.1, 0.2, 0.25, 0.3, 0.5, 0.75, 0.999, 1.0, 0.4};
            const auto n_value = [&]() -> Value {
                const auto whole = static_cast<std::int64_t>(size);
                switch (g.integers(0, 9)) {
                    case 0:
                    case 1: return Value(1);
                    case 2: return Value(2);
                    case 3: return Value(3);
                    case 4: return Value(2.5);
                    case 5: return Value(whole);
                    case 6: return Value(whole + 3);
                    case 7: return Value(static_cast<double>(g.integers(1, 6)));
                    default: return Value(1000000);
                }
            };
            const bool share = facts.shape == ParameterShape::share;
            if (share || chance(g, 0.25)) params.set("pct", chance(g, 0.85) ? pick(g, shares) : g.random() * 0.999 + 0.001);
            if (!share || chance(g, 0.3)) params.set("n", n_value());
            break;
        }
        case ParameterShape::children:
            break;
    }
    return params;
}

std::optional<std::vector<IdSet>> children_of(numeric::Generator& g, const SignalPool& pool) {
    const std::array<int, 10> counts = {0, 1, 1, 2, 2, 3, 3, 4, 5, 6};
    const int count = pick(g, counts);
    std::vector<IdSet> children;
    for (int k = 0; k < count; ++k) {
        if (k > 0 && chance(g, 0.15)) {
            children.push_back(children[static_cast<std::size_t>(g.integers(0, k))]);  // the same child twice
            continue;
        }
        const double share = std::sqrt(g.random()) * (chance(g, 0.1) ? 0.0 : 1.0);
        IdSet child = IdSet::over(pool.index());
        const bool whole = chance(g, 0.1);
        for (std::size_t i = 0; i < pool.size(); ++i) {
            if (whole || g.random() < share) child.insert_pos(static_cast<std::uint32_t>(i));
        }
        children.push_back(std::move(child));
    }
    return children;
}

std::string id_of(const char* prefix, std::size_t i) { return prefix + std::to_string(i); }

}  // namespace

Value adversarial_string(numeric::Generator& g) { return Value(pick(g, STRINGS)); }

AdversarialPool adversarial_pool(bool combines, numeric::Generator& g, std::size_t size) {
    auto pool = std::make_shared<SignalPool>();
    pool->reserve(size);
    AdversarialPool out;
    if (combines) {
        for (std::size_t i = 0; i < size; ++i) pool->insert(id_of("s", i), UsefulSignal::make(Dict{}));
        out.pool = std::move(pool);
        return out;
    }
    const double target = number_of(numeric_target(g));
    const bool with_none = chance(g, 0.06);
    for (std::size_t i = 0; i < size; ++i) {
        Dict md;
        const bool first = i == 0;
        if (std::optional<Value> x = numeric_value(g, target, first)) {
            if (with_none && !first && chance(g, 0.15)) x = Value();
            md.set("x", *x);
            if (out.seen.size() < 64) out.seen.push_back(*x);
        }
        md.set("c", !first && chance(g, 0.08) ? Value(NaN) : Value(pick(g, STRINGS)));
        md.set("tags", !first && with_none && chance(g, 0.1) ? Value() : string_list(g, 3));
        const std::array<Value, 6> flags = {Value(true), Value(false), Value(true), Value(false), Value(NaN), Value(1)};
        md.set("f", first ? Value(chance(g, 0.5)) : pick(g, flags));
        pool->insert(id_of("s", i), UsefulSignal::make(std::move(md)));
    }
    out.pool = std::move(pool);
    return out;
}

StrictCase adversarial_case(const BuiltinOperatorFacts& facts, numeric::Generator& g, const AdversarialPool& pool) {
    StrictCase c;
    c.pool = pool.pool;
    if (facts.combines()) {
        c.children = children_of(g, *pool.pool);
        if (facts.children_case == ChildrenCase::one_kept && chance(g, 0.6)) {
            const std::array<Value, 4> flags = {Value(true), Value(false), Value(1), Value(0)};
            c.params.set("select_all", pick(g, flags));
        }
        return c;
    }
    c.params = leaf_params(facts, g, pool.pool->size(), pool.seen);
    return c;
}

StrictCase adversarial_case(const BuiltinOperatorFacts& facts, numeric::Generator& g, std::size_t size) {
    const AdversarialPool pool = adversarial_pool(facts.combines(), g, size);
    return adversarial_case(facts, g, pool);
}

std::shared_ptr<const AdversarialPool> shared_adversarial_pool(bool combines, std::uint64_t key, std::size_t size) {
    static std::mutex mutex;
    static std::map<std::tuple<bool, std::uint64_t, std::size_t>, std::shared_ptr<const AdversarialPool>> pools;
    const std::lock_guard lock(mutex);
    if (pools.size() > 256) pools.clear();  // runs with other seeds
    auto& pool = pools[{combines, key, size}];
    if (!pool) {
        numeric::Generator g(key);
        pool = std::make_shared<const AdversarialPool>(adversarial_pool(combines, g, size));
    }
    return pool;
}

std::shared_ptr<const SignalPool> numeric_pool(std::size_t size, numeric::Generator& g, const char* prefix,
                                               bool strings) {
    auto pool = std::make_shared<SignalPool>();
    pool->reserve(size);
    for (std::size_t i = 0; i < size; ++i) {
        runtime::List tags{Value(pick(g, STRINGS)), Value(pick(g, STRINGS))};
        Dict md{{"x", g.standard_normal()}, {"tags", Value::list(std::move(tags))}};
        if (strings) md.set("c", STRINGS[i % STRINGS.size()]);
        pool->insert(id_of(prefix, i), UsefulSignal::make(std::move(md)));
    }
    return pool;
}

namespace {

// The large pools, built once per size for the whole process (operators only read them; the
// column store guards itself): a run over many operators times their calls, not the building.
std::shared_ptr<const SignalPool> shared_numeric_pool(std::size_t size, bool strings) {
    static std::mutex mutex;
    static std::map<std::pair<std::size_t, bool>, std::shared_ptr<const SignalPool>> pools;
    const std::lock_guard lock(mutex);
    auto& pool = pools[{size, strings}];
    if (!pool) {
        numeric::Generator g(0x5EED0000ULL + size);
        pool = numeric_pool(size, g, "s", strings);
    }
    return pool;
}

}  // namespace

StrictCase large_case(const BuiltinOperatorFacts& facts, std::size_t size, numeric::Generator& g) {
    StrictCase c;
    // A leaf of a string field only gets the string field too (a larger pool bends the timings).
    const bool strings = !facts.combines() && facts.shape == ParameterShape::threshold && !facts.accepts(FieldType::numeric);
    c.pool = shared_numeric_pool(size, strings);
    if (facts.combines()) {
        IdSet half = IdSet::over(c.pool->index());
        IdSet quarter = IdSet::over(c.pool->index());
        for (std::size_t i = 0; i < size; ++i) {
            if (i < size / 2) half.insert_pos(static_cast<std::uint32_t>(i));
            if (i >= size / 4) quarter.insert_pos(static_cast<std::uint32_t>(i));
        }
        c.children = facts.children_case == ChildrenCase::one_complemented || facts.children_case == ChildrenCase::one_kept
                         ? std::vector<IdSet>{half}
                         : std::vector<IdSet>{half, quarter};
        return c;
    }
    switch (facts.shape) {
        case ParameterShape::threshold:
            c.params = facts.accepts(FieldType::numeric) ? Dict{{"field", "x"}, {"value", 0.0}}
                                                         : Dict{{"field", "c"}, {"value", "mom"}};
            break;
        case ParameterShape::range: c.params = Dict{{"field", "x"}, {"low", -0.5}, {"high", 0.5}}; break;
        case ParameterShape::members:
            c.params = Dict{{"field", "tags"}, {"values", Value::list({Value("a"), Value("mom")})}};
            break;
        case ParameterShape::share: c.params = Dict{{"field", "x"}, {"pct", g.random() * 0.5 + 0.05}}; break;
        case ParameterShape::count: c.params = Dict{{"field", "x"}, {"n", g.integers(1, 20)}}; break;
        case ParameterShape::children: break;
    }
    return c;
}

IdSet strict_call_shared(const Operator& op, const std::string& op_name, const SignalPool& pool, Dict& params,
                         std::vector<IdSet>* children) {
    const IdSet pool_keys = pool.keys();
    OperatorCall call;
    call.params = &params;
    PreparedField prepared;
    if (children != nullptr) {
        call.form = CallForm::combinator;
        call.pool_keys = &pool_keys;
        call.children_results = children;
    } else {
        prepared = preprocess_field(pool, params, op_name);
        call.form = CallForm::field_leaf;
        call.prepared = &prepared;
    }
    SharedArguments shared(params, children);
    return postprocess_result(op(call), pool_keys);
}

CallOutcome strict_call(const Operator& op, const std::string& op_name, const StrictCase& c) {
    runtime::check_interrupt();
    try {
        Dict params = c.params.deep_copy();
        std::optional<std::vector<IdSet>> children = c.children;
        return strict_call_shared(op, op_name, *c.pool, params, children ? &*children : nullptr);
    } catch (const std::exception& e) {
        runtime::rethrow_if_fatal(e);
        return runtime::error_kind(e);
    }
}

}  // namespace brindlecap::functions::filtrations_evaluation::detail
