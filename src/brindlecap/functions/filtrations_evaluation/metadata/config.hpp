#pragma once
// Configuration of the acceptance pipeline.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "brindlecap/functions/evaluation_utils/evaluation_utils.hpp"
#include "brindlecap/runtime/value.hpp"

namespace brindlecap::functions::filtrations_evaluation {

struct OperatorCheckResult;

// Called once per operator after its verdict: (name, result, completed so far, total).
using OperatorProgressCallback = std::function<void(
    const std::string&, const OperatorCheckResult&, std::int64_t, std::int64_t)>;

// The two ways signal metadata is ingested: given by the caller, or read from the signal store.
enum class EvaluationMode { mock, real };
// The mode a configuration names ("mock" or "real"); nullopt for none or any other text.
std::optional<EvaluationMode> evaluation_mode(const evaluation_utils::BaseEvaluationConfig& config) noexcept;

struct FiltrationEvaluationConfig : evaluation_utils::BaseEvaluationConfig {
    std::int64_t N_trials = 100;
    double bias_tolerance = 0.05;
    std::int64_t speed_small_T = 100;
    std::int64_t speed_small_N = 50;
    double speed_small_limit_s = 5.0;
    std::int64_t speed_large_T = 500;
    std::int64_t speed_large_N = 200;
    double speed_large_limit_s = 30.0;
    std::optional<runtime::Dict> mock_signals;     // signal id -> metadata dict
    std::optional<std::vector<std::string>> signal_ids;
    std::optional<std::int64_t> market_id;
    std::optional<std::int64_t> era_number;
    std::optional<runtime::Dict> signal_metadata;  // filled by ingestion
    std::int64_t N_signals = 0;                    // filled by ingestion
    std::int64_t T = 50;
    std::int64_t N_alloc = 50;
    OperatorProgressCallback operator_progress_callback;  // optional
};

}  // namespace brindlecap::functions::filtrations_evaluation
