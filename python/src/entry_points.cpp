// Filter trees, product filtrations, metadata flattening with its telemetry hooks, and the
// module's tables.

#include "entry_points.hpp"

#include "brindlecap/functions/filtrations_evaluation/core/vocabulary_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/metadata/flatten_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/product/fields_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/product/resolve_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/tree/dispatch_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/tree/resolve_internal.hpp"
#include "columns.hpp"
#include "convert.hpp"
#include "errors.hpp"
#include "operators.hpp"
#include "records.hpp"

namespace brindlecap::python {

using namespace pybind11::literals;
namespace detail = fe::detail;

namespace {

// ---- Filter trees -------------------------------------------------------------------------------

// A pool built column-wise: passing ids come back as the caller's own id objects, by position.
py::object resolve_columns(const ColumnPool& columns, py::handle filter_tree, py::handle store) {
    Converter c;
    IdentityScope scope;
    fe::FilterNode tree;
    c.node_into(filter_tree, tree, &scope);
    const rs::FunctionStore& s = store_of(store);
    detail::PassingPositions passing;
    {
        py::gil_scoped_release nogil;
        passing = detail::resolve_positions(*columns.pool, tree, s);
    }
    const std::size_t n = passing.positions.size();
    py::list ids(n);
    const std::uint32_t* positions = passing.positions.data();
    const py::object* objects = columns.ids.data();
    // The id objects sit anywhere: each is fetched a few steps ahead, and its slot before it.
    constexpr std::size_t AHEAD = 16;
    for (std::size_t i = 0; i < n; ++i) {
        if (i + 2 * AHEAD < n) __builtin_prefetch(&objects[positions[i + 2 * AHEAD]]);
        if (i + AHEAD < n) __builtin_prefetch(objects[positions[i + AHEAD]].ptr(), 1);
        PyObject* id = objects[positions[i]].ptr();
        Py_INCREF(id);
        PyList_SET_ITEM(ids.ptr(), static_cast<Py_ssize_t>(i), id);
    }
    return records().filtration_result(ids, passing.positions.size(), columns.pool->size(),
                                       export_diagnostics(passing.diagnostics));
}

py::object resolve(py::handle useful_signals, py::handle filter_tree, py::handle store) {
    if (const ColumnPool* columns = column_pool_of(useful_signals)) return resolve_columns(*columns, filter_tree, store);
    Converter c;
    IdentityScope scope;
    const fe::SignalPool pool = c.pool(useful_signals);
    fe::FilterNode tree;
    c.node_into(filter_tree, tree, &scope);
    const rs::FunctionStore& s = store_of(store);
    fe::FiltrationResult result;
    {
        py::gil_scoped_release nogil;
        result = fe::resolve_filtrations(pool, tree, s);
    }
    return export_result(result);
}

py::object evaluate_node(py::handle node, py::handle pool_obj, py::handle store, py::list diagnostics) {
    Converter c;
    IdentityScope scope;
    const fe::SignalPool pool = c.pool(pool_obj);
    fe::FilterNode tree;
    c.node_into(node, tree, &scope);
    const rs::FunctionStore& s = store_of(store);
    std::vector<fe::FilterDiagnostic> added;
    fe::IdSet result;
    try {
        py::gil_scoped_release nogil;
        result = detail::evaluate_node(tree, pool, s, added);
    } catch (...) {
        for (const auto& d : added) diagnostics.append(export_diagnostic(d));
        throw;
    }
    for (const auto& d : added) diagnostics.append(export_diagnostic(d));
    Exporter out;
    return out.id_set(result);
}

py::object prepare_and_dispatch(py::handle impl, py::handle pool_obj, py::handle params_obj, py::handle children,
                                py::handle children_results, const std::string& operator_name) {
    Converter c;
    IdentityScope scope;
    const fe::SignalPool pool = c.pool(pool_obj);
    const fe::Operator op = operator_of(impl);
    Dict params = c.dict(params_obj, "params");
    bind_or_remember(scope, params, params_obj);
    const std::size_t children_count = children.is_none() ? 0 : py::len(children);
    if (!PyList_Check(children_results.ptr()) && !PyTuple_Check(children_results.ptr()))
        throw py::type_error("children_results must be a list of sets, got " + type_name_of(children_results));
    std::vector<fe::IdSet> child_sets;
    for (const auto child : children_results) child_sets.push_back(c.id_set(child, pool.index(), "children_results entries"));
    bind_or_remember(scope, child_sets, children_results);
    fe::IdSet result;
    {
        py::gil_scoped_release nogil;
        result = detail::prepare_and_dispatch(op, pool, params, children_count, child_sets, operator_name);
    }
    Exporter out;
    return out.id_set(result);
}

py::object preprocess_field(py::handle pool_obj, py::handle params_obj, const std::string& operator_name) {
    Converter c;
    const fe::SignalPool pool = c.pool(pool_obj);
    const Dict params = c.dict(params_obj, "params");
    fe::PreparedField prepared;
    {
        py::gil_scoped_release nogil;
        prepared = detail::preprocess_field(pool, params, operator_name);
    }
    return export_prepared(prepared);
}

// A set comes back as that very set once validated.
py::object postprocess_result(py::handle result, py::handle pool_keys) {
    Converter c;
    const fe::IdSet keys = fe::IdSet::all_of(c.universe(pool_keys));
    const fe::IdSet validated = detail::postprocess_result(result_of(result, keys), keys);
    if (PySet_Check(result.ptr())) return py::reinterpret_borrow<py::object>(result);
    Exporter out;
    return out.id_set(validated);
}

// ---- Products -----------------------------------------------------------------------------------

// Products keep their identity: a dict product is remembered, any other object travels as a
// handle (its attributes read through Python).
Value product_value(Converter& c, py::handle product, IdentityScope& scope) {
    if (!PyDict_Check(product.ptr())) return c.value(product);
    Value v(c.dict(product, "a product"));
    scope.remember(&v.as_dict(), product);
    return v;
}

Value products_value(Converter& c, py::handle products, IdentityScope& scope) {
    if (!PyDict_Check(products.ptr())) return c.value(products);
    Dict out;
    for (const auto& [id, product] : py::reinterpret_borrow<py::dict>(products))
        out.set(c.value(id), product_value(c, product, scope));
    return Value(std::move(out));
}

py::object resolve_products(py::handle products, py::handle filter_tree, py::handle product_type,
                            py::handle reduction_fn, py::handle store) {
    Converter c;
    IdentityScope scope;
    const Value products_v = products_value(c, products, scope);
    std::optional<fe::FilterNode> tree;
    if (!filter_tree.is_none()) c.node_into(filter_tree, tree.emplace(), &scope);
    // Anything but one of the three layer names fails the first check alike.
    const std::string type = PyUnicode_Check(product_type.ptr()) ? c.str(product_type, "investment_product_type") : "";
    const rs::FunctionStore* s = store_or_null(store);

    py::object selected;  // the dict handed to reduction_fn, returned as selected_products
    std::function<Value(const Dict&)> reduction;
    if (!reduction_fn.is_none()) {
        reduction = [&](const Dict& chosen) {
            return in_python([&] {
                Exporter out;
                selected = out.dict(chosen);
                return opaque(reduction_fn(selected));  // returned untouched
            });
        };
    }
    fe::ProductFiltrationResult result;
    {
        py::gil_scoped_release nogil;
        result = detail::resolve_product_filtrations(products_v, tree ? &*tree : nullptr, type, reduction, s);
    }
    Exporter out;
    const py::object ids = out.value(Value(result.passing_ids));
    py::dict d;
    d["passing_ids"] = ids;
    d["selected_ids"] = ids;
    d["product_ids"] = ids;
    d["product_layer"] = result.product_layer;
    d["investment_product_type"] = product_type;
    d["total_pool_size"] = result.total_pool_size;
    d["filter_diagnostics"] = export_diagnostics(result.filter_diagnostics);
    d["selected_products"] = selected ? selected : out.dict(result.selected_products);
    d["reduction_result"] = out.value(result.reduction_result);
    return d;
}

// ---- Flattening and telemetry ---------------------------------------------------------------------

// A caller's telemetry observer (any Python object), handed to the hooks as given.
class PyObserver : public fe::TelemetryObserver {
public:
    explicit PyObserver(py::handle obj) : obj_(share(obj)) {}
    py::object object() const { return object_of(obj_); }

private:
    PyRef obj_;
};

py::object observer_object(fe::TelemetryObserver* observer) {
    if (const auto* o = dynamic_cast<PyObserver*>(observer)) return o->object();
    return py::none();
}

std::unique_ptr<PyObserver> observer_of(py::handle obj) {
    return obj.is_none() ? nullptr : std::make_unique<PyObserver>(obj);
}

// Bags keep their values as handles: the result holds the very objects of the input bags.
Value bag(Converter& c, py::handle obj) {
    if (obj.is_none()) return {};
    if (PyDict_Check(obj.ptr()) || py::isinstance(obj, py::module_::import("collections.abc").attr("Mapping")))
        return Value(c.dict_of_handles(obj));
    return opaque(obj);
}

py::object flatten(py::handle is_stats, py::handle os_stats, py::handle metadata, py::handle observer) {
    Converter c;
    const Value is = bag(c, is_stats);
    const Value os = bag(c, os_stats);
    const Value md = bag(c, metadata);
    const std::unique_ptr<PyObserver> obs = observer_of(observer);
    Dict result;
    {
        py::gil_scoped_release nogil;
        result = fe::flatten_signal_metadata(is, os, md, obs.get());
    }
    Exporter out;
    return out.dict(result);
}

// The default hooks as bound in the module, and the value the last observation's hook returned.
PyObject* default_record = nullptr;
PyObject* default_flush = nullptr;
thread_local py::object* last_observation = nullptr;

// The module attribute that replaces a default hook: the private name first, then the public one.
py::object current_hook(const char* private_name, const char* public_name, PyObject* fallback) {
    const py::object m = host_module(FE_MODULE);
    py::object hook = m.attr(private_name);
    if (hook.ptr() == fallback) hook = m.attr(public_name);
    return hook;
}

void install_telemetry_hooks() {
    fe::set_record_surface_observation_hook([](fe::TelemetryObserver* observer, const std::string& surface,
                                               const std::string& behaviour, double value,
                                               const std::optional<Dict>& tags) {
        in_python([&] {
            const py::object hook = current_hook("_record_surface_observation", "record_surface_observation", default_record);
            if (hook.ptr() == default_record) {
                fe::record_surface_observation(observer, surface, behaviour, value, tags);
                return;
            }
            Exporter out;
            py::object returned = hook(observer_object(observer), "surface"_a = surface, "behaviour"_a = behaviour,
                                       "value"_a = value, "tags"_a = tags ? out.dict(*tags) : py::none());
            if (last_observation != nullptr) *last_observation = std::move(returned);
        });
    });
    fe::set_flush_surface_observer_hook([](fe::TelemetryObserver* observer) {
        in_python([&] {
            const py::object hook = current_hook("_flush_surface_observer_sync", "flush_surface_observer_sync", default_flush);
            if (hook.ptr() == default_flush) {
                fe::flush_surface_observer_sync(observer);
                return;
            }
            hook(observer_object(observer));
        });
    });
}

std::optional<Dict> tags_of(py::handle tags) {
    if (tags.is_none()) return std::nullopt;
    Converter c;
    return c.dict(tags, "tags");
}

// ---- Tables -------------------------------------------------------------------------------------

py::set name_set(const detail::NameSet& names) {
    py::set out;
    for (const auto& n : names) out.add(py::str(n));
    return out;
}

void init_tables(py::module_& m) {
    py::dict field_types;
    for (const auto& [type, ops] : fe::FIELD_TYPE_OPERATORS) field_types[py::str(type)] = py::cast(ops);
    m.attr("FIELD_TYPE_OPERATORS") = field_types;
    m.attr("_COMPARISON_OPS") = name_set(detail::COMPARISON_OPS);
    m.attr("_RANK_OPS") = name_set(detail::RANK_OPS);
    m.attr("_BOOLEAN_OPS") = name_set(detail::BOOLEAN_OPS);
    m.attr("_EXPECTED_METADATA_FIELDS") = name_set(detail::EXPECTED_METADATA_FIELDS);

    py::dict prior;
    for (const auto& [type, layer] : detail::PRODUCT_PRIOR_LAYER) prior[py::str(std::string(type))] = std::string(layer);
    m.attr("_PRODUCT_PRIOR_LAYER") = prior;
    py::list specs;
    for (const auto& spec : detail::PRODUCT_FILTRATION_FIELDS) {
        py::list ledger;
        for (const auto& s : spec.source_ledger) {
            ledger.append(py::dict("source_path"_a = std::string(s.source_path), "source_field"_a = std::string(s.source_field),
                                   "needle"_a = std::string(s.needle), "source_kind"_a = std::string(s.source_kind),
                                   "owner"_a = std::string(s.owner)));
        }
        specs.append(py::dict("field_category"_a = std::string(spec.field_category),
                              "field_name"_a = std::string(spec.field_name),
                              "field_type"_a = std::string(spec.field_type), "source_ledger"_a = py::tuple(ledger)));
    }
    m.attr("_PRODUCT_FILTRATION_FIELDS") = py::tuple(specs);
    m.attr("_FILTRATIONS_EVALUATION_SURFACE") = fe::FILTRATIONS_EVALUATION_SURFACE;
}

}  // namespace

void init_entry_points(py::module_& m) {
    init_tables(m);

    // ---- trees
    m.def("resolve_filtrations", &resolve, "useful_signals"_a, "filter_tree"_a, "store"_a,
          "Evaluates filter_tree over the pool: passing ids (sorted) and one diagnostic per node, root last.\n\n"
          "Parameters\n----------\n"
          "useful_signals : Mapping[str, UsefulSignal]\n"
          "    The pool: a dict of UsefulSignal, or a pool built column-wise (brindlecap.columns).\n"
          "filter_tree : FilterNode\n"
          "    The tree (FilterNode records, or parse_tree's result of an inline expression).\n"
          "store : FunctionStore\n"
          "    Where the tree's operators are looked up (build_default_store() for the built-ins).\n\n"
          "Returns\n-------\nFiltrationResult\n\n"
          "Raises\n------\nEmptyFiltrationError\n    Nothing passes (the error holds the per-node diagnostics).\n"
          "FilterValidationError\n    The tree does not fit the pool (unknown field or operator, bad parameters).");
    m.def(
        "_load_operator",
        [](py::handle store, const std::string& name) {
            const rs::FunctionStore& s = store_of(store);
            fe::Operator op;
            {
                py::gil_scoped_release nogil;
                op = detail::load_operator(s, name);
            }
            return export_operator(op, name);
        },
        "store"_a, "name"_a);
    m.def("_evaluate_node", &evaluate_node, "node"_a, "pool"_a, "store"_a, "diagnostics"_a);
    m.def(
        "_build_filter_description",
        [](py::handle node) {
            Converter c;
            return detail::build_filter_description(c.node(node));
        },
        "node"_a);
    m.def("_prepare_and_dispatch", &prepare_and_dispatch, "impl"_a, "pool"_a, "params"_a, "children"_a,
          "children_results"_a, "operator_name"_a = "");
    m.def("_preprocess_field", &preprocess_field, "pool"_a, "params"_a, "operator_name"_a);
    m.def("preprocess_field", &preprocess_field, "pool"_a, "params"_a, "operator_name"_a = "",
          "The PreparedField a leaf operator receives: the field's (id, value) pairs without NaN.\n\n"
          "Parameters\n----------\n"
          "pool : Mapping[str, UsefulSignal]\n    The signals.\n"
          "params : dict\n    The node's parameters; `field` names the field.\n"
          "operator_name : str\n    The operator the field is prepared for (its field types are checked).");
    m.def("_postprocess_result", &postprocess_result, "result"_a, "pool_keys"_a);

    // ---- products
    m.def(
        "build_product_filtration_field_registry",
        []() {
            Exporter out;
            return out.dict(fe::build_product_filtration_field_registry());
        },
        "The 27 source-backed product fields (layer.field -> registry entry).");
    m.def("resolve_product_filtrations", &resolve_products, "products"_a, "filter_tree"_a, "investment_product_type"_a,
          "reduction_fn"_a = py::none(), "store"_a = py::none(),
          "Selects the prior-layer products that pass filter_tree.");
    m.def(
        "_product_field_source",
        [](const std::string& path, const std::string& field, const std::string& needle, const std::string& kind,
           const std::string& owner) {
            Exporter out;
            return out.dict(detail::product_field_source(path, field, needle, kind, owner));
        },
        "source_path"_a, "source_field"_a, "needle"_a, "source_kind"_a, "owner"_a);
    m.def(
        "_product_field_registry_for_layer",
        [](const std::string& prior_layer) {
            Exporter out;
            return out.dict(detail::product_field_registry_for_layer(prior_layer));
        },
        "prior_layer"_a);
    m.def(
        "_product_registry_entry_value",
        [](py::handle entry, const std::string& key, py::handle fallback) {
            Converter c;
            IdentityScope scope;
            const Value e = product_value(c, entry, scope);
            Exporter out;
            return out.value(detail::product_registry_entry_value(e, key, c.value(fallback)));
        },
        "entry"_a, "key"_a, "default"_a = py::none());
    m.def("_default_product_filtration_store",
          []() { return std::make_shared<rs::FunctionStore>(detail::default_product_filtration_store()); });
    m.def(
        "_validate_product_filter_tree",
        [](py::handle tree, const std::string& prior_layer, py::handle registry, py::handle metadata) {
            Converter c;
            detail::validate_product_filter_tree(c.node(tree), prior_layer, c.dict(registry, "field_registry"),
                                                 c.dict(metadata, "product_metadata"));
        },
        "filter_tree"_a, "prior_layer"_a, "field_registry"_a, "product_metadata"_a);
    m.def(
        "_product_filter_field_references",
        [](py::handle tree) {
            Converter c;
            py::list out;
            for (const auto& [field, op] : detail::product_filter_field_references(c.node(tree)))
                out.append(py::make_tuple(field, op));
            return out;
        },
        "filter_tree"_a);
    m.def(
        "_is_implicit_product_select_all",
        [](py::handle tree) {
            Converter c;
            return detail::is_implicit_product_select_all(c.node(tree));
        },
        "filter_tree"_a);
    m.def(
        "_prior_layer_products",
        [](py::handle products, const std::string& prior_layer) {
            Converter c;
            IdentityScope scope;
            const Value v = products_value(c, products, scope);
            if (!v.is_dict()) throw py::type_error("products must be a dict, got " + type_name_of(products));
            Exporter out;
            return out.dict(detail::prior_layer_products(v.as_dict(), prior_layer));
        },
        "products"_a, "prior_layer"_a);
    m.def(
        "_product_layer",
        [](py::handle product) {
            Converter c;
            IdentityScope scope;
            Exporter out;
            return out.value(detail::product_layer(product_value(c, product, scope)));
        },
        "product"_a);
    m.def(
        "_product_metadata",
        [](py::handle id, py::handle product) {
            Converter c;
            IdentityScope scope;
            Exporter out;
            return out.dict(detail::product_metadata(c.value(id), product_value(c, product, scope)));
        },
        "product_id"_a, "product"_a);
    m.def(
        "_registered_product_metadata",
        [](py::handle id, py::handle product, py::handle registry) {
            Converter c;
            IdentityScope scope;
            Exporter out;
            return out.dict(detail::registered_product_metadata(c.value(id), product_value(c, product, scope),
                                                                c.dict(registry, "field_registry")));
        },
        "product_id"_a, "product"_a, "field_registry"_a);

    // ---- flattening and telemetry
    m.def("flatten_signal_metadata", &flatten, "is_stats"_a, "os_stats"_a, "metadata"_a,
          "telemetry_observer"_a = py::none(),
          "One mapping of is_<stat>, os_<stat> and the metadata entries (the values are the input objects).");
    m.def(
        "_flatten_signal_metadata_impl",
        [](py::handle is_stats, py::handle os_stats, py::handle metadata) { return flatten(is_stats, os_stats, metadata, py::none()); },
        "is_stats"_a, "os_stats"_a, "metadata"_a);
    m.def(
        "_flatten_signal_metadata_shape_tags",
        [](py::handle is_stats, py::handle os_stats, py::handle metadata, py::handle result, py::handle status) {
            Converter c;
            std::optional<Dict> result_dict;
            if (!result.is_none()) {
                const Value r = bag(c, result);
                if (!r.is_dict()) throw py::type_error("result must be a dict or None, got " + type_name_of(result));
                result_dict = r.as_dict();
            }
            std::optional<std::string> status_text;
            if (!status.is_none()) status_text = c.str(status, "status");
            Exporter out;
            return out.dict(detail::flatten_signal_metadata_shape_tags(bag(c, is_stats), bag(c, os_stats), bag(c, metadata),
                                                                       result_dict, status_text));
        },
        "is_stats"_a, "os_stats"_a, "metadata"_a, py::kw_only(), "result"_a = py::none(), "status"_a = py::none());
    m.def(
        "_shape_len",
        [](py::handle value) {
            Converter c;
            return detail::shape_len(bag(c, value));
        },
        "value"_a);
    m.def(
        "_mapping_key_set",
        [](py::handle value) {
            Converter c;
            Exporter out;
            py::set keys;
            for (const Value& k : detail::mapping_key_set(bag(c, value))) keys.add(out.value(k));
            return keys;
        },
        "value"_a);
    m.def(
        "record_surface_observation",
        [](py::handle observer, const std::string& surface, const std::string& behaviour, double value, py::handle tags) {
            const auto obs = observer_of(observer);
            fe::record_surface_observation(obs.get(), surface, behaviour, value, tags_of(tags));
        },
        "observer"_a, py::kw_only(), "surface"_a, "behaviour"_a, "value"_a, "tags"_a = py::none(),
        "The default telemetry hook: refuses any observer.");
    m.def(
        "flush_surface_observer_sync",
        [](py::handle observer) {
            const auto obs = observer_of(observer);
            fe::flush_surface_observer_sync(obs.get());
        },
        "observer"_a, "The default flush hook: refuses any observer.");
    default_record = m.attr("record_surface_observation").ptr();
    default_flush = m.attr("flush_surface_observer_sync").ptr();
    m.attr("_record_surface_observation") = m.attr("record_surface_observation");
    m.attr("_flush_surface_observer_sync") = m.attr("flush_surface_observer_sync");
    m.def(
        "_brindlecap_sdk_internal_telemetry_unavailable",
        [](py::handle observer) {
            const auto obs = observer_of(observer);
            detail::brindlecap_sdk_internal_telemetry_unavailable(obs.get());
        },
        "observer"_a);
    m.def(
        "_record_filtrations_evaluation_observation",
        [](py::handle observer, const std::string& behaviour, double value, py::handle tags) {
            const auto obs = observer_of(observer);
            py::object returned = py::none();
            py::object* previous = std::exchange(last_observation, &returned);
            try {
                detail::record_filtrations_evaluation_observation(obs.get(), behaviour, value, tags_of(tags));
            } catch (...) {
                last_observation = previous;
                throw;
            }
            last_observation = previous;
            return returned;
        },
        "observer"_a, py::kw_only(), "behaviour"_a, "value"_a, "tags"_a = py::none());
    install_telemetry_hooks();
}

}  // namespace brindlecap::python
