#pragma once
// Validation of an evaluation's configuration and ingestion of its signal metadata.

#include "brindlecap/functions/filtrations_evaluation/metadata/config.hpp"
#include "brindlecap/functions/registry_and_store/store.hpp"

namespace brindlecap::functions::filtrations_evaluation::detail {

// The validation and ingestion sequence run at the start of an evaluation; `store` is the
// evaluation's store (nullptr is rejected at its place in the sequence).
void validate_and_ingest(FiltrationEvaluationConfig& config, const registry_and_store::FunctionStore* store);
void ingest_mock_data_filtration(FiltrationEvaluationConfig& config);
void ingest_real_data_filtration(FiltrationEvaluationConfig& config);

}  // namespace brindlecap::functions::filtrations_evaluation::detail
