#pragma once
// Conversions between Python objects and the library's values, pools, matrices and generators.
//
// Open data becomes runtime::Value: None, bool, int (64 bits; larger ints raise ValueError),
// float (NaN and infinities included), str (lone surrogates included), list and dict; numpy bool,
// integer and floating scalars become the bool, int or float they hold. Any other object (tuple,
// set, date, np.datetime64, Decimal, ...) travels as an opaque handle that compares, orders,
// hashes and prints through Python and comes back as the very object. Weights are 2-D float64
// numpy arrays, borrowed without a copy when C-contiguous (other layouts are copied); matrices go
// out as arrays over the C++ buffer.

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

// A caller's Python object inside a Value: type name, attributes, equality, hash, ordering, str
// and repr are Python's (taking the GIL when the calling thread lacks it). So np.datetime64,
// datetime.date or Decimal values order as Python orders them, with each other and with numbers.
class PyObjectHandle : public runtime::Object {
public:
    explicit PyObjectHandle(py::handle obj) : obj_(share(obj)) {}
    PyObject* get() const noexcept { return obj_.get(); }
    std::string type_name() const override;
    std::optional<Value> getattr(std::string_view name) const override;
    std::string repr() const override;
    std::string str() const override;
    std::optional<bool> order(std::string_view op, const Value& a, const Value& b) const override;
    bool equals(const runtime::Object& other) const override;
    std::size_t hash() const override;
    std::optional<List> elements() const override;  // a tuple's, set's or frozenset's items

private:
    PyRef obj_;
};
Value opaque(py::handle obj);

// The UTF-8 text of a str. Lone surrogates (json.loads gives them for "\ud83d") are carried in
// their three-byte forms, which Exporter::str turns back into the same str; `holder` keeps that
// encoding alive.
std::string_view utf8_of(PyObject* s, py::object& holder);
std::string utf8_string(PyObject* s);

// pandas.NA, pandas.NaT and numpy.ma.masked: a value that is not there. Signal metadata and
// columns leave such an entry out (the signal does not hold the field).
bool is_missing(PyObject* obj);

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
    // remember(), and what a Python operator changes in obj (a dict; a list of sets) is written
    // back to cpp when its call ends (write_back_bound), so that the library sees what the
    // caller's object holds. Several C++ objects may be bound to one Python object.
    void bind(Dict& cpp, py::handle obj);
    void bind(std::vector<fe::IdSet>& cpp, py::handle obj);

private:
    std::vector<std::pair<const void*, py::object>> entries_;
    std::vector<const void*> bound_;
};
// The Python object a C++ object was made from, or nullptr.
PyObject* identity_of(const void* cpp);
// bind() when obj is what write-back reads (a dict; a list), else remember().
inline void bind_or_remember(IdentityScope& scope, Dict& cpp, py::handle obj) {
    if (PyDict_Check(obj.ptr())) {
        scope.bind(cpp, obj);
    } else {
        scope.remember(&cpp, obj);
    }
}
inline void bind_or_remember(IdentityScope& scope, std::vector<fe::IdSet>& cpp, py::handle obj) {
    if (PyList_Check(obj.ptr())) {
        scope.bind(cpp, obj);
    } else {
        scope.remember(&cpp, obj);
    }
}

// What obj (a dict or a list of identifier sets an operator received) holds now, written into
// the C++ objects bound to it, or into `target`. Children sets are read over `universe`. Values
// the library cannot read stay as handles; a children list it cannot read is left as it was.
// Never raises.
void write_back_bound(py::handle obj, const fe::KeyIndexPtr& universe);
void write_back(py::handle obj, Dict& target);
void write_back(py::handle obj, std::vector<fe::IdSet>& target, const fe::KeyIndexPtr& universe);

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
    // Metadata dicts: those sharing one key order are built from one template; pandas.NA entries
    // (is_missing) are left out.
    Dict metadata(py::handle obj);
    // id -> metadata mapping (mock_signals, signal_metadata), each mapping read by metadata().
    Dict metadata_by_id(py::handle obj, const char* what);

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
    // Anything but None, bool, int, float, str, list and dict (kept out of value()'s fast path).
    [[gnu::noinline]] Value other_value(py::handle obj);
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
