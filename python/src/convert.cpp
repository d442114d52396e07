#include "convert.hpp"

#include "columns.hpp"

#include <pybind11/numpy.h>
#include <structmember.h>

#include <algorithm>
#include <cstring>
#include <unordered_map>
#include <variant>

#include "brindlecap/functions/filtrations_evaluation/core/id_set_object_internal.hpp"
#include "brindlecap/runtime/text.hpp"
#include "errors.hpp"
#include "records.hpp"

namespace brindlecap::python {

namespace {

constexpr int NPY_DOUBLE = 12;

// Attribute names read for every signal, interned once.
PyObject* interned(const char* name) {
    PyObject* s = PyUnicode_InternFromString(name);
    if (s == nullptr) throw py::error_already_set();
    return s;
}

py::object attr(py::handle obj, PyObject* name) {
    PyObject* value = PyObject_GetAttr(obj.ptr(), name);
    if (value == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(value);
}

// getattr(obj, name, None)
py::object attr_or_none(py::handle obj, const char* name) {
    PyObject* value = PyObject_GetAttrString(obj.ptr(), name);
    if (value != nullptr) return py::reinterpret_steal<py::object>(value);
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
    PyErr_Clear();
    return py::none();
}

[[noreturn]] void wrong_type(const char* what, const char* expected, py::handle obj) {
    throw py::type_error(std::string(what) + " must be " + expected + ", got " + type_name_of(obj));
}

std::unordered_map<const void*, PyObject*>& identity_table() {
    static auto* table = new std::unordered_map<const void*, PyObject*>;
    return *table;
}

// The C++ objects bound to a Python object (IdentityScope::bind).
using BoundTarget = std::variant<Dict*, std::vector<fe::IdSet>*>;
std::unordered_multimap<PyObject*, BoundTarget>& bound_table() {
    static auto* table = new std::unordered_multimap<PyObject*, BoundTarget>;
    return *table;
}

const void* address_of(const BoundTarget& target) {
    return std::visit([](auto* p) { return static_cast<const void*>(p); }, target);
}

// An int of a generator's state (0 <= value < 2**128); `what` names it in errors.
numeric::detail::uint128 to_uint128(py::handle value, const std::string& what) {
    if (!PyLong_Check(value.ptr()) || PyBool_Check(value.ptr())) throw py::type_error(what + " must be an int, got " + type_name_of(value));
    unsigned char bytes[16] = {};
    if (_PyLong_AsByteArray(reinterpret_cast<PyLongObject*>(value.ptr()), bytes, sizeof bytes, 1, 0) < 0) {
        PyErr_Clear();
        throw py::value_error(what + " must be in [0, 2**128), got " + py::repr(value).cast<std::string>());
    }
    numeric::detail::uint128 out = 0;
    for (int i = 15; i >= 0; --i) out = (out << 8) | bytes[i];
    return out;
}

py::object from_uint128(numeric::detail::uint128 value) {
    unsigned char bytes[16];
    for (unsigned char& b : bytes) {
        b = static_cast<unsigned char>(value & 0xFF);
        value >>= 8;
    }
    return py::reinterpret_steal<py::object>(_PyLong_FromByteArray(bytes, sizeof bytes, 1, 0));
}

struct NumpyScalarTypes {
    PyTypeObject* bool_;
    PyTypeObject* integer;
    PyTypeObject* floating;
};

const NumpyScalarTypes& numpy_scalar_types() {
    static const NumpyScalarTypes types = [] {
        const py::module_ numpy = py::module_::import("numpy");
        const auto type = [&](const char* name) {
            return reinterpret_cast<PyTypeObject*>(py::object(numpy.attr(name)).release().ptr());
        };
        return NumpyScalarTypes{type("bool_"), type("integer"), type("floating")};
    }();
    return types;
}

// An int of a generator's state in [0, limit]; `what` names it in errors.
std::uint64_t small_uint(py::handle value, std::uint64_t limit, const std::string& what) {
    if (!PyLong_Check(value.ptr())) throw py::type_error(what + " must be an int, got " + type_name_of(value));
    const unsigned long long v = PyLong_AsUnsignedLongLong(value.ptr());
    if ((v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) || v > limit) {
        PyErr_Clear();
        throw py::value_error(what + " must be in [0, " + std::to_string(limit) + "], got " +
                              py::repr(value).cast<std::string>());
    }
    return v;
}

// d[key] of a state dict, `what` naming d.
py::object state_entry(py::handle d, const char* key, const std::string& what) {
    if (!PyDict_Check(d.ptr())) throw py::type_error(what + " must be a dict, got " + type_name_of(d));
    PyObject* value = PyDict_GetItemString(d.ptr(), key);
    if (value == nullptr) throw py::value_error(what + " has no entry '" + key + "'");
    return py::reinterpret_borrow<py::object>(value);
}

}  // namespace

bool is_mapping(py::handle obj) {
    static PyObject* mapping = py::object(py::module_::import("collections.abc").attr("Mapping")).release().ptr();
    const int r = PyObject_IsInstance(obj.ptr(), mapping);
    if (r < 0) throw py::error_already_set();
    return r == 1;
}

std::pair<py::object, py::object> item_pair(py::handle item, const char* what) {
    if (!PyTuple_Check(item.ptr()) || PyTuple_GET_SIZE(item.ptr()) != 2)
        throw py::type_error(std::string(what) + " items must be (key, value) pairs, got " + type_name_of(item));
    return {py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(item.ptr(), 0)),
            py::reinterpret_borrow<py::object>(PyTuple_GET_ITEM(item.ptr(), 1))};
}

// ---- Opaque objects ---------------------------------------------------------------------------

std::string PyObjectHandle::type_name() const {
    return in_python([&] { return type_name_of(obj_.get()); });
}

std::optional<Value> PyObjectHandle::getattr(std::string_view name) const {
    return in_python([&]() -> std::optional<Value> {
        PyObject* value = PyObject_GetAttrString(obj_.get(), std::string(name).c_str());
        if (value == nullptr) {
            if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw py::error_already_set();
            PyErr_Clear();
            return std::nullopt;
        }
        const auto owned = py::reinterpret_steal<py::object>(value);
        Converter c;
        return c.value(owned);
    });
}

std::string PyObjectHandle::repr() const {
    return in_python([&] { return utf8_string(py::repr(obj_.get()).ptr()); });
}

std::string PyObjectHandle::str() const {
    return in_python([&] { return utf8_string(py::str(obj_.get()).ptr()); });
}

std::optional<bool> PyObjectHandle::order(std::string_view op, const Value& a, const Value& b) const {
    return in_python([&]() -> std::optional<bool> {
        Exporter out;
        const py::object x = out.value(a);
        const py::object y = out.value(b);
        const int code = op == "<" ? Py_LT : op == "<=" ? Py_LE : op == ">" ? Py_GT : Py_GE;
        const auto r = py::reinterpret_steal<py::object>(PyObject_RichCompare(x.ptr(), y.ptr(), code));
        if (!r) throw py::error_already_set();
        const int truth = PyObject_IsTrue(r.ptr());
        if (truth < 0) throw py::error_already_set();
        return truth == 1;
    });
}

bool PyObjectHandle::equals(const runtime::Object& other) const {
    const auto* handle = dynamic_cast<const PyObjectHandle*>(&other);
    if (handle == nullptr) return false;
    return in_python([&] {
        const int r = PyObject_RichCompareBool(obj_.get(), handle->get(), Py_EQ);
        if (r < 0) throw py::error_already_set();
        return r == 1;
    });
}

std::size_t PyObjectHandle::hash() const {
    return in_python([&] {
        const Py_hash_t h = PyObject_Hash(obj_.get());
        if (h == -1) throw py::error_already_set();
        return static_cast<std::size_t>(h);
    });
}

std::optional<List> PyObjectHandle::elements() const {
    return in_python([&]() -> std::optional<List> {
        PyObject* obj = obj_.get();
        if (!PyTuple_Check(obj) && !PyAnySet_Check(obj)) return std::nullopt;
        List items;
        Converter c;
        for (const auto item : py::reinterpret_borrow<py::iterable>(obj)) items.push_back(c.value(item));
        return items;
    });
}

Value opaque(py::handle obj) { return Value(runtime::ObjectPtr(std::make_shared<PyObjectHandle>(obj))); }

std::string_view utf8_of(PyObject* s, py::object& holder) {
    Py_ssize_t size = 0;
    if (const char* utf8 = PyUnicode_AsUTF8AndSize(s, &size)) return {utf8, static_cast<std::size_t>(size)};
    if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) throw py::error_already_set();
    PyErr_Clear();
    holder = py::reinterpret_steal<py::object>(PyUnicode_AsEncodedString(s, "utf-8", "surrogatepass"));
    if (!holder) throw py::error_already_set();
    return {PyBytes_AS_STRING(holder.ptr()), static_cast<std::size_t>(PyBytes_GET_SIZE(holder.ptr()))};
}

std::string utf8_string(PyObject* s) {
    py::object holder;
    return std::string(utf8_of(s, holder));
}

bool is_missing(PyObject* obj) {
    // By the type's name first (cheap), then by the module that defines it.
    const std::string_view name = Py_TYPE(obj)->tp_name;
    const bool pandas = name == "NAType" || name == "NaTType";
    if (!pandas && name != "MaskedConstant") return false;
    PyObject* module = PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(obj)), "__module__");
    if (module == nullptr) {
        PyErr_Clear();
        return false;
    }
    const auto held = py::reinterpret_steal<py::object>(module);
    if (!PyUnicode_Check(module)) return false;
    const std::string text = utf8_string(module);
    return pandas ? text.starts_with("pandas.") : text == "numpy.ma.core";
}

// ---- Identity ---------------------------------------------------------------------------------

IdentityScope::~IdentityScope() {
    auto& table = identity_table();
    auto& bound = bound_table();
    for (const auto& [cpp, obj] : entries_) {
        const auto it = table.find(cpp);
        if (it != table.end() && it->second == obj.ptr()) table.erase(it);
        if (std::find(bound_.begin(), bound_.end(), cpp) == bound_.end()) continue;
        const auto [first, last] = bound.equal_range(obj.ptr());
        for (auto b = first; b != last; ++b) {
            if (address_of(b->second) == cpp) {
                bound.erase(b);
                break;
            }
        }
    }
}

void IdentityScope::bind(Dict& cpp, py::handle obj) {
    remember(&cpp, obj);
    bound_.push_back(&cpp);
    bound_table().emplace(obj.ptr(), &cpp);
}

void IdentityScope::bind(std::vector<fe::IdSet>& cpp, py::handle obj) {
    remember(&cpp, obj);
    bound_.push_back(&cpp);
    bound_table().emplace(obj.ptr(), &cpp);
}

void IdentityScope::remember(const void* cpp, py::handle obj) {
    identity_table()[cpp] = obj.ptr();
    entries_.emplace_back(cpp, py::reinterpret_borrow<py::object>(obj));
}

PyObject* identity_of(const void* cpp) {
    const auto& table = identity_table();
    if (table.empty()) return nullptr;
    const auto it = table.find(cpp);
    return it == table.end() ? nullptr : it->second;
}

namespace {

// A value as the library reads it, or a handle when it cannot.
Value tolerant_value(Converter& c, py::handle obj) {
    try {
        return c.value(obj);
    } catch (const std::exception&) {
        PyErr_Clear();
        return opaque(obj);
    }
}

}  // namespace

void write_back(py::handle obj, Dict& target) {
    try {
        if (!PyDict_Check(obj.ptr())) return;
        Converter c;
        Dict now;
        for_each_item(obj, "params", [&](py::handle key, py::handle value) {
            now.set(tolerant_value(c, key), tolerant_value(c, value));
        });
        if (!(now == target)) target = std::move(now);
    } catch (const std::exception&) {
        PyErr_Clear();
    }
}

void write_back(py::handle obj, std::vector<fe::IdSet>& target, const fe::KeyIndexPtr& universe) {
    try {
        if (!PyList_Check(obj.ptr())) return;
        Converter c;
        std::vector<fe::IdSet> now;
        for (const auto child : obj) now.push_back(c.id_set(child, universe));
        if (now != target) target = std::move(now);
    } catch (const std::exception&) {
        PyErr_Clear();
    }
}

void write_back_bound(py::handle obj, const fe::KeyIndexPtr& universe) {
    const auto& bound = bound_table();
    if (bound.empty()) return;
    const auto [first, last] = bound.equal_range(obj.ptr());
    for (auto b = first; b != last; ++b) {
        if (Dict* const* dict = std::get_if<Dict*>(&b->second)) {
            write_back(obj, **dict);
        } else {
            write_back(obj, *std::get<std::vector<fe::IdSet>*>(b->second), universe);
        }
    }
}

// ---- Python -> C++ ----------------------------------------------------------------------------

void* Arena::allocate(std::size_t size, std::size_t align) {
    std::size_t pad = (align - reinterpret_cast<std::uintptr_t>(next_) % align) % align;
    if (next_ == nullptr || pad + size > left_) {
        const std::size_t bytes = std::max(CHUNK, size + align);
        chunks_.push_back(std::make_unique<std::byte[]>(bytes));
        next_ = chunks_.back().get();
        left_ = bytes;
        pad = (align - reinterpret_cast<std::uintptr_t>(next_) % align) % align;
    }
    std::byte* out = next_ + pad;
    next_ = out + size;
    left_ -= pad + size;
    return out;
}

Value Converter::str_value(PyObject* obj) {
    // Repeated values (categories, families) are mostly the same str objects: one shared string
    // per object, remembered in a small table indexed by the object's address.
    StrSlot& slot = strings_[(reinterpret_cast<std::uintptr_t>(obj) >> 4) % strings_.size()];
    if (slot.obj.ptr() != obj) {
        py::object holder;
        slot.text = std::make_shared<const std::string>(utf8_of(obj, holder));
        slot.obj = py::reinterpret_borrow<py::object>(obj);
    }
    return Value(slot.text);
}

Value Converter::list_value(PyObject* obj) {
    if (Py_EnterRecursiveCall(" while converting a list")) throw py::error_already_set();
    List items;
    try {
        items.reserve(static_cast<std::size_t>(PyList_GET_SIZE(obj)));
        for (Py_ssize_t i = 0; i < PyList_GET_SIZE(obj); ++i) items.push_back(value(PyList_GET_ITEM(obj, i)));
    } catch (...) {
        Py_LeaveRecursiveCall();
        throw;
    }
    Py_LeaveRecursiveCall();
    if (arena_) return Value(std::allocate_shared<List>(ArenaAllocator<List>(arena_), std::move(items)));
    return Value::list(std::move(items));
}

Value Converter::dict_value(PyObject* obj) {
    if (Py_EnterRecursiveCall(" while converting a dict")) throw py::error_already_set();
    Dict out;
    try {
        Py_ssize_t pos = 0;
        PyObject* key = nullptr;
        PyObject* item = nullptr;
        while (PyDict_Next(obj, &pos, &key, &item)) out.set(value(key), value(item));
    } catch (...) {
        Py_LeaveRecursiveCall();
        throw;
    }
    Py_LeaveRecursiveCall();
    return Value(std::move(out));
}

Value Converter::value(py::handle h) {
    PyObject* o = h.ptr();
    if (o == Py_None) return {};
    PyTypeObject* t = Py_TYPE(o);
    if (t == &PyFloat_Type) return Value(PyFloat_AS_DOUBLE(o));
    if (t == &PyUnicode_Type) return str_value(o);
    if (t == &PyBool_Type) return Value(o == Py_True);
    if (PyLong_Check(o)) return Value(int64(h, "int"));
    if (PyFloat_Check(o)) return Value(PyFloat_AS_DOUBLE(o));  // numpy.float64 among others
    if (PyUnicode_Check(o)) return str_value(o);
    if (PyList_Check(o)) return list_value(o);
    if (PyDict_Check(o)) return dict_value(o);
    return other_value(h);
}

Value Converter::other_value(py::handle h) {
    // numpy's bool, integer and floating scalars are the numbers they hold (np.float32 as the
    // double it widens to, as Python compares it); anything else stays the caller's object.
    PyTypeObject* t = Py_TYPE(h.ptr());
    const NumpyScalarTypes& numpy = numpy_scalar_types();
    if (PyType_IsSubtype(t, numpy.bool_)) return Value(PyObject_IsTrue(h.ptr()) == 1);
    if (PyType_IsSubtype(t, numpy.integer)) return Value(int64(h, "int"));
    if (PyType_IsSubtype(t, numpy.floating)) return Value(number(h, "float"));
    return opaque(h);
}

Dict Converter::dict(py::handle obj, const char* what) {
    if (PyDict_Check(obj.ptr())) return std::move(dict_value(obj.ptr()).as_dict());
    if (!is_mapping(obj)) wrong_type(what, "a dict", obj);
    Dict out;
    for_each_item(obj, what, [&](py::handle key, py::handle item) { out.set(value(key), value(item)); });
    return out;
}

Dict Converter::dict_of_handles(py::handle obj) {
    Dict out;
    for_each_item(obj, "a mapping", [&](py::handle key, py::handle item) { out.set(value(key), opaque(item)); });
    return out;
}

Dict Converter::metadata(py::handle obj) {
    // Entries that are pandas.NA (or NaT, numpy.ma.masked) are left out: the signal does not hold
    // the field. Only values that convert to handles can be such markers.
    const auto held = [](const Value& v, py::handle item) { return !v.is_object() || !is_missing(item.ptr()); };
    PyObject* d = obj.ptr();
    if (!PyDict_Check(d)) {
        if (!is_mapping(obj)) wrong_type("signal metadata", "a dict", obj);
        Dict out;
        for_each_item(obj, "signal metadata", [&](py::handle key, py::handle item) {
            Value v = value(item);
            if (held(v, item)) out.set(value(key), std::move(v));
        });
        return out;
    }
    const auto n = static_cast<std::size_t>(PyDict_GET_SIZE(d));
    if (n != 0 && n == template_keys_.size()) {
        Dict out = template_;  // shares the template's key layout
        Py_ssize_t pos = 0;
        PyObject* key = nullptr;
        PyObject* item = nullptr;
        std::size_t i = 0;
        bool same_keys = true;
        while (PyDict_Next(d, &pos, &key, &item)) {
            if (key != template_keys_[i].ptr()) {
                same_keys = false;
                break;
            }
            // The copy is ours and its key at position i is this key: fill the value in place.
            Value& slot = const_cast<Value&>(out.value(i));
            slot = value(item);
            if (!held(slot, item)) {
                same_keys = false;
                break;
            }
            ++i;
        }
        if (same_keys) return out;
    }
    Dict out;
    {
        Py_ssize_t pos = 0;
        PyObject* key = nullptr;
        PyObject* item = nullptr;
        while (PyDict_Next(d, &pos, &key, &item)) {
            Value v = value(item);
            if (held(v, item)) out.set(value(key), std::move(v));
        }
    }
    // Remember this key order for the dicts that follow when its keys are plain strings.
    template_keys_.clear();
    template_ = Dict();
    if (n == 0 || n > Dict::SHARED_KEY_LIMIT || out.size() != n) return out;
    std::vector<py::object> keys;
    keys.reserve(n);
    Py_ssize_t pos = 0;
    PyObject* key = nullptr;
    PyObject* item = nullptr;
    while (PyDict_Next(d, &pos, &key, &item)) {
        if (!PyUnicode_CheckExact(key)) return out;
        keys.push_back(py::reinterpret_borrow<py::object>(key));
    }
    Dict blank = out;
    for (std::size_t i = 0; i < n; ++i) const_cast<Value&>(blank.value(i)) = Value();
    template_ = std::move(blank);
    template_keys_ = std::move(keys);
    return out;
}

Dict Converter::metadata_by_id(py::handle obj, const char* what) {
    if (!PyDict_Check(obj.ptr()) && !is_mapping(obj)) wrong_type(what, "a dict", obj);
    Dict out;
    for_each_item(obj, what, [&](py::handle id, py::handle md) {
        out.set(value(id), PyDict_Check(md.ptr()) || is_mapping(md) ? Value(metadata(md)) : value(md));
    });
    return out;
}

std::string Converter::str(py::handle obj, const char* what) {
    if (!PyUnicode_Check(obj.ptr())) wrong_type(what, "a str", obj);
    return utf8_string(obj.ptr());
}

std::int64_t Converter::int64(py::handle obj, const char* what) {
    py::object number;
    PyObject* o = obj.ptr();
    if (!PyLong_Check(o)) {
        if (PyFloat_Check(o) || PyUnicode_Check(o) || !PyIndex_Check(o)) wrong_type(what, "an int", obj);
        number = py::reinterpret_steal<py::object>(PyNumber_Index(o));  // numpy integers
        if (!number) throw py::error_already_set();
        o = number.ptr();
    }
    int overflow = 0;
    const long long v = PyLong_AsLongLongAndOverflow(o, &overflow);
    if (overflow != 0) {
        throw py::value_error("int " + py::str(o).cast<std::string>() +
                              " does not fit in 64 bits (the library's integers are 64-bit)");
    }
    if (v == -1 && PyErr_Occurred()) throw py::error_already_set();
    return v;
}

double Converter::number(py::handle obj, const char* what) {
    PyObject* o = obj.ptr();
    if (PyUnicode_Check(o) || !PyNumber_Check(o)) wrong_type(what, "a number", obj);
    const double v = PyFloat_AsDouble(o);
    if (v == -1.0 && PyErr_Occurred()) throw py::error_already_set();
    return v;
}

std::vector<std::string> Converter::strings(py::handle iterable, const char* what) {
    std::vector<std::string> out;
    for (const auto item : py::reinterpret_borrow<py::iterable>(iterable)) out.push_back(str(item, what));
    return out;
}

numeric::MatrixPtr Converter::matrix(py::handle obj, const char* what, bool allow_none) {
    if (obj.is_none() && allow_none) return nullptr;
    if (obj.ptr() == last_array_) return last_matrix_;
    auto& api = py::detail::npy_api::get();
    if (!api.PyArray_Check_(obj.ptr())) wrong_type(what, "a 2-D float64 numpy array", obj);
    const auto* array = py::detail::array_proxy(obj.ptr());
    const auto* descr = py::detail::array_descriptor_proxy(array->descr);
    if (descr->type_num != NPY_DOUBLE || descr->byteorder == '>') {
        throw py::type_error(std::string(what) + " must have dtype float64, got " +
                             py::str(obj.attr("dtype")).cast<std::string>());
    }
    if (array->nd != 2) {
        throw py::value_error(std::string(what) + " must be a 2-D array, got " + std::to_string(array->nd) +
                              " dimension(s)");
    }
    // Other layouts (a transposed view, a slice) are read from a C-contiguous copy.
    py::object contiguous = py::reinterpret_borrow<py::object>(obj);
    if ((array->flags & py::detail::npy_api::NPY_ARRAY_C_CONTIGUOUS_) == 0) {
        contiguous = py::module_::import("numpy").attr("ascontiguousarray")(obj);
        array = py::detail::array_proxy(contiguous.ptr());
    }
    auto m = std::make_shared<numeric::Matrix>(
        numeric::Matrix::borrow(static_cast<std::size_t>(array->dimensions[0]),
                                static_cast<std::size_t>(array->dimensions[1]),
                                reinterpret_cast<double*>(array->data), share(contiguous)));
    last_array_ = obj.ptr();
    last_matrix_ = m;
    return m;
}

namespace {

// Where UsefulSignal keeps a field (its slot's offset in the instance).
Py_ssize_t slot_offset(const char* field) {
    const py::object descriptor = records().useful_signal.attr("__dict__")[field];
    if (Py_TYPE(descriptor.ptr()) != &PyMemberDescr_Type) throw std::logic_error("UsefulSignal has no slots");
    return reinterpret_cast<PyMemberDescrObject*>(descriptor.ptr())->d_member->offset;
}

// obj.<field>: read from the slot of a UsefulSignal, else looked up (any object with the field).
py::handle field_of(py::handle obj, PyObject* name, Py_ssize_t offset, py::object& holder) {
    if (Py_TYPE(obj.ptr()) == reinterpret_cast<PyTypeObject*>(records().useful_signal.ptr())) {
        if (PyObject* value = *reinterpret_cast<PyObject**>(reinterpret_cast<char*>(obj.ptr()) + offset)) return value;
    }
    holder = attr(obj, name);
    return holder;
}

}  // namespace

fe::UsefulSignal Converter::signal(py::handle obj) {
    static PyObject* const weights = interned("weights");
    static PyObject* const pnl = interned("pnl");
    static PyObject* const metadata_name = interned("metadata");
    static const Py_ssize_t weights_at = slot_offset("weights");
    static const Py_ssize_t pnl_at = slot_offset("pnl");
    static const Py_ssize_t metadata_at = slot_offset("metadata");
    py::object held;
    fe::UsefulSignal s;
    s.weights = matrix(field_of(obj, weights, weights_at, held), "UsefulSignal.weights", false);
    s.pnl = matrix(field_of(obj, pnl, pnl_at, held), "UsefulSignal.pnl", true);
    if (!arena_) arena_ = std::make_shared<Arena>();
    Dict metadata_dict = metadata(field_of(obj, metadata_name, metadata_at, held));
    s.metadata = std::allocate_shared<Dict>(ArenaAllocator<Dict>(arena_), std::move(metadata_dict));
    return s;
}

fe::SignalPool Converter::pool(py::handle obj) {
    fe::SignalPool out;
    if (obj.is_none()) return out;
    if (const ColumnPool* columns = column_pool_of(obj)) return *columns->pool;
    if (PyDict_Check(obj.ptr())) {
        out.reserve(static_cast<std::size_t>(PyDict_GET_SIZE(obj.ptr())));
    } else if (!is_mapping(obj)) {
        wrong_type("useful_signals", "a dict of UsefulSignal", obj);
    }
    for_each_item(obj, "useful_signals", [&](py::handle id, py::handle s) { out.insert(str(id, "a signal id"), signal(s)); });
    return out;
}

fe::FilterNode Converter::node(py::handle obj) {
    fe::FilterNode root;
    node_into(obj, root, nullptr);
    return root;
}

void Converter::node_into(py::handle obj, fe::FilterNode& root, IdentityScope* scope) {
    // Iterative: trees may be deeper than the C++ stack allows.
    std::vector<std::pair<py::object, fe::FilterNode*>> pending{{py::reinterpret_borrow<py::object>(obj), &root}};
    while (!pending.empty()) {
        auto [source, target] = std::move(pending.back());
        pending.pop_back();
        target->function_name = str(source.attr("function_name"), "FilterNode.function_name");
        const py::object params = attr_or_none(source, "params");
        if (!params.is_none()) {
            target->params = dict(params, "FilterNode.params");
            if (scope != nullptr && PyDict_Check(params.ptr())) {
                scope->bind(target->params, params);
            } else if (scope != nullptr) {
                scope->remember(&target->params, params);
            }
        }
        const py::object children = attr_or_none(source, "children");
        if (children.is_none()) continue;
        if (PyUnicode_Check(children.ptr()) || is_mapping(children) || !py::isinstance<py::iterable>(children))
            wrong_type("FilterNode.children", "a list of FilterNode", children);
        std::vector<py::object> items;
        for (const auto child : py::reinterpret_borrow<py::iterable>(children))
            items.push_back(py::reinterpret_borrow<py::object>(child));
        target->children.resize(items.size());
        for (std::size_t i = items.size(); i-- > 0;) pending.emplace_back(std::move(items[i]), &target->children[i]);
    }
}

fe::KeyIndexPtr Converter::universe(py::handle ids) {
    if (PyUnicode_Check(ids.ptr()) || !py::isinstance<py::iterable>(ids)) wrong_type("pool_keys", "a set of str", ids);
    auto index = std::make_shared<fe::KeyIndex>();
    for (const auto id : py::reinterpret_borrow<py::iterable>(ids)) index->add(str(id, "a signal id"));
    return index;
}

fe::IdSet Converter::id_set(py::handle ids, const fe::KeyIndexPtr& universe, const char* what) {
    if (PyUnicode_Check(ids.ptr()) || PyBytes_Check(ids.ptr()) || !py::isinstance<py::iterable>(ids))
        wrong_type(what, "a set of str", ids);
    fe::IdSet out = fe::IdSet::over(universe);
    for (const auto id : py::reinterpret_borrow<py::iterable>(ids)) {
        if (!PyUnicode_Check(id.ptr())) wrong_type("identifier set members", "str", id);
        py::object holder;
        const std::string_view text = utf8_of(id.ptr(), holder);
        const auto pos = universe ? universe->find(text) : std::nullopt;
        if (pos) {
            out.insert_pos(*pos);
        } else {
            out.insert(text);
        }
    }
    return out;
}

// ---- C++ -> Python ----------------------------------------------------------------------------

py::object Exporter::str(std::string_view s) {
    PyObject* out = PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "surrogatepass");
    if (out == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(out);
}

py::object Exporter::value(const Value& v) {
    switch (v.kind()) {
        case Value::Kind::none:
            return py::none();
        case Value::Kind::boolean:
            return py::bool_(v.as_bool());
        case Value::Kind::integer:
            return py::reinterpret_steal<py::object>(PyLong_FromLongLong(v.as_int()));
        case Value::Kind::floating:
            return py::reinterpret_steal<py::object>(PyFloat_FromDouble(v.as_float()));
        case Value::Kind::str: {
            auto [it, inserted] = strings_.try_emplace(v.str_ptr().get());
            if (inserted) it->second = {v.str_ptr(), str(v.as_str())};
            return it->second.second;
        }
        case Value::Kind::list: {
            const List& items = v.as_list();
            if (PyObject* original = identity_of(&items)) return py::reinterpret_borrow<py::object>(original);
            py::list out(items.size());
            for (std::size_t i = 0; i < items.size(); ++i) {
                PyList_SET_ITEM(out.ptr(), static_cast<Py_ssize_t>(i), value(items[i]).release().ptr());
            }
            return out;
        }
        case Value::Kind::dict:
            return dict(v.as_dict());
        case Value::Kind::object: {
            const runtime::Object& o = v.as_object();
            if (const auto* handle = dynamic_cast<const PyObjectHandle*>(&o))
                return py::reinterpret_borrow<py::object>(handle->get());
            if (const auto* ids = dynamic_cast<const fe::detail::IdSetObject*>(&o)) return id_set(ids->ids);
            return str(o.repr());
        }
    }
    return py::none();
}

py::object Exporter::dict(const Dict& d) {
    if (PyObject* original = identity_of(&d)) return py::reinterpret_borrow<py::object>(original);
    py::dict out;
    for (const auto& [key, item] : d) {
        if (PyDict_SetItem(out.ptr(), value(key).ptr(), value(item).ptr()) < 0) throw py::error_already_set();
    }
    return out;
}

py::object Exporter::strings(const std::vector<std::string>& items) {
    py::list out(items.size());
    for (std::size_t i = 0; i < items.size(); ++i)
        PyList_SET_ITEM(out.ptr(), static_cast<Py_ssize_t>(i), str(items[i]).release().ptr());
    return out;
}

py::object Exporter::id_set(const fe::IdSet& ids) {
    auto out = py::reinterpret_steal<py::object>(PySet_New(nullptr));
    if (!out) throw py::error_already_set();
    ids.for_each([&](std::string_view id) {
        if (PySet_Add(out.ptr(), str(id).ptr()) < 0) throw py::error_already_set();
    });
    return out;
}

py::object Exporter::matrix(const numeric::MatrixPtr& m) {
    if (!m) return py::none();
    // A matrix that borrows a numpy array's whole buffer is that array.
    if (PyObject* owner = shared_object(m->owner())) {
        auto& api = py::detail::npy_api::get();
        if (api.PyArray_Check_(owner)) {
            const auto* array = py::detail::array_proxy(owner);
            if (array->nd == 2 && reinterpret_cast<const double*>(array->data) == m->data() &&
                static_cast<std::size_t>(array->dimensions[0]) == m->rows() &&
                static_cast<std::size_t>(array->dimensions[1]) == m->cols()) {
                return py::reinterpret_borrow<py::object>(owner);
            }
        }
    }
    auto* keep = new numeric::MatrixPtr(m);
    const py::capsule base(keep, [](void* p) { delete static_cast<numeric::MatrixPtr*>(p); });
    return py::array_t<double>({static_cast<py::ssize_t>(m->rows()), static_cast<py::ssize_t>(m->cols())},
                               m->data(), base);
}

py::object Exporter::signal(const fe::UsefulSignal& s) {
    return records().useful_signal(matrix(s.weights), matrix(s.pnl),
                                   s.metadata ? dict(*s.metadata) : py::dict());
}

py::object Exporter::pool(const fe::SignalPool& pool) {
    py::dict out;
    for (const auto& [id, signal] : pool) {
        if (PyDict_SetItem(out.ptr(), str(id).ptr(), this->signal(signal).ptr()) < 0) throw py::error_already_set();
    }
    return out;
}

// ---- Generators -------------------------------------------------------------------------------

SyncedGenerator::SyncedGenerator(py::handle rng) {
    static PyObject* generator_type = py::object(py::module_::import("numpy.random").attr("Generator")).release().ptr();
    if (PyObject_IsInstance(rng.ptr(), generator_type) != 1) {
        PyErr_Clear();
        wrong_type("rng", "a numpy.random.Generator", rng);
    }
    bit_generator_ = rng.attr("bit_generator");
    // Every entry is checked before anything is drawn: a state the library cannot read is refused,
    // and nothing is written back.
    const std::string where = "rng.bit_generator.state";
    const py::object state = bit_generator_.attr("state");
    const py::object kind = state_entry(state, "bit_generator", where);
    if (!PyUnicode_Check(kind.ptr()) || kind.cast<std::string>() != "PCG64") {
        throw py::type_error("rng must draw from a PCG64 bit generator (numpy.random.default_rng), got " +
                             py::str(kind).cast<std::string>());
    }
    const py::object inner = state_entry(state, "state", where);
    numeric::Pcg64State s{to_uint128(state_entry(inner, "state", where + "['state']"), where + "['state']['state']"),
                          to_uint128(state_entry(inner, "inc", where + "['state']"), where + "['state']['inc']"),
                          small_uint(state_entry(state, "has_uint32", where), 1, where + "['has_uint32']") != 0,
                          static_cast<std::uint32_t>(small_uint(state_entry(state, "uinteger", where), 0xFFFFFFFFu,
                                                                where + "['uinteger']"))};
    generator_.emplace(s);
}

SyncedGenerator::~SyncedGenerator() {
    if (!generator_) return;
    const numeric::Pcg64State s = generator_->state();
    PyObject *type = nullptr, *value = nullptr, *trace = nullptr;
    PyErr_Fetch(&type, &value, &trace);  // an error on its way out stays current
    try {
        py::dict inner;
        inner["state"] = from_uint128(s.state);
        inner["inc"] = from_uint128(s.inc);
        py::dict state;
        state["bit_generator"] = "PCG64";
        state["state"] = inner;
        state["has_uint32"] = s.has_uint32 ? 1 : 0;
        state["uinteger"] = s.uinteger;
        bit_generator_.attr("state") = state;
    } catch (py::error_already_set& e) {
        e.discard_as_unraisable("writing a generator's state back");
    }
    PyErr_Restore(type, value, trace);
}

}  // namespace brindlecap::python
