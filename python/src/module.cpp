// brindlecap._native: the library as Python modules. Each submodule backs one module of the
// Python package, whose __init__ re-exports it (see export()).

#include "checks.hpp"
#include "columns.hpp"
#include "command_line.hpp"
#include "common.hpp"
#include "entry_points.hpp"
#include "errors.hpp"
#include "operators.hpp"
#include "pipeline.hpp"
#include "records.hpp"
#include "report.hpp"
#include "services.hpp"

#include "brindlecap/runtime/process_state.hpp"
#include "brindlecap/version.hpp"

namespace py = pybind11;
using namespace pybind11::literals;
namespace bp = brindlecap::python;

namespace {

// Copies a submodule's names into a package module's namespace; the public ones make __all__.
void export_names(py::dict globals, const std::string& name) {
    const py::module_ source = bp::native_submodule(name.c_str());
    py::list public_names;
    for (const auto& [key, value] : py::reinterpret_borrow<py::dict>(source.attr("__dict__"))) {
        const std::string k = py::str(key);
        if (k.starts_with("__")) continue;
        globals[key] = value;
        if (!k.starts_with("_")) public_names.append(key);
    }
    public_names.attr("sort")();
    globals["__all__"] = public_names;
}

}  // namespace

PYBIND11_MODULE(_native, m) {
    m.doc() = "The C++ filtrations evaluation library behind the brindlecap Python package.";
    m.attr("__version__") = std::string(brindlecap::VERSION);
    const auto sub = [&m](const char* name, const char* doc) {
        py::module_ s = m.def_submodule(name, doc);
        bp::register_submodule(name, s);
        return s;
    };
    py::module_ fe = sub("filtrations_evaluation", "Filter trees, product filtrations, flattening, acceptance checks.");
    py::module_ utils = sub("evaluation_utils", "Check outcomes, plug-in checks, the signal metadata store.");
    py::module_ store_builder = sub("store_builder", "The function store.");
    py::module_ registry = sub("check_registry", "The check registry service.");
    py::module_ comparison = sub("comparison", "gt, gte, lt, lte, eq, neq, between, in_.");
    py::module_ rank = sub("rank", "top_pct, bottom_pct, top_n, bottom_n.");
    py::module_ boolean = sub("boolean", "and_, or_, not_.");
    py::module_ wrapper = sub("wrapper", "filtration.");
    py::module_ targets = sub("builtin_runtime_targets", "Operators by module path and attribute name.");
    py::module_ instance = sub("_instance", "FiltrationInstance.");
    py::module_ cli = sub("cli", "The filtrations command line.");
    py::module_ report = sub("report", "Reproducers and the HTML report of an acceptance run.");
    py::module_ columns = sub("columns", "Signal pools built column-wise from numpy arrays or a pandas DataFrame.");

    bp::init_errors(fe);
    bp::init_records(fe, utils, store_builder, registry, instance);
    bp::init_operators(fe, store_builder, comparison, rank, boolean, wrapper, targets);
    bp::init_services(utils, registry);
    bp::init_entry_points(fe);
    bp::init_pipeline(fe);
    bp::init_checks(fe);
    bp::init_cli(cli);
    bp::init_report(report);
    bp::init_columns(columns);

    // Names the module binds from its sibling packages.
    for (const char* name : {"CheckOutcome", "EvaluationCheckPlugin", "BaseEvaluationConfig"})
        fe.attr(name) = utils.attr(name);
    for (const char* name : {"get_check_registry_entries", "get_check_key_map"}) fe.attr(name) = registry.attr(name);
    for (const char* name : {"FunctionStore", "StoreEntry", "build_default_store"}) fe.attr(name) = store_builder.attr(name);
    fe.attr("resolve_builtin_filtration_target") = targets.attr("resolve_builtin_filtration_target");
    fe.attr("FiltrationInstance") = instance.attr("FiltrationInstance");
    fe.attr("log") = py::module_::import("structlog").attr("get_logger")(bp::FE_MODULE);

    m.def("export", &export_names, "globals"_a, "name"_a,
          "Copies the names of a submodule into a package module's globals (and sets __all__).");
    // At interpreter exit the library lets go of every Python object it holds and stops calling
    // into Python (its process-wide state outlives the interpreter).
    py::module_::import("atexit").attr("register")(
        py::cpp_function(&brindlecap::runtime::ProcessState::release_host_objects));
}
