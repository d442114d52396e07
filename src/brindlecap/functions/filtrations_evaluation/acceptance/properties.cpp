// Declared properties: checking them, and reading them from the tool's option.

#include "brindlecap/functions/filtrations_evaluation/acceptance/properties.hpp"

#include "brindlecap/functions/filtrations_evaluation/harness/oracle_internal.hpp"
#include "brindlecap/runtime/errors.hpp"
#include "brindlecap/runtime/text.hpp"

namespace brindlecap::functions::filtrations_evaluation {

void validate_properties(const FiltrationEvaluationConfig& config) {
    for (const auto& [name, properties] : config.properties) (void)detail::declared_operator(name, properties, &config);
}

std::pair<std::string, std::vector<std::string>> property_option(std::string_view spec) {
    const std::size_t equals = spec.find('=');
    if (equals == std::string_view::npos || equals == 0 || equals + 1 == spec.size()) {
        throw runtime::ValueError("--property expects NAME=PROP[,PROP...], got " + runtime::repr(spec));
    }
    std::pair<std::string, std::vector<std::string>> out{std::string(spec.substr(0, equals)), {}};
    std::string_view rest = spec.substr(equals + 1);
    while (true) {
        const std::size_t comma = rest.find(',');
        out.second.emplace_back(rest.substr(0, comma));
        if (comma == std::string_view::npos) break;
        rest.remove_prefix(comma + 1);
    }
    return out;
}

}  // namespace brindlecap::functions::filtrations_evaluation
