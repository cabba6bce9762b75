#include "process_state.hpp"

namespace fernlake::support {

PyObject *module_namespace = nullptr;
PyObject *builtins_module = nullptr;
PyObject *runtime_module = nullptr;
PyObject *switch_name = nullptr;

namespace {

/// Holds a new reference to the module that `name` names in the module
/// table, creating an empty one when there is none.
int
hold_module(PyObject *&slot, const char *name) noexcept
{
    PyObject *module = PyImport_AddModule(name);  // borrowed
    if (module == NULL) {
        return -1;
    }
    Py_INCREF(module);
    set_process_ref(slot, module);
    return 0;
}

}  // namespace

int
init(PyObject *ns) noexcept
{
    Py_INCREF(ns);
    set_process_ref(module_namespace, ns);
    PyObject *name = PyUnicode_InternFromString("cline_in_traceback");
    if (name == NULL) {
        return -1;
    }
    set_process_ref(switch_name, name);
    if (PyObject_Hash(name) == -1) {
        return -1;
    }
    if (hold_module(builtins_module, "builtins") < 0) {
        return -1;
    }
    return hold_module(runtime_module, "korvel_runtime");
}

}  // namespace fernlake::support
