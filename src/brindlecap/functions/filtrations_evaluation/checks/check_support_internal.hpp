#pragma once
// What the acceptance checks share: the module logger, the recorder of a check's evidence,
// details and verdict, string lists as evidence, and the check's own seeded pool.

#include <exception>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "brindlecap/functions/filtrations_evaluation/harness/synthetic_internal.hpp"
#include "brindlecap/functions/evaluation_utils/evaluation_utils.hpp"
#include "brindlecap/runtime/errors.hpp"
#include "brindlecap/runtime/log.hpp"

namespace brindlecap::functions::filtrations_evaluation::detail {

using evaluation_utils::CheckOutcome;
using evaluation_utils::CheckStatus;

// "brindlecap.functions.filtrations_evaluation".
const runtime::Logger& module_log();

// The details of a check joined with "; ".
std::string join_details(const std::vector<std::string>& parts);

runtime::List string_list(const std::vector<std::string>& items);

// A fresh generator seeded by one draw from rng.
numeric::Generator child_rng(numeric::Generator& rng);

// The check's own pool: synthetic signals from a child generator of rng. Only operators see it,
// and operators never see weights, so it has none (the generator is not drawn from again).
PoolPtr check_pool(const FiltrationEvaluationConfig& config, numeric::Generator& rng);

// How the outer guard words an error: "Exception: <text>" or "Exception: <kind>: <text>".
enum class ErrorDetail { text, kind_and_text };

// Runs body; an error that is not fatal (runtime::rethrow_if_fatal) goes to on_error instead.
// Returns whether body completed. A pending interruption is taken first (every trial, case and
// timed call runs through here).
template <class Body, class OnError>
bool attempt(Body&& body, OnError&& on_error) {
    runtime::check_interrupt();
    try {
        body();
        return true;
    } catch (const std::exception& e) {
        runtime::rethrow_if_fatal(e);
        on_error(e);
        return false;
    }
}

// A check's evidence, detail messages and pass flag, turned into its outcome at the end.
class CheckRecorder {
public:
    // `fallback`: the details when no message was added.
    explicit CheckRecorder(std::string_view fallback) : fallback_(fallback) {}

    runtime::Dict evidence;

    void note(std::string detail) { details_.push_back(std::move(detail)); }
    void fail() { passed_ = false; }
    void fail(std::string detail) {
        passed_ = false;
        note(std::move(detail));
    }
    bool passed() const noexcept { return passed_; }
    std::size_t detail_count() const noexcept { return details_.size(); }

    // The outer guard: an error in body fails the check, records its text as "error" and adds
    // the "Exception: " detail. Returns whether body completed.
    template <class Body>
    bool guard(Body&& body, ErrorDetail form = ErrorDetail::text) {
        return attempt(std::forward<Body>(body), [&](const std::exception& e) { record_exception(e, form); });
    }
    void record_exception(const std::exception& e, ErrorDetail form = ErrorDetail::text);

    // "pass" or "fail", with the details joined or the fallback.
    CheckOutcome outcome() &&;

private:
    std::vector<std::string> details_;
    bool passed_ = true;
    std::string fallback_;
};

}  // namespace brindlecap::functions::filtrations_evaluation::detail
