// The acceptance pipeline driver.

#include "brindlecap/functions/filtrations_evaluation/pipeline/driver.hpp"

#include <algorithm>
#include <map>
#include <set>

#include "brindlecap/functions/evaluation_pipeline/check_registry.hpp"
#include "brindlecap/functions/filtrations_evaluation/pipeline/fixtures.hpp"
#include "brindlecap/functions/filtrations_evaluation/tree/resolve.hpp"
#include "brindlecap/runtime/errors.hpp"
#include "brindlecap/runtime/text.hpp"

namespace brindlecap::functions::filtrations_evaluation {

namespace {

using Checks = std::vector<std::pair<std::string, CheckOutcome>>;
using TestCases = std::vector<CorrectnessTestCase>;

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

const CheckOutcome* find_check(const Checks& checks, const std::string& name) {
    for (const auto& [existing, value] : checks) {
        if (existing == name) return &value;
    }
    return nullptr;
}

std::string numbers_display(const std::set<std::int64_t>& numbers) {
    return runtime::int_set_display(std::vector<long long>(numbers.begin(), numbers.end()));
}

void validate_selection(const char* field, const std::set<std::int64_t>& selection,
                        const std::set<std::int64_t>& valid, std::int64_t maximum) {
    std::set<std::int64_t> invalid;
    for (std::int64_t n : selection) {
        if (!valid.contains(n)) invalid.insert(n);
    }
    if (!invalid.empty()) {
        throw runtime::ValueError(std::string(field) + " values must be in [1, " + std::to_string(maximum) +
                                  "]. Got invalid: " + numbers_display(invalid) + ".");
    }
}

// The pool handed to a plug-in: one signal per ingested metadata entry, with a private deep copy
// of the metadata so that a plug-in cannot change the configuration; synthetic when none.
detail::PoolPtr plugin_pool(const FiltrationEvaluationConfig& config) {
    numeric::Generator g = detail::make_rng(config.seed);
    if (config.signal_metadata) return detail::metadata_pool(*config.signal_metadata, config.T, config.N_alloc, g);
    return detail::generate_synthetic_signals(config, &g);
}

}  // namespace

namespace detail {

std::vector<std::optional<std::uint64_t>> draw_check_seeds(
    std::int64_t seed, const std::vector<evaluation_pipeline::CheckEntry>& canonical,
    const std::set<std::int64_t>& skip) {
    numeric::Generator rng = make_rng(seed);
    std::vector<std::optional<std::uint64_t>> out;
    out.reserve(canonical.size());
    for (const auto& entry : canonical) {
        if (skip.contains(entry.first)) {
            out.emplace_back(std::nullopt);
        } else {
            out.emplace_back(static_cast<std::uint64_t>(rng.integers(0, 2147483648LL)));
        }
    }
    return out;
}

}  // namespace detail

FiltrationEvaluationResult evaluate(FiltrationEvaluationConfig& config,
                                    std::optional<std::vector<EvalFiltrationConfig>> operator_configs,
                                    const registry_and_store::FunctionStore* store) {
    detail::validate_and_ingest(config, store);

    const auto canonical = evaluation_pipeline::get_check_registry_entries("filtration");
    const auto plugins = detail::get_plugin_check_entries();

    std::set<std::int64_t> valid;
    for (const auto& entry : canonical) valid.insert(entry.first);
    for (const auto& entry : plugins) valid.insert(entry.first);
    if (valid.empty()) throw runtime::ValueError("max() arg is an empty sequence");
    const std::int64_t maximum = *valid.rbegin();

    const std::set<std::int64_t>& skip = config.skip_checks;
    const std::set<std::int64_t>& info = config.info_checks;
    if (!skip.empty()) validate_selection("skip_checks", skip, valid, maximum);
    if (!info.empty()) validate_selection("info_checks", info, valid, maximum);
    if (!skip.empty() && !info.empty()) {
        std::set<std::int64_t> overlap;
        std::set_intersection(skip.begin(), skip.end(), info.begin(), info.end(),
                              std::inserter(overlap, overlap.end()));
        if (!overlap.empty()) {
            throw runtime::ValueError("skip_checks and info_checks must not overlap. Overlap: " +
                                      numbers_display(overlap) + ".");
        }
    }

    std::vector<EvalFiltrationConfig> configs;
    if (!operator_configs || operator_configs->empty()) {
        const auto names = store->list_by_function_type("filtration");
        if (names.empty()) throw runtime::ValueError("No filtration operators found in store.");
        for (const auto& name : names) configs.push_back(EvalFiltrationConfig{name, std::nullopt});
    } else {
        configs = std::move(*operator_configs);
    }

    std::vector<std::string> operators;
    std::map<std::string, const TestCases*> test_cases;
    std::set<std::string, std::less<>> seen;
    for (const auto& op_config : configs) {
        const std::string& name = op_config.name;
        if (seen.contains(name)) {
            throw runtime::ValueError("Duplicate filtration operator identity: " + runtime::repr(std::string_view(name)));
        }
        seen.insert(name);
        if (!store->has(name)) {
            throw runtime::ValueError("Filtration operator '" + name + "' not found in store.");
        }
        operators.push_back(name);
        if (op_config.test_cases) test_cases[name] = &*op_config.test_cases;
    }

    std::vector<std::pair<std::string, OperatorCheckResult>> results;
    detail::pool_keeper().clear();
    std::int64_t completed = 0;
    const auto total = static_cast<std::int64_t>(operators.size());
    const auto& runners = detail::CHECK_RUNNERS();

    for (const std::string& name : operators) {
        const Operator op_impl = detail::load_operator(*store, name);
        const Value op_data_type = store->get_entry(name).data_type;

        // Every operator sees the same sequence of check seeds.
        const auto seeds = detail::draw_check_seeds(config.seed, canonical, skip);
        Checks checks;
        std::optional<TestCases> cases;
        if (auto it = test_cases.find(name); it != test_cases.end()) cases = *it->second;

        for (std::size_t i = 0; i < canonical.size(); ++i) {
            const auto& [number, check_name] = canonical[i];
            if (!seeds[i]) {
                set_check(checks, check_name, CheckOutcome{"skip", "Check " + std::to_string(number) + " skipped", {}});
                continue;
            }
            numeric::Generator check_rng = numeric::default_rng(*seeds[i]);
            const auto runner = runners.find(number);
            if (runner == runners.end()) throw runtime::KeyError(Value(number));
            set_check(checks, check_name, runner->second(name, op_impl, config, check_rng, cases));
        }

        for (const auto& [number, plugin] : plugins) {
            const std::string plugin_name = plugin->name();
            if (skip.contains(number)) {
                set_check(checks, plugin_name,
                          CheckOutcome{"skip", "Plugin check " + std::to_string(number) + " skipped", {}});
                continue;
            }
            const Value plugin_type = plugin->data_type();
            if (!plugin_type.is_none() && plugin_type != op_data_type) {
                set_check(checks, plugin_name,
                          CheckOutcome{"skip", "Plugin data_type '" + runtime::str(plugin_type) +
                                                   "' does not match operator", {}});
                continue;
            }
            CheckOutcome outcome;
            try {
                detail::PoolPtr pool = plugin_pool(config);
                outcome = plugin->validate(op_impl, *pool, config);
            } catch (const std::exception& e) {
                const std::string text = runtime::error_text(e);
                outcome = CheckOutcome{"fail", "Plugin error: " + text, Dict{{"error", text}}};
            }
            set_check(checks, plugin_name, std::move(outcome));
        }

        bool accepted = true;
        for (const auto& [number, check_name] : canonical) {
            if (skip.contains(number) || info.contains(number)) continue;
            const CheckOutcome* outcome = find_check(checks, check_name);
            if (outcome != nullptr && outcome->status == "fail") {
                accepted = false;
                break;
            }
        }
        if (accepted) {
            for (const auto& [number, plugin] : plugins) {
                if (skip.contains(number) || info.contains(number)) continue;
                const CheckOutcome* outcome = find_check(checks, plugin->name());
                const Value plugin_type = plugin->data_type();
                if (outcome != nullptr && outcome->status == "fail" &&
                    (plugin_type.is_none() || plugin_type == op_data_type)) {
                    accepted = false;
                    break;
                }
            }
        }

        results.emplace_back(name, OperatorCheckResult{name, accepted, std::move(checks), {}});
        ++completed;
        if (config.operator_progress_callback) {
            config.operator_progress_callback(name, results.back().second, completed, total);
        }
    }

    FiltrationEvaluationResult result{std::move(results), config, std::move(configs)};
    detail::pool_keeper().clear();
    return result;
}

}  // namespace brindlecap::functions::filtrations_evaluation
