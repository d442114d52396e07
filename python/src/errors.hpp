#pragma once
// Errors across the boundary. Python errors raised by callables the library calls (operators,
// plug-ins, hooks) travel through C++ as carriers: runtime::Exception subclasses whose kind() is
// the Python type name and text() its str, or, for KeyboardInterrupt and SystemExit, a
// runtime::Interrupt that no guard turns into a verdict. At the boundary the original Python
// exception object is raised again; C++ errors become the module's error classes or Python's
// own kinds with the same message.

#include <memory>

#include "common.hpp"

namespace brindlecap::python {

// A fetched Python error (type, value, traceback), released under the GIL.
struct PyErrorState {
    py::object type;
    py::object value;
    py::object trace;
    PyErrorState() = default;
    PyErrorState(const PyErrorState&) = delete;
    PyErrorState& operator=(const PyErrorState&) = delete;
    ~PyErrorState();
};

// Mixed into every carrier.
class PythonOrigin {
public:
    explicit PythonOrigin(std::shared_ptr<PyErrorState> state) : state_(std::move(state)) {}
    virtual ~PythonOrigin() = default;
    const std::shared_ptr<PyErrorState>& state() const noexcept { return state_; }
    // Makes the error current again in the interpreter (GIL held).
    void restore() const;

private:
    std::shared_ptr<PyErrorState> state_;
};

// Throws the Python error that is current (GIL held) as its carrier.
[[noreturn]] void throw_python_error();
// The same for an error pybind11 has already fetched.
[[noreturn]] void throw_python_error(py::error_already_set& e);

// Runs f with the GIL (taken when the thread lacks it), turning Python errors into their
// carriers: for code the library calls (operators, plug-ins, hooks).
template <class F>
auto in_python(F&& f) -> decltype(f()) {
    py::gil_scoped_acquire gil;
    try {
        return f();
    } catch (py::error_already_set& e) {
        throw_python_error(e);
    } catch (py::builtin_exception& e) {
        e.set_error();
        throw_python_error();
    }
}

// The Python exception instance of a C++ error (the original object for a carrier); for
// exc_info and plug-in evidence.
py::object python_exception_of(const std::exception& e);

// The module's four error classes, created at import.
struct ModuleErrors {
    py::object empty_pool;
    py::object filter_validation;
    py::object filtration_subset;
    py::object empty_filtration;
};
const ModuleErrors& module_errors();

// Creates the error classes in `m` and installs the translator of C++ errors and the library's
// interrupt check (Python's pending signals, so that Ctrl-C ends a run while C++ works without
// the GIL).
void init_errors(py::module_& m);

}  // namespace brindlecap::python
