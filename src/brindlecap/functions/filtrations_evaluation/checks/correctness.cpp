// Reference-equivalence check: custom test cases, or the built-in parameter sets compared with
// the reference operators (combinators against fixed expected sets).

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "brindlecap/functions/filtrations_evaluation/checks/check_support_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/checks/checks_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/core/operator_table_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/harness/invocation_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/harness/reference_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/harness/run_observer_internal.hpp"
#include "brindlecap/runtime/errors.hpp"

namespace brindlecap::functions::filtrations_evaluation::detail {

namespace {

// The match evidence of tests_run comparisons of which matches agreed.
void record_matches(Dict& evidence, double match_rate, std::int64_t matches, std::int64_t tests_run) {
    evidence.set("match_rate", match_rate);
    evidence.set("match_count", matches);
    evidence.set("tests_run", tests_run);
    evidence.set("tests_passed", matches);
    evidence.set("mismatch_count", tests_run - matches);
    evidence.set("mismatch_rate", 1.0 - match_rate);
}

// The fixed parameter sets of a comparison or rank operator, fresh mappings (an operator may
// change them).
std::vector<Dict> default_parameter_sets(const std::string& op_name) {
    std::vector<Dict> sets;
    for (const Dict& params : leaf_parameters(op_name).correctness) sets.push_back(params.deep_copy());
    return sets;
}

IdSet graded_range(const SignalPool& pool, int first, int last) {
    IdSet out = IdSet::over(pool.index());
    char buf[16];
    for (int i = first; i <= last; ++i) {
        std::snprintf(buf, sizeof buf, "test_%03d", i);
        out.insert(buf);
    }
    return out;
}

// Children and expected result of a combinator or the wrapper on the correctness pool.
std::pair<std::vector<IdSet>, IdSet> combinator_case(const std::string& op_name, const SignalPool& pool) {
    const IdSet a = graded_range(pool, 0, 4);
    const IdSet b = graded_range(pool, 3, 7);
    const BuiltinOperatorFacts* builtin = find_builtin(op_name);
    switch (builtin != nullptr ? builtin->children_case : ChildrenCase::one_kept) {
        case ChildrenCase::two_intersected:
            return {{a, b}, a & b};
        case ChildrenCase::two_united:
            return {{a, b}, a | b};
        case ChildrenCase::one_complemented:
            return {{a}, pool.keys() - a};
        case ChildrenCase::one_kept:
        case ChildrenCase::none:
            break;
    }
    return {{a}, a};
}

// A case pool: signals are used as given, metadata dicts get all-zero weights.
SignalPool case_pool(const std::vector<std::pair<std::string, CorrectnessTestCase::PoolEntry>>& entries,
                     const FiltrationEvaluationConfig& config) {
    SignalPool pool;
    pool.reserve(entries.size());
    for (const auto& [id, entry] : entries) {
        if (const auto* signal = std::get_if<UsefulSignal>(&entry)) {
            pool.insert(id, *signal);
            continue;
        }
        const Dict& metadata = std::get<Dict>(entry);
        if (config.T < 0 || config.N_alloc < 0) {
            throw runtime::ValueError("negative dimensions are not allowed");
        }
        UsefulSignal signal;
        signal.weights = std::make_shared<numeric::Matrix>(numeric::Matrix::zeros(
            static_cast<std::size_t>(config.T), static_cast<std::size_t>(config.N_alloc)));
        signal.metadata = std::make_shared<Dict>(metadata.copy());
        pool.insert(id, std::move(signal));
    }
    return pool;
}

// Custom mode: every case must reproduce its expected set.
void run_custom_cases(const std::string& op_name, const Operator& op_impl, OperatorCategory category,
                      const FiltrationEvaluationConfig& config, const PoolPtr& synthetic_ptr,
                      const std::vector<CorrectnessTestCase>& test_cases, CheckRecorder& check) {
    const bool combines = category == OperatorCategory::boolean || category == OperatorCategory::wrapper;
    const auto n = static_cast<std::int64_t>(test_cases.size());
    check.evidence.set("custom_test_cases", true);
    check.evidence.set("test_case_count", n);
    const SignalPool& synthetic = *synthetic_ptr;
    std::int64_t case_passed = 0;
    std::int64_t missing_expected = 0;
    for (const CorrectnessTestCase& tc : test_cases) {
        if (!tc.expected) {
            ++missing_expected;
            continue;
        }
        SignalPool given;
        if (tc.pool) given = case_pool(*tc.pool, config);
        const SignalPool& pool = tc.pool ? given : synthetic;
        // The case's own mapping and children (an operator may change them for the cases after).
        const Dict no_params;
        const Dict& params = tc.params ? *tc.params : no_params;
        const std::optional<std::vector<IdSet>> one_empty_child{std::vector<IdSet>{IdSet{}}};
        const std::optional<std::vector<IdSet>>& case_children = tc.children_results ? tc.children_results : one_empty_child;
        const Dict given_params = params.copy();  // what reproducers replay
        const std::vector<IdSet> given_children = *case_children;
        const auto report = [&](std::optional<IdSet> selected) {
            report_disagreement([&] {
                std::optional<std::vector<IdSet>> children;
                if (combines) children = given_children;
                Disagreement d = make_disagreement(
                    "correctness", "custom case " + std::to_string(&tc - test_cases.data() + 1) + " of " + std::to_string(n),
                    op_name, op_impl, tc.pool ? std::make_shared<const SignalPool>(given) : synthetic_ptr, given_params,
                    std::move(children), tc.oracle ? Expectation::reference : Expectation::fixed_set);
                d.reference = tc.oracle;
                d.ids = *tc.expected;
                d.expected_seen = *tc.expected;
                d.selected_seen = std::move(selected);
                return d;
            });
        };
        attempt(
            [&] {
                const IdSet result = combines ? dispatch_op(op_name, op_impl, pool, params, case_children)
                                              : dispatch_op(op_name, op_impl, pool, params);
                if (result == *tc.expected) {
                    ++case_passed;
                } else {
                    report(result);
                }
            },
            [&](const std::exception& e) {
                report(std::nullopt);
                module_log().warning("correctness_test_case_failed",
                                     {{"op_name", op_name}, {"category", std::string(to_string(category))}}, &e);
            });
    }
    const double match_rate = n > 0 ? static_cast<double>(case_passed) / static_cast<double>(n) : 0.0;
    check.evidence.set("cases_tested", n);
    check.evidence.set("cases_passed", case_passed);
    record_matches(check.evidence, match_rate, case_passed, n);
    check.evidence.set("missing_expected_count", missing_expected);
    if (match_rate < 1.0) check.fail();
    if (missing_expected > 0) {
        check.fail("Custom cases missing explicit expected result: " + std::to_string(missing_expected));
    }
    check.note("Custom cases: " + std::to_string(case_passed) + "/" + std::to_string(n) + " passed");
}

// Default mode: the fixed parameter sets against the reference, combinators against fixed sets.
void run_default_cases(const std::string& op_name, const Operator& op_impl, OperatorCategory category,
                       const FiltrationEvaluationConfig& config, numeric::Generator& rng, CheckRecorder& check) {
    const PoolPtr pool = build_correctness_test_pool(config, rng, Weights::skipped);
    const std::optional<Operator> reference = get_reference_operator(op_name);
    std::int64_t tests_run = 0;
    std::int64_t matches = 0;

    if (category == OperatorCategory::comparison || category == OperatorCategory::rank) {
        if (!reference) throw runtime::RuntimeError("No independent reference operator for " + op_name);
        std::vector<Dict> parameter_sets = default_parameter_sets(op_name);
        for (Dict& params : parameter_sets) {
            ++tests_run;
            // One mapping for the operator and then its reference: what the operator changes in
            // it, the reference sees. Reproducers replay the set as given.
            const Dict given = params.copy();
            SharedArguments shared(params);
            const auto report = [&](std::optional<IdSet> want, std::optional<IdSet> got) {
                report_disagreement([&] {
                    Disagreement d = make_disagreement(
                        "correctness",
                        "parameter set " + std::to_string(tests_run) + " of " + std::to_string(parameter_sets.size()),
                        op_name, op_impl, pool, given, std::nullopt, Expectation::reference);
                    d.reference = reference;
                    d.expected_seen = std::move(want);
                    d.selected_seen = std::move(got);
                    return d;
                });
            };
            attempt(
                [&] {
                    const IdSet got = dispatch_op(op_name, op_impl, *pool, params);
                    const IdSet want = dispatch_op(op_name, *reference, *pool, params);
                    if (got == want) {
                        ++matches;
                    } else {
                        report(want, got);
                    }
                },
                [&](const std::exception&) { report(std::nullopt, std::nullopt); });
        }
    } else if (category == OperatorCategory::boolean || category == OperatorCategory::wrapper) {
        ++tests_run;
        const auto report = [&](std::optional<IdSet> got) {
            report_disagreement([&] {
                auto [children, expected] = combinator_case(op_name, *pool);
                Disagreement d = make_disagreement("correctness", "combinator case", op_name, op_impl, pool, Dict{},
                                                   std::move(children), Expectation::fixed_set);
                d.ids = expected;
                d.expected_seen = std::move(expected);
                d.selected_seen = std::move(got);
                return d;
            });
        };
        attempt(
            [&] {
                auto [children, expected] = combinator_case(op_name, *pool);
                const IdSet got = dispatch_op(op_name, op_impl, *pool, Dict{}, children);
                if (got == expected) {
                    ++matches;
                } else {
                    report(got);
                }
            },
            [&](const std::exception& e) {
                report(std::nullopt);
                module_log().warning("boolean_correctness_check_failed", {{"op_name", op_name}}, &e);
            });
    } else {
        ++tests_run;
        check.evidence.set("missing_correctness_oracle", true);
    }

    const double match_rate = static_cast<double>(matches) / static_cast<double>(std::max<std::int64_t>(1, tests_run));
    record_matches(check.evidence, match_rate, matches, tests_run);
    if (match_rate < 1.0) check.fail();
    check.note("Correctness check for " + op_name + ": " + std::to_string(matches) + "/" + std::to_string(tests_run));
}

}  // namespace

std::pair<std::vector<IdSet>, IdSet> correctness_combinator_case(const std::string& op_name, const SignalPool& pool) {
    return combinator_case(op_name, pool);
}

CheckOutcome run_check_3_correctness(const std::string& op_name, const Operator& op_impl,
                                     FiltrationEvaluationConfig& config, numeric::Generator& rng,
                                     const std::optional<std::vector<CorrectnessTestCase>>& test_cases) {
    CheckRecorder check("Correctness check");
    const OperatorCategory category = operator_category(op_name);
    const bool completed = check.guard([&] {
        const PoolPtr synthetic = check_pool(config, rng);
        if (test_cases && !test_cases->empty()) {
            run_custom_cases(op_name, op_impl, category, config, synthetic, *test_cases, check);
        } else {
            run_default_cases(op_name, op_impl, category, config, rng, check);
        }
    });
    if (!completed) check.evidence.set("match_rate", 0.0);
    return std::move(check).outcome();
}

}  // namespace brindlecap::functions::filtrations_evaluation::detail
