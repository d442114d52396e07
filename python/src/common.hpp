#pragma once
// What every part of the extension module shares: pybind11, the library's namespaces, Python
// references C++ may hold on any thread, and the module names.

#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <memory>
#include <string>
#include <string_view>

#include "brindlecap/functions/filtrations_evaluation.hpp"

namespace brindlecap::python {

namespace py = pybind11;
namespace fe = functions::filtrations_evaluation;
namespace eu = functions::evaluation_utils;
namespace rs = functions::registry_and_store;
using runtime::Dict;
using runtime::List;
using runtime::Value;

// Module names as Python imports them.
inline constexpr const char* FE_MODULE = "brindlecap.functions.filtrations_evaluation";
inline constexpr const char* UTILS_MODULE = "brindlecap.functions.evaluation_utils";
inline constexpr const char* STORE_MODULE = "brindlecap.functions.registry_and_store.store_builder";
inline constexpr const char* REGISTRY_MODULE = "brindlecap.functions.evaluation_pipeline.check_registry";

// A strong reference to a Python object that C++ can copy and drop on any thread: the last
// owner releases it under the GIL, taking the GIL when its thread lacks it. Once the interpreter
// is finalizing, references are left alone.
using PyRef = std::shared_ptr<PyObject>;
PyRef share(py::handle obj);
inline py::object object_of(const PyRef& ref) { return py::reinterpret_borrow<py::object>(ref.get()); }
// The Python object behind an owner made by share() (the array a matrix borrows), or nullptr.
PyObject* shared_object(const std::shared_ptr<const void>& owner);

// The module as Python sees it (sys.modules, so that attributes assigned there count), else
// the extension's own submodule of that name.
py::object host_module(const char* name);

// The extension's submodules, created at import: "filtrations_evaluation", "evaluation_utils",
// "store_builder", "check_registry", "comparison", ...
py::module_ native_submodule(const char* name);
void register_submodule(const char* name, py::module_ module);

// type(obj).__name__
std::string type_name_of(py::handle obj);

}  // namespace brindlecap::python
