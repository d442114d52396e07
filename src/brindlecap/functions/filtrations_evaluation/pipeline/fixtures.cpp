// Fixture pools of the acceptance checks and the operator invocation path.

#include "brindlecap/functions/filtrations_evaluation/pipeline/fixtures.hpp"

#include <cmath>
#include <cstdio>
#include <set>
#include <unordered_map>

#include "brindlecap/functions/filtrations_evaluation/pipeline/results.hpp"
#include "brindlecap/functions/filtrations_evaluation/tree/dispatch.hpp"
#include "brindlecap/runtime/errors.hpp"
#include "brindlecap/runtime/text.hpp"

namespace brindlecap::functions::filtrations_evaluation::detail {

using runtime::List;

// ---- pool keeper ---------------------------------------------------------------------------

void PoolKeeper::append(const PoolPtr& pool) {
    std::lock_guard lock(mutex_);
    // Forget pools that are gone once the list doubles, so it stays proportional to live pools.
    if (pools_.size() >= 64 && pools_.size() == pools_.capacity()) {
        std::erase_if(pools_, [](const std::weak_ptr<SignalPool>& p) { return p.expired(); });
    }
    pools_.push_back(pool);
    ++appended_;
}

void PoolKeeper::clear() {
    std::lock_guard lock(mutex_);
    pools_.clear();
    pools_.shrink_to_fit();
    appended_ = 0;
}

std::size_t PoolKeeper::size() const {
    std::lock_guard lock(mutex_);
    return appended_;
}

std::size_t PoolKeeper::alive() const {
    std::lock_guard lock(mutex_);
    std::size_t n = 0;
    for (const auto& p : pools_) n += p.expired() ? 0 : 1;
    return n;
}

PoolKeeper& pool_keeper() {
    static PoolKeeper keeper;
    return keeper;
}

// ---- rng helpers -----------------------------------------------------------------------------

numeric::Generator make_rng(std::int64_t seed) {
    if (seed < 0) throw runtime::ValueError("expected non-negative integer");
    return numeric::default_rng(static_cast<std::uint64_t>(seed));
}

std::size_t dimension(std::int64_t n) {
    if (n < 0) throw runtime::ValueError("negative dimensions are not allowed");
    return static_cast<std::size_t>(n);
}

// ---- categories and invocation -----------------------------------------------------------------

std::string get_operator_category(const std::string& op_name) {
    if (COMPARISON_OPS.contains(op_name)) return "comparison";
    if (RANK_OPS.contains(op_name)) return "rank";
    if (BOOLEAN_OPS.contains(op_name)) return "boolean";
    if (op_name == "filtration") return "wrapper";
    return "unknown";
}

IdSet dispatch_op(const std::string& op_name, const Operator& op_impl, const SignalPool& pool,
                  const Dict& params, const std::optional<std::vector<IdSet>>& children_results) {
    if (children_results) {
        return prepare_and_dispatch(op_impl, pool, params, children_results->size(), *children_results,
                                    op_name);
    }
    return prepare_and_dispatch(op_impl, pool, params, 0, {}, op_name);
}

namespace {

// One child result given as an open value: a set object or a list of identifier strings.
IdSet child_set(const Value& v, const SignalPool& pool) {
    if (v.is_object()) {
        if (const auto* s = dynamic_cast<const IdSetObject*>(&v.as_object())) return s->ids;
    } else if (v.is_list()) {
        IdSet out = IdSet::over(pool.index());
        for (const Value& item : v.as_list()) {
            if (!item.is_str()) {
                throw runtime::TypeError("children_results entries must hold str identifiers, got " +
                                         runtime::type_name(item));
            }
            out.insert(item.as_str());
        }
        return out;
    }
    throw runtime::TypeError("children_results entries must be sets or lists of str, got " +
                             runtime::type_name(v));
}

std::optional<std::vector<IdSet>> children_from_value(const Value& v, const SignalPool& pool) {
    if (v.is_none()) return std::nullopt;
    if (!v.is_list()) {
        throw runtime::TypeError("children_results must be a list, got " + runtime::type_name(v));
    }
    std::vector<IdSet> out;
    out.reserve(v.as_list().size());
    for (const Value& item : v.as_list()) out.push_back(child_set(item, pool));
    return out;
}

// The first half of the pool in iteration order.
IdSet first_half(const SignalPool& pool) {
    IdSet out = IdSet::over(pool.index());
    const std::size_t half = pool.size() / 2;
    for (std::size_t i = 0; i < half; ++i) out.insert(pool.id(i));
    return out;
}

}  // namespace

IdSet call_operator(const std::string& op_name, const Operator& op_impl, const SignalPool& pool,
                    const std::string& category, Dict* params) {
    const bool combines = category == "boolean" || category == "wrapper";
    if (params != nullptr) {
        if (!combines) return dispatch_op(op_name, op_impl, pool, *params);
        std::optional<Value> given = params->pop(Value("children_results"));
        std::optional<std::vector<IdSet>> children =
            given ? children_from_value(*given, pool) : std::vector<IdSet>{IdSet{}};
        return dispatch_op(op_name, op_impl, pool, *params, children);
    }

    if (combines) return dispatch_op(op_name, op_impl, pool, Dict{}, std::vector<IdSet>{first_half(pool)});
    Dict defaults;
    if (op_name == "top_pct" || op_name == "bottom_pct") {
        defaults = Dict{{"field", "is_sharpe"}, {"pct", 0.5}};
    } else if (op_name == "top_n" || op_name == "bottom_n") {
        defaults = Dict{{"field", "is_sharpe"}, {"n", 5}};
    } else if (op_name == "between") {
        defaults = Dict{{"field", "is_sharpe"}, {"low", -10.0}, {"high", 10.0}};
    } else if (op_name == "in_") {
        defaults = Dict{{"field", "rotation_families_used"}, {"values", Value::list({"numerical"})}};
    } else {
        defaults = Dict{{"field", "is_sharpe"}, {"value", 0.0}};
    }
    return dispatch_op(op_name, op_impl, pool, defaults);
}

// ---- pool builders -----------------------------------------------------------------------------

namespace {

const std::vector<std::string>& rotation_families() {
    static const std::vector<std::string> v = {"numerical",  "latitudinal", "longitudinal",
                                               "collection", "comparison",  "event"};
    return v;
}

const std::vector<std::string>& signal_categories() {
    static const std::vector<std::string> v = {"momentum", "value", "volatility", "quality"};
    return v;
}

std::string padded(const char* prefix, std::size_t i, int width) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%0*zu", width, i);
    return prefix + std::string(buf);
}

DictPtr metadata_copy(const Value& metadata) {
    if (!metadata.is_dict()) {
        throw runtime::TypeError("signal metadata must be a dict, got " + runtime::type_name(metadata));
    }
    return std::make_shared<Dict>(metadata.as_dict().deep_copy());
}

UsefulSignal signal_with(numeric::Matrix weights, DictPtr metadata) {
    UsefulSignal s;
    s.weights = std::make_shared<numeric::Matrix>(std::move(weights));
    s.metadata = std::move(metadata);
    return s;
}

UsefulSignal unweighted_signal(DictPtr metadata) {
    UsefulSignal s;
    s.metadata = std::move(metadata);
    return s;
}

// One signal per metadata entry; the generator serves the weights only, so without weights
// (rng null) nothing is drawn.
PoolPtr metadata_branch(const Dict& signal_metadata, std::int64_t T, std::int64_t N_alloc,
                        numeric::Generator* rng) {
    const std::size_t rows = dimension(T);
    const std::size_t cols = dimension(N_alloc);
    auto pool = std::make_shared<SignalPool>();
    pool->reserve(signal_metadata.size());
    for (const auto& [id, metadata] : signal_metadata) {
        if (rng != nullptr) {
            pool->insert(id.as_str(), signal_with(rng->standard_normal(rows, cols), metadata_copy(metadata)));
        } else {
            pool->insert(id.as_str(), unweighted_signal(metadata_copy(metadata)));
        }
    }
    return pool;
}

const std::optional<Dict>& metadata_source(const FiltrationEvaluationConfig& config) {
    return config.signal_metadata ? config.signal_metadata : config.mock_signals;
}

void require_synthetic_allowed(const FiltrationEvaluationConfig& config) {
    if (config.mode && *config.mode == "real") {
        throw runtime::ValueError(
            "signal_metadata is required after real-mode ingestion; synthetic signal metadata is "
            "not allowed in mode='real'.");
    }
}

std::size_t signal_count(const FiltrationEvaluationConfig& config) {
    return config.N_signals > 0 ? static_cast<std::size_t>(config.N_signals) : 0;
}

}  // namespace

PoolPtr metadata_pool(const Dict& signal_metadata, std::int64_t T, std::int64_t N_alloc,
                      numeric::Generator& rng) {
    return metadata_branch(signal_metadata, T, N_alloc, &rng);
}

PoolPtr synthetic_pool(std::size_t count, std::string_view id_prefix, std::int64_t T, std::int64_t N_alloc,
                       numeric::Generator& g, Weights weights) {
    const std::size_t rows = dimension(T);
    const std::size_t cols = dimension(N_alloc);
    const auto& families = rotation_families();
    const auto& categories = signal_categories();
    const std::string prefix(id_prefix);

    auto pool = std::make_shared<SignalPool>();
    pool->reserve(count);
    for (std::size_t i = 0; i < count; ++i) {
        const auto k = static_cast<std::size_t>(g.integers(1, 4));
        numeric::MatrixPtr matrix;
        if (weights == Weights::drawn) {
            matrix = std::make_shared<numeric::Matrix>(g.standard_normal(rows, cols));
        } else {
            g.skip_standard_normal(rows * cols);
        }
        const double is_sharpe = g.standard_normal();
        const double os_sharpe = g.standard_normal();
        const double is_returns = g.standard_normal() * 0.1;
        const double os_returns = g.standard_normal() * 0.1;
        const double is_turnover = std::abs(g.standard_normal());
        const double os_turnover = std::abs(g.standard_normal());
        List used;
        for (std::size_t idx : g.choice_without_replacement(families.size(), k)) used.emplace_back(families[idx]);
        const std::int64_t complexity = g.integers(1, 21);
        const double submission_date = 1.7e9 + g.uniform(0.0, 1e7);
        const bool is_active = g.choice(2) == 0;  // choice([True, False])
        const std::string& category = g.choice(categories);

        auto metadata = std::make_shared<Dict>(Dict{
            {"is_sharpe", is_sharpe},
            {"os_sharpe", os_sharpe},
            {"is_returns", is_returns},
            {"os_returns", os_returns},
            {"is_turnover", is_turnover},
            {"os_turnover", os_turnover},
            {"rotation_families_used", Value::list(std::move(used))},
            {"expression_complexity", complexity},
            {"submission_date", submission_date},
            {"is_active", is_active},
            {"signal_category", category},
        });
        UsefulSignal signal;
        signal.weights = std::move(matrix);
        signal.metadata = std::move(metadata);
        pool->insert(padded(prefix.c_str(), i, 4), std::move(signal));
    }
    return pool;
}

PoolPtr generate_synthetic_signals(const FiltrationEvaluationConfig& config, numeric::Generator* rng) {
    std::optional<numeric::Generator> own;
    PoolPtr pool;
    if (const auto& source = metadata_source(config)) {
        if (rng == nullptr) rng = &own.emplace(make_rng(config.seed));
        pool = metadata_branch(*source, config.T, config.N_alloc, rng);
    } else {
        require_synthetic_allowed(config);
        if (rng == nullptr) rng = &own.emplace(make_rng(config.seed));
        pool = synthetic_pool(signal_count(config), "synth_", config.T, config.N_alloc, *rng, Weights::drawn);
    }
    pool_keeper().append(pool);
    return pool;
}

PoolPtr generate_unweighted_signals(const FiltrationEvaluationConfig& config, numeric::Generator rng) {
    PoolPtr pool;
    if (const auto& source = metadata_source(config)) {
        pool = metadata_branch(*source, config.T, config.N_alloc, nullptr);
    } else {
        require_synthetic_allowed(config);
        pool = synthetic_pool(signal_count(config), "synth_", config.T, config.N_alloc, rng, Weights::skipped);
    }
    pool_keeper().append(pool);
    return pool;
}

PoolPtr build_correctness_test_pool(const FiltrationEvaluationConfig& config, numeric::Generator& rng) {
    numeric::Generator g = numeric::default_rng(static_cast<std::uint64_t>(rng.integers(0, 2147483648LL)));
    const std::size_t rows = dimension(config.T);
    const std::size_t cols = dimension(config.N_alloc);

    auto pool = std::make_shared<SignalPool>();
    pool->reserve(25);
    auto add = [&](std::string id, Dict metadata) {
        numeric::Matrix weights = g.standard_normal(rows, cols);
        pool->insert(std::move(id), signal_with(std::move(weights), std::make_shared<Dict>(std::move(metadata))));
    };

    for (std::int64_t i = 0; i < 20; ++i) {
        const double v = static_cast<double>(i) - 10.0;
        add(padded("test_", static_cast<std::size_t>(i), 3),
            Dict{
                {"is_sharpe", v},
                {"is_returns", 0.01 * v},
                {"is_turnover", std::abs(v)},
                {"submission_date", 1.7e9 + static_cast<double>(i)},
                {"rotation_families_used", Value::list({i % 3 == 0 ? "numerical" : "latitudinal"})},
                {"expression_complexity", 5},
                {"is_active", i % 2 == 0},
                {"signal_category", i < 10 ? "momentum" : "value"},
            });
    }
    for (std::size_t j = 0; j < 3; ++j) {
        add(padded("test_tied_", j, 3), Dict{
                                            {"is_sharpe", 5.0},
                                            {"is_returns", 0.05},
                                            {"is_turnover", 1.0},
                                            {"submission_date", 1.7e9},
                                            {"rotation_families_used", Value::list({"numerical"})},
                                            {"expression_complexity", 5},
                                            {"is_active", true},
                                            {"signal_category", "momentum"},
                                        });
    }
    for (const auto& [id, sharpe] : {std::pair{"test_eq_near", 1e-13}, std::pair{"test_eq_exact", 0.0}}) {
        add(id, Dict{
                    {"is_sharpe", sharpe},
                    {"is_returns", 0.0},
                    {"rotation_families_used", Value::list({"numerical"})},
                    {"expression_complexity", 5},
                    {"is_active", true},
                    {"signal_category", "momentum"},
                });
    }
    pool_keeper().append(pool);
    return pool;
}

std::pair<PoolPtr, std::string> build_seeded_operator_fixture(const std::string& op_name,
                                                              const FiltrationEvaluationConfig& config) {
    numeric::Generator g = make_rng(config.seed);
    PoolPtr pool = generate_synthetic_signals(config, &g);
    return {std::move(pool), get_operator_category(op_name)};
}

bool test_id_order_independence(const std::string& op_name, const Operator& op_impl,
                                const std::string& category, const FiltrationEvaluationConfig& config) {
    // Both pools are seen only by the operator, so neither needs weights.
    PoolPtr first = generate_unweighted_signals(config, make_rng(config.seed));
    const IdSet first_result = call_operator(op_name, op_impl, *first, category);

    std::vector<std::size_t> order(first->size());
    for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
    numeric::default_rng(99).shuffle(order);

    auto second = std::make_shared<SignalPool>();
    second->reserve(order.size());
    for (std::size_t pos : order) {
        const UsefulSignal& s = first->signal(pos);
        UsefulSignal copy;
        copy.weights = s.weights;
        copy.pnl = s.pnl;
        copy.metadata = std::make_shared<Dict>(s.metadata->copy());
        second->insert(first->id(pos), std::move(copy));
    }
    pool_keeper().append(second);
    const IdSet second_result = call_operator(op_name, op_impl, *second, category);
    return first_result == second_result;
}

// ---- snapshots -----------------------------------------------------------------------------------

namespace {

numeric::MatrixPtr copy_of(const numeric::MatrixPtr& m) {
    return m ? std::make_shared<numeric::Matrix>(m->copy()) : nullptr;
}

}  // namespace

bool equal_allowing_nan(const Value& a, const Value& b) {
    if (a.is_float() && b.is_float() && std::isnan(a.as_float()) && std::isnan(b.as_float())) return true;
    if (a.is_list() && b.is_list()) {
        const List& x = a.as_list();
        const List& y = b.as_list();
        if (x.size() != y.size()) return false;
        for (std::size_t i = 0; i < x.size(); ++i) {
            if (!equal_allowing_nan(x[i], y[i])) return false;
        }
        return true;
    }
    if (a.is_dict() && b.is_dict()) return equal_allowing_nan(a.as_dict(), b.as_dict());
    return a == b;
}

bool equal_allowing_nan(const Dict& a, const Dict& b) {
    if (a.size() != b.size()) return false;
    for (const auto& [key, value] : a) {
        const Value* other = b.find(key);
        if (other == nullptr || !equal_allowing_nan(value, *other)) return false;
    }
    return true;
}

PoolSnapshot snapshot_signal_pool(const SignalPool& pool) {
    PoolSnapshot out;
    out.reserve(pool.size());
    for (const auto& [id, signal] : pool) {
        out.emplace_back(id, SignalSnapshot{copy_of(signal.weights), copy_of(signal.pnl),
                                            signal.metadata ? signal.metadata->deep_copy() : Dict{}});
    }
    return out;
}

bool pool_matches_snapshot(const SignalPool& pool, const PoolSnapshot& snapshot) {
    std::unordered_map<std::string_view, const SignalSnapshot*> by_id;
    by_id.reserve(snapshot.size());
    for (const auto& [id, snap] : snapshot) by_id[id] = &snap;

    // Same identifier sets.
    if (by_id.size() != pool.size()) return false;
    for (std::size_t i = 0; i < pool.size(); ++i) {
        if (!by_id.contains(pool.id(i))) return false;
    }

    for (const auto& [id, signal] : pool) {
        const SignalSnapshot& snap = *by_id.at(id);
        if (!signal.weights || !snap.weights) {
            if (signal.weights != snap.weights) return false;
        } else if (!numeric::array_equal(*signal.weights, *snap.weights, true)) {
            return false;
        }
        if (!signal.pnl || !snap.pnl) {
            if (signal.pnl || snap.pnl) return false;
        } else if (!numeric::array_equal(*signal.pnl, *snap.pnl, true)) {
            return false;
        }
        static const Dict kEmpty;
        if (!equal_allowing_nan(signal.metadata ? *signal.metadata : kEmpty, snap.metadata)) return false;
    }
    return true;
}

}  // namespace brindlecap::functions::filtrations_evaluation::detail
