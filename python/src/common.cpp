#include "common.hpp"

#include <map>

namespace brindlecap::python {

namespace {

bool interpreter_gone() { return !Py_IsInitialized() || _Py_IsFinalizing(); }

struct GilDecref {
    void operator()(PyObject* obj) const {
        if (obj == nullptr || interpreter_gone()) return;
        if (PyGILState_Check()) {
            Py_DECREF(obj);
            return;
        }
        const PyGILState_STATE state = PyGILState_Ensure();
        Py_DECREF(obj);
        PyGILState_Release(state);
    }
};

// Never destroyed: the interpreter may be gone by the time static objects are.
std::map<std::string, py::module_, std::less<>>& submodules() {
    static auto* modules = new std::map<std::string, py::module_, std::less<>>;
    return *modules;
}

}  // namespace

PyRef share(py::handle obj) { return PyRef(obj.inc_ref().ptr(), GilDecref{}); }

PyObject* shared_object(const std::shared_ptr<const void>& owner) {
    if (std::get_deleter<GilDecref>(owner) == nullptr) return nullptr;
    return static_cast<PyObject*>(const_cast<void*>(owner.get()));
}

py::module_ native_submodule(const char* name) {
    const auto it = submodules().find(std::string_view(name));
    if (it == submodules().end()) throw std::logic_error(std::string("no submodule ") + name);
    return it->second;
}

void register_submodule(const char* name, py::module_ module) { submodules().emplace(name, std::move(module)); }

py::object host_module(const char* name) {
    if (PyObject* imported = PyImport_GetModule(py::str(name).ptr())) return py::reinterpret_steal<py::object>(imported);
    if (PyErr_Occurred()) throw py::error_already_set();
    const std::string_view full(name);
    return native_submodule(std::string(full.substr(full.rfind('.') + 1)).c_str());
}

std::string type_name_of(py::handle obj) {
    const auto name = py::reinterpret_steal<py::object>(PyType_GetName(Py_TYPE(obj.ptr())));
    if (!name) throw py::error_already_set();
    return name.cast<std::string>();
}

}  // namespace brindlecap::python
