// The process-wide plug-in registry and plug-in check numbering.

#include "brindlecap/functions/filtrations_evaluation/acceptance/plugins.hpp"

#include <algorithm>
#include <mutex>
#include <set>
#include <string>

#include "brindlecap/functions/filtrations_evaluation/acceptance/plugins_internal.hpp"
#include "brindlecap/functions/evaluation_pipeline/check_registry.hpp"
#include "brindlecap/runtime/errors.hpp"
#include "brindlecap/runtime/process_state_internal.hpp"

namespace brindlecap::functions::filtrations_evaluation {

namespace {

struct PluginRegistry {
    std::mutex mutex;
    std::vector<PluginPtr> plugins;
};

PluginRegistry& plugin_registry() {
    static PluginRegistry r;
    return r;
}

}  // namespace

void register_check_plugin(PluginPtr plugin) {
    PluginRegistry& r = plugin_registry();
    std::lock_guard lock(r.mutex);
    std::vector<PluginPtr> candidate = r.plugins;
    candidate.push_back(plugin);
    (void)detail::build_plugin_check_entries(candidate);  // raises on a bad name; nothing is appended
    r.plugins.push_back(std::move(plugin));
}

std::vector<PluginPtr> get_registered_plugins() {
    PluginRegistry& r = plugin_registry();
    std::lock_guard lock(r.mutex);
    return r.plugins;
}

void clear_check_plugins() {
    std::vector<PluginPtr> cleared;  // destroyed after the lock is released (host objects)
    PluginRegistry& r = plugin_registry();
    std::lock_guard lock(r.mutex);
    cleared.swap(r.plugins);
}

namespace {
const runtime::detail::RegisteredSlot plugin_registry_slot{
    "plug-in registry", &clear_check_plugins, runtime::detail::SlotHolds::host_objects};
}  // namespace

namespace detail {

namespace {
thread_local const std::string* judged_operator = nullptr;
}  // namespace

const std::string* judged_operator_name() noexcept { return judged_operator; }
JudgedOperator::JudgedOperator(const std::string& name) noexcept : previous_(judged_operator) { judged_operator = &name; }
JudgedOperator::~JudgedOperator() { judged_operator = previous_; }

PluginEntries get_plugin_check_entries() { return build_plugin_check_entries(get_registered_plugins()); }

PluginEntries build_plugin_check_entries(const std::vector<PluginPtr>& plugins) {
    const auto canonical = evaluation_pipeline::get_check_registry_entries("filtration");
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
        if (!seen.insert(name).second) {
            throw runtime::ValueError("Duplicate evaluation check plugin name '" + name + "'.");
        }
    }
    const std::int64_t first = any ? highest + 1 : 1;
    PluginEntries out;
    out.reserve(plugins.size());
    for (std::size_t i = 0; i < plugins.size(); ++i) {
        out.emplace_back(first + static_cast<std::int64_t>(i), plugins[i]);
    }
    return out;
}

}  // namespace detail
}  // namespace brindlecap::functions::filtrations_evaluation
