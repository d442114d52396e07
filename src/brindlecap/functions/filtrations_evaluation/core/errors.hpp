#pragma once
// The four errors of filter-tree evaluation; each derives directly from runtime::Exception.

#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "brindlecap/functions/filtrations_evaluation/core/records.hpp"
#include "brindlecap/runtime/errors.hpp"

namespace brindlecap::functions::filtrations_evaluation {

// "Raised when useful_signals dict is empty."
class EmptyPoolError : public runtime::Exception {
public:
    explicit EmptyPoolError(std::string message = "",
                            std::optional<std::vector<FilterDiagnostic>> filter_diagnostics = {})
        : Exception("EmptyPoolError", std::move(message)),
          filter_diagnostics(std::move(filter_diagnostics)) {}
    std::optional<std::vector<FilterDiagnostic>> filter_diagnostics;
};

// "Raised for filter tree validation errors."
class FilterValidationError : public runtime::Exception {
public:
    explicit FilterValidationError(std::string message = "")
        : Exception("FilterValidationError", std::move(message)) {}
};

// "Raised when postprocessing detects invalid IDs or non-string elements."
class FiltrationSubsetError : public runtime::Exception {
public:
    explicit FiltrationSubsetError(std::string message = "")
        : Exception("FiltrationSubsetError", std::move(message)) {}
};

// "Raised when 0 signals pass the complete filter tree."
class EmptyFiltrationError : public runtime::Exception {
public:
    explicit EmptyFiltrationError(std::string message,
                                  std::optional<std::vector<FilterDiagnostic>> diagnostics = {})
        : Exception("EmptyFiltrationError", std::move(message)),
          filter_diagnostics(diagnostics ? std::move(*diagnostics) : std::vector<FilterDiagnostic>{}) {}
    std::vector<FilterDiagnostic> filter_diagnostics;
};

}  // namespace brindlecap::functions::filtrations_evaluation
