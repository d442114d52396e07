#include "brindlecap/functions/filtrations_evaluation/pipeline/results.hpp"

#include <algorithm>

#include "brindlecap/functions/evaluation_pipeline/check_registry.hpp"

namespace brindlecap::functions::filtrations_evaluation {

namespace {

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

}  // namespace

const CheckOutcome* OperatorCheckResult::check(std::string_view name) const {
    for (const auto& [check_name, outcome] : checks) {
        if (check_name == name) return &outcome;
    }
    return nullptr;
}

const std::vector<std::pair<std::string, CheckRegistryEntry>>& CHECK_REGISTRY() {
    static const auto table = [] {
        std::vector<std::pair<std::string, CheckRegistryEntry>> out;
        for (const auto& [number, name] : evaluation_pipeline::get_check_registry_entries("filtration")) {
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

}  // namespace brindlecap::functions::filtrations_evaluation
