// Canonical check tables, the runner table and the process-wide plug-in registry.

#include <algorithm>
#include <map>
#include <mutex>
#include <set>

#include "brindlecap/functions/evaluation_pipeline/check_registry.hpp"
#include "brindlecap/functions/filtrations_evaluation/checks/checks.hpp"
#include "brindlecap/functions/filtrations_evaluation/pipeline/results.hpp"
#include "brindlecap/runtime/errors.hpp"

namespace brindlecap::functions::filtrations_evaluation {

namespace ep = evaluation_pipeline;

namespace {

constexpr const char* kFamily = "filtration";

// Field overrides per canonical check name.
CheckRegistryEntry with_overrides(std::int64_t number, const std::string& name) {
    CheckRegistryEntry entry;
    entry.check_number = number;
    entry.name = name;
    if (name == "contract") {
        entry.verifies_return_shape = true;
        entry.verifies_return_ids = true;
        entry.verifies_input_immutability = true;
        entry.verifies_empty_pool = true;
    }
    return entry;
}

struct PluginRegistry {
    std::mutex mutex;
    std::vector<PluginPtr> plugins;
};

PluginRegistry& plugin_registry() {
    static PluginRegistry r;
    return r;
}

}  // namespace

const std::vector<std::pair<std::string, CheckRegistryEntry>>& CHECK_REGISTRY() {
    static const auto table = [] {
        std::vector<std::pair<std::string, CheckRegistryEntry>> out;
        for (const auto& [number, name] : ep::get_check_registry_entries(kFamily)) {
            CheckRegistryEntry entry = with_overrides(number, name);
            auto it = std::find_if(out.begin(), out.end(), [&n = name](const auto& p) { return p.first == n; });
            if (it != out.end()) {
                it->second = std::move(entry);
            } else {
                out.emplace_back(name, std::move(entry));
            }
        }
        return out;
    }();
    return table;
}

void register_check_plugin(PluginPtr plugin) {
    PluginRegistry& r = plugin_registry();
    std::lock_guard lock(r.mutex);
    std::vector<PluginPtr> candidate = r.plugins;
    candidate.push_back(plugin);
    detail::build_plugin_check_entries(candidate);  // raises on a bad name; nothing is appended
    r.plugins.push_back(std::move(plugin));
}

std::vector<PluginPtr> get_registered_plugins() {
    PluginRegistry& r = plugin_registry();
    std::lock_guard lock(r.mutex);
    return r.plugins;
}

void clear_check_plugins() {
    PluginRegistry& r = plugin_registry();
    std::lock_guard lock(r.mutex);
    r.plugins.clear();
}

namespace detail {

const std::map<std::int64_t, CheckRunner>& CHECK_RUNNERS() {
    using TestCases = std::optional<std::vector<CorrectnessTestCase>>;
    static const std::map<std::int64_t, CheckRunner> table = {
        {1, [](const std::string& n, const Operator& op, FiltrationEvaluationConfig& c,
               numeric::Generator& g, const TestCases&) { return run_check_1_contract(n, op, c, g); }},
        {2, [](const std::string& n, const Operator& op, FiltrationEvaluationConfig& c,
               numeric::Generator& g,
               const TestCases& cases) { return run_check_3_correctness(n, op, c, g, cases); }},
        {3, [](const std::string& n, const Operator& op, FiltrationEvaluationConfig& c,
               numeric::Generator& g, const TestCases&) { return run_check_4_nan(n, op, c, g); }},
        {4, [](const std::string& n, const Operator& op, FiltrationEvaluationConfig& c,
               numeric::Generator& g, const TestCases&) { return run_check_4_determinism(n, op, c, g); }},
        {5, [](const std::string& n, const Operator& op, FiltrationEvaluationConfig& c,
               numeric::Generator& g,
               const TestCases&) { return run_check_5_parallel_safety(n, op, c, g); }},
        {6, [](const std::string& n, const Operator& op, FiltrationEvaluationConfig& c,
               numeric::Generator& g,
               const TestCases&) { return run_check_6_boundary_family(n, op, c, g); }},
        {7, [](const std::string& n, const Operator& op, FiltrationEvaluationConfig& c,
               numeric::Generator& g, const TestCases&) { return run_check_7_bias(n, op, c, g); }},
        {8, [](const std::string& n, const Operator& op, FiltrationEvaluationConfig& c,
               numeric::Generator& g, const TestCases&) { return run_check_8_speed(n, op, c, g); }},
    };
    return table;
}

const std::map<std::int64_t, std::string>& CHECK_NAME_BY_NUMBER() {
    static const std::map<std::int64_t, std::string> table = ep::get_check_key_map(kFamily);
    return table;
}

std::vector<std::pair<std::int64_t, PluginPtr>> get_plugin_check_entries() {
    return build_plugin_check_entries(get_registered_plugins());
}

std::vector<std::pair<std::int64_t, PluginPtr>> build_plugin_check_entries(
    const std::vector<PluginPtr>& plugins) {
    const auto canonical = ep::get_check_registry_entries(kFamily);
    std::set<std::string, std::less<>> canonical_names;
    std::int64_t highest = 0;
    bool any = false;
    for (const auto& [number, name] : canonical) {
        canonical_names.insert(name);
        highest = any ? std::max(highest, number) : number;
        any = true;
    }

    std::set<std::string, std::less<>> seen;
    for (const auto& plugin : plugins) {
        const std::string name = plugin->name();
        if (canonical_names.contains(name)) {
            throw runtime::ValueError("Evaluation check plugin name '" + name +
                                      "' collides with a canonical filtration check name.");
        }
        if (seen.contains(name)) {
            throw runtime::ValueError("Duplicate evaluation check plugin name '" + name + "'.");
        }
        seen.insert(name);
    }

    const std::int64_t first = any ? highest + 1 : 1;
    std::vector<std::pair<std::int64_t, PluginPtr>> out;
    out.reserve(plugins.size());
    for (std::size_t i = 0; i < plugins.size(); ++i) {
        out.emplace_back(first + static_cast<std::int64_t>(i), plugins[i]);
    }
    return out;
}

}  // namespace detail
}  // namespace brindlecap::functions::filtrations_evaluation
