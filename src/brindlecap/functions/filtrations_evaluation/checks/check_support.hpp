#pragma once
// Helpers the acceptance checks share: the module logger, joined details, string lists as
// evidence, the check's own seeded pool, and the outer guard that turns an operator error into
// a failed check.

#include <cstdint>
#include <exception>
#include <string>
#include <string_view>
#include <vector>

#include "brindlecap/functions/filtrations_evaluation/pipeline/fixtures.hpp"
#include "brindlecap/functions/filtrations_evaluation/pipeline/results.hpp"
#include "brindlecap/runtime/log.hpp"

namespace brindlecap::functions::filtrations_evaluation::detail {

// Exclusive upper bound of the seed a check draws for a generator of its own.
inline constexpr std::int64_t kSeedBound = std::int64_t{1} << 31;

// "brindlecap.functions.filtrations_evaluation".
const runtime::Logger& module_log();

// The details of a check joined with "; ".
std::string join_details(const std::vector<std::string>& parts);

runtime::List string_list(const std::vector<std::string>& items);

// A fresh generator seeded by one draw from rng.
numeric::Generator child_rng(numeric::Generator& rng);

// The check's own pool: synthetic signals from a child generator of rng.
PoolPtr check_pool(const FiltrationEvaluationConfig& config, numeric::Generator& rng);

enum class ErrorDetail { Text, KindAndText };

// The outer guard's catch: fails the check, records the error text as "error" and adds the
// detail "Exception: <text>" (or "Exception: <kind>: <text>").
void record_exception(const std::exception& e, Dict& evidence, std::vector<std::string>& details, bool& passed,
                      ErrorDetail form = ErrorDetail::Text);

// "pass" or "fail" with the joined details, or fallback when there are none.
CheckOutcome check_outcome(bool passed, const std::vector<std::string>& details, Dict evidence,
                           std::string_view fallback);

}  // namespace brindlecap::functions::filtrations_evaluation::detail
