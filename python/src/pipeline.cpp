// The acceptance pipeline from Python: _evaluate, the ingestion steps, and plug-in checks
// written in Python.

#include "pipeline.hpp"

#include <map>

#include "brindlecap/functions/filtrations_evaluation/metadata/ingest_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/acceptance/evaluate_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/acceptance/plugins_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/acceptance/strict.hpp"
#include "convert.hpp"
#include "errors.hpp"
#include "operators.hpp"
#include "records.hpp"

namespace brindlecap::python {

using namespace pybind11::literals;
namespace detail = fe::detail;

namespace {

// One evaluation run seen from Python: the caller's configuration record and what ingestion
// changed in its C++ copy, written back once (before a plug-in or the progress callback sees the
// record, and at the end, also when the run fails). Runs are entered and left under the GIL.
class Run {
public:
    Run(py::handle record, fe::FiltrationEvaluationConfig& config)
        : record_(py::reinterpret_borrow<py::object>(record)), config_(config), before_(config) {
        runs().push_back(this);
    }
    Run(const Run&) = delete;
    Run& operator=(const Run&) = delete;
    ~Run() {
        std::erase(runs(), this);
        try {
            sync();
        } catch (py::error_already_set& e) {
            e.discard_as_unraisable("writing the ingested signal metadata back to the configuration");
        } catch (const std::exception& e) {
            PyErr_WarnEx(PyExc_RuntimeWarning,
                         (std::string("cannot write the ingested signal metadata back: ") + e.what()).c_str(), 1);
            PyErr_Clear();
        }
    }

    void sync() {
        write_back_ingestion(before_, config_, record_);
        before_.signal_metadata = config_.signal_metadata;
        before_.N_signals = config_.N_signals;
    }
    const py::object& record() const { return record_; }
    // Results the progress callback has seen, so that the run's result holds the same objects.
    std::map<std::string, py::object> seen;

    // The run whose configuration this is, or nullptr.
    static Run* of(const eu::BaseEvaluationConfig& config) {
        for (Run* run : runs())
            if (static_cast<const eu::BaseEvaluationConfig*>(&run->config_) == &config) return run;
        return nullptr;
    }

private:
    static std::vector<Run*>& runs() {
        static auto* all = new std::vector<Run*>;
        return *all;
    }

    py::object record_;
    fe::FiltrationEvaluationConfig& config_;
    fe::FiltrationEvaluationConfig before_;
};

// A plug-in written in Python: `name` and `data_type` are read at each use, validate() gets the
// operator as a callable, the pool as a dict of UsefulSignal and the run's own configuration.
class PyPlugin : public eu::EvaluationCheckPlugin {
public:
    explicit PyPlugin(py::handle obj) : obj_(share(obj)) {}
    PyObject* object() const noexcept { return obj_.get(); }

    std::string name() const override {
        return in_python([&] {
            Converter c;
            return c.str(object_of(obj_).attr("name"), "plug-in name");
        });
    }
    Value data_type() const override {
        return in_python([&] {
            Converter c;
            return c.value(object_of(obj_).attr("data_type"));
        });
    }
    eu::CheckOutcome validate(const fe::Operator& op_impl, fe::SignalPool& pool,
                              eu::BaseEvaluationConfig& config) override {
        return in_python([&] {
            py::object record;
            if (Run* run = Run::of(config)) {
                run->sync();
                record = run->record();
            } else {
                record = export_config(dynamic_cast<const fe::FiltrationEvaluationConfig&>(config));
            }
            Exporter out;
            return outcome_of(object_of(obj_).attr("validate")(export_operator(op_impl), out.pool(pool), record));
        });
    }

private:
    PyRef obj_;
};

// A Python plug-in is itself; a plug-in of the library (a strict check) is seen by its name.
py::object plugin_object(const fe::PluginPtr& plugin) {
    if (const auto* p = dynamic_cast<const PyPlugin*>(plugin.get())) return py::reinterpret_borrow<py::object>(p->object());
    return py::module_::import("types").attr("SimpleNamespace")("name"_a = plugin->name(), "data_type"_a = py::none());
}

std::vector<fe::PluginPtr> plugins_of(py::iterable plugins) {
    std::vector<fe::PluginPtr> out;
    for (const auto p : plugins) out.push_back(std::make_shared<PyPlugin>(p));
    return out;
}

py::list export_plugin_entries(const detail::PluginEntries& entries) {
    py::list out;
    for (const auto& [number, plugin] : entries) out.append(py::make_tuple(number, plugin_object(plugin)));
    return out;
}

py::object evaluate(py::handle config, py::handle operator_configs, py::handle store) {
    fe::FiltrationEvaluationConfig cfg = config_of(config);
    IdentityScope scope;
    std::optional<std::vector<fe::EvalFiltrationConfig>> configs = operator_configs_of(operator_configs, &scope);
    const rs::FunctionStore* s = store_or_null(store);
    Run run(config, cfg);
    if (cfg.operator_progress_callback) {
        // The callback's result objects are the ones the run's result holds.
        cfg.operator_progress_callback = [&run, callback = share(py::getattr(config, "_operator_progress_callback"))](
                                             const std::string& name, const fe::OperatorCheckResult& result,
                                             std::int64_t done, std::int64_t total) {
            in_python([&] {
                run.sync();
                py::object record = export_check_result(result);
                run.seen[name] = record;
                object_of(callback)(name, record, done, total);
            });
        };
    }
    fe::FiltrationEvaluationResult result;
    {
        py::gil_scoped_release nogil;
        result = detail::evaluate(cfg, std::move(configs), s);
    }
    run.sync();
    py::dict operator_results;
    for (const auto& [name, check_result] : result.operator_results) {
        const auto seen = run.seen.find(name);
        operator_results[py::str(name)] = seen != run.seen.end() ? seen->second : export_check_result(check_result);
    }
    py::object configs_out = py::reinterpret_borrow<py::object>(operator_configs);
    if (operator_configs.is_none() || PyObject_IsTrue(operator_configs.ptr()) != 1) {
        py::list discovered;
        for (const auto& c : result.operator_configs) discovered.append(records().eval_config(c.name, py::none()));
        configs_out = std::move(discovered);
    }
    return records().evaluation_result(operator_results, config, configs_out);
}

template <void (*Ingest)(fe::FiltrationEvaluationConfig&)>
void ingest(py::handle config) {
    fe::FiltrationEvaluationConfig cfg = config_of(config);
    Run run(config, cfg);
    py::gil_scoped_release nogil;
    Ingest(cfg);
}

// The registered plug-ins as Python sees them (the registry itself stays in the library).
struct PluginRegistryView {};

}  // namespace

void init_pipeline(py::module_& m) {
    m.def("_evaluate", &evaluate, "config"_a, "operator_configs"_a, "store"_a = py::none(),
          "Runs every canonical check and every registered plug-in on each operator.");
    m.def("evaluate", &evaluate, "config"_a, "operator_configs"_a = py::none(), "store"_a = py::none(),
          "Judges filtration operators: every canonical check and every registered plug-in, on each operator.\n\n"
          "Parameters\n----------\n"
          "config : FiltrationEvaluationConfig\n"
          "    The run's settings: mode ('mock' with mock_signals, or 'real'), seed, skip_checks, ...\n"
          "operator_configs : list[EvalFiltrationConfig] | None\n"
          "    The operators to judge (with optional custom test cases); None judges every filtration\n"
          "    operator of the store.\n"
          "store : FunctionStore | None\n"
          "    Where the operators are looked up; None is the default store of the built-ins.\n\n"
          "Returns\n-------\nFiltrationEvaluationResult\n"
          "    operator_results maps each operator's name to its OperatorCheckResult (accepted, checks).");
    m.def("_ingest_mock_data_filtration", &ingest<&detail::ingest_mock_data_filtration>, "config"_a);
    m.def("_ingest_real_data_filtration", &ingest<&detail::ingest_real_data_filtration>, "config"_a);

    m.def(
        "register_check_plugin", [](py::handle plugin) { fe::register_check_plugin(std::make_shared<PyPlugin>(plugin)); },
        "plugin"_a, "Adds a plug-in check, run after the canonical checks; its name must be new.");
    m.def(
        "get_registered_plugins",
        []() {
            py::list out;
            for (const auto& p : fe::get_registered_plugins()) out.append(plugin_object(p));
            return out;
        },
        "The registered plug-ins, in registration order (a new list).");
    m.def("clear_check_plugins", &fe::clear_check_plugins, "Removes every registered plug-in.");
    m.def("register_strict_checks", &fe::register_strict_checks,
          "Registers the strict profile's checks as plug-ins (those not registered yet), after the registered ones.");
    m.def("unregister_strict_checks", &fe::unregister_strict_checks,
          "Removes the strict profile's checks; other plug-ins keep their order.");
    m.def("strict_check_names", &fe::strict_check_names, "The strict profile's check names, in registration order.");
    m.def("_get_plugin_check_entries", []() { return export_plugin_entries(detail::get_plugin_check_entries()); });
    m.def(
        "_build_plugin_check_entries",
        [](py::iterable plugins) { return export_plugin_entries(detail::build_plugin_check_entries(plugins_of(plugins))); },
        "plugins"_a);

    py::class_<PluginRegistryView>(m, "_PluginRegistry", "The registered plug-ins, in registration order.")
        .def("__len__", [](const PluginRegistryView&) { return fe::get_registered_plugins().size(); })
        .def("__iter__",
             [](const PluginRegistryView&) {
                 py::list out;
                 for (const auto& p : fe::get_registered_plugins()) out.append(plugin_object(p));
                 return py::iter(out);
             })
        .def("__getitem__",
             [](const PluginRegistryView&, std::size_t i) {
                 const auto plugins = fe::get_registered_plugins();
                 if (i >= plugins.size()) throw py::index_error("plug-in index out of range");
                 return plugin_object(plugins[i]);
             })
        .def("clear", [](const PluginRegistryView&) { fe::clear_check_plugins(); })
        .def("__repr__", [](const PluginRegistryView&) {
            py::list out;
            for (const auto& p : fe::get_registered_plugins()) out.append(plugin_object(p));
            return py::repr(out).cast<std::string>();
        });
    m.attr("_plugin_registry") = PluginRegistryView{};
}

}  // namespace brindlecap::python
