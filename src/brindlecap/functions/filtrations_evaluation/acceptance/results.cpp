#include "brindlecap/functions/filtrations_evaluation/acceptance/results.hpp"

#include <algorithm>

#include "brindlecap/functions/evaluation_pipeline/check_registry.hpp"
#include "brindlecap/functions/filtrations_evaluation/checks/catalogue_internal.hpp"

namespace brindlecap::functions::filtrations_evaluation {

namespace {

// An entry for a canonical (number, name); its flags are those of the catalogue's check of that name.
CheckRegistryEntry canonical_entry(std::int64_t number, const std::string& name) {
    CheckRegistryEntry entry;
    entry.check_number = number;
    entry.name = name;
    if (const detail::CheckDescriptor* check = detail::catalogue_check(name)) {
        entry.default_mode = check->default_mode;
        entry.verifies_return_shape = check->verifies_return_shape;
        entry.verifies_return_ids = check->verifies_return_ids;
        entry.verifies_input_immutability = check->verifies_input_immutability;
        entry.verifies_empty_pool = check->verifies_empty_pool;
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
            CheckRegistryEntry entry = canonical_entry(number, name);
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
