#include "brindlecap/functions/filtrations_evaluation/metadata/config.hpp"

namespace brindlecap::functions::filtrations_evaluation {

std::optional<EvaluationMode> evaluation_mode(const evaluation_utils::BaseEvaluationConfig& config) noexcept {
    if (!config.mode) return std::nullopt;
    if (*config.mode == "mock") return EvaluationMode::mock;
    if (*config.mode == "real") return EvaluationMode::real;
    return std::nullopt;
}

}  // namespace brindlecap::functions::filtrations_evaluation
