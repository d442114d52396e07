#pragma once
// Host facilities (warnings, the structured log, the metadata query seam) and the framework
// services of evaluation_utils and check_registry.

#include "common.hpp"

namespace brindlecap::python {

void init_services(py::module_& utils, py::module_& registry);

}  // namespace brindlecap::python
