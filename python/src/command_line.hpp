#pragma once
// The filtrations command line in process, for `python -m brindlecap.filtrations`.

#include "common.hpp"

namespace brindlecap::python {

void init_cli(py::module_& cli_module);

}  // namespace brindlecap::python
