// Bias check: selection fractions of rank and comparison operators over random trial pools,
// metadata sensitivity of custom operators, and independence from pool order.

#include <cmath>
#include <cstdint>
#include <limits>
#include <memory>
#include <numeric>
#include <string>
#include <vector>

#include "brindlecap/functions/filtrations_evaluation/checks/check_support_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/checks/checks_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/core/errors.hpp"
#include "brindlecap/functions/filtrations_evaluation/core/operator_table_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/harness/invocation_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/harness/order_probe_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/harness/run_observer_internal.hpp"
#include "brindlecap/runtime/errors.hpp"
#include "brindlecap/runtime/log.hpp"
#include "brindlecap/runtime/text.hpp"

namespace brindlecap::functions::filtrations_evaluation::detail {

namespace {

constexpr double RANK_EXPECTED = 0.1;
constexpr double COMPARISON_EXPECTED = 0.5;

void merge(Dict& into, std::initializer_list<Dict::Entry> items) {
    for (const auto& [key, value] : items) into.set(key, value);
}

std::string four(double v) { return runtime::fixed(v, 4); }

double selection_fraction(const IdSet& result, const SignalPool& pool) {
    return pool.empty() ? 0.0 : static_cast<double>(result.size()) / static_cast<double>(pool.size());
}

double mean(const std::vector<double>& values) {
    return std::accumulate(values.begin(), values.end(), 0.0) / static_cast<double>(values.size());
}

// Trial parameters of a rank or comparison operator; a fresh mapping for every call.
Dict trial_params(const std::string& op_name, const FiltrationEvaluationConfig& config) {
    return leaf_parameters(op_name).bias_trial(config.N_signals);
}

struct TrialTally {
    std::vector<double> ratios;
    std::vector<std::string> errors;
};

// N_trials trials, each on a pool from a generator seeded by one draw of rng. Pool building
// errors leave the loop; operator errors are tallied by on_error.
template <class OnError>
TrialTally run_trials(const std::string& op_name, const Operator& op_impl, const FiltrationEvaluationConfig& config,
                      numeric::Generator& rng, OnError on_error) {
    TrialTally tally;
    for (std::int64_t trial = 0; trial < config.N_trials; ++trial) {
        numeric::Generator trial_rng = child_rng(rng);
        const PoolPtr pool = generate_unweighted_signals(config, std::move(trial_rng));
        attempt(
            [&] {
                const IdSet result = dispatch_op(op_name, op_impl, *pool, trial_params(op_name, config));
                tally.ratios.push_back(selection_fraction(result, *pool));
                if (RunObserver* observer = run_observer()) observer->bias_trial(op_name, trial, tally.ratios.back());
            },
            [&](const std::exception& e) {
                if (RunObserver* observer = run_observer()) observer->bias_trial(op_name, trial, std::nullopt);
                on_error(e, tally);
            });
    }
    return tally;
}

// The keys recorded when trials ran but none succeeded.
void record_all_trials_failed(Dict& evidence, const FiltrationEvaluationConfig& config, double expected,
                              const TrialTally& tally, const std::string& operator_error) {
    merge(evidence, {{"observed_ratio", 0.0},
                     {"expected_ratio", expected},
                     {"tolerance", config.bias_tolerance},
                     {"n_trials", config.N_trials},
                     {"successful_trials", 0},
                     {"failed_trials", static_cast<std::int64_t>(tally.errors.size())},
                     {"deviation", std::abs(0.0 - expected)},
                     {"bias_within_tolerance", false},
                     {"operator_error", operator_error}});
}

void record_id_order(CheckRecorder& check, bool order_ok) {
    check.evidence.set("id_order_independent", order_ok);
    if (!order_ok) check.fail("ID-order dependence detected");
}

void guarded_id_order_probe(const std::string& op_name, const Operator& op_impl, OperatorCategory category,
                            const FiltrationEvaluationConfig& config, CheckRecorder& check) {
    bool order_ok = false;
    attempt([&] { order_ok = test_id_order_independence(op_name, op_impl, category, config); },
            [&](const std::exception& e) {
                order_ok = false;
                check.evidence.set("id_order_error", runtime::error_text(e));
                check.note("ID-order probe raised under the evaluation boilerplate");
            });
    record_id_order(check, order_ok);
}

// A number's negation; the one int64 without a negation becomes the float Python would print.
Value negated(const Value& v) {
    if (v.is_float()) return Value(-v.as_float());
    const std::int64_t i = v.as_int();
    if (i == std::numeric_limits<std::int64_t>::min()) return Value(-static_cast<double>(i));
    return Value(-i);
}

// The pool in the same order with is_sharpe negated where it is a number.
PoolPtr negated_sharpe_pool(const SignalPool& pool) {
    auto out = std::make_shared<SignalPool>();
    out->reserve(pool.size());
    for (const auto& [id, signal] : pool) {
        UsefulSignal copy;
        copy.weights = signal.weights;
        copy.pnl = signal.pnl;
        auto metadata = std::make_shared<Dict>(signal.metadata->copy());
        if (const Value* sharpe = metadata->find("is_sharpe"); sharpe != nullptr && sharpe->is_number()) {
            metadata->set(Value("is_sharpe"), negated(*sharpe));
        }
        copy.metadata = std::move(metadata);
        out->insert(id, std::move(copy));
    }
    pool_keeper().append(out);
    return out;
}

void rank_bias(const std::string& op_name, const Operator& op_impl, FiltrationEvaluationConfig& config,
               numeric::Generator& rng, CheckRecorder& check) {
    const TrialTally tally = run_trials(op_name, op_impl, config, rng, [&](const std::exception& e, TrialTally& t) {
        if (dynamic_cast<const EmptyFiltrationError*>(&e) != nullptr) {
            module_log().debug("rank_bias_trial_empty_filtration",
                               {{"op_name", op_name},
                                {"error", runtime::error_text(e)},
                                {"error_type", runtime::error_kind(e)}});
            return;
        }
        t.errors.push_back(runtime::error_text(e));
        module_log().warning("rank_bias_trial_failed", {{"op_name", op_name}}, &e);
    });
    if (!tally.ratios.empty()) {
        const double observed = mean(tally.ratios);
        merge(check.evidence, {{"observed_ratio", observed},
                               {"expected_ratio", RANK_EXPECTED},
                               {"tolerance", config.bias_tolerance},
                               {"n_trials", static_cast<std::int64_t>(tally.ratios.size())}});
        const double deviation = std::abs(observed - RANK_EXPECTED);
        if (deviation > config.bias_tolerance) {
            check.evidence.set("bias_within_tolerance", false);
            check.evidence.set("deviation", deviation);
            check.fail("Bias detected: observed " + four(observed) + " vs expected " + four(RANK_EXPECTED));
        } else {
            check.evidence.set("bias_within_tolerance", true);
            check.note("Bias OK: " + four(observed) + " ~ " + four(RANK_EXPECTED));
        }
    } else if (!tally.errors.empty()) {
        record_all_trials_failed(check.evidence, config, RANK_EXPECTED, tally, tally.errors.front());
        check.fail("Bias check failed because rank trials raised under the evaluation boilerplate");
    }
    guarded_id_order_probe(op_name, op_impl, OperatorCategory::rank, config, check);
}

void comparison_bias(const std::string& op_name, const Operator& op_impl, FiltrationEvaluationConfig& config,
                     numeric::Generator& rng, CheckRecorder& check) {
    const TrialTally tally = run_trials(op_name, op_impl, config, rng, [&](const std::exception& e, TrialTally& t) {
        t.errors.emplace_back("comparison trial failed");
        module_log().warning("comparison_performance_trial_failed", {{"op_name", op_name}}, &e);
    });
    if (!tally.ratios.empty()) {
        const double observed = mean(tally.ratios);
        merge(check.evidence, {{"observed_ratio", observed},
                               {"expected_ratio", COMPARISON_EXPECTED},
                               {"tolerance", config.bias_tolerance},
                               {"n_trials", static_cast<std::int64_t>(tally.ratios.size())},
                               {"bias_within_tolerance", true}});
        check.note("Mean selection ratio: " + four(observed));
    } else if (!tally.errors.empty()) {
        record_all_trials_failed(check.evidence, config, COMPARISON_EXPECTED, tally, "comparison trial failed");
        check.fail("Bias check failed because comparison trials raised under the evaluation boilerplate");
    }
    guarded_id_order_probe(op_name, op_impl, OperatorCategory::comparison, config, check);
}

// Custom operators: the output must follow the metadata it filters on.
void metadata_sensitivity(const std::string& op_name, const Operator& op_impl, FiltrationEvaluationConfig& config,
                          CheckRecorder& check) {
    const PoolPtr pool = generate_unweighted_signals(config, make_rng(config.seed));
    attempt(
        [&] {
            // One mapping for both calls: the second sees what the first changed in it.
            Dict params{{"field", "is_sharpe"}, {"value", 0.0}};
            const SharedArguments shared(params);
            const IdSet first = dispatch_op(op_name, op_impl, *pool, params);
            const double ratio = selection_fraction(first, *pool);
            const PoolPtr negated = negated_sharpe_pool(*pool);
            const IdSet second = dispatch_op(op_name, op_impl, *negated, params);
            if (first == second && ratio > 0.0 && ratio < 1.0) {
                merge(check.evidence, {{"observed_ratio", ratio},
                                       {"expected_ratio", 1.0 - ratio},
                                       {"tolerance", config.bias_tolerance},
                                       {"bias_within_tolerance", false},
                                       {"metadata_sensitivity", false}});
                check.fail("Bias detected: operator ignores metadata values");
            } else {
                merge(check.evidence, {{"observed_ratio", ratio},
                                       {"expected_ratio", COMPARISON_EXPECTED},
                                       {"tolerance", config.bias_tolerance},
                                       {"bias_within_tolerance", true},
                                       {"metadata_sensitivity", true}});
                check.note("Mean selection ratio: " + four(ratio));
            }
        },
        [&](const std::exception&) {
            merge(check.evidence, {{"observed_ratio", 1.0},
                                   {"expected_ratio", 1.0},
                                   {"tolerance", config.bias_tolerance},
                                   {"bias_within_tolerance", true}});
        });
    record_id_order(check, test_id_order_independence(op_name, op_impl, OperatorCategory::unknown, config));
}

}  // namespace

CheckOutcome run_check_7_bias(const std::string& op_name, const Operator& op_impl,
                              FiltrationEvaluationConfig& config, numeric::Generator& rng) {
    CheckRecorder check("Bias check");
    const OperatorCategory category = operator_category(op_name);
    check.guard([&] {
        switch (category) {
            case OperatorCategory::boolean:
            case OperatorCategory::wrapper:
                merge(check.evidence,
                      {{"observed_ratio", 1.0}, {"expected_ratio", 1.0}, {"bias_within_tolerance", true}});
                check.note("Boolean/wrapper: bias check N/A, pass by default");
                break;
            case OperatorCategory::rank:
                rank_bias(op_name, op_impl, config, rng, check);
                break;
            case OperatorCategory::comparison:
                comparison_bias(op_name, op_impl, config, rng, check);
                break;
            case OperatorCategory::unknown:
                metadata_sensitivity(op_name, op_impl, config, check);
                break;
        }
    });
    return std::move(check).outcome();
}

}  // namespace brindlecap::functions::filtrations_evaluation::detail
