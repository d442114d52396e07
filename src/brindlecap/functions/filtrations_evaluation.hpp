#pragma once
// The filtrations evaluation module: its entry points, records and tables, and every other
// installed header, in one header.
//
// Entry points (namespace brindlecap::functions::filtrations_evaluation)
//   resolve_filtrations(pool, tree, store)            filter-tree evaluation over a signal pool
//   ColumnarPoolBuilder, read_signal_pool_json        signal pools built column-wise
//   resolve_product_filtrations(products, tree, type) the same over prior-layer products
//   build_product_filtration_field_registry()         the 27 source-backed product fields
//   flatten_signal_metadata(is, os, metadata)         epoch-prefixed metadata
//   evaluate(config, operator_configs, store)         the operator acceptance pipeline
//   register_check_plugin / get_registered_plugins / clear_check_plugins
//   register_strict_checks / unregister_strict_checks / StrictProfile   the strict profile
//   researcher_reference, read_test_cases_json         an operator judged against the caller's oracle
//   RunRecorder, write_reproducers, render_html_report / write_html_report
//                                                     what a rejected operator's author reads
//
// Records: FilterNode, FilterDiagnostic, FiltrationResult, UsefulSignal, SignalPool, IdSet,
// PreparedField, FiltrationFieldSchema, FiltrationEvaluationConfig, EvalFiltrationConfig,
// CorrectnessTestCase, OperatorCheckResult, FiltrationEvaluationResult, CheckRegistryEntry, and
// CheckOutcome, CheckStatus, EvaluationCheckPlugin (bound from evaluation_utils); errors
// EmptyPoolError, FilterValidationError, FiltrationSubsetError, EmptyFiltrationError (all
// runtime::Exception). Tables: FIELD_TYPE_OPERATORS, CHECK_REGISTRY().
//
// Operators are Operator functions of an OperatorCall (field_operator, combinator_operator and
// plain_operator build one from a lambda of one calling form). The framework's services keep
// their own namespaces: FunctionStore and build_default_store (registry_and_store), the signal
// metadata store (evaluation_utils), the check registry service (evaluation_pipeline), the
// built-in operators' modules (filtrations); values, errors, JSON, warnings, the log and the
// process-wide state are brindlecap::runtime's, the project's version brindlecap::VERSION.

#include "brindlecap/functions/evaluation_pipeline/check_registry.hpp"
#include "brindlecap/functions/evaluation_utils/evaluation_utils.hpp"
#include "brindlecap/functions/filtrations/builtin_runtime_targets.hpp"
#include "brindlecap/functions/filtrations_evaluation/checks/test_case.hpp"
#include "brindlecap/functions/filtrations_evaluation/core/errors.hpp"
#include "brindlecap/functions/filtrations_evaluation/core/ids.hpp"
#include "brindlecap/functions/filtrations_evaluation/core/operator.hpp"
#include "brindlecap/functions/filtrations_evaluation/core/pool.hpp"
#include "brindlecap/functions/filtrations_evaluation/core/pool_columns.hpp"
#include "brindlecap/functions/filtrations_evaluation/core/records.hpp"
#include "brindlecap/functions/filtrations_evaluation/core/vocabulary.hpp"
#include "brindlecap/functions/filtrations_evaluation/metadata/config.hpp"
#include "brindlecap/functions/filtrations_evaluation/metadata/flatten.hpp"
#include "brindlecap/functions/filtrations_evaluation/acceptance/evaluate.hpp"
#include "brindlecap/functions/filtrations_evaluation/acceptance/plugins.hpp"
#include "brindlecap/functions/filtrations_evaluation/acceptance/properties.hpp"
#include "brindlecap/functions/filtrations_evaluation/acceptance/references.hpp"
#include "brindlecap/functions/filtrations_evaluation/acceptance/results.hpp"
#include "brindlecap/functions/filtrations_evaluation/acceptance/strict.hpp"
#include "brindlecap/functions/filtrations_evaluation/product/fields.hpp"
#include "brindlecap/functions/filtrations_evaluation/product/resolve.hpp"
#include "brindlecap/functions/filtrations_evaluation/report/report.hpp"
#include "brindlecap/functions/filtrations_evaluation/tree/resolve.hpp"
#include "brindlecap/functions/registry_and_store/store.hpp"
#include "brindlecap/numeric/matrix.hpp"
#include "brindlecap/runtime/errors.hpp"
#include "brindlecap/runtime/huge_pages.hpp"
#include "brindlecap/runtime/json.hpp"
#include "brindlecap/runtime/log.hpp"
#include "brindlecap/runtime/process_state.hpp"
#include "brindlecap/runtime/text.hpp"
#include "brindlecap/runtime/value.hpp"
#include "brindlecap/runtime/warnings.hpp"
#include "brindlecap/version.hpp"
