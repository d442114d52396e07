#pragma once
// The checks, their runners and tables, and the fixtures, one by one from Python.

#include "common.hpp"

namespace brindlecap::python {

void init_checks(py::module_& fe_module);

}  // namespace brindlecap::python
