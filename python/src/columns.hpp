#pragma once
// Signal pools built column-wise from numpy arrays or a pandas DataFrame.

#include <cstdint>
#include <memory>
#include <vector>

#include "brindlecap/runtime/huge_pages.hpp"

#include "common.hpp"

namespace brindlecap::python {

// A pool built column-wise: the library's pool, and its identifiers as the caller gave them
// (str objects, by pool position), which come back as the passing ids.
struct ColumnPool {
    std::shared_ptr<const fe::SignalPool> pool;
    runtime::LargeVector<py::object> ids;
};

// The pool of a ColumnPool argument, or nullptr for any other object.
const ColumnPool* column_pool_of(py::handle obj);

void init_columns(py::module_& columns_module);

}  // namespace brindlecap::python
