#pragma once
// Reproducers and the HTML report of an acceptance run, from Python.

#include "common.hpp"

namespace brindlecap::python {

void init_report(py::module_& report_module);

}  // namespace brindlecap::python
