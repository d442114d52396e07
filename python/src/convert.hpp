#pragma once
// Conversions between Python objects and the library's values, pools, matrices and generators.
//
// Open data becomes runtime::Value: None, bool, int (64 bits; larger ints raise ValueError),
// float (NaN and infinities included), str, list and dict; any other object (tuple, set, date,
// numpy scalars other than float64, ...) travels as an opaque handle that compares, hashes and
// prints through Python and comes back as the very object. Weights are 2-D float64 numpy arrays,
// borrowed without a copy when C-contiguous; matrices go out as arrays over the C++ buffer.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <memory>
#include <unordered_map>
#include <vector>

#include "brindlecap/numeric/generator_internal.hpp"
#include "common.hpp"

namespace brindlecap::python {

// ---- Opaque objects ---------------------------------------------------------------------------

// A caller's Python object inside a Value: type name, attributes, equality, hash and repr are
// Python's (taking the GIL when the calling thread lacks it).
class PyObjectHandle : public runtime::Object {
public:
    explicit PyObjectHandle(py::handle obj) : obj_(share(obj)) {}
    PyObject* get() const noexcept { return obj_.get(); }
    std::string type_name() const override;
    std::optional<Value> getattr(std::string_view name) const override;
    std::string repr() const override;
    bool equals(const runtime::Object& other) const override;
    std::size_t hash() const override;

private:
    PyRef obj_;
};
Value opaque(py::handle obj);

// ---- Identity ---------------------------------------------------------------------------------

// For the duration of one call, C++ objects made from a caller's Python objects can be mapped
// back to those very objects: an operator receives its node's own params dict, a result holds
// the caller's own products. Entries live as long as the scope; the GIL guards the table.
class IdentityScope {
public:
    IdentityScope() = default;
    IdentityScope(const IdentityScope&) = delete;
    IdentityScope& operator=(const IdentityScope&) = delete;
    ~IdentityScope();
    void remember(const void* cpp, py::handle obj);

private:
    std::vector<std::pair<const void*, py::object>> entries_;
};
// The Python object a C++ object was made from, or nullptr.
PyObject* identity_of(const void* cpp);

// ---- Python -> C++ ----------------------------------------------------------------------------

// isinstance(obj, collections.abc.Mapping)
bool is_mapping(py::handle obj);
// One entry of a mapping's items(): a (key, value) pair (TypeError naming `what` otherwise).
std::pair<py::object, py::object> item_pair(py::handle item, const char* what);
// f(key, value) for each entry of a dict or other mapping, in its order; entries are held while f
// runs (f may run Python code that changes the mapping).
template <class F>
void for_each_item(py::handle mapping, const char* what, F&& f) {
    if (PyDict_Check(mapping.ptr())) {
        Py_ssize_t pos = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(mapping.ptr(), &pos, &key, &value)) {
            const auto k = py::reinterpret_borrow<py::object>(key);
            const auto v = py::reinterpret_borrow<py::object>(value);
            f(k, v);
        }
        return;
    }
    for (const auto item : mapping.attr("items")()) {
        const auto [k, v] = item_pair(item, what);
        f(k, v);
    }
}

// Bump allocation for the many small objects of one conversion (a pool's metadata dicts and
// lists): one allocation per 64 KiB instead of one per object, released at once when the last
// object made from it goes.
class Arena {
public:
    void* allocate(std::size_t size, std::size_t align);

private:
    static constexpr std::size_t CHUNK = 64 * 1024;
    std::vector<std::unique_ptr<std::byte[]>> chunks_;
    std::byte* next_ = nullptr;
    std::size_t left_ = 0;
};

template <class T>
struct ArenaAllocator {
    using value_type = T;
    std::shared_ptr<Arena> arena;
    explicit ArenaAllocator(std::shared_ptr<Arena> a) : arena(std::move(a)) {}
    template <class U>
    ArenaAllocator(const ArenaAllocator<U>& other) : arena(other.arena) {}
    T* allocate(std::size_t n) { return static_cast<T*>(arena->allocate(n * sizeof(T), alignof(T))); }
    void deallocate(T*, std::size_t) noexcept {}
    template <class U>
    bool operator==(const ArenaAllocator<U>& other) const noexcept {
        return arena == other.arena;
    }
};

class Converter {
public:
    Converter() = default;
    Converter(const Converter&) = delete;
    Converter& operator=(const Converter&) = delete;

    Value value(py::handle obj);
    // A dict or other mapping as a Dict (TypeError naming `what` otherwise).
    Dict dict(py::handle obj, const char* what);
    // Keys converted, values kept as opaque handles (they come back as the very objects).
    Dict dict_of_handles(py::handle obj);
    // Metadata dicts: those sharing one key order are built from one template.
    Dict metadata(py::handle obj);

    std::string str(py::handle obj, const char* what);
    std::int64_t int64(py::handle obj, const char* what);
    double number(py::handle obj, const char* what);
    std::vector<std::string> strings(py::handle iterable, const char* what);

    // 2-D float64 array (C-contiguous arrays are borrowed); None gives nullptr when allowed.
    numeric::MatrixPtr matrix(py::handle obj, const char* what, bool allow_none);
    fe::UsefulSignal signal(py::handle obj);
    // A dict (or mapping) id -> UsefulSignal, in its order; None is an empty pool.
    fe::SignalPool pool(py::handle obj);
    // A FilterNode-like object (function_name, params, children) read into `out`, each node's
    // params dict remembered in `scope` (`out` must stay where it is while the scope lives).
    void node_into(py::handle obj, fe::FilterNode& out, IdentityScope* scope);
    fe::FilterNode node(py::handle obj);

    // Identifiers in iteration order as a key index.
    fe::KeyIndexPtr universe(py::handle ids);
    // A set (or other iterable but a str) of str over `universe`; ids outside it are kept aside.
    fe::IdSet id_set(py::handle ids, const fe::KeyIndexPtr& universe, const char* what = "an identifier set");

private:
    Value str_value(PyObject* obj);
    Value list_value(PyObject* obj);
    Value dict_value(PyObject* obj);

    // A slot holds its str object, so that its address names that very string as long as the
    // slot remembers it (a temporary string freed meanwhile would leave its address to another).
    struct StrSlot {
        py::object obj;
        runtime::StrPtr text;
    };
    std::array<StrSlot, 251> strings_;
    // The key objects (held, as the slots' strings) and template of the last metadata key order.
    std::vector<py::object> template_keys_;
    Dict template_;
    std::shared_ptr<Arena> arena_;  // for metadata dicts and their lists
    PyObject* last_array_ = nullptr;  // alive while last_matrix_ borrows it
    numeric::MatrixPtr last_matrix_;
};

// ---- C++ -> Python ----------------------------------------------------------------------------

class Exporter {
public:
    py::object value(const Value& v);
    py::object dict(const Dict& d);
    py::object str(std::string_view s);
    py::object strings(const std::vector<std::string>& items);  // a list
    py::object id_set(const fe::IdSet& ids);                     // a set
    // An array over the matrix's buffer (the very array when the matrix borrows one).
    py::object matrix(const numeric::MatrixPtr& m);
    py::object signal(const fe::UsefulSignal& s);
    py::object pool(const fe::SignalPool& pool);

private:
    // Strings exported so far by address; each entry holds its string, so no other string can
    // take that address while the entry lasts.
    std::unordered_map<const std::string*, std::pair<runtime::StrPtr, py::object>> strings_;
};

// ---- Generators -------------------------------------------------------------------------------

// A numpy Generator (PCG64) continued in C++: starts from its bit generator's state and writes
// the final state back when it goes, so the caller's generator ends where numpy's own draws
// would have left it.
class SyncedGenerator {
public:
    explicit SyncedGenerator(py::handle rng);
    SyncedGenerator(const SyncedGenerator&) = delete;
    SyncedGenerator& operator=(const SyncedGenerator&) = delete;
    ~SyncedGenerator();
    numeric::Generator& get() noexcept { return *generator_; }

private:
    py::object bit_generator_;
    std::optional<numeric::Generator> generator_;
};

}  // namespace brindlecap::python
