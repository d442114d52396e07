// The acceptance pipeline driver: validate and ingest, plan the run, then per operator the
// canonical checks, the plug-ins and the verdict.

#include "brindlecap/functions/filtrations_evaluation/acceptance/evaluate_internal.hpp"

#include <algorithm>
#include <map>
#include <set>
#include <string>

#include "brindlecap/functions/filtrations_evaluation/acceptance/properties.hpp"
#include "brindlecap/functions/filtrations_evaluation/acceptance/references.hpp"
#include "brindlecap/functions/filtrations_evaluation/checks/catalogue_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/harness/pool_keeper_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/harness/synthetic_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/metadata/ingest_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/acceptance/plugins_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/tree/resolve_internal.hpp"
#include "brindlecap/runtime/errors.hpp"
#include "brindlecap/runtime/text.hpp"

namespace brindlecap::functions::filtrations_evaluation {

namespace detail {

namespace {

using Checks = std::vector<std::pair<std::string, CheckOutcome>>;
using TestCases = std::vector<CorrectnessTestCase>;
using CheckNumbers = std::set<std::int64_t>;

// What a run does, worked out before any check runs.
struct RunPlan {
    std::vector<evaluation_pipeline::CheckEntry> canonical;
    PluginEntries plugins;
    std::vector<EvalFiltrationConfig> configs;  // the caller's, or one per discovered operator
    std::map<std::string, const std::optional<TestCases>*> test_cases;  // the configs' own
};

// checks[name] = outcome, keeping the position of a name already present.
void set_check(Checks& checks, const std::string& name, CheckOutcome outcome) {
    for (auto& [existing, value] : checks) {
        if (existing == name) {
            value = std::move(outcome);
            return;
        }
    }
    checks.emplace_back(name, std::move(outcome));
}

std::string numbers_display(const CheckNumbers& numbers) {
    return runtime::int_set_display(std::vector<long long>(numbers.begin(), numbers.end()));
}

void validate_selection(const char* field, const CheckNumbers& selection, const CheckNumbers& valid,
                        std::int64_t maximum) {
    CheckNumbers invalid;
    std::set_difference(selection.begin(), selection.end(), valid.begin(), valid.end(),
                        std::inserter(invalid, invalid.end()));
    if (!invalid.empty()) {
        throw runtime::ValueError(std::string(field) + " values must be in [1, " + std::to_string(maximum) +
                                  "]. Got invalid: " + numbers_display(invalid) + ".");
    }
}

// Check entries, the skip and info selections, and the operators to judge.
RunPlan plan_run(const FiltrationEvaluationConfig& config,
                 std::optional<std::vector<EvalFiltrationConfig>> operator_configs,
                 const registry_and_store::FunctionStore& store) {
    RunPlan plan;
    plan.canonical = evaluation_pipeline::get_check_registry_entries("filtration");
    plan.plugins = get_plugin_check_entries();

    CheckNumbers valid;
    for (const auto& entry : plan.canonical) valid.insert(entry.first);
    for (const auto& entry : plan.plugins) valid.insert(entry.first);
    if (valid.empty()) throw runtime::ValueError("max() arg is an empty sequence");
    const std::int64_t maximum = *valid.rbegin();

    const CheckNumbers& skip = config.skip_checks;
    const CheckNumbers& info = config.info_checks;
    if (!skip.empty()) validate_selection("skip_checks", skip, valid, maximum);
    if (!info.empty()) validate_selection("info_checks", info, valid, maximum);
    if (!skip.empty() && !info.empty()) {
        CheckNumbers overlap;
        std::set_intersection(skip.begin(), skip.end(), info.begin(), info.end(),
                              std::inserter(overlap, overlap.end()));
        if (!overlap.empty()) {
            throw runtime::ValueError("skip_checks and info_checks must not overlap. Overlap: " +
                                      numbers_display(overlap) + ".");
        }
    }

    if (!operator_configs || operator_configs->empty()) {
        const auto names = store.list_by_function_type("filtration");
        if (names.empty()) throw runtime::ValueError("No filtration operators found in store.");
        for (const auto& name : names) plan.configs.push_back(EvalFiltrationConfig{name, std::nullopt});
    } else {
        plan.configs = std::move(*operator_configs);
    }
    apply_references(plan.configs, config);

    std::set<std::string, std::less<>> seen;
    for (const auto& op_config : plan.configs) {
        const std::string& name = op_config.name;
        if (!seen.insert(name).second) {
            throw runtime::ValueError("Duplicate filtration operator identity: " + runtime::repr(std::string_view(name)));
        }
        if (!store.has(name)) throw runtime::ValueError("Filtration operator '" + name + "' not found in store.");
        if (op_config.test_cases) plan.test_cases[name] = &op_config.test_cases;
    }
    return plan;
}

void run_canonical_checks(const RunPlan& plan, const std::string& name, const Operator& op_impl,
                          FiltrationEvaluationConfig& config, Checks& checks) {
    // Every operator sees the same sequence of check seeds.
    const auto seeds = draw_check_seeds(config.seed, plan.canonical, config.skip_checks);
    // The cases themselves, not copies: an operator may change a case's mapping for the cases after.
    static const std::optional<TestCases> no_cases;
    const auto it = plan.test_cases.find(name);
    const std::optional<TestCases>& cases = it != plan.test_cases.end() ? *it->second : no_cases;
    for (std::size_t i = 0; i < plan.canonical.size(); ++i) {
        const auto& [number, check_name] = plan.canonical[i];
        if (!seeds[i]) {
            set_check(checks, check_name,
                      CheckOutcome{CheckStatus::skip, "Check " + std::to_string(number) + " skipped", {}});
            continue;
        }
        runtime::check_interrupt();
        numeric::Generator check_rng = numeric::default_rng(*seeds[i]);
        const CheckDescriptor* check = catalogue_check(number);
        if (check == nullptr) throw runtime::KeyError(Value(number));
        set_check(checks, check_name, (*check)(name, op_impl, config, check_rng, cases));
    }
}

// The pool handed to a plug-in: one signal per ingested metadata entry, with a private deep copy
// of the metadata so that a plug-in cannot change the configuration; synthetic when none.
PoolPtr plugin_pool(const FiltrationEvaluationConfig& config) {
    numeric::Generator g = make_rng(config.seed);
    if (config.signal_metadata) return metadata_pool(*config.signal_metadata, config.T, config.N_alloc, g);
    return generate_synthetic_signals(config, &g);
}

bool plugin_applies(const PluginPtr& plugin, const Value& op_data_type) {
    const Value plugin_type = plugin->data_type();
    return plugin_type.is_none() || plugin_type == op_data_type;
}

void run_plugins(const RunPlan& plan, const std::string& name, const Operator& op_impl, const Value& op_data_type,
                 FiltrationEvaluationConfig& config, Checks& checks) {
    const JudgedOperator judged(name);
    for (const auto& [number, plugin] : plan.plugins) {
        const std::string plugin_name = plugin->name();
        if (config.skip_checks.contains(number)) {
            set_check(checks, plugin_name,
                      CheckOutcome{CheckStatus::skip, "Plugin check " + std::to_string(number) + " skipped", {}});
            continue;
        }
        if (!plugin_applies(plugin, op_data_type)) {
            set_check(checks, plugin_name,
                      CheckOutcome{CheckStatus::skip,
                                   "Plugin data_type '" + runtime::str(plugin->data_type()) + "' does not match operator",
                                   {}});
            continue;
        }
        CheckOutcome outcome;
        try {
            const PoolPtr pool = plugin_pool(config);
            outcome = plugin->validate(op_impl, *pool, config);
        } catch (const std::exception& e) {
            runtime::rethrow_if_fatal(e);
            const std::string text = runtime::error_text(e);
            outcome = CheckOutcome{CheckStatus::fail, "Plugin error: " + text, Dict{{"error", text}}};
        }
        set_check(checks, plugin_name, std::move(outcome));
    }
}

// Accepted unless a counted canonical check failed, or a counted plug-in that applies failed.
bool verdict(const RunPlan& plan, const Value& op_data_type, const FiltrationEvaluationConfig& config,
             const OperatorCheckResult& result) {
    const auto counted = [&](std::int64_t number) {
        return !config.skip_checks.contains(number) && !config.info_checks.contains(number);
    };
    const auto failed = [&](const std::string& check_name) {
        const CheckOutcome* outcome = result.check(check_name);
        return outcome != nullptr && outcome->status == CheckStatus::fail;
    };
    for (const auto& [number, check_name] : plan.canonical) {
        if (counted(number) && failed(check_name)) return false;
    }
    for (const auto& [number, plugin] : plan.plugins) {
        if (counted(number) && failed(plugin->name()) && plugin_applies(plugin, op_data_type)) return false;
    }
    return true;
}

}  // namespace

std::vector<std::optional<std::uint64_t>> draw_check_seeds(
    std::int64_t seed, const std::vector<evaluation_pipeline::CheckEntry>& canonical, const CheckNumbers& skip) {
    numeric::Generator rng = make_rng(seed);
    std::vector<std::optional<std::uint64_t>> out;
    out.reserve(canonical.size());
    for (const auto& entry : canonical) {
        if (skip.contains(entry.first)) {
            out.emplace_back(std::nullopt);
        } else {
            out.emplace_back(static_cast<std::uint64_t>(rng.integers(0, SEED_BOUND)));
        }
    }
    return out;
}

FiltrationEvaluationResult evaluate(FiltrationEvaluationConfig& config,
                                    std::optional<std::vector<EvalFiltrationConfig>> operator_configs,
                                    const registry_and_store::FunctionStore* store) {
    validate_properties(config);
    validate_and_ingest(config, store);
    const RunPlan plan = plan_run(config, std::move(operator_configs), *store);

    std::vector<std::pair<std::string, OperatorCheckResult>> results;
    pool_keeper().clear();
    const auto total = static_cast<std::int64_t>(plan.configs.size());
    for (const EvalFiltrationConfig& op_config : plan.configs) {
        runtime::check_interrupt();
        const std::string& name = op_config.name;
        const Operator op_impl = load_operator(*store, name);
        const Value op_data_type = store->get_entry(name).data_type;

        OperatorCheckResult result{name, false, {}, {}};
        run_canonical_checks(plan, name, op_impl, config, result.checks);
        run_plugins(plan, name, op_impl, op_data_type, config, result.checks);
        result.accepted = verdict(plan, op_data_type, config, result);

        results.emplace_back(name, std::move(result));
        if (config.operator_progress_callback) {
            config.operator_progress_callback(name, results.back().second, static_cast<std::int64_t>(results.size()),
                                              total);
        }
    }

    FiltrationEvaluationResult result{std::move(results), config, plan.configs};
    pool_keeper().clear();
    return result;
}

}  // namespace detail

FiltrationEvaluationResult evaluate(FiltrationEvaluationConfig& config,
                                    std::optional<std::vector<EvalFiltrationConfig>> operator_configs,
                                    const registry_and_store::FunctionStore& store) {
    return detail::evaluate(config, std::move(operator_configs), &store);
}

}  // namespace brindlecap::functions::filtrations_evaluation
