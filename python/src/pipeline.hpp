#pragma once
// _evaluate, ingestion, and plug-in checks written in Python.

#include "common.hpp"

namespace brindlecap::python {

void init_pipeline(py::module_& fe_module);

}  // namespace brindlecap::python
