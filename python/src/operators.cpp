#include "operators.hpp"

#include "brindlecap/functions/filtrations/builtin_operators_internal.hpp"
#include "brindlecap/functions/filtrations/builtin_runtime_targets.hpp"
#include "brindlecap/functions/registry_and_store/store_internal.hpp"
#include "convert.hpp"
#include "errors.hpp"
#include "records.hpp"

namespace brindlecap::python {

using namespace pybind11::literals;

namespace {

// The params and children results objects of one call of a Python operator: the caller's own
// (bound to the C++ ones by an IdentityScope), the ones a check hands to several calls
// (SharedArguments), else new ones. When the call ends, however it ends, what the operator changed
// in a bound or shared object is written back to the C++ side.
class CallArguments {
public:
    CallArguments(const fe::OperatorCall& call, Exporter& out) : call_(call) {
        if (PyObject* original = identity_of(call.params); original != nullptr && PyDict_Check(original)) {
            params = py::reinterpret_borrow<py::object>(original);
            bound_params_ = true;
        } else if ((shared_params_ = fe::SharedArguments::of(call.params)) != nullptr) {
            if (!shared_params_->host_params) shared_params_->host_params = share(out.dict(*call.params));
            params = py::reinterpret_borrow<py::object>(static_cast<PyObject*>(shared_params_->host_params.get()));
        } else {
            params = out.dict(*call.params);
        }
        if (call.form != fe::CallForm::combinator) return;
        if (PyObject* original = identity_of(call.children_results)) {
            children = py::reinterpret_borrow<py::object>(original);
            bound_children_ = true;
        } else if ((shared_children_ = fe::SharedArguments::of(call.children_results)) != nullptr) {
            if (!shared_children_->host_children) shared_children_->host_children = share(sets(*call.children_results, out));
            children = py::reinterpret_borrow<py::object>(static_cast<PyObject*>(shared_children_->host_children.get()));
        } else {
            children = sets(*call.children_results, out);
        }
    }
    CallArguments(const CallArguments&) = delete;
    CallArguments& operator=(const CallArguments&) = delete;
    ~CallArguments() {
        const fe::KeyIndexPtr universe = call_.pool_keys != nullptr ? call_.pool_keys->universe() : nullptr;
        if (bound_params_) write_back_bound(params, universe);
        if (shared_params_ != nullptr) write_back(params, shared_params_->params());
        if (bound_children_) write_back_bound(children, universe);
        if (shared_children_ != nullptr && shared_children_->children_results() != nullptr)
            write_back(children, *shared_children_->children_results(), universe);
    }

    py::object params;
    py::object children;

private:
    static py::object sets(const std::vector<fe::IdSet>& children_results, Exporter& out) {
        py::list list;
        for (const fe::IdSet& child : children_results) list.append(out.id_set(child));
        return py::object(std::move(list));
    }

    const fe::OperatorCall& call_;
    bool bound_params_ = false;
    bool bound_children_ = false;
    fe::SharedArguments* shared_params_ = nullptr;
    fe::SharedArguments* shared_children_ = nullptr;
};

// A Python callable as an Operator: called in the form the library chooses, under the GIL.
class PyOperator {
public:
    explicit PyOperator(py::handle callable) : callable_(share(callable)) {}
    PyObject* callable() const noexcept { return callable_.get(); }

    fe::OperatorResult operator()(const fe::OperatorCall& call) const {
        return in_python([&] {
            Exporter out;
            py::object result;
            {
                const CallArguments args(call, out);
                switch (call.form) {
                    case fe::CallForm::combinator:
                        result = invoke({out.id_set(*call.pool_keys), args.params, args.children});
                        break;
                    case fe::CallForm::field_leaf:
                        result = invoke({export_prepared(*call.prepared), args.params});
                        break;
                    case fe::CallForm::plain_leaf:
                        result = invoke({out.id_set(*call.pool_keys), args.params});
                        break;
                }
            }
            return result_of(result, call.form == fe::CallForm::field_leaf ? call.prepared->pool_keys : *call.pool_keys);
        });
    }

private:
    py::object invoke(std::initializer_list<py::object> args) const {
        std::vector<PyObject*> argv;
        for (const py::object& a : args) argv.push_back(a.ptr());
        PyObject* result = PyObject_Vectorcall(callable_.get(), argv.data(), argv.size(), nullptr);
        if (result == nullptr) throw py::error_already_set();
        return py::reinterpret_steal<py::object>(result);
    }

    PyRef callable_;
};

// A library Operator as a Python callable: (pool_keys, params, children_results),
// (prepared, params) or (pool_keys, params).
struct NativeOperator {
    fe::Operator op;
    std::string name;
};

// A Python PreparedField read into the library's form, with the storage its views point into.
struct PreparedInput {
    std::vector<Value> values;
    fe::PreparedField field;
};

void read_prepared(py::handle obj, Converter& c, PreparedInput& in) {
    auto universe = std::const_pointer_cast<fe::KeyIndex>(c.universe(obj.attr("pool_keys")));
    const std::size_t key_count = universe->size();
    const py::list pairs = py::list(obj.attr("values"));
    std::vector<std::uint32_t> positions;
    in.values.reserve(pairs.size());
    for (const auto pair : pairs) {
        if (!PyTuple_Check(pair.ptr()) || PyTuple_GET_SIZE(pair.ptr()) != 2)
            throw py::type_error("PreparedField.values items must be (id, value) pairs, got " + type_name_of(pair));
        positions.push_back(universe->add(c.str(PyTuple_GET_ITEM(pair.ptr(), 0), "a prepared identifier")));
        in.values.push_back(c.value(PyTuple_GET_ITEM(pair.ptr(), 1)));
    }
    fe::PreparedField& f = in.field;
    for (std::size_t i = 0; i < in.values.size(); ++i)
        f.values.push_back(fe::PreparedValue{universe->id(positions[i]), &in.values[i], positions[i]});
    f.field_name = c.str(obj.attr("field_name"), "PreparedField.field_name");
    const std::string type = c.str(obj.attr("field_type"), "PreparedField.field_type");
    const auto parsed = fe::parse_field_type(type);
    if (!parsed) throw py::value_error("PreparedField.field_type must be a field type, got '" + type + "'");
    f.field_type = *parsed;
    f.nan_count = c.int64(obj.attr("nan_count"), "PreparedField.nan_count");
    f.pool_keys = fe::IdSet::over(universe);
    for (std::uint32_t pos = 0; pos < key_count; ++pos) f.pool_keys.insert_pos(pos);
}

py::object export_native_result(const fe::OperatorResult& r) {
    Exporter out;
    if (const auto* ids = std::get_if<fe::IdSet>(&r)) return out.id_set(*ids);
    return out.value(std::get<Value>(r));
}

py::object call_native(const NativeOperator& self, const py::args& args) {
    Converter c;
    fe::OperatorCall call;
    fe::KeyIndexPtr universe;
    fe::IdSet keys;
    Dict params;
    std::vector<fe::IdSet> children;
    PreparedInput prepared;
    const std::size_t n = args.size();
    if (n == 3) {
        universe = c.universe(args[0]);
        keys = fe::IdSet::all_of(universe);
        params = c.dict(args[1], "params");
        for (const auto child : py::reinterpret_borrow<py::iterable>(args[2])) children.push_back(c.id_set(child, universe));
        call = fe::OperatorCall{fe::CallForm::combinator, &keys, &params, &children, nullptr};
    } else if (n == 2 && py::isinstance(args[0], records().prepared_field)) {
        read_prepared(args[0], c, prepared);
        params = c.dict(args[1], "params");
        call = fe::OperatorCall{fe::CallForm::field_leaf, nullptr, &params, nullptr, &prepared.field};
    } else if (n == 2) {
        universe = c.universe(args[0]);
        keys = fe::IdSet::all_of(universe);
        params = c.dict(args[1], "params");
        call = fe::OperatorCall{fe::CallForm::plain_leaf, &keys, &params, nullptr, nullptr};
    } else {
        throw py::type_error(self.name + "() takes 2 or 3 positional arguments but " + std::to_string(n) +
                             " were given");
    }
    fe::OperatorResult result;
    {
        py::gil_scoped_release nogil;
        result = self.op(call);
    }
    return export_native_result(result);
}

// The C++ store behind FunctionStore; shared so that Python keeps it alive as long as needed.
using StorePtr = std::shared_ptr<rs::FunctionStore>;

rs::StoreEntry entry_of(py::handle obj) {
    Converter c;
    rs::StoreEntry entry;
    entry.name = c.str(obj.attr("name"), "StoreEntry.name");
    entry.function_type = c.str(py::getattr(obj, "function_type", py::str("filtration")), "StoreEntry.function_type");
    const py::object factory = py::getattr(obj, "factory", py::none());
    if (!factory.is_none()) entry.factory = operator_of(factory, entry.name);
    entry.module_path = c.str(py::getattr(obj, "module_path", py::str("")), "StoreEntry.module_path");
    entry.class_name = c.str(py::getattr(obj, "class_name", py::str("")), "StoreEntry.class_name");
    entry.data_type = c.value(py::getattr(obj, "data_type", py::none()));
    return entry;
}

py::object export_entry(const rs::StoreEntry& e) {
    Exporter out;
    return records().store_entry(e.name, e.function_type,
                                 e.factory ? export_operator(*e.factory, e.name) : py::none(), e.module_path,
                                 e.class_name, out.value(e.data_type));
}

// The process-wide operator cache, keyed by (store identity, name), as Python sees it.
struct OperatorCacheView {};

void init_builtin_module(py::module_& module, const std::vector<functions::filtrations::detail::NamedOperator>& ops) {
    for (const auto& named : ops) {
        const std::string name = "_builtin_" + named.name;
        module.attr(name.c_str()) = py::cast(NativeOperator{named.op, name});
    }
}

}  // namespace

fe::Operator operator_of(py::handle callable, std::string /*name*/) {
    if (py::isinstance<NativeOperator>(callable)) return callable.cast<const NativeOperator&>().op;
    return PyOperator(callable);
}

py::object export_operator(const fe::Operator& op, const std::string& name) {
    if (const auto* python = op.target<PyOperator>()) return py::reinterpret_borrow<py::object>(python->callable());
    return py::cast(NativeOperator{op, name});
}

fe::OperatorResult result_of(py::handle result, const fe::IdSet& pool_keys) {
    // A set, list or tuple of str: straight into a set over the pool's key index.
    PyObject* r = result.ptr();
    py::object items;
    if (PyAnySet_Check(r) || PyList_Check(r) || PyTuple_Check(r)) {
        items = py::reinterpret_borrow<py::object>(r);
    } else {
        // Anything iterable counts as the set of its elements (a dict's keys, a generator, ...).
        items = py::reinterpret_steal<py::object>(PySet_New(r));
        if (!items) throw py::error_already_set();
    }
    const fe::KeyIndexPtr& universe = pool_keys.universe();
    fe::IdSet ids = fe::IdSet::over(universe);
    bool all_str = true;
    std::vector<std::string_view> foreign;  // views into the str objects `items` holds
    for (const auto item : items) {
        if (!PyUnicode_Check(item.ptr())) {
            all_str = false;
            break;
        }
        py::object holder;
        const std::string_view id = utf8_of(item.ptr(), holder);
        if (const auto pos = universe ? universe->find(id) : std::nullopt) {
            ids.insert_pos(*pos);
        } else {
            foreign.push_back(id);
        }
    }
    ids.insert_all(foreign);
    if (all_str) return ids;
    // Otherwise the library's own rules word the error: the set first (an unhashable element
    // fails there), then its elements in the set's order.
    py::object set = PyAnySet_Check(r) ? items : py::reinterpret_steal<py::object>(PySet_New(items.ptr()));
    if (!set) throw py::error_already_set();
    Converter c;
    List elements;
    for (const auto item : set) elements.push_back(PyUnicode_Check(item.ptr()) ? c.value(item) : opaque(item));  // named by their own types
    return Value::list(std::move(elements));
}

rs::FunctionStore* store_or_null(py::handle store) {
    if (store.is_none()) return nullptr;
    if (!py::isinstance<rs::FunctionStore>(store))
        throw py::type_error("store must be a FunctionStore, got " + type_name_of(store));
    return store.cast<StorePtr>().get();
}

const rs::FunctionStore& store_of(py::handle store) {
    if (store.is_none()) throw py::type_error("store must be a FunctionStore, got NoneType");
    return *store_or_null(store);
}

void init_operators(py::module_& fe_module, py::module_& store_builder, py::module_& comparison, py::module_& rank,
                    py::module_& boolean, py::module_& wrapper, py::module_& targets) {
    py::class_<NativeOperator>(fe_module, "Operator",
                               "A filtration operator implemented in C++, callable in its calling forms.")
        .def("__call__", &call_native)
        .def_property_readonly("name", [](const NativeOperator& self) { return self.name; })
        .def("__repr__", [](const NativeOperator& self) { return "<filtration operator " + self.name + ">"; });

    py::class_<rs::FunctionStore, StorePtr>(store_builder, "FunctionStore", "Named functions by function type.")
        .def(py::init<>())
        .def(
            "register",
            [](rs::FunctionStore& self, std::string name, std::string function_type, py::object factory,
               std::string module_path, std::string class_name, py::object data_type) {
                Converter c;
                rs::StoreEntry entry{name, std::move(function_type), std::nullopt, std::move(module_path),
                                     std::move(class_name), c.value(data_type)};
                if (!factory.is_none()) entry.factory = operator_of(factory, name);
                self.register_entry(std::move(entry));
            },
            "name"_a, "function_type"_a = "filtration", "factory"_a = py::none(), "module_path"_a = "",
            "class_name"_a = "", "data_type"_a = py::none(),
            "Registers (or replaces, keeping its position) the entry of a name.")
        .def(
            "register_entry", [](rs::FunctionStore& self, py::handle entry) { self.register_entry(entry_of(entry)); },
            "entry"_a)
        .def(
            "get_entry", [](const rs::FunctionStore& self, const std::string& name) { return export_entry(self.get_entry(name)); },
            "name"_a)
        .def("has", &rs::FunctionStore::has, "name"_a)
        .def("list_by_function_type", &rs::FunctionStore::list_by_function_type, "function_type"_a)
        .def("__len__", &rs::FunctionStore::size)
        .def("__repr__", [](const rs::FunctionStore& self) {
            return "<FunctionStore with " + std::to_string(self.size()) + " entries>";
        });

    store_builder.def(
        "build_default_store",
        [](py::iterable function_types) {
            Converter c;
            return std::make_shared<rs::FunctionStore>(
                rs::build_default_store(c.strings(function_types, "function types")));
        },
        "function_types"_a = py::make_tuple("filtration"),
        "A store of the sixteen built-in filtration operators (for the function type 'filtration').");

    namespace builtins = functions::filtrations::detail;
    init_builtin_module(comparison, builtins::comparison_operators());
    init_builtin_module(rank, builtins::rank_operators());
    init_builtin_module(boolean, builtins::boolean_operators());
    init_builtin_module(wrapper, builtins::wrapper_operators());

    // Modules outside the library's own table come from Python's imports.
    functions::filtrations::set_host_target_resolver([](std::string_view module_path, std::string_view class_name) {
        return in_python([&] {
            const py::object module = py::module_::import("importlib").attr("import_module")(std::string(module_path));
            return operator_of(module.attr(std::string(class_name).c_str()), std::string(class_name));
        });
    });
    targets.def(
        "resolve_builtin_filtration_target",
        [](const std::string& module_path, const std::string& class_name) {
            fe::Operator op;
            {
                py::gil_scoped_release nogil;
                op = functions::filtrations::resolve_builtin_filtration_target(module_path, class_name);
            }
            return export_operator(op, class_name);
        },
        "module_path"_a, "class_name"_a, "Imports module_path and returns its attribute class_name.");

    py::class_<OperatorCacheView>(fe_module, "_OperatorCache",
                                  "The operators loaded so far, keyed by (store, name); names as keys.")
        .def("__len__", [](const OperatorCacheView&) { return rs::detail::operator_cache_keys().size(); })
        .def("__contains__",
             [](const OperatorCacheView&, const std::string& name) {
                 for (const auto& key : rs::detail::operator_cache_keys())
                     if (key.second == name) return true;
                 return false;
             })
        .def("__iter__",
             [](const OperatorCacheView&) {
                 py::list names;
                 for (const auto& key : rs::detail::operator_cache_keys()) names.append(key.second);
                 return py::iter(names);
             })
        .def("clear", [](const OperatorCacheView&) { rs::detail::clear_operator_cache(); })
        .def("__repr__", [](const OperatorCacheView&) {
            std::string out = "<operator cache:";
            for (const auto& key : rs::detail::operator_cache_keys())
                out += " " + key.second + "@store" + std::to_string(key.first);
            return out + ">";
        });
    fe_module.attr("_operator_cache") = OperatorCacheView{};
}

}  // namespace brindlecap::python
