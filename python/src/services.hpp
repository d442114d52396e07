#pragma once
// Host facilities (warnings, the structured log, the metadata query seam) and the framework
// services of evaluation_utils and check_registry.

#include "common.hpp"

namespace brindlecap::python {

void init_services(py::module_& utils, py::module_& registry);
// At interpreter exit: the library stops calling into Python.
void uninstall_host_hooks();

}  // namespace brindlecap::python
