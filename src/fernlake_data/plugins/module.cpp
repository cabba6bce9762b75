// The module `param`: its definition, creation from the import spec and
// execution, which builds every process-wide object, imports what the
// namespace binds and creates the class Parameter.
#define PARAM_SOURCE_ID 1

#include <Python.h>
#include <frameobject.h>

#include "methods.hpp"
#include "names.hpp"
#include "routines.hpp"
#include "support/method_function.hpp"
#include "support/process.hpp"

namespace fernlake {

namespace {

// The interpreter that first created the module; no other may load it.
PY_INT64_T recorded_interpreter = -1;
// The module object, set while execution runs and once it succeeded.
PyObject *module_ref = nullptr;

// ----------------------------------------------------------- creation

/// Copies the spec's attribute `from` into `dict` under `to`. A missing
/// attribute is skipped, and so is None where `none_allowed` is false.
int
copy_spec_attr(PyObject *spec, PyObject *dict, const char *from,
               const char *to, bool none_allowed) noexcept
{
    PyObject *value = PyObject_GetAttrString(spec, from);
    if (value == NULL) {
        if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
            PyErr_Clear();
            return 0;
        }
        return -1;
    }
    int result = 0;
    if (none_allowed || value != Py_None) {
        result = PyDict_SetItemString(dict, to, value);
    }
    Py_DECREF(value);
    return result;
}

/// Only one interpreter per process may load the module.
int
check_interpreter() noexcept
{
    PY_INT64_T current = PyInterpreterState_GetID(PyThreadState_Get()->interp);
    if (recorded_interpreter == -1) {
        recorded_interpreter = current;
        if (current == -1) {
            return -1;
        }
    }
    else if (current != recorded_interpreter) {
        PyErr_SetString(PyExc_ImportError,
                        "Interpreter change detected - this module can only "
                        "be loaded into one interpreter per process.");
        return -1;
    }
    return 0;
}

PyObject *
param_create(PyObject *spec, PyModuleDef *)
{
    if (check_interpreter() < 0) {
        return NULL;
    }
    if (module_ref != NULL) {
        Py_INCREF(module_ref);
        return module_ref;
    }
    PyObject *name = PyObject_GetAttrString(spec, "name");
    if (name == NULL) {
        return NULL;
    }
    PyObject *module = PyModule_NewObject(name);
    Py_DECREF(name);
    if (module == NULL) {
        return NULL;
    }
    PyObject *dict = PyModule_GetDict(module);
    if (dict == NULL
        || copy_spec_attr(spec, dict, "loader", "__loader__", true) < 0
        || copy_spec_attr(spec, dict, "origin", "__file__", true) < 0
        || copy_spec_attr(spec, dict, "parent", "__package__", true) < 0
        || copy_spec_attr(spec, dict, "submodule_search_locations",
                          "__path__", false) < 0) {
        Py_DECREF(module);
        return NULL;
    }
    return module;
}

// ---------------------------------------------------------- execution

/// Warns when the running interpreter is not the one the module was built
/// for. 0, or -1 when the warning is turned into an exception.
int
check_version() noexcept
{
    char built[5];
    PyOS_snprintf(built, sizeof(built), "%d.%d", PY_MAJOR_VERSION,
                  PY_MINOR_VERSION);
    const char *running = Py_GetVersion();
    bool same = true;
    for (int i = 0; i < 4; i++) {
        if (built[i] != running[i]) {
            // The end of the built text matches where no digit follows.
            same = built[i] == '\0'
                   && !(running[i] >= '0' && running[i] <= '9');
            break;
        }
    }
    if (same) {
        return 0;
    }
    char shown[5] = {0};
    bool dot = false;
    for (int i = 0; i < 4; i++) {
        char c = running[i];
        if (c == '.' && !dot) {
            dot = true;
        }
        else if (!(c >= '0' && c <= '9')) {
            break;
        }
        shown[i] = c;
    }
    char message[200];
    PyOS_snprintf(message, sizeof(message),
                  "compiletime version %s of module '%.100s' does not match "
                  "runtime version %s",
                  built, "fernlake_data.plugins.param", shown);
    return PyErr_WarnEx(NULL, message, 1);
}

/// Adopts the method function type shared through the registry, or readies
/// and enters the module's own. 0, or -1 with an exception set.
int
obtain_function_type() noexcept
{
    PyTypeObject *own = &support::MethodFunction_Type;
    PyObject *registry = PyImport_AddModule("_korvel_0_29_32");  // borrowed
    if (registry == NULL) {
        return -1;
    }
    Py_INCREF(registry);
    const char *type_name = own->tp_name;
    PyObject *found = PyObject_GetAttrString(registry, type_name);
    int result = -1;
    if (found != NULL) {
        if (!PyType_Check(found)) {
            PyErr_Format(PyExc_TypeError,
                         "Shared Korvel type %.200s is not a type object",
                         type_name);
        }
        else if (((PyTypeObject *)found)->tp_basicsize
                 != own->tp_basicsize) {
            PyErr_Format(PyExc_TypeError,
                         "Shared Korvel type %.200s has the wrong size, "
                         "try recompiling",
                         type_name);
        }
        else if (PyType_HasFeature((PyTypeObject *)found,
                                   Py_TPFLAGS_HEAPTYPE)) {
            // A peer module registers a static type; a class made in Python
            // has none of its slots, whatever its size.
            PyErr_Format(PyExc_TypeError,
                         "Shared Korvel type %.200s is not a static type",
                         type_name);
        }
        else {
            Py_INCREF(found);
            Py_XSETREF(support::method_function_type, (PyTypeObject *)found);
            result = 0;
        }
        Py_DECREF(found);
    }
    else if (PyErr_ExceptionMatches(PyExc_AttributeError)) {
        PyErr_Clear();
        if (PyType_Ready(own) == 0
            && PyObject_SetAttrString(registry, type_name, (PyObject *)own)
                   == 0) {
            Py_INCREF(own);
            Py_XSETREF(support::method_function_type, own);
            result = 0;
        }
    }
    Py_DECREF(registry);
    return result;
}

/// Holds a new reference to the module that `name` names in the module
/// table, creating an empty one when there is none.
int
hold_module(PyObject *&target, const char *name) noexcept
{
    PyObject *module = PyImport_AddModule(name);  // borrowed
    if (module == NULL) {
        return -1;
    }
    Py_INCREF(module);
    support::set_process_ref(target, module);
    return 0;
}

/// Enters the module in the module table under its full name, unless an
/// entry of that name exists.
int
register_module(PyObject *module) noexcept
{
    PyObject *modules = PyImport_GetModuleDict();  // borrowed
    PyObject *entry = PyDict_GetItemWithError(modules, str_module_name);
    if (entry != NULL) {
        return 0;
    }
    if (PyErr_Occurred()) {
        return -1;
    }
    return PyDict_SetItem(modules, str_module_name, module);
}

/// Imports `name` absolutely and binds it in the namespace as `alias`.
int
import_as(PyObject *name, PyObject *alias) noexcept
{
    PyObject *ns = support::module_namespace;
    PyObject *locals = PyDict_New();
    if (locals == NULL) {
        return -1;
    }
    PyObject *fromlist = PyList_New(0);
    if (fromlist == NULL) {
        Py_DECREF(locals);
        return -1;
    }
    PyObject *module =
        PyImport_ImportModuleLevelObject(name, ns, locals, fromlist, 0);
    Py_DECREF(locals);
    Py_DECREF(fromlist);
    if (module == NULL) {
        return -1;
    }
    int result = PyDict_SetItem(ns, alias, module);
    Py_DECREF(module);
    return result;
}

/// Creates the function object of one method and stores it in the class
/// namespace `ns` under its name. `annotations` is stolen (may be null).
int
add_method(PyObject *ns, PyMethodDef *ml, PyObject *name,
           PyObject *qualname, PyObject *code,
           PyObject *annotations) noexcept
{
    PyObject *func =
        support::mf_new(ml, 0, qualname, NULL, str_module_name,
                        support::module_namespace, code);
    if (func == NULL) {
        Py_XDECREF(annotations);
        return -1;
    }
    if (annotations != NULL) {
        support::mf_set_annotations(func, annotations);
    }
    int result;
    if (PyDict_CheckExact(ns)) {
        result = _PyDict_SetItem_KnownHash(ns, name, func,
                                           ((PyASCIIObject *)name)->hash);
    }
    else {
        result = PyObject_SetItem(ns, name, func);
    }
    Py_DECREF(func);
    return result;
}

/// New reference: the annotations of __init__, {"return": None}.
PyObject *
init_annotations() noexcept
{
    PyObject *annotations = PyDict_New();
    if (annotations != NULL
        && PyDict_SetItem(annotations, str_return, Py_None) < 0) {
        Py_CLEAR(annotations);
    }
    return annotations;
}

/// New reference: the class Parameter, made by calling `type` with the
/// class namespace `ns`.
PyObject *
make_class(PyObject *ns) noexcept
{
    PyObject *args = PyTuple_Pack(3, str_Parameter, empty_tuple, ns);
    if (args == NULL) {
        return NULL;
    }
    PyObject *cls = PyObject_Call((PyObject *)&PyType_Type, args, NULL);
    Py_DECREF(args);
    return cls;
}

int
param_exec(PyObject *module)
{
    PyObject *ns = NULL, *cls = NULL, *test = NULL;
    int pos, line;

    if (module_ref != NULL) {
        if (module_ref == module) {
            return 0;
        }
        PyErr_SetString(PyExc_RuntimeError,
                        "Module 'param' has already been imported. "
                        "Re-initialisation is not supported.");
        return -1;
    }
    // Until the namespace exists a failure carries no traceback entry.
    if (check_version() < 0) {
        goto early_error;
    }
    support::frame_slot_offset =
        PyFrame_Type.tp_basicsize - (Py_ssize_t)sizeof(PyObject *);
    if (build_empties() < 0 || obtain_function_type() < 0) {
        goto early_error;
    }

    line = 1;
    Py_INCREF(module);
    module_ref = module;
    {
        PyObject *dict = PyModule_GetDict(module);  // borrowed
        if (dict == NULL) {
            pos = IMPL_POS;
            goto error;
        }
        Py_INCREF(dict);
        support::set_process_ref(support::module_namespace, dict);
    }
    if (hold_module(support::builtins_module, "builtins") < 0) {
        pos = IMPL_POS;
        goto error;
    }
    if (hold_module(support::runtime_module, "korvel_runtime") < 0) {
        pos = IMPL_POS;
        goto error;
    }
    if (PyObject_SetAttrString(module, "__builtins__",
                               support::builtins_module) < 0) {
        pos = IMPL_POS;
        goto error;
    }
    if (build_names() < 0) {
        pos = IMPL_POS;
        goto error;
    }
    Py_INCREF(str_cline_in_traceback);
    support::set_process_ref(support::switch_name, str_cline_in_traceback);
    if (register_module(module) < 0) {
        pos = IMPL_POS;
        goto error;
    }
    if (cache_builtins() < 0) {
        pos = IMPL_POS;
        goto error;
    }
    if (build_constants() < 0) {
        pos = IMPL_POS;
        goto error;
    }

    line = 1;
    if (import_as(str_numpy, str_np) < 0) {
        pos = IMPL_POS;
        goto error;
    }
    line = 2;
    if (import_as(str_pandas, str_pd) < 0) {
        pos = IMPL_POS;
        goto error;
    }
    line = 4;
    if (import_as(str_os, str_os) < 0) {
        pos = IMPL_POS;
        goto error;
    }
    if (import_as(str_sys, str_sys) < 0) {
        pos = IMPL_POS;
        goto error;
    }
    if (import_as(str_re, str_re) < 0) {
        pos = IMPL_POS;
        goto error;
    }

    line = 7;
    ns = PyDict_New();
    if (ns == NULL) {
        pos = IMPL_POS;
        goto error;
    }
    if (PyObject_SetItem(ns, str___module__, str_module_name) < 0) {
        pos = IMPL_POS;
        goto error;
    }
    if (PyObject_SetItem(ns, str___qualname__, str_Parameter) < 0) {
        pos = IMPL_POS;
        goto error;
    }
    line = 8;
    {
        PyObject *annotations = init_annotations();
        if (annotations == NULL) {
            pos = IMPL_POS;
            goto error;
        }
        if (add_method(ns, &method___init__, str___init__,
                       str_Parameter___init__, code___init__,
                       annotations) < 0) {
            pos = IMPL_POS;
            goto error;
        }
    }
    line = 12;
    if (add_method(ns, &method___getitem__, str___getitem__,
                   str_Parameter___getitem__, code___getitem__, NULL) < 0) {
        pos = IMPL_POS;
        goto error;
    }
    line = 17;
    if (add_method(ns, &method___setitem__, str___setitem__,
                   str_Parameter___setitem__, code___setitem__, NULL) < 0) {
        pos = IMPL_POS;
        goto error;
    }
    line = 20;
    if (add_method(ns, &method_read_param, str_read_param,
                   str_Parameter_read_param, code_read_param, NULL) < 0) {
        pos = IMPL_POS;
        goto error;
    }
    line = 7;
    cls = make_class(ns);
    if (cls == NULL) {
        pos = IMPL_POS;
        goto error;
    }
    if (PyDict_SetItem(support::module_namespace, str_Parameter, cls) < 0) {
        pos = IMPL_POS;
        goto error;
    }
    Py_CLEAR(cls);
    Py_CLEAR(ns);

    line = 1;
    test = PyDict_New();
    if (test == NULL) {
        pos = IMPL_POS;
        goto error;
    }
    if (PyDict_SetItem(support::module_namespace, str___test__, test) < 0) {
        pos = IMPL_POS;
        goto error;
    }
    Py_DECREF(test);
    return 0;

error:
    Py_XDECREF(cls);
    Py_XDECREF(ns);
    Py_XDECREF(test);
    if (support::module_namespace != NULL) {
        support::add_traceback(routine_init_module, pos, line);
    }
    Py_CLEAR(module_ref);
    return -1;

early_error:
    if (!PyErr_Occurred()) {
        PyErr_SetString(PyExc_ImportError, "init fernlake_data.plugins.param");
    }
    return -1;
}

PyModuleDef_Slot param_slots[] = {
    {Py_mod_create, (void *)param_create},
    {Py_mod_exec, (void *)param_exec},
    {0, NULL},
};

PyMethodDef param_methods[] = {
    {NULL, NULL, 0, NULL},
};

PyModuleDef param_def = {
    PyModuleDef_HEAD_INIT,
    "param",       /* m_name */
    NULL,          /* m_doc */
    0,             /* m_size */
    param_methods, /* m_methods */
    param_slots,   /* m_slots */
    NULL,          /* m_traverse */
    NULL,          /* m_clear */
    NULL,          /* m_free */
};

}  // namespace

}  // namespace fernlake

PyMODINIT_FUNC
PyInit_param(void)
{
    return PyModuleDef_Init(&fernlake::param_def);
}

PARAM_SOURCE_END;
