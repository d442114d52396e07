#include "brindlecap/functions/filtrations_evaluation/checks/check_support_internal.hpp"

#include <utility>

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

numeric::Generator child_rng(numeric::Generator& rng) { return make_rng(rng.integers(0, SEED_BOUND)); }

PoolPtr check_pool(const FiltrationEvaluationConfig& config, numeric::Generator& rng) {
    return generate_unweighted_signals(config, child_rng(rng));
}

void CheckRecorder::record_exception(const std::exception& e, ErrorDetail form) {
    const std::string text = runtime::error_text(e);
    evidence.set("error", text);
    fail(form == ErrorDetail::kind_and_text ? "Exception: " + runtime::error_kind(e) + ": " + text
                                          : "Exception: " + text);
}

CheckOutcome CheckRecorder::outcome() && {
    return CheckOutcome{passed_ ? CheckStatus::pass : CheckStatus::fail,
                        details_.empty() ? std::move(fallback_) : join_details(details_), std::move(evidence)};
}

}  // namespace brindlecap::functions::filtrations_evaluation::detail
