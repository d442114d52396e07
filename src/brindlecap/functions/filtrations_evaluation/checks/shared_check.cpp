// Hands the comparison of the determinism and parallel-safety checks to the framework's shared
// check bodies, keyed by ("filtration", canonical check name).

#include <string>
#include <utility>

#include "brindlecap/functions/filtrations_evaluation/checks/checks_internal.hpp"
#include "brindlecap/runtime/errors.hpp"
#include "brindlecap/runtime/text.hpp"

namespace brindlecap::functions::filtrations_evaluation::detail {

evaluation_pipeline::SharedCheckResult run_shared_filtration_check(const std::string& canonical_check_name,
                                                                   const Dict& context) {
    // Asked afresh on every call: the service may have been given other bodies since.
    const evaluation_pipeline::SharedCheckBodyMap bodies = evaluation_pipeline::get_shared_check_body_map();
    const std::pair<std::string, std::string> key{"filtration", canonical_check_name};
    const std::string key_text = "(" + runtime::repr(std::string_view(key.first)) + ", " + runtime::repr(std::string_view(key.second)) + ")";

    const auto found = bodies.find(key);
    if (found == bodies.end()) {
        throw runtime::KeyError(Value("Missing canonical shared check body: " + key_text));
    }

    // The body gets its own copy of the keyword arguments.
    const Dict keywords = context.copy();
    evaluation_pipeline::SharedCheckResult result = found->second(keywords);
    if (!result.status || (*result.status != "pass" && *result.status != "fail")) {
        throw runtime::TypeError("Canonical shared check body " + key_text + " returned an invalid result.");
    }
    return result;
}

}  // namespace brindlecap::functions::filtrations_evaluation::detail
