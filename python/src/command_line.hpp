#pragma once
// The filtrations command line in process, for `python -m brindlecap.filtrations`.

#include "common.hpp"

namespace brindlecap::python {

// Also fe.parse_tree, the inline tree form.
void init_cli(py::module_& cli_module, py::module_& fe_module);

}  // namespace brindlecap::python
