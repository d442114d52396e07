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

#include <cstdlib>
#include <cstring>
#include <regex>
#include <utility>

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

// A parameter's default as a text signature holds it: a literal, else `...`.
std::string signature_default(std::string_view text) {
    static const std::regex literal(R"(None|True|False|-?[0-9]+(\.[0-9]*)?([eE][-+]?[0-9]+)?|'[^'\\]*'|"[^"\\]*")");
    return std::regex_match(text.begin(), text.end(), literal) ? std::string(text) : std::string("...");
}

// pybind11's docstring "name(a: T, b: T = 1) -> R\n\ndoc" as "name(a, b=1)\n--\n\ndoc", the form
// CPython reads __text_signature__ from: inspect.signature and help() then show the parameters
// (their types are in the package's stubs). A method keeps `self` as a plain parameter: the
// function's __self__ is pybind11's record, not an instance, and a bound method drops it.
void add_text_signature(PyObject* function) {
    if (!PyCFunction_Check(function)) return;
    PyMethodDef* def = reinterpret_cast<PyCFunctionObject*>(function)->m_ml;
    if (def->ml_doc == nullptr) return;
    const std::string doc = def->ml_doc;
    const std::string name = def->ml_name;
    if (!doc.starts_with(name + "(") || doc.find(")\n--\n\n") != std::string::npos) return;
    std::vector<std::string> params;
    std::string current;
    int depth = 0;
    char quote = 0;
    std::size_t i = name.size() + 1;
    for (; i < doc.size(); ++i) {
        const char c = doc[i];
        if (quote != 0) {
            quote = c == quote ? 0 : quote;
        } else if (c == '\'' || c == '"') {
            quote = c;
        } else if (c == '(' || c == '[' || c == '{') {
            ++depth;
        } else if (c == ')' || c == ']' || c == '}') {
            if (depth-- == 0) break;
        } else if (c == ',' && depth == 0) {
            params.push_back(std::move(current));
            current.clear();
            continue;
        }
        current += c;
    }
    if (i == doc.size()) return;
    if (current.find_first_not_of(' ') != std::string::npos) params.push_back(std::move(current));
    std::string signature = name + "(";
    for (std::size_t k = 0; k < params.size(); ++k) {
        const std::string& p = params[k];
        const std::size_t start = p.find_first_not_of(' ');
        const std::size_t name_end = std::min(p.find(':'), p.find(" = "));
        std::string param = p.substr(start, name_end == std::string::npos ? name_end : name_end - start);
        if (const std::size_t eq = p.find(" = "); eq != std::string::npos) param += "=" + signature_default(p.substr(eq + 3));
        signature += (k ? ", " : "") + param;
    }
    std::size_t rest = doc.find('\n', i);
    rest = rest == std::string::npos ? doc.size() : doc.find_first_not_of('\n', rest);
    const std::string text = signature + ")\n--\n\n" + (rest == std::string::npos ? "" : doc.substr(rest));
    std::free(const_cast<char*>(def->ml_doc));  // pybind11 allocates it with strdup
    def->ml_doc = strdup(text.c_str());
}

// Each native submodule's functions and classes: text signatures, and the module they are
// public in as their __module__.
void present(py::module_ native, const char* public_name) {
    const py::str module_name(public_name);
    const py::object native_name = native.attr("__name__");
    const auto defined_here = [&native_name](py::handle obj) { return py::object(obj.attr("__module__")).equal(native_name); };
    for (const auto& [key, value] : py::reinterpret_borrow<py::dict>(native.attr("__dict__"))) {
        if (PyCFunction_Check(value.ptr())) {
            add_text_signature(value.ptr());
            if (defined_here(value)) value.attr("__module__") = module_name;
        } else if (PyType_Check(value.ptr()) && (defined_here(value) || py::object(value.attr("__module__")).equal(module_name))) {
            value.attr("__module__") = module_name;
            PyObject* members = reinterpret_cast<PyTypeObject*>(value.ptr())->tp_dict;
            for (const auto& [member_name, member] : py::reinterpret_borrow<py::dict>(members)) {
                if (PyInstanceMethod_Check(member.ptr())) add_text_signature(PyInstanceMethod_GET_FUNCTION(member.ptr()));
                else if (PyCFunction_Check(member.ptr())) add_text_signature(member.ptr());
                else if (py::isinstance<py::staticmethod>(member)) add_text_signature(member.attr("__func__").ptr());
            }
        }
    }
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
    bp::init_cli(cli, fe);
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
    for (const auto& [native_name, public_name] : std::initializer_list<std::pair<const char*, const char*>>{
             {"filtrations_evaluation", bp::FE_MODULE},
             {"evaluation_utils", bp::UTILS_MODULE},
             {"store_builder", bp::STORE_MODULE},
             {"check_registry", bp::REGISTRY_MODULE},
             {"comparison", "brindlecap.functions.filtrations.comparison"},
             {"rank", "brindlecap.functions.filtrations.rank"},
             {"boolean", "brindlecap.functions.filtrations.boolean"},
             {"wrapper", "brindlecap.functions.filtrations.wrapper"},
             {"builtin_runtime_targets", "brindlecap.functions.filtrations.builtin_runtime_targets"},
             {"_instance", "brindlecap.functions.filtrations._instance"},
             {"cli", "brindlecap.filtrations"},
             {"report", "brindlecap.report"},
             {"columns", "brindlecap.columns"}})
        present(bp::native_submodule(native_name), public_name);
    // At interpreter exit the library lets go of every Python object it holds and stops calling
    // into Python (its process-wide state outlives the interpreter).
    py::module_::import("atexit").attr("register")(
        py::cpp_function(&brindlecap::runtime::ProcessState::release_host_objects));
}
