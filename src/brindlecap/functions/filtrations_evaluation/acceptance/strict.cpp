// The strict checks as plug-ins, and their registration.

#include "brindlecap/functions/filtrations_evaluation/acceptance/strict.hpp"

#include <algorithm>

#include "brindlecap/functions/filtrations_evaluation/acceptance/plugins_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/checks/strict_internal.hpp"
#include "brindlecap/runtime/errors.hpp"

namespace brindlecap::functions::filtrations_evaluation {

namespace {

// One strict check as a plug-in: it judges the operator the pipeline names, with a generator of
// its own seeded from config.seed and its place in the table.
class StrictPlugin final : public evaluation_utils::EvaluationCheckPlugin {
public:
    StrictPlugin(const detail::StrictCheck& check, std::uint64_t salt) : check_(check), salt_(salt) {}
    std::string name() const override { return check_.name; }
    evaluation_utils::CheckOutcome validate(const Operator& op_impl, SignalPool& /*pool*/,
                                            evaluation_utils::BaseEvaluationConfig& config) override {
        auto* filtration_config = dynamic_cast<FiltrationEvaluationConfig*>(&config);
        const std::string* op_name = detail::judged_operator_name();
        if (filtration_config == nullptr || op_name == nullptr) {
            throw runtime::RuntimeError(std::string(check_.name) + " runs only inside the acceptance pipeline");
        }
        numeric::Generator rng(static_cast<std::uint64_t>(config.seed) * 0x9E3779B97F4A7C15ULL + salt_);
        const std::optional<detail::Oracle> oracle = detail::oracle_of(*op_name, *filtration_config);
        return check_.run(*op_name, op_impl, oracle, *filtration_config, rng);
    }

private:
    const detail::StrictCheck& check_;
    std::uint64_t salt_;
};

bool is_strict(const PluginPtr& plugin) { return dynamic_cast<const StrictPlugin*>(plugin.get()) != nullptr; }

}  // namespace

void register_strict_checks() {
    const std::vector<PluginPtr> registered = get_registered_plugins();
    std::uint64_t salt = 0;
    for (const detail::StrictCheck& check : detail::strict_check_table()) {
        ++salt;
        const bool present = std::any_of(registered.begin(), registered.end(), [&](const PluginPtr& p) {
            return is_strict(p) && p->name() == check.name;
        });
        if (!present) register_check_plugin(std::make_shared<StrictPlugin>(check, salt));
    }
}

void unregister_strict_checks() {
    const std::vector<PluginPtr> registered = get_registered_plugins();
    if (std::none_of(registered.begin(), registered.end(), is_strict)) return;
    clear_check_plugins();
    for (const PluginPtr& plugin : registered) {
        if (!is_strict(plugin)) register_check_plugin(plugin);
    }
}

std::vector<std::string> strict_check_names() {
    std::vector<std::string> out;
    for (const detail::StrictCheck& check : detail::strict_check_table()) out.emplace_back(check.name);
    return out;
}

StrictProfile::StrictProfile() {
    const std::vector<PluginPtr> registered = get_registered_plugins();
    registered_here_ = std::none_of(registered.begin(), registered.end(), is_strict);
    register_strict_checks();
}

StrictProfile::~StrictProfile() {
    if (!registered_here_) return;
    try {
        unregister_strict_checks();
    } catch (...) {  // NOLINT(bugprone-empty-catch): the registry keeps them; nothing to undo
    }
}

}  // namespace brindlecap::functions::filtrations_evaluation
