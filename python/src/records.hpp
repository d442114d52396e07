#pragma once
// The records as Python classes (dataclasses made at import, with the library's field names,
// defaults and docstrings) and their conversions at the call boundary.

#include <map>
#include <optional>
#include <string>
#include <vector>

#include "brindlecap/functions/filtrations_evaluation/checks/test_case.hpp"
#include "brindlecap/functions/evaluation_pipeline/check_registry.hpp"
#include "convert.hpp"

namespace brindlecap::python {

struct Records {
    // filtrations_evaluation
    py::object filter_node, filter_diagnostic, filtration_result, useful_signal, field_schema,
        prepared_field, config, eval_config, operator_check_result, evaluation_result,
        check_registry_entry;
    // evaluation_utils
    py::object check_outcome, base_config;
    // store_builder, check_registry, filtrations._instance
    py::object store_entry, shared_check_result, filtration_instance;
};
const Records& records();
void init_records(py::module_& fe_module, py::module_& utils, py::module_& store_builder,
                  py::module_& check_registry, py::module_& instance);

// ---- Out ----------------------------------------------------------------------------------------

py::object export_diagnostic(const fe::FilterDiagnostic& d);
py::object export_diagnostics(const std::vector<fe::FilterDiagnostic>& diagnostics);  // list
py::object export_result(const fe::FiltrationResult& r);
py::object export_outcome(const eu::CheckOutcome& o);
py::object export_check_result(const fe::OperatorCheckResult& r);
py::object export_prepared(const fe::PreparedField& p);
py::object export_shared(const functions::evaluation_pipeline::SharedCheckResult& r);
// A C++ configuration as a new Python record.
py::object export_config(const fe::FiltrationEvaluationConfig& c);

// ---- In -----------------------------------------------------------------------------------------

eu::CheckOutcome outcome_of(py::handle obj);
std::vector<fe::FilterDiagnostic> diagnostics_of(py::handle list);

// A Python configuration (the record or any object with its attributes) read into C++; the
// progress callback comes from the optional attribute `_operator_progress_callback`.
fe::FiltrationEvaluationConfig config_of(py::handle obj);
// Writes what ingestion changed (signal_metadata, N_signals) back to the caller's record. In mock
// mode the new signal_metadata maps each id to the caller's own metadata mapping.
void write_back_ingestion(const fe::FiltrationEvaluationConfig& before, const fe::FiltrationEvaluationConfig& after,
                          py::handle obj);

// Test cases, with each case's params dict and children list bound in `scope` to the caller's own
// objects when a scope is given (an operator receives them, and what it changes there the cases
// after see). The cases must stay where they are while the scope lives (moving the vector is fine).
std::optional<std::vector<fe::EvalFiltrationConfig>> operator_configs_of(py::handle list, IdentityScope* scope = nullptr);
std::optional<std::vector<fe::CorrectnessTestCase>> test_cases_of(py::handle list, IdentityScope* scope = nullptr);

}  // namespace brindlecap::python
