#include "records.hpp"

#include <set>
#include <type_traits>
#include <variant>

#include "brindlecap/functions/filtrations_evaluation/acceptance/properties.hpp"
#include "brindlecap/functions/filtrations_evaluation/core/vocabulary.hpp"
#include "errors.hpp"
#include "operators.hpp"

namespace brindlecap::python {

using namespace pybind11::literals;

namespace {

Records* records_slot = nullptr;

// One field of a record: required, with a default value, or with a fresh default per instance.
struct Field {
    const char* name;
    const char* type;
    enum { required, value, fresh } kind = required;
    py::object fallback = py::none();
};

Field with_default(const char* name, const char* type, py::object fallback) {
    return Field{name, type, Field::value, std::move(fallback)};
}
Field fresh(const char* name, const char* type, py::object factory) {
    return Field{name, type, Field::fresh, std::move(factory)};
}

// A dataclass in `module` under the qualified module name `module_name`.
py::object make_record(py::module_& module, const char* module_name, const char* name, const char* doc,
                       const std::vector<Field>& fields, bool frozen = false, py::tuple bases = py::tuple(),
                       bool slots = false) {
    const py::module_ dataclasses = py::module_::import("dataclasses");
    py::list specs;
    for (const Field& f : fields) {
        switch (f.kind) {
            case Field::required:
                specs.append(py::make_tuple(f.name, f.type));
                break;
            case Field::value:
                specs.append(py::make_tuple(f.name, f.type, dataclasses.attr("field")("default"_a = f.fallback)));
                break;
            case Field::fresh:
                specs.append(
                    py::make_tuple(f.name, f.type, dataclasses.attr("field")("default_factory"_a = f.fallback)));
                break;
        }
    }
    py::object cls =
        dataclasses.attr("make_dataclass")(name, specs, "bases"_a = bases, "frozen"_a = frozen, "slots"_a = slots);
    cls.attr("__module__") = module_name;
    cls.attr("__doc__") = doc;
    module.attr(name) = cls;
    return cls;
}

py::object builtin(const char* name) { return py::module_::import("builtins").attr(name); }

// The dataclass fields of the configuration records: BaseEvaluationConfig's (`base`) or the
// filtration record's own, with their annotations and the C++ record's defaults.
std::vector<Field> config_record_fields(bool base) {
    const fe::FiltrationEvaluationConfig defaults;
    std::vector<Field> out;
    for (const fe::ConfigField& field : fe::config_fields()) {
        if ((field.group == fe::ConfigGroup::base) != base) continue;
        visit_member(field.member, defaults, [&](const auto& value) {
            using T = std::remove_cvref_t<decltype(value)>;
            if constexpr (std::is_same_v<T, std::int64_t>) {
                out.push_back(with_default(field.name, "int", py::int_(value)));
            } else if constexpr (std::is_same_v<T, double>) {
                out.push_back(with_default(field.name, "float", py::float_(value)));
            } else if constexpr (std::is_same_v<T, std::set<std::int64_t>>) {
                out.push_back(fresh(field.name, "set[int]", builtin("set")));
            } else if constexpr (std::is_same_v<T, std::optional<std::string>>) {
                out.push_back(with_default(field.name, "str | None", py::none()));
            } else if constexpr (std::is_same_v<T, std::optional<std::int64_t>>) {
                out.push_back(with_default(field.name, "int | None", py::none()));
            } else if constexpr (std::is_same_v<T, std::optional<std::vector<std::string>>>) {
                out.push_back(with_default(field.name, "list | None", py::none()));
            } else if constexpr (std::is_same_v<T, fe::OperatorReferences>) {
                out.push_back(fresh(field.name, "dict[str, Callable]", builtin("dict")));
            } else if constexpr (std::is_same_v<T, fe::OperatorProperties>) {
                out.push_back(fresh(field.name, "dict[str, list[str]]", builtin("dict")));
            } else {
                static_assert(std::is_same_v<T, std::optional<Dict>>);
                out.push_back(with_default(field.name, "dict | None", py::none()));
            }
        });
    }
    return out;
}

// getattr(obj, name) with the attribute's absence an AttributeError, as for any record.
py::object field(py::handle obj, const char* name) { return obj.attr(name); }

}  // namespace

const Records& records() { return *records_slot; }

void init_records(py::module_& fe_module, py::module_& utils, py::module_& store_builder,
                  py::module_& check_registry, py::module_& instance) {
    records_slot = new Records;  // never destroyed (see common.cpp)
    Records& r = *records_slot;
    const py::object dict = builtin("dict");
    const py::object list = builtin("list");
    const fe::CheckRegistryEntry entry;
    const eu::CheckOutcome outcome;

    r.check_outcome = make_record(utils, UTILS_MODULE, "CheckOutcome", "Outcome of one evaluation check.",
                                  {with_default("status", "str", py::str(std::string(eu::to_string(outcome.status)))),
                                   with_default("details", "str", py::str(outcome.details)),
                                   fresh("evidence", "dict", dict)});
    r.base_config = make_record(utils, UTILS_MODULE, "BaseEvaluationConfig",
                                "Settings every evaluation harness shares.", config_record_fields(true));

    const char* fe_name = FE_MODULE;
    r.filter_node = make_record(fe_module, fe_name, "FilterNode", "Generic filter tree node.",
                                {{"function_name", "str"}, fresh("params", "dict", dict), fresh("children", "list", list)});
    r.filter_diagnostic = make_record(fe_module, fe_name, "FilterDiagnostic", "Per-node diagnostic from tree evaluation.",
                                      {{"filter_description", "str"}, {"passing_count", "int"}, {"function_name", "str"}});
    r.filtration_result = make_record(fe_module, fe_name, "FiltrationResult", "Result of resolve_filtrations().",
                                      {{"passing_ids", "list[str]"},
                                       {"signal_count", "int"},
                                       {"total_pool_size", "int"},
                                       {"filter_diagnostics", "list[FilterDiagnostic]"}});
    // Slots: a pool's signals are read field by field at C speed (see Converter::signal).
    r.useful_signal = make_record(fe_module, fe_name, "UsefulSignal", "A signal with weights and metadata.",
                                  {{"weights", "numpy.ndarray"}, {"pnl", "numpy.ndarray | None"}, {"metadata", "dict"}},
                                  false, py::tuple(), true);
    r.field_schema = make_record(fe_module, fe_name, "FiltrationFieldSchema", "Schema for a single filterable field.",
                                 {{"field_name", "str"},
                                  {"field_type", "str"},
                                  {"epoch", "str | None"},
                                  {"column", "str | None"},
                                  {"stat", "str | None"},
                                  {"compatible_operators", "list[str]"},
                                  {"rankable", "bool"}});
    r.prepared_field = make_record(fe_module, fe_name, "PreparedField",
                                   "Preprocessed field data for leaf operators.\n\n"
                                   "Produced by _preprocess_field(). Leaf operators receive this instead of raw pool.",
                                   {{"values", "list[tuple[str, Any]]"},
                                    {"field_name", "str"},
                                    {"field_type", "str"},
                                    {"pool_keys", "set[str]"},
                                    {"nan_count", "int"}});
    r.config = make_record(fe_module, fe_name, "FiltrationEvaluationConfig",
                           "Configuration of a filtration operator evaluation.", config_record_fields(false), false,
                           py::make_tuple(r.base_config));
    r.eval_config = make_record(fe_module, fe_name, "EvalFiltrationConfig", "One operator to evaluate.",
                                {{"name", "str"}, with_default("test_cases", "list[dict] | None", py::none())});
    r.operator_check_result = make_record(
        fe_module, fe_name, "OperatorCheckResult", "Every check's outcome for one operator, and its verdict.",
        {{"operator_name", "str"}, {"accepted", "bool"}, {"checks", "dict"}, {"warnings", "list[str]"}});
    r.evaluation_result = make_record(fe_module, fe_name, "FiltrationEvaluationResult", "Result of an evaluation run.",
                                      {{"operator_results", "dict"},
                                       {"config", "FiltrationEvaluationConfig"},
                                       {"operator_configs", "list[EvalFiltrationConfig]"}});
    r.check_registry_entry = make_record(
        fe_module, fe_name, "CheckRegistryEntry", "A canonical check of the filtration family.",
        {{"check_number", "int"},
         {"name", "str"},
         with_default("default_mode", "str", py::str(entry.default_mode)),
         with_default("verifies_return_shape", "bool", py::bool_(entry.verifies_return_shape)),
         with_default("verifies_return_ids", "bool", py::bool_(entry.verifies_return_ids)),
         with_default("verifies_input_immutability", "bool", py::bool_(entry.verifies_input_immutability)),
         with_default("verifies_empty_pool", "bool", py::bool_(entry.verifies_empty_pool))},
        true);

    r.store_entry = make_record(store_builder, STORE_MODULE, "StoreEntry", "A named function of the store.",
                                {{"name", "str"},
                                 with_default("function_type", "str", py::str("filtration")),
                                 with_default("factory", "Callable | None", py::none()),
                                 with_default("module_path", "str", py::str("")),
                                 with_default("class_name", "str", py::str("")),
                                 with_default("data_type", "Any", py::none())});
    r.shared_check_result = make_record(check_registry, REGISTRY_MODULE, "SharedCheckResult",
                                        "What a shared check body returns.",
                                        {{"status", "str | None"}, fresh("evidence", "dict", dict)});
    r.filtration_instance = make_record(instance, "brindlecap.functions.filtrations._instance", "FiltrationInstance",
                                        "A filtration operator with bound parameters.",
                                        {{"function_name", "str"}, fresh("params", "dict", dict)});
}

// ---- Out ----------------------------------------------------------------------------------------

py::object export_diagnostic(const fe::FilterDiagnostic& d) {
    Exporter out;
    return records().filter_diagnostic(out.str(d.filter_description), d.passing_count, out.str(d.function_name));
}

py::object export_diagnostics(const std::vector<fe::FilterDiagnostic>& diagnostics) {
    py::list out;
    for (const auto& d : diagnostics) out.append(export_diagnostic(d));
    return out;
}

py::object export_result(const fe::FiltrationResult& r) {
    Exporter out;
    return records().filtration_result(out.strings(r.passing_ids), r.signal_count, r.total_pool_size,
                                       export_diagnostics(r.filter_diagnostics));
}

py::object export_outcome(const eu::CheckOutcome& o) {
    Exporter out;
    return records().check_outcome(std::string(eu::to_string(o.status)), out.str(o.details), out.dict(o.evidence));
}

py::object export_check_result(const fe::OperatorCheckResult& r) {
    py::dict checks;
    for (const auto& [name, outcome] : r.checks) checks[py::str(name)] = export_outcome(outcome);
    Exporter out;
    return records().operator_check_result(r.operator_name, r.accepted, checks, out.strings(r.warnings));
}

py::object export_prepared(const fe::PreparedField& p) {
    Exporter out;
    py::list values(p.values.size());
    for (std::size_t i = 0; i < p.values.size(); ++i) {
        const fe::PreparedValue& v = p.values[i];
        PyList_SET_ITEM(values.ptr(), static_cast<Py_ssize_t>(i),
                        py::make_tuple(out.str(v.id), out.value(*v.value)).release().ptr());
    }
    return records().prepared_field(values, p.field_name, std::string(fe::to_string(p.field_type)),
                                    out.id_set(p.pool_keys), p.nan_count);
}

py::object export_shared(const functions::evaluation_pipeline::SharedCheckResult& r) {
    Exporter out;
    return records().shared_check_result(r.status ? py::object(py::str(*r.status)) : py::none(),
                                         out.dict(r.evidence));
}

py::object export_config(const fe::FiltrationEvaluationConfig& c) {
    Exporter out;
    py::dict fields;
    for (const fe::ConfigField& field : fe::config_fields()) {
        fields[field.name] = visit_member(field.member, c, [&](const auto& value) -> py::object {
            using T = std::remove_cvref_t<decltype(value)>;
            if constexpr (std::is_same_v<T, std::int64_t> || std::is_same_v<T, double>) {
                return py::cast(value);
            } else if constexpr (std::is_same_v<T, std::set<std::int64_t>>) {
                py::set numbers;
                for (const std::int64_t n : value) numbers.add(py::int_(n));
                return numbers;
            } else if constexpr (std::is_same_v<T, std::optional<std::string>>) {
                return value ? py::object(py::str(*value)) : py::none();
            } else if constexpr (std::is_same_v<T, std::optional<std::int64_t>>) {
                return value ? py::object(py::int_(*value)) : py::none();
            } else if constexpr (std::is_same_v<T, std::optional<std::vector<std::string>>>) {
                return value ? out.strings(*value) : py::none();
            } else if constexpr (std::is_same_v<T, fe::OperatorReferences>) {
                py::dict oracles;
                for (const auto& [name, oracle] : value) oracles[py::str(name)] = export_operator(oracle, name);
                return oracles;
            } else if constexpr (std::is_same_v<T, fe::OperatorProperties>) {
                py::dict declared;
                for (const auto& [name, properties] : value) declared[py::str(name)] = out.strings(properties);
                return declared;
            } else {
                static_assert(std::is_same_v<T, std::optional<Dict>>);
                return value ? out.dict(*value) : py::none();
            }
        });
    }
    return records().config(**fields);
}

// ---- In -----------------------------------------------------------------------------------------

eu::CheckOutcome outcome_of(py::handle obj) {
    Converter c;
    eu::CheckOutcome out;
    const std::string status = c.str(field(obj, "status"), "CheckOutcome.status");
    const auto parsed = eu::parse_check_status(status);
    if (!parsed) {
        throw py::value_error("CheckOutcome.status must be 'pass', 'fail' or 'skip', got " +
                              py::repr(field(obj, "status")).cast<std::string>());
    }
    out.status = *parsed;
    out.details = c.str(field(obj, "details"), "CheckOutcome.details");
    out.evidence = c.dict(field(obj, "evidence"), "CheckOutcome.evidence");
    return out;
}

std::vector<fe::FilterDiagnostic> diagnostics_of(py::handle list) {
    std::vector<fe::FilterDiagnostic> out;
    if (list.is_none()) return out;
    Converter c;
    for (const auto d : py::reinterpret_borrow<py::iterable>(list)) {
        out.push_back(fe::FilterDiagnostic{c.str(field(d, "filter_description"), "filter_description"),
                                           c.int64(field(d, "passing_count"), "passing_count"),
                                           c.str(field(d, "function_name"), "function_name")});
    }
    return out;
}

fe::FiltrationEvaluationConfig config_of(py::handle obj) {
    Converter c;
    fe::FiltrationEvaluationConfig cfg;
    // Present and not callable: the first failure of the validation sequence.
    const py::object callback = py::getattr(obj, "_operator_progress_callback", py::none());
    if (!callback.is_none() && PyCallable_Check(callback.ptr()) == 0)
        throw py::type_error("filtration operator progress callback must be callable");

    for (const fe::ConfigField& config_field : fe::config_fields()) {
        const char* name = config_field.name;
        const py::object value = field(obj, name);
        visit_member(config_field.member, cfg, [&](auto& into) {
            using T = std::remove_cvref_t<decltype(into)>;
            if constexpr (std::is_same_v<T, std::int64_t>) {
                into = c.int64(value, name);
            } else if constexpr (std::is_same_v<T, double>) {
                into = c.number(value, name);
            } else if constexpr (std::is_same_v<T, std::set<std::int64_t>>) {
                if (PyUnicode_Check(value.ptr()) || !py::isinstance<py::iterable>(value))
                    throw py::type_error(std::string(name) + " must be a set of int, got " + type_name_of(value));
                const std::string what = std::string(name) + " values";
                for (const auto n : value) into.insert(c.int64(n, what.c_str()));
            } else if constexpr (std::is_same_v<T, fe::OperatorReferences>) {
                // name -> oracle callable; None for none
                if (value.is_none()) return;
                if (!PyDict_Check(value.ptr()))
                    throw py::type_error(std::string(name) + " must be a dict of operator name to callable, got " +
                                         type_name_of(value));
                for (const auto& [key, oracle] : py::reinterpret_borrow<py::dict>(value)) {
                    const std::string op_name = c.str(key, "a references key");
                    if (PyCallable_Check(oracle.ptr()) == 0)
                        throw py::type_error(std::string(name) + "[" + std::string(py::str(py::repr(key))) +
                                             "] must be callable, got " + type_name_of(oracle));
                    into[op_name] = operator_of(oracle, op_name);
                }
            } else if constexpr (std::is_same_v<T, fe::OperatorProperties>) {
                // name -> list of properties, or one string of them comma-separated; None for none
                if (value.is_none()) return;
                if (!PyDict_Check(value.ptr()))
                    throw py::type_error(std::string(name) + " must be a dict of operator name to a list of "
                                         "properties, got " + type_name_of(value));
                for (const auto& [key, given] : py::reinterpret_borrow<py::dict>(value)) {
                    const std::string op_name = c.str(key, "a properties key");
                    const std::string item = std::string(name) + "[" + std::string(py::str(py::repr(key))) + "]";
                    std::vector<std::string>& properties = into[op_name];
                    if (PyUnicode_Check(given.ptr())) {
                        properties = fe::property_option(op_name + "=" + std::string(py::str(given))).second;
                        continue;
                    }
                    if (PyDict_Check(given.ptr()) || !py::isinstance<py::iterable>(given))
                        throw py::type_error(item + " must be a list of str, got " + type_name_of(given));
                    for (const auto p : given) {
                        if (!PyUnicode_Check(p.ptr()))
                            throw py::type_error(item + " must be a list of str, got an item of type " + type_name_of(p));
                        properties.push_back(std::string(py::str(p)));
                    }
                }
            } else if (value.is_none()) {
                // an optional field left unset
            } else if constexpr (std::is_same_v<T, std::optional<std::string>>) {
                // Not only a str: the mode's own text makes validation's message.
                into = PyUnicode_Check(value.ptr()) ? c.str(value, name) : py::str(value).cast<std::string>();
            } else if constexpr (std::is_same_v<T, std::optional<std::int64_t>>) {
                into = c.int64(value, name);
            } else if constexpr (std::is_same_v<T, std::optional<std::vector<std::string>>>) {
                into = c.strings(value, name);
            } else {
                static_assert(std::is_same_v<T, std::optional<Dict>>);
                into = c.metadata_by_id(value, name);
            }
        });
    }

    if (!callback.is_none()) {
        cfg.operator_progress_callback = [fn = share(callback)](const std::string& name,
                                                                const fe::OperatorCheckResult& result,
                                                                std::int64_t done, std::int64_t total) {
            in_python([&] { object_of(fn)(name, export_check_result(result), done, total); });
        };
    }
    return cfg;
}

void write_back_ingestion(const fe::FiltrationEvaluationConfig& before, const fe::FiltrationEvaluationConfig& after,
                          py::handle obj) {
    const bool metadata_changed =
        after.signal_metadata && (!before.signal_metadata || !(*before.signal_metadata == *after.signal_metadata));
    if (metadata_changed) {
        const py::object mock = field(obj, "mock_signals");
        if (after.mode && *after.mode == "mock" && !mock.is_none()) {
            obj.attr("signal_metadata") = builtin("dict")(mock);  // the caller's own metadata mappings
        } else {
            Exporter out;
            obj.attr("signal_metadata") = out.dict(*after.signal_metadata);
        }
    }
    if (after.N_signals != before.N_signals) obj.attr("N_signals") = after.N_signals;
}

std::optional<std::vector<fe::EvalFiltrationConfig>> operator_configs_of(py::handle list, IdentityScope* scope) {
    if (list.is_none()) return std::nullopt;
    const int truth = PyObject_IsTrue(list.ptr());
    if (truth < 0) throw py::error_already_set();
    if (truth == 0) return std::nullopt;
    if (!py::isinstance<py::iterable>(list)) {
        throw py::type_error("operator_configs must be a list of EvalFiltrationConfig, got " + type_name_of(list));
    }
    Converter c;
    std::vector<fe::EvalFiltrationConfig> out;
    for (const auto item : py::reinterpret_borrow<py::iterable>(list)) {
        fe::EvalFiltrationConfig config;
        config.name = c.str(field(item, "name"), "EvalFiltrationConfig.name");
        config.test_cases = test_cases_of(py::getattr(item, "test_cases", py::none()), scope);
        out.push_back(std::move(config));
    }
    return out;
}

namespace {

// case.get(key) of a test case (a dict or other mapping); None when absent.
py::object case_entry(py::handle test_case, const char* key) {
    if (PyDict_Check(test_case.ptr())) {
        PyObject* value = PyDict_GetItemWithError(test_case.ptr(), py::str(key).ptr());
        if (value == nullptr && PyErr_Occurred()) throw py::error_already_set();
        return value != nullptr ? py::reinterpret_borrow<py::object>(value) : py::none();
    }
    return test_case.attr("get")(key, py::none());
}

}  // namespace

std::optional<std::vector<fe::CorrectnessTestCase>> test_cases_of(py::handle list, IdentityScope* scope) {
    if (list.is_none()) return std::nullopt;
    if (PyUnicode_Check(list.ptr()) || is_mapping(list) || !py::isinstance<py::iterable>(list)) {
        throw py::type_error("EvalFiltrationConfig.test_cases must be a list of mappings, got " + type_name_of(list));
    }
    Converter c;
    std::vector<fe::CorrectnessTestCase> out;
    std::vector<std::pair<py::object, py::object>> given;  // each case's params and children objects
    for (const auto item : py::reinterpret_borrow<py::iterable>(list)) {
        if (!PyDict_Check(item.ptr()) && !is_mapping(item)) {
            throw py::type_error("EvalFiltrationConfig.test_cases items must be mappings, got " + type_name_of(item));
        }
        fe::CorrectnessTestCase tc;
        if (const py::object pool = case_entry(item, "pool"); !pool.is_none()) {
            if (!PyDict_Check(pool.ptr()) && !is_mapping(pool))
                throw py::type_error("test case pool must be a mapping, got " + type_name_of(pool));
            tc.pool.emplace();
            for_each_item(pool, "test case pool", [&](py::handle key, py::handle entry) {
                const std::string id = c.str(key, "a signal id");
                if (py::isinstance(entry, records().useful_signal)) {
                    tc.pool->emplace_back(id, c.signal(entry));
                } else if (PyDict_Check(entry.ptr()) || is_mapping(entry)) {
                    tc.pool->emplace_back(id, c.metadata(entry));
                } else {
                    throw py::type_error("a test case pool entry must be a UsefulSignal or a dict, got " +
                                         type_name_of(entry));
                }
            });
        }
        const py::object params = case_entry(item, "params");
        if (!params.is_none()) tc.params = c.dict(params, "test case params");
        if (const py::object expected = case_entry(item, "expected"); !expected.is_none()) {
            if (PyAnySet_Check(expected.ptr())) {
                tc.expected = c.id_set(expected, nullptr, "test case expected");
            } else {
                // Only a set can equal the operator's set: an identifier no pool holds stands in,
                // so the case runs and never passes.
                tc.expected = fe::IdSet{std::string_view("\0expected is not a set", 22)};
            }
        }
        const py::object children = case_entry(item, "children_results");
        if (!children.is_none()) {
            if (!PyList_Check(children.ptr()) && !PyTuple_Check(children.ptr()))
                throw py::type_error("test case children_results must be a list of sets, got " + type_name_of(children));
            tc.children_results.emplace();
            for (const auto child : children)
                tc.children_results->push_back(c.id_set(child, nullptr, "test case children_results entries"));
        }
        out.push_back(std::move(tc));
        given.emplace_back(params, children);
    }
    for (std::size_t i = 0; scope != nullptr && i < out.size(); ++i) {
        if (out[i].params) bind_or_remember(*scope, *out[i].params, given[i].first);
        if (out[i].children_results) bind_or_remember(*scope, *out[i].children_results, given[i].second);
    }
    return out;
}

}  // namespace brindlecap::python
