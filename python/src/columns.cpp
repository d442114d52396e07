#include "columns.hpp"

#include <cstdint>
#include <functional>
#include <limits>
#include <mutex>
#include <vector>
#include <string>
#include <string_view>

#include <pybind11/numpy.h>

#include "brindlecap/functions/filtrations_evaluation/core/columns_internal.hpp"
#include "brindlecap/functions/filtrations_evaluation/core/pool_columns.hpp"
#include "brindlecap/runtime/huge_pages.hpp"
#include "convert.hpp"
#include "records.hpp"

namespace brindlecap::python {

using namespace pybind11::literals;

namespace {

py::module_ numpy() { return py::module_::import("numpy"); }

// A column as a contiguous array of `dtype` (converted when it is another one).
py::array contiguous(py::handle column, const char* dtype) {
    return numpy().attr("ascontiguousarray")(column, "dtype"_a = dtype);
}

template <class T>
std::span<const T> span_of(const py::array& a) {
    return {static_cast<const T*>(a.data()), static_cast<std::size_t>(a.size())};
}

// The error being handled, raised again with the column and the signal named first (same type,
// the original as its cause).
[[noreturn]] void raise_at(const std::string& field, const std::string& id) {
    const std::string where = "column '" + field + "', signal " + py::repr(py::str(id)).cast<std::string>() + ": ";
    try {
        throw;
    } catch (py::error_already_set& e) {
        py::raise_from(e, e.type().ptr(), (where + py::str(e.value()).cast<std::string>()).c_str());
    } catch (const py::builtin_exception& e) {
        e.set_error();
        py::error_already_set original;
        py::raise_from(original, original.type().ptr(), (where + e.what()).c_str());
    }
    throw py::error_already_set();
}

// Object columns: strings, lists of strings, or any values. None, pandas.NA, NaT and
// numpy.ma.masked entries, and entries a mask marks, are not held. `items` are borrowed from a
// list or an object array that outlives the call.
void add_objects(fe::ColumnarPoolBuilder& b, const std::string& field, std::span<PyObject* const> items,
                 const std::vector<std::uint8_t>& masked = {}) {
    const std::size_t n = items.size();
    std::vector<std::uint8_t> present(n, 1);
    std::vector<py::object> holders;  // encodings of strings with lone surrogates
    const auto text = [&](PyObject* s) {
        // ASCII text sits right after a compact string's header.
        if (PyUnicode_IS_READY(s) && PyUnicode_IS_COMPACT_ASCII(s)) {
            return std::string_view(reinterpret_cast<const char*>(reinterpret_cast<PyASCIIObject*>(s) + 1),
                                    static_cast<std::size_t>(PyUnicode_GET_LENGTH(s)));
        }
        py::object holder;
        const std::string_view view = utf8_of(s, holder);
        if (holder) holders.push_back(std::move(holder));
        return view;
    };
    const auto missing = [&](std::size_t i, PyObject* v) {
        if ((!masked.empty() && masked[i]) || v == Py_None) return true;
        // No missing marker is a str, list or tuple: only other objects need a closer look.
        return !PyUnicode_Check(v) && !PyList_Check(v) && !PyTuple_Check(v) && is_missing(v);
    };
    // Strings, or lists (tuples) of strings, read in one pass; anything else ends it.
    enum class Shape { unknown, strings, lists, other };
    Shape shape = Shape::unknown;
    // In huge pages: these arrays are written once, and faults on fresh small pages cost more than
    // the writing.
    runtime::LargeVector<std::string_view> strings;  // strings: one per position; lists: the items
    runtime::LargeVector<std::uint64_t> offsets;     // lists: where each position's items start
    strings.reserve(n);
    for (std::size_t i = 0; i < n && shape != Shape::other; ++i) {
        PyObject* v = items[i];
        if (missing(i, v)) {
            present[i] = 0;
            if (shape == Shape::strings) strings.emplace_back();
            if (shape == Shape::lists) offsets.push_back(strings.size());
            continue;
        }
        if (PyUnicode_Check(v)) {
            if (shape == Shape::unknown) {
                shape = Shape::strings;
                strings.resize(i);
            }
            if (shape == Shape::strings) {
                strings.push_back(text(v));
            } else {
                shape = Shape::other;
            }
            continue;
        }
        const bool list = PyList_Check(v);
        if (!list && !PyTuple_Check(v)) {
            shape = Shape::other;
            continue;
        }
        if (shape == Shape::unknown) {
            shape = Shape::lists;
            offsets.reserve(n + 1);
            offsets.assign(i + 1, 0);
            strings.reserve(2 * n);
        }
        if (shape != Shape::lists) {
            shape = Shape::other;
            continue;
        }
        const Py_ssize_t size = list ? PyList_GET_SIZE(v) : PyTuple_GET_SIZE(v);
        for (Py_ssize_t k = 0; k < size && shape == Shape::lists; ++k) {
            PyObject* item = list ? PyList_GET_ITEM(v, k) : PyTuple_GET_ITEM(v, k);
            if (PyUnicode_Check(item)) {
                strings.push_back(text(item));
            } else {
                shape = Shape::other;
            }
        }
        offsets.push_back(strings.size());
    }
    if (shape == Shape::unknown || shape == Shape::strings) {
        strings.resize(n);
        b.add_strings(field, strings, present);
        return;
    }
    if (shape == Shape::lists) {
        b.add_string_lists(field, offsets, strings, present);
        return;
    }
    Converter c;
    std::vector<runtime::Value> values(n);
    for (std::size_t i = 0; i < n; ++i) {
        try {
            present[i] = !missing(i, items[i]);
            if (present[i]) values[i] = c.value(items[i]);
        } catch (...) {
            raise_at(field, b.id(i));
        }
    }
    b.add_values(field, values, present);
}

// The items of a list, borrowed.
std::span<PyObject* const> items_of(const py::list& list) {
    return {PySequence_Fast_ITEMS(list.ptr()), static_cast<std::size_t>(PyList_GET_SIZE(list.ptr()))};
}

// The objects of a one-dimensional object array, borrowed (an empty span when it is not a
// contiguous one).
std::span<PyObject* const> objects_of(const py::array& a) {
    if (a.ndim() != 1 || a.dtype().kind() != 'O' || (a.size() > 1 && a.strides(0) != sizeof(PyObject*))) return {};
    return {static_cast<PyObject* const*>(a.data()), static_cast<std::size_t>(a.size())};
}

// An object column read on first use (reading millions of Python objects costs more than most
// questions need). It holds its own references to the column's entries, so that cells set in the
// frame after the pool was built are not seen; objects changed in place (a list appended to) are
// read as they are then.
class ObjectField final : public fe::DeferredField {
public:
    // `owned`: one strong reference per entry; or `items`, a tuple or an array of fixed-width
    // str not shared with the caller. `masked`: a byte per entry (1: not held), or empty.
    ObjectField(std::string field, runtime::LargeVector<PyObject*> owned, py::object items, std::vector<std::uint8_t> masked)
        : field_(std::move(field)), owned_(std::move(owned)), items_(std::move(items)), masked_(std::move(masked)) {}

    ~ObjectField() override {
        if (owned_.empty() && !items_) return;
        if (Py_IsInitialized() == 0 || _Py_IsFinalizing() != 0) {
            (void)items_.release();  // the interpreter is going: nothing to give back to
            return;
        }
        const py::gil_scoped_acquire gil;
        release();
    }

    void read(fe::ColumnarPoolBuilder& column) override {
        if (!items_) {
            add_objects(column, field_, owned_, masked_);
        } else if (PyTuple_Check(items_.ptr())) {
            add_objects(column, field_, {PySequence_Fast_ITEMS(items_.ptr()), static_cast<std::size_t>(PyTuple_GET_SIZE(items_.ptr()))},
                        masked_);
        } else {
            const py::list values(items_.attr("tolist")());
            add_objects(column, field_, items_of(values), masked_);
        }
        release();
    }

    // The interpreter's lock is taken after this field's own lock, never while waiting for it:
    // the thread reading may have to wait for the interpreter's lock while another holds it.
    void exclusive(const std::function<void()>& make) override {
        std::unique_lock lock(mutex_, std::defer_lock);
        if (PyGILState_Check() != 0) {
            const py::gil_scoped_release nogil;
            lock.lock();
        } else {
            lock.lock();
        }
        const py::gil_scoped_acquire gil;
        make();
    }

private:
    void release() {
        for (PyObject* o : owned_) Py_DECREF(o);
        owned_ = {};
        items_ = py::object();
        masked_ = {};
    }

    std::string field_;
    runtime::LargeVector<PyObject*> owned_;
    py::object items_;
    std::vector<std::uint8_t> masked_;
    std::mutex mutex_;
};

// Defers an object column (a list, a tuple, or an array of objects or of fixed-width str): its
// entries as they are now, read on first use.
void add_deferred_objects(fe::ColumnarPoolBuilder& b, const std::string& field, py::handle column,
                          std::vector<std::uint8_t> masked = {}) {
    runtime::LargeVector<PyObject*> owned;
    py::object items;
    const auto own = [&](std::span<PyObject* const> entries) {
        owned.assign(entries.begin(), entries.end());
        for (PyObject* o : owned) Py_INCREF(o);
    };
    if (PyTuple_Check(column.ptr())) {
        items = py::reinterpret_borrow<py::object>(column);
    } else if (PyList_Check(column.ptr())) {
        own(items_of(py::reinterpret_borrow<py::list>(column)));
    } else {
        const py::array array = py::reinterpret_borrow<py::array>(column);
        if (array.dtype().kind() != 'O') {
            items = numpy().attr("array")(array, "copy"_a = true);
        } else if (array.ndim() == 1) {
            own(objects_of(numpy().attr("ascontiguousarray")(array)));
        } else {
            own(items_of(py::list(array.attr("tolist")())));
        }
    }
    const std::size_t count = items ? static_cast<std::size_t>(py::len(items)) : owned.size();
    auto deferred = std::make_shared<ObjectField>(field, std::move(owned), std::move(items), std::move(masked));
    // The builder's own message for a column of the wrong size.
    if (count != b.size()) b.add_values(field, std::vector<runtime::Value>(count));
    b.add_deferred(field, std::move(deferred));
}

// Dates (and durations) as float seconds since the epoch, NaT as NaN. Units of a second or more
// are read as whole seconds; finer ones split into seconds and the rest, so that the seconds stay
// exact as far as a double holds them.
std::vector<double> seconds_of(const py::array& array) {
    const py::module_ np = numpy();
    const py::tuple unit = np.attr("datetime_data")(array.attr("dtype"));
    const std::string name = unit[0].cast<std::string>();
    const auto count = unit[1].cast<std::int64_t>();
    std::int64_t per_second = 0;  // ticks per second, for units finer than a second
    if (name == "ms") per_second = 1000;
    if (name == "us") per_second = 1000000;
    if (name == "ns") per_second = 1000000000;
    py::array ticks = array;
    if (per_second == 0 || count != 1) {
        // Whole seconds: coarse units (months and years have no fixed length) through numpy's own
        // conversion; picoseconds and finer, and multiples, are rounded down to seconds there too.
        ticks = array.attr("astype")(array.dtype().kind() == 'M' ? "datetime64[s]" : "timedelta64[s]");
        per_second = 1;
    }
    const auto values = span_of<std::int64_t>(contiguous(ticks.attr("view")("int64"), "int64"));
    std::vector<double> out(values.size());
    constexpr std::int64_t NOT_A_TIME = std::numeric_limits<std::int64_t>::min();
    for (std::size_t i = 0; i < values.size(); ++i) {
        const std::int64_t v = values[i];
        if (v == NOT_A_TIME) {
            out[i] = std::numeric_limits<double>::quiet_NaN();
            continue;
        }
        std::int64_t whole = v / per_second;
        std::int64_t rest = v % per_second;
        if (rest < 0) {
            --whole;
            rest += per_second;
        }
        out[i] = static_cast<double>(whole) + static_cast<double>(rest) / static_cast<double>(per_second);
    }
    return out;
}

void add_column(fe::ColumnarPoolBuilder& b, const std::string& field, py::handle column) {
    // A pandas Categorical (or a Series of one): dictionary codes and their categories.
    py::object categorical = py::reinterpret_borrow<py::object>(column);
    if (py::hasattr(column, "cat")) categorical = column.attr("cat");
    if (py::hasattr(categorical, "codes") && py::hasattr(categorical, "categories")) {
        std::vector<std::string> categories;
        for (const auto c : categorical.attr("categories")) {
            if (!PyUnicode_Check(c.ptr())) {
                throw py::type_error("categories of column '" + field + "' must be str, got " + type_name_of(c));
            }
            categories.push_back(utf8_string(c.ptr()));
        }
        // pandas keeps the codes in the narrowest integer type.
        const py::array codes = numpy().attr("asarray")(categorical.attr("codes"));
        const auto itemsize = codes.dtype().itemsize();
        if (codes.dtype().kind() == 'i' && itemsize == 1) {
            b.add_categorical(field, span_of<std::int8_t>(contiguous(codes, "int8")), categories);
        } else if (codes.dtype().kind() == 'i' && itemsize == 2) {
            b.add_categorical(field, span_of<std::int16_t>(contiguous(codes, "int16")), categories);
        } else {
            b.add_categorical(field, span_of<std::int32_t>(contiguous(codes, "int32")), categories);
        }
        return;
    }
    if (PyList_Check(column.ptr()) || PyTuple_Check(column.ptr())) {
        add_deferred_objects(b, field, column);
        return;
    }
    // A masked array: its masked entries are not held.
    const py::module_ np = numpy();
    // A pandas column of dates with a time zone: the same instants in UTC, without the zone.
    if (py::hasattr(column, "dt") && !py::getattr(column.attr("dtype"), "tz", py::none()).is_none()) {
        add_column(b, field, column.attr("dt").attr("tz_convert")("UTC").attr("dt").attr("tz_localize")(py::none()));
        return;
    }
    std::vector<std::uint8_t> present;
    py::object data = py::reinterpret_borrow<py::object>(column);
    if (np.attr("ma").attr("isMaskedArray")(column).cast<bool>()) {
        const py::array mask = contiguous(np.attr("ma").attr("getmaskarray")(column), "uint8");
        const auto masked = span_of<std::uint8_t>(mask);
        present.resize(masked.size());
        for (std::size_t i = 0; i < masked.size(); ++i) present[i] = masked[i] == 0 ? 1 : 0;
        data = np.attr("ma").attr("getdata")(column);
    }
    const py::array array = np.attr("asarray")(data);
    const char kind = py::str(array.attr("dtype").attr("kind")).cast<std::string>()[0];
    switch (kind) {
        case 'f':
            b.add_float64(field, span_of<double>(contiguous(array, "float64")), present);
            return;
        case 'u':
            // uint64 values from 2**63 on have no int64: refused rather than wrapped.
            if (array.size() > 0 && array.attr("dtype").attr("itemsize").cast<int>() == 8 &&
                np.attr("any")(array.attr("__ge__")(py::int_(std::uint64_t{1} << 63))).cast<bool>()) {
                throw py::value_error("column '" + field + "' holds unsigned integers from 2**63 on, which do not fit in 64 bits (the library's integers are 64-bit)");
            }
            [[fallthrough]];
        case 'i':
            b.add_int64(field, span_of<std::int64_t>(contiguous(array, "int64")), present);
            return;
        case 'b':
            b.add_bool(field, span_of<std::uint8_t>(contiguous(array.attr("view")("uint8"), "uint8")), present);
            return;
        case 'M':
        case 'm':
            b.add_float64(field, seconds_of(array), present);
            return;
        case 'O':
        case 'U': {
            std::vector<std::uint8_t> masked(present.size());
            for (std::size_t i = 0; i < present.size(); ++i) masked[i] = present[i] == 0 ? 1 : 0;
            add_deferred_objects(b, field, array, std::move(masked));
            return;
        }
        default:
            throw py::type_error("column '" + field + "' has dtype " + py::str(array.attr("dtype")).cast<std::string>() +
                                 "; columns are float, int, bool, str, dates, lists of str, categorical or object");
    }
}

ColumnPool build(py::handle ids, py::handle columns) {
    ColumnPool out;
    // The ids of an object array are read in place; any other iterable is listed first.
    py::object listed;
    std::span<PyObject* const> given;
    if (py::isinstance<py::array>(ids) || py::hasattr(ids, "dtype")) {
        const py::array array = numpy().attr("asarray")(ids);
        given = objects_of(array);
        if (!given.empty()) listed = array;
    }
    if (!listed) {
        listed = py::list(py::reinterpret_borrow<py::object>(ids));
        given = items_of(py::reinterpret_borrow<py::list>(listed));
    }
    runtime::LargeVector<std::string_view> texts(given.size());
    std::vector<py::object> holders;  // encodings of ids with lone surrogates
    out.ids.reserve(given.size());
    for (std::size_t i = 0; i < given.size(); ++i) {
        PyObject* id = given[i];
        if (!PyUnicode_Check(id)) throw py::type_error("signal ids must be str, got " + type_name_of(id));
        py::object holder;
        texts[i] = utf8_of(id, holder);
        if (holder) holders.push_back(std::move(holder));
        // The caller's own str objects come back as passing ids (a str subclass as a str).
        out.ids.push_back(PyUnicode_CheckExact(id) ? py::reinterpret_borrow<py::object>(id)
                                                   : py::reinterpret_steal<py::object>(PyUnicode_FromObject(id)));
        if (!out.ids.back()) throw py::error_already_set();
    }
    fe::ColumnarPoolBuilder b(texts);
    holders.clear();
    if (!PyDict_Check(columns.ptr()) && !is_mapping(columns))
        throw py::type_error("columns must be a mapping of field name to column, got " + type_name_of(columns));
    for_each_item(columns, "columns", [&](py::handle name, py::handle column) {
        if (!PyUnicode_Check(name.ptr())) throw py::type_error("field names must be str, got " + type_name_of(name));
        add_column(b, utf8_string(name.ptr()), column);
    });
    out.pool = std::make_shared<const fe::SignalPool>(std::move(b).build());
    return out;
}

ColumnPool from_dataframe(py::handle frame, py::handle id_column) {
    py::object ids = id_column.is_none() ? py::object(frame.attr("index")) : py::object(frame[id_column]);
    py::dict columns;
    for (const auto name : frame.attr("columns")) {
        if (!id_column.is_none() && py::reinterpret_borrow<py::object>(name).equal(id_column)) continue;
        columns[name] = frame[name];
    }
    return build(ids, columns);
}

// The identifiers in pool order.
py::list pool_order(const ColumnPool& p) {
    py::list out(p.ids.size());
    for (std::size_t pos = 0; pos < p.ids.size(); ++pos) {
        PyObject* id = p.ids[pos].ptr();
        Py_INCREF(id);
        PyList_SET_ITEM(out.ptr(), static_cast<Py_ssize_t>(pos), id);
    }
    return out;
}

// The signal under a key, or nullptr (a key that is not a str is no signal's).
const fe::UsefulSignal* signal_of(const ColumnPool& p, py::handle id) {
    if (!PyUnicode_Check(id.ptr())) return nullptr;
    return p.pool->find(utf8_string(id.ptr()));
}

// The signals (or (id, signal) pairs) in pool order, as a list.
py::list pool_items(const ColumnPool& p, bool with_ids) {
    Exporter out;
    py::list items;
    const py::list ids = pool_order(p);
    for (std::size_t pos = 0; pos < ids.size(); ++pos) {
        py::object signal = out.signal(p.pool->signal(pos));
        items.append(with_ids ? py::object(py::make_tuple(ids[pos], signal)) : signal);
    }
    return items;
}

}  // namespace

const ColumnPool* column_pool_of(py::handle obj) {
    return py::isinstance<ColumnPool>(obj) ? &obj.cast<const ColumnPool&>() : nullptr;
}

void init_columns(py::module_& m) {
    py::class_<ColumnPool> cls(m, "ColumnPool",
                               "A signal pool built column-wise (no Python object per signal): a read-only mapping "
                               "id -> UsefulSignal (a collections.abc.Mapping), accepted wherever a pool dict is.");
    cls.def("__len__", [](const ColumnPool& p) { return p.pool->size(); })
        .def("__iter__", [](const ColumnPool& p) { return py::iter(pool_order(p)); })
        .def("__contains__", [](const ColumnPool& p, py::handle id) { return signal_of(p, id) != nullptr; })
        .def("__getitem__", [](const ColumnPool& p, py::handle id) {
            const fe::UsefulSignal* s = signal_of(p, id);
            if (s == nullptr) {
                PyErr_SetObject(PyExc_KeyError, id.ptr());
                throw py::error_already_set();
            }
            Exporter out;
            return out.signal(*s);
        })
        .def(
            "get",
            [](const ColumnPool& p, py::handle id, py::object fallback) -> py::object {
                const fe::UsefulSignal* s = signal_of(p, id);
                if (s == nullptr) return fallback;
                Exporter out;
                return out.signal(*s);
            },
            "key"_a, "default"_a = py::none())
        .def("keys", &pool_order)
        .def("values", [](const ColumnPool& p) { return pool_items(p, false); })
        .def("items", [](const ColumnPool& p) { return pool_items(p, true); })
        .def("__repr__", [](const ColumnPool& p) { return "<ColumnPool of " + std::to_string(p.pool->size()) + " signals>"; });
    py::module_::import("collections.abc").attr("Mapping").attr("register")(cls);

    m.def("pool_from_columns", &build, "ids"_a, "columns"_a,
          "A pool from the signals' ids and one array per field (numpy arrays of float, int or bool, "
          "sequences of str or of lists of str with None for not held, pandas Categoricals, or any values). "
          "Columns of objects are read the first time something needs them, from the entries they held here.");
    m.def("pool_from_dataframe", &from_dataframe, "frame"_a, "ids"_a = py::none(),
          "pool_from_columns over a pandas DataFrame: ids from the index, or from the column named by ids.");
}

}  // namespace brindlecap::python
