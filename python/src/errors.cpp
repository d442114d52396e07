#include "errors.hpp"

#include <chrono>
#include <new>

#include <pythread.h>

#include "convert.hpp"
#include "records.hpp"

namespace brindlecap::python {

namespace {

ModuleErrors* errors_slot = nullptr;

// A library error raised by Python code, carrying the original exception object.
template <class Base>
class Carried : public Base, public PythonOrigin {
public:
    template <class... Args>
    explicit Carried(std::shared_ptr<PyErrorState> state, Args&&... args)
        : Base(std::forward<Args>(args)...), PythonOrigin(std::move(state)) {}
};

// KeyboardInterrupt, SystemExit and other errors outside Exception: they end the run.
class PyInterrupt : public runtime::Interrupt, public PythonOrigin {
public:
    explicit PyInterrupt(std::shared_ptr<PyErrorState> state) : PythonOrigin(std::move(state)) {}
};

// str(exc), or the placeholder Python's traceback printer uses when str() fails.
std::string text_of(py::handle exc) {
    PyObject* text = PyObject_Str(exc.ptr());
    if (text == nullptr) {
        PyErr_Clear();
        return "<exception str() failed>";
    }
    const auto owned = py::reinterpret_steal<py::object>(text);
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(text, &size);
    if (utf8 == nullptr) {
        PyErr_Clear();
        return "<exception str() failed>";
    }
    return std::string(utf8, static_cast<std::size_t>(size));
}

bool is_instance(py::handle obj, const py::object& cls) {
    return cls && PyObject_IsInstance(obj.ptr(), cls.ptr()) == 1;
}

[[noreturn]] void throw_state(std::shared_ptr<PyErrorState> state) {
    const py::handle exc = state->value;
    if (!PyErr_GivenExceptionMatches(exc.ptr(), PyExc_Exception)) throw PyInterrupt(std::move(state));
    const std::string text = text_of(exc);
    const ModuleErrors& m = module_errors();
    if (is_instance(exc, m.empty_filtration)) {
        std::vector<fe::FilterDiagnostic> diagnostics;
        try {
            diagnostics = diagnostics_of(exc.attr("filter_diagnostics"));
        } catch (const std::exception&) {
            PyErr_Clear();  // a diagnostics list the library cannot read stays with the Python error
        }
        throw Carried<fe::EmptyFiltrationError>(std::move(state), text, std::move(diagnostics));
    }
    if (is_instance(exc, m.empty_pool)) throw Carried<fe::EmptyPoolError>(std::move(state), text);
    if (is_instance(exc, m.filter_validation)) throw Carried<fe::FilterValidationError>(std::move(state), text);
    if (is_instance(exc, m.filtration_subset)) throw Carried<fe::FiltrationSubsetError>(std::move(state), text);
    if (PyErr_GivenExceptionMatches(exc.ptr(), PyExc_KeyError)) {
        const py::tuple args = exc.attr("args");
        if (args.size() == 1) {
            Value key;
            try {
                Converter c;
                key = c.value(args[0]);
            } catch (const std::exception&) {
                PyErr_Clear();
                key = opaque(args[0]);
            }
            throw Carried<runtime::KeyError>(std::move(state), std::move(key));
        }
    }
    throw Carried<runtime::Exception>(std::move(state), type_name_of(exc), text);
}

// Python runs signal handlers on its main thread only. There, at most every 20 ms, the check takes
// the GIL and lets Python run them; whatever they raise (KeyboardInterrupt) ends the run.
unsigned long main_thread = 0;
std::atomic<std::int64_t> next_signal_check{0};
constexpr std::int64_t SIGNAL_CHECK_PERIOD_NS = 20'000'000;

void check_python_signals() {
    if (PyThread_get_thread_ident() != main_thread) return;
    const std::int64_t now = std::chrono::steady_clock::now().time_since_epoch() / std::chrono::nanoseconds(1);
    if (now < next_signal_check.load(std::memory_order_relaxed)) return;
    next_signal_check.store(now + SIGNAL_CHECK_PERIOD_NS, std::memory_order_relaxed);
    if (!Py_IsInitialized() || _Py_IsFinalizing()) return;
    py::gil_scoped_acquire gil;
    if (PyErr_CheckSignals() == 0) return;
    py::error_already_set raised;
    auto state = std::make_shared<PyErrorState>();
    state->type = raised.type();
    state->value = raised.value();
    state->trace = raised.trace();
    throw PyInterrupt(std::move(state));
}

// The Python class of a library error kind: a builtin exception of that name, else RuntimeError.
py::object builtin_kind(const std::string& kind) {
    const py::dict builtins = py::module_::import("builtins").attr("__dict__");
    if (builtins.contains(kind)) {
        py::object cls = builtins[kind.c_str()];
        if (PyExceptionClass_Check(cls.ptr())) return cls;
    }
    return py::reinterpret_borrow<py::object>(PyExc_RuntimeError);
}

}  // namespace

PyErrorState::~PyErrorState() {
    if (!Py_IsInitialized() || _Py_IsFinalizing()) {
        type.release();
        value.release();
        trace.release();
        return;
    }
    if (PyGILState_Check()) return;
    const PyGILState_STATE gil = PyGILState_Ensure();
    type = py::object();
    value = py::object();
    trace = py::object();
    PyGILState_Release(gil);
}

void PythonOrigin::restore() const {
    PyErr_Restore(state_->type.inc_ref().ptr(), state_->value.inc_ref().ptr(), state_->trace.inc_ref().ptr());
}

void throw_python_error(py::error_already_set& e) {
    auto state = std::make_shared<PyErrorState>();
    state->type = e.type();
    state->value = e.value();
    state->trace = e.trace();
    // The exception object carries its traceback (exc_info of the log events, plug-in evidence).
    if (state->trace && PyExceptionInstance_Check(state->value.ptr())) {
        const auto known = py::reinterpret_steal<py::object>(PyException_GetTraceback(state->value.ptr()));
        if (!known) PyException_SetTraceback(state->value.ptr(), state->trace.ptr());
    }
    throw_state(std::move(state));
}

void throw_python_error() {
    py::error_already_set e;
    throw_python_error(e);
}

py::object python_exception_of(const std::exception& e) {
    if (const auto* origin = dynamic_cast<const PythonOrigin*>(&e)) return origin->state()->value;
    const ModuleErrors& m = module_errors();
    Exporter out;  // messages may quote strings with lone surrogates
    const auto text = [&out](const std::string& s) { return out.str(s); };
    if (const auto* x = dynamic_cast<const fe::EmptyFiltrationError*>(&e))
        return m.empty_filtration(text(x->message()), export_diagnostics(x->filter_diagnostics));
    if (const auto* x = dynamic_cast<const fe::EmptyPoolError*>(&e)) {
        return m.empty_pool(text(x->message()),
                            x->filter_diagnostics ? export_diagnostics(*x->filter_diagnostics) : py::none());
    }
    if (const auto* x = dynamic_cast<const fe::FilterValidationError*>(&e)) return m.filter_validation(text(x->message()));
    if (const auto* x = dynamic_cast<const fe::FiltrationSubsetError*>(&e)) return m.filtration_subset(text(x->message()));
    if (const auto* x = dynamic_cast<const runtime::KeyError*>(&e)) {
        return py::reinterpret_borrow<py::object>(PyExc_KeyError)(out.value(x->key()));
    }
    if (dynamic_cast<const runtime::Interrupt*>(&e) != nullptr)
        return py::reinterpret_borrow<py::object>(PyExc_KeyboardInterrupt)();
    if (dynamic_cast<const std::bad_alloc*>(&e) != nullptr)
        return py::reinterpret_borrow<py::object>(PyExc_MemoryError)();
    if (const auto* x = dynamic_cast<const runtime::Exception*>(&e)) {
        const py::object cls = builtin_kind(x->kind());
        if (x->message().empty() && x->kind() == "AssertionError") return cls();  // what `assert` raises
        if (cls.is(py::handle(PyExc_RuntimeError)) && x->kind() != "RuntimeError")
            return cls(text(x->kind() + ": " + x->message()));
        return cls(text(x->message()));
    }
    return py::reinterpret_borrow<py::object>(PyExc_RuntimeError)(text(e.what()));
}

const ModuleErrors& module_errors() { return *errors_slot; }

void init_errors(py::module_& m) {
    errors_slot = new ModuleErrors;  // never destroyed (see common.cpp)
    const auto make = [&m](const char* name, const char* doc) {
        const std::string qualified = std::string(FE_MODULE) + "." + name;
        auto cls = py::reinterpret_steal<py::object>(
            PyErr_NewExceptionWithDoc(qualified.c_str(), doc, PyExc_Exception, nullptr));
        if (!cls) throw py::error_already_set();
        m.attr(name) = cls;
        return cls;
    };
    ModuleErrors& e = *errors_slot;
    e.empty_pool = make("EmptyPoolError", "Raised when useful_signals dict is empty.");
    e.filter_validation = make("FilterValidationError", "Raised for filter tree validation errors.");
    e.filtration_subset =
        make("FiltrationSubsetError", "Raised when postprocessing detects invalid IDs or non-string elements.");
    e.empty_filtration = make("EmptyFiltrationError", "Raised when 0 signals pass the complete filter tree.");

    const py::object exception_init = py::module_::import("builtins").attr("Exception").attr("__init__");
    // filter_diagnostics exactly as passed (None by default).
    e.empty_pool.attr("__init__") = py::cpp_function(
        [exception_init](py::handle self, py::object message, py::object filter_diagnostics) {
            exception_init(self, message);
            self.attr("filter_diagnostics") = filter_diagnostics;
        },
        py::is_method(e.empty_pool), py::arg("message") = "", py::arg("filter_diagnostics") = py::none());
    // A non-empty list is kept as that very list; empty or None becomes a new empty list.
    e.empty_filtration.attr("__init__") = py::cpp_function(
        [exception_init](py::handle self, py::object message, py::object filter_diagnostics) {
            exception_init(self, message);
            self.attr("filter_diagnostics") =
                filter_diagnostics && PyObject_IsTrue(filter_diagnostics.ptr()) == 1 ? filter_diagnostics
                                                                                      : py::list();
        },
        py::is_method(e.empty_filtration), py::arg("message"), py::arg("filter_diagnostics") = py::none());

    main_thread = py::module_::import("threading").attr("main_thread")().attr("ident").cast<unsigned long>();
    runtime::set_interrupt_check(&check_python_signals);

    py::register_exception_translator([](std::exception_ptr p) {
        try {
            if (p) std::rethrow_exception(p);
        } catch (const PythonOrigin& origin) {
            origin.restore();
        } catch (const runtime::Exception& x) {
            const py::object exc = python_exception_of(x);
            PyErr_SetObject(reinterpret_cast<PyObject*>(Py_TYPE(exc.ptr())), exc.ptr());
        } catch (const runtime::Interrupt&) {
            PyErr_SetNone(PyExc_KeyboardInterrupt);
        }
    });
}

}  // namespace brindlecap::python
