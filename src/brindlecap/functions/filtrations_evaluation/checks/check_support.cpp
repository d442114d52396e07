#include "brindlecap/functions/filtrations_evaluation/checks/check_support.hpp"

#include <utility>

#include "brindlecap/runtime/errors.hpp"

namespace brindlecap::functions::filtrations_evaluation::detail {

const runtime::Logger& module_log() {
    static const runtime::Logger log("brindlecap.functions.filtrations_evaluation");
    return log;
}

std::string join_details(const std::vector<std::string>& parts) {
    std::string out;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        if (i) out += "; ";
        out += parts[i];
    }
    return out;
}

runtime::List string_list(const std::vector<std::string>& items) {
    runtime::List out;
    out.reserve(items.size());
    for (const auto& s : items) out.emplace_back(s);
    return out;
}

numeric::Generator child_rng(numeric::Generator& rng) { return make_rng(rng.integers(0, kSeedBound)); }

PoolPtr check_pool(const FiltrationEvaluationConfig& config, numeric::Generator& rng) {
    numeric::Generator own = child_rng(rng);
    return generate_synthetic_signals(config, &own);
}

void record_exception(const std::exception& e, Dict& evidence, std::vector<std::string>& details, bool& passed,
                      ErrorDetail form) {
    const std::string text = runtime::error_text(e);
    passed = false;
    evidence.set("error", text);
    details.push_back(form == ErrorDetail::KindAndText ? "Exception: " + runtime::error_kind(e) + ": " + text
                                                       : "Exception: " + text);
}

CheckOutcome check_outcome(bool passed, const std::vector<std::string>& details, Dict evidence,
                           std::string_view fallback) {
    return CheckOutcome{passed ? "pass" : "fail", details.empty() ? std::string(fallback) : join_details(details),
                        std::move(evidence)};
}

}  // namespace brindlecap::functions::filtrations_evaluation::detail
