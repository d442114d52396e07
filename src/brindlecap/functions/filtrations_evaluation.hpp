#pragma once
// The filtrations evaluation module: its entry points and module tables in one header.
//
// Entry points
//   resolve_filtrations(pool, tree, store)            filter-tree evaluation over a signal pool
//   resolve_product_filtrations(products, tree, type) the same over prior-layer products
//   build_product_filtration_field_registry()         the 27 source-backed product fields
//   flatten_signal_metadata(is, os, metadata)         epoch-prefixed metadata
//   evaluate(config, operator_configs, store)         the operator acceptance pipeline
//   register_check_plugin / get_registered_plugins / clear_check_plugins
//
// Module tables
//   FIELD_TYPE_OPERATORS, CHECK_REGISTRY()
//
// Records: FilterNode, FilterDiagnostic, FiltrationResult, UsefulSignal, SignalPool,
// PreparedField, FiltrationFieldSchema, FiltrationEvaluationConfig, EvalFiltrationConfig,
// OperatorCheckResult, FiltrationEvaluationResult, CheckRegistryEntry; errors EmptyPoolError,
// FilterValidationError, FiltrationSubsetError, EmptyFiltrationError (all runtime::Exception).
//
// The framework services the module works with come along: FunctionStore and
// build_default_store (registry_and_store), CheckOutcome, EvaluationCheckPlugin and the signal
// metadata store (evaluation_utils).

#include "brindlecap/functions/evaluation_utils/evaluation_utils.hpp"
#include "brindlecap/functions/filtrations_evaluation/metadata/config.hpp"
#include "brindlecap/functions/filtrations_evaluation/metadata/flatten.hpp"
#include "brindlecap/functions/filtrations_evaluation/pipeline/driver.hpp"
#include "brindlecap/functions/filtrations_evaluation/pipeline/results.hpp"
#include "brindlecap/functions/filtrations_evaluation/product/product.hpp"
#include "brindlecap/functions/filtrations_evaluation/tree/records.hpp"
#include "brindlecap/functions/filtrations_evaluation/tree/resolve.hpp"
#include "brindlecap/functions/registry_and_store/store.hpp"
#include "brindlecap/numeric/matrix.hpp"
#include "brindlecap/runtime/errors.hpp"
#include "brindlecap/runtime/json.hpp"
#include "brindlecap/runtime/text.hpp"
#include "brindlecap/runtime/value.hpp"

namespace brindlecap::functions::filtrations_evaluation {

using registry_and_store::build_default_store;
using registry_and_store::FunctionStore;

}  // namespace brindlecap::functions::filtrations_evaluation
