#pragma once
// Operators both ways: a Python callable as a library Operator (any of the three calling forms,
// any iterable result), and a library Operator as a Python callable.

#include "common.hpp"

namespace brindlecap::python {

// The Operator of a Python callable; the C++ operator itself when the callable wraps one.
fe::Operator operator_of(py::handle callable, std::string name = "");
// The Python callable of an Operator: the original object for a Python operator, otherwise a
// callable wrapping the C++ operator.
py::object export_operator(const fe::Operator& op, const std::string& name = "operator");

// An operator's result as the library's result: sets and lists of str take a fast path through
// the pool's key index; anything else is validated by the library's own rules.
fe::OperatorResult result_of(py::handle result, const fe::IdSet& pool_keys);

// FunctionStore, StoreEntry, build_default_store; the built-in operator modules and the
// target resolver (which also reaches Python modules).
void init_operators(py::module_& fe_module, py::module_& store_builder, py::module_& comparison,
                    py::module_& rank, py::module_& boolean, py::module_& wrapper,
                    py::module_& targets);

// The C++ store behind a Python FunctionStore.
const rs::FunctionStore& store_of(py::handle store);
rs::FunctionStore* store_or_null(py::handle store);

}  // namespace brindlecap::python
