// The host's facilities and the framework services: warnings, the structured log, the signal
// metadata store and its query seam (evaluation_utils), the check registry service.

#include "services.hpp"

#include <map>

#include "brindlecap/functions/evaluation_pipeline/check_registry.hpp"
#include "brindlecap/runtime/json.hpp"
#include "brindlecap/runtime/log.hpp"
#include "brindlecap/runtime/warnings.hpp"
#include "convert.hpp"
#include "errors.hpp"
#include "records.hpp"

namespace brindlecap::python {

using namespace pybind11::literals;
namespace ep = functions::evaluation_pipeline;

namespace {

// The default query as bound in evaluation_utils (the seam holds it until replaced).
PyObject* default_query = nullptr;

py::object warning_category(const std::string& name) {
    const py::dict builtins = py::module_::import("builtins").attr("__dict__");
    if (builtins.contains(name)) {
        py::object cls = builtins[name.c_str()];
        if (PyType_Check(cls.ptr()) && PyObject_IsSubclass(cls.ptr(), PyExc_Warning) == 1) return cls;
    }
    return py::reinterpret_borrow<py::object>(PyExc_UserWarning);
}

const char* level_method(runtime::LogLevel level) {
    switch (level) {
        case runtime::LogLevel::debug:
            return "debug";
        case runtime::LogLevel::info:
            return "info";
        case runtime::LogLevel::warning:
            return "warning";
        case runtime::LogLevel::error:
            return "error";
    }
    return "info";
}

// The query's result: a mapping id -> metadata mapping (each metadata read as a dict).
Dict query_result(py::handle returned) {
    if (!PyDict_Check(returned.ptr()) && !is_mapping(returned))
        throw py::type_error("_query_signal_metadata must return a mapping, got " + type_name_of(returned));
    Converter c;
    Dict out;
    for_each_item(returned, "signal metadata", [&](py::handle id, py::handle metadata) {
        const bool mapping = PyDict_Check(metadata.ptr()) || py::hasattr(metadata, "keys");
        out.set(c.value(id), mapping ? Value(c.dict(metadata, "signal metadata")) : c.value(metadata));
    });
    return out;
}

void install_host_hooks() {
    // warnings.warn(message, category, stacklevel): attributed to the caller's own code (the
    // library has no Python frames of its own). A warning turned into an error propagates.
    runtime::set_warning_handler([](const runtime::Warning& w) {
        in_python([&] {
            if (PyErr_WarnEx(warning_category(w.category).ptr(), w.message.c_str(), std::max(1, w.stacklevel - 1)) < 0)
                throw py::error_already_set();
        });
    });

    // log.<level>(event, **fields, exc_info=<exception>) through the module's `log`, looked up
    // at every event so that a replaced logger gets them.
    runtime::set_log_sink([](const runtime::LogRecord& record, const std::exception* exc) {
        in_python([&] {
            const py::object log = host_module(FE_MODULE).attr("log");
            Exporter out;
            py::dict fields;
            for (const auto& [key, value] : record.fields) fields[py::str(key)] = out.value(value);
            if (!record.has_exc) {
                log.attr(level_method(record.level))(record.event, **fields);
                return;
            }
            // The original exception (with its traceback when Python raised it), also as the
            // exception being handled while the logger runs, as in an except block: renderers that
            // read sys.exc_info() see it too.
            const py::object error = exc != nullptr ? python_exception_of(*exc)
                                                    : python_exception_of(runtime::Exception(record.exc_kind, record.exc_text));
            fields["exc_info"] = error;
            PyObject* handled = PyErr_GetHandledException();
            PyErr_SetHandledException(error.ptr());
            try {
                log.attr(level_method(record.level))(record.event, **fields);
            } catch (...) {
                PyErr_SetHandledException(handled);
                Py_XDECREF(handled);
                throw;
            }
            PyErr_SetHandledException(handled);
            Py_XDECREF(handled);
        });
    });

    // Real-mode ingestion asks evaluation_utils._query_signal_metadata, looked up each time.
    eu::set_signal_metadata_query([](const std::vector<std::string>& ids, std::int64_t market_id, std::int64_t era_number) {
        return in_python([&]() -> Dict {
            const py::object query = host_module(UTILS_MODULE).attr("_query_signal_metadata");
            if (query.ptr() == default_query) {
                py::gil_scoped_release nogil;
                return eu::query_signal_metadata(ids, market_id, era_number);
            }
            Exporter out;
            return query_result(query(out.strings(ids), "market_id"_a = market_id, "era_number"_a = era_number));
        });
    });
}

// One row of create_signal_metadata_store: (signal_id, market_id, era_number, metadata), the
// metadata a mapping or JSON text.
struct MetadataRow {
    std::string id;
    std::int64_t market_id;
    std::int64_t era_number;
    Value metadata;
};

void create_store(const std::string& path, py::iterable rows) {
    Converter c;
    std::vector<MetadataRow> read;
    for (const auto row : rows) {
        if (!PySequence_Check(row.ptr()) || PyUnicode_Check(row.ptr()))
            throw py::type_error("rows hold (signal_id, market_id, era_number, metadata), got " + type_name_of(row));
        const py::sequence fields = py::reinterpret_borrow<py::sequence>(row);
        if (fields.size() != 4) {
            throw py::value_error("rows hold (signal_id, market_id, era_number, metadata), got " +
                                  std::to_string(fields.size()) + " values");
        }
        MetadataRow r{c.str(fields[0], "signal_id"), c.int64(fields[1], "market_id"), c.int64(fields[2], "era_number"), {}};
        const py::object metadata = fields[3];
        r.metadata = PyUnicode_Check(metadata.ptr()) ? runtime::parse_json(c.str(metadata, "metadata")) : c.value(metadata);
        read.push_back(std::move(r));
    }
    // One import per (market, era), each all or nothing.
    std::map<std::pair<std::int64_t, std::int64_t>, Dict> groups;
    for (MetadataRow& r : read) groups[{r.market_id, r.era_number}].set(Value(r.id), std::move(r.metadata));
    py::gil_scoped_release nogil;
    eu::create_signal_metadata_db(path);
    for (const auto& [key, signals] : groups) eu::import_signal_metadata(path, signals, key.first, key.second);
}

std::string path_text(py::handle path) {
    return py::module_::import("os").attr("fsdecode")(path).cast<std::string>();
}

}  // namespace

void init_services(py::module_& utils, py::module_& registry) {
    // ---- evaluation_utils
    py::object base = py::module_::import("builtins").attr("type")(
        "EvaluationCheckPlugin", py::make_tuple(),
        py::dict("__module__"_a = UTILS_MODULE, "data_type"_a = py::none(),
                 "__doc__"_a = "A check an application adds to every evaluation. Subclasses set `name` and "
                               "`data_type` (None: every operator) and implement "
                               "validate(op_impl, pool, config) -> CheckOutcome."));
    base.attr("validate") = py::cpp_function(
        [](py::handle self, py::handle, py::handle, py::handle) -> py::object {
            throw py::type_error(type_name_of(self) + ".validate(op_impl, pool, config) is not implemented");
        },
        py::is_method(base), "op_impl"_a, "pool"_a, "config"_a);
    utils.attr("EvaluationCheckPlugin") = base;

    utils.def(
        "query_signal_metadata",
        [](py::iterable signal_ids, py::handle market_id, py::handle era_number) {
            Converter c;
            const std::vector<std::string> ids = c.strings(signal_ids, "signal ids");
            const std::int64_t market = c.int64(market_id, "market_id");
            const std::int64_t era = c.int64(era_number, "era_number");
            Dict rows;
            {
                py::gil_scoped_release nogil;
                rows = eu::query_signal_metadata(ids, market, era);
            }
            Exporter out;
            return out.dict(rows);
        },
        "signal_ids"_a, "market_id"_a, "era_number"_a,
        "Metadata of the requested signals found in the configured SQLite store (id -> dict).");
    default_query = utils.attr("query_signal_metadata").ptr();
    utils.attr("_query_signal_metadata") = utils.attr("query_signal_metadata");
    utils.def(
        "configure_signal_metadata_store",
        [](py::handle path) {
            eu::configure_signal_metadata_store(path.is_none() ? std::nullopt
                                                               : std::optional<std::string>(path_text(path)));
        },
        "path"_a, "The SQLite file query_signal_metadata reads (None: not configured).");
    utils.def(
        "create_signal_metadata_store", [](py::handle path, py::iterable rows) { create_store(path_text(path), rows); },
        "path"_a, "rows"_a = py::tuple(),
        "Creates the store's file and table when missing and inserts or replaces rows of (signal_id, "
        "market_id, era_number, metadata as a mapping or JSON text).");

    // ---- check_registry
    registry.def(
        "get_check_registry_entries",
        [](const std::string& family) {
            py::list out;
            for (const auto& [number, name] : ep::get_check_registry_entries(family)) out.append(py::make_tuple(number, name));
            return out;
        },
        "family"_a, "(number, name) of the family's canonical checks, in order.");
    registry.def(
        "get_check_key_map",
        [](const std::string& family) {
            py::dict out;
            for (const auto& [number, name] : ep::get_check_key_map(family)) out[py::int_(number)] = name;
            return out;
        },
        "family"_a, "Check number -> name for the family.");
    registry.def(
        "get_shared_check_body_map",
        []() {
            py::dict out;
            for (const auto& [key, body] : ep::get_shared_check_body_map()) {
                const std::string name = key.first + "_" + key.second;
                out[py::make_tuple(key.first, key.second)] = py::cpp_function(
                    [body](py::kwargs context) {
                        Converter c;
                        Dict ctx;
                        for (const auto& [k, v] : context) ctx.set(c.value(k), c.value(v));
                        ep::SharedCheckResult result;
                        {
                            py::gil_scoped_release nogil;
                            result = body(ctx);
                        }
                        return export_shared(result);
                    },
                    py::name(name.c_str()));
            }
            return out;
        },
        "(family, check name) -> shared check body (keyword arguments only).");

    install_host_hooks();
}

}  // namespace brindlecap::python
