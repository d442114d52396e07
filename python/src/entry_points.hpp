#pragma once
// resolve_filtrations and the tree internals, product filtrations, flattening with its telemetry
// hooks, and the module's tables.

#include "common.hpp"

namespace brindlecap::python {

void init_entry_points(py::module_& fe_module);

}  // namespace brindlecap::python
