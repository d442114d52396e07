#pragma once
// What the commands print: the verdict matrix, diagnostics tables and the JSON documents.

#include <set>
#include <string>
#include <vector>

#include "brindlecap/functions/filtrations_evaluation/acceptance/references.hpp"
#include "brindlecap/functions/filtrations_evaluation/acceptance/results.hpp"
#include "brindlecap/functions/filtrations_evaluation/product/resolve.hpp"
#include "brindlecap/functions/filtrations_evaluation/core/errors.hpp"
#include "brindlecap/functions/filtrations_evaluation/core/operator.hpp"
#include "brindlecap/functions/filtrations_evaluation/core/pool.hpp"
#include "brindlecap/functions/filtrations_evaluation/core/records.hpp"
#include "brindlecap/functions/filtrations_evaluation/report/report.hpp"
#include "brindlecap/runtime/value.hpp"
#include "terminal_text.hpp"

namespace brindlecap::cli {

using functions::filtrations_evaluation::FilterDiagnostic;
using functions::filtrations_evaluation::FilterNode;
using functions::filtrations_evaluation::FiltrationEvaluationConfig;
using functions::filtrations_evaluation::FiltrationEvaluationResult;
using functions::filtrations_evaluation::FiltrationResult;
using functions::filtrations_evaluation::ProductFiltrationResult;

// ---- JSON documents ---------------------------------------------------------------------------

// A copy of `v` that to_json can write: identifier sets become sorted lists, other objects
// their repr, non-JSON dict keys their str.
runtime::Value json_safe(const runtime::Value& v);
// Two-space indented JSON with a final newline (NaN / Infinity literals included).
std::string json_text(const runtime::Value& v);

runtime::Value diagnostics_value(const std::vector<FilterDiagnostic>& diagnostics);
runtime::Value resolve_result_value(const FiltrationResult& result);
// Every configuration field except mock_signals and signal_metadata; sets as sorted lists.
runtime::Value config_value(const FiltrationEvaluationConfig& config);
runtime::Value evaluation_result_value(const FiltrationEvaluationResult& result);
// {"error": kind, "message": text}, plus the diagnostics of an empty outcome when given.
runtime::Value error_value(const std::string& kind, const std::string& message,
                           const std::vector<FilterDiagnostic>* diagnostics = nullptr);

// ---- Readable output --------------------------------------------------------------------------

// Names of the checks that run but do not count (the run's info_checks), canonical and plug-in.
std::set<std::string> info_check_names(const FiltrationEvaluationConfig& config);

// One row per operator, one column per check (pass / FAIL / skip), an accepted column, a
// summary line, then the details of every failed check, with its counterexample when
// `counterexamples` has one and how to give an oracle when it had none. ANSI colour only when
// `color`.
std::string render_verdict_matrix(const FiltrationEvaluationResult& result,
                                  const std::set<std::string>& info_checks, bool color,
                                  const std::vector<functions::filtrations_evaluation::Counterexample>& counterexamples = {});

// The tree's nodes root first, indented by depth, with each node's passing count. When the
// outcome is empty, the nodes that emptied the pool (nothing passes, though every child had
// signals) are marked. Falls back to the flat diagnostics list if they don't match the tree.
std::string render_diagnostics(const FilterNode& tree, const std::vector<FilterDiagnostic>& diagnostics,
                               bool empty_outcome, bool color);

// Identifiers wrapped to `width` columns, indented by two spaces.
std::string wrap_ids(const std::vector<std::string>& ids, std::size_t width = 100);

std::string render_resolve(const FilterNode& tree, const FiltrationResult& result, bool color);
std::string render_products(const FilterNode& tree, const ProductFiltrationResult& result, bool color);
std::string render_flattened(const runtime::Dict& flattened);

}  // namespace brindlecap::cli
