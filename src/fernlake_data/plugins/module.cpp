// The module `param`: its definition, creation from the import spec and
// execution, which builds every process-wide object, imports what the
// namespace binds and creates the class Parameter.
#define PARAM_SOURCE_ID 1

#include <Python.h>

#include "names.hpp"
#include "parameter_methods.hpp"
#include "shortcuts.hpp"
#include "source_positions.hpp"
#include "support/interpreter.hpp"
#include "support/method_function.hpp"
#include "support/process_state.hpp"

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
    PY_INT64_T current = PyInterpreterState_GetID(PyInterpreterState_Get());
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
param_create(PyObject *spec, PyModuleDef *) noexcept
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
                  built, PARAM_MODULE_NAME, shown);
    return PyErr_WarnEx(NULL, message, 1);
}

/// Registration: enters the module in the module table under its full
/// name, unless an entry of that name exists.
int
register_module(PyObject *module) noexcept
{
    PyObject *modules = PyImport_GetModuleDict();  // borrowed
    PyObject *present = PyDict_GetItemWithError(modules, str_module_name);
    if (present != NULL) {
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

/// Stores `value` (stolen) in the class namespace `ns`, a plain dictionary,
/// under `name`, whose hash the name table computed and the name keeps.
int
set_in_class_namespace(PyObject *ns, PyObject *name, PyObject *value) noexcept
{
    int result = PyDict_SetItem(ns, name, value);
    Py_DECREF(value);
    return result;
}

/// New reference: the annotations of a method annotated as returning
/// None, {"return": None}.
PyObject *
none_return_annotations() noexcept
{
    PyObject *annotations = PyDict_New();
    if (annotations != NULL
        && PyDict_SetItem(annotations, str_return, Py_None) < 0) {
        Py_CLEAR(annotations);
    }
    return annotations;
}

// ------------------------------------------------- steps of execution

/// What the steps of one execution share.
struct Execution {
    PyObject *module;
    PyObject *class_namespace = nullptr;  // owned while the class is made
    int line = 0;  // source line of a failure of the running step
};

// Each step returns 0, or the implementation position of its failure with
// an exception set. A step whose failures have several source lines sets
// `line` itself.

int
hold_namespace(Execution &x) noexcept
{
    PyObject *ns = PyModule_GetDict(x.module);  // borrowed
    if (ns == NULL || support::init(ns) < 0) {
        return IMPL_POS;
    }
    return 0;
}

int
set_builtins(Execution &x) noexcept
{
    if (PyObject_SetAttrString(x.module, "__builtins__",
                               support::builtins_module) < 0) {
        return IMPL_POS;
    }
    return 0;
}

int
make_names(Execution &) noexcept
{
    return build_names() < 0 ? IMPL_POS : 0;
}

int
register_step(Execution &x) noexcept
{
    return register_module(x.module) < 0 ? IMPL_POS : 0;
}

int
cache_builtins_step(Execution &) noexcept
{
    return cache_builtins() < 0 ? IMPL_POS : 0;
}

int
make_constants(Execution &) noexcept
{
    return build_constants() < 0 ? IMPL_POS : 0;
}

int
import_numpy(Execution &) noexcept
{
    return import_as(str_numpy, str_np) < 0 ? IMPL_POS : 0;
}

int
import_pandas(Execution &) noexcept
{
    return import_as(str_pandas, str_pd) < 0 ? IMPL_POS : 0;
}

int
import_os_sys_re(Execution &) noexcept
{
    if (import_as(str_os, str_os) < 0) {
        return IMPL_POS;
    }
    if (import_as(str_sys, str_sys) < 0) {
        return IMPL_POS;
    }
    if (import_as(str_re, str_re) < 0) {
        return IMPL_POS;
    }
    return 0;
}

int
capture_step(Execution &) noexcept
{
    return capture_shortcuts() < 0 ? IMPL_POS : 0;
}

/// The class namespace, a plain dictionary with `__module__` and
/// `__qualname__`.
int
make_class_namespace(Execution &x) noexcept
{
    x.class_namespace = PyDict_New();
    if (x.class_namespace == NULL) {
        return IMPL_POS;
    }
    if (PyObject_SetItem(x.class_namespace, str___module__, str_module_name)
        < 0) {
        return IMPL_POS;
    }
    if (PyObject_SetItem(x.class_namespace, str___qualname__, str_Parameter)
        < 0) {
        return IMPL_POS;
    }
    return 0;
}

/// A function object per method, stored in the class namespace; failures
/// report the line of the method's definition.
int
add_methods(Execution &x) noexcept
{
    [[maybe_unused]] int previous_line = 0;
    for (support::MethodRecord *m : parameter_methods) {
        assert(m->line > previous_line);  // the order of the definitions
        previous_line = m->line;
        x.line = m->line;
        PyObject *annotations = NULL;
        if (m->returns_none) {
            annotations = none_return_annotations();
            if (annotations == NULL) {
                return IMPL_POS;
            }
        }
        PyObject *func =
            support::mf_new(&m->def, 0, *m->qualname, NULL, str_module_name,
                            support::module_namespace, m->code);
        if (func == NULL) {
            Py_XDECREF(annotations);
            return IMPL_POS;
        }
        if (annotations != NULL) {
            support::mf_set_annotations(func, annotations);
        }
        if (set_in_class_namespace(x.class_namespace, *m->name, func) < 0) {
            return IMPL_POS;
        }
    }
    return 0;
}

/// The class, made by calling `type` with the class namespace, and bound
/// in the module namespace.
int
make_class(Execution &x) noexcept
{
    PyObject *args =
        PyTuple_Pack(3, str_Parameter, empty_tuple, x.class_namespace);
    if (args == NULL) {
        return IMPL_POS;
    }
    PyObject *cls = PyObject_Call((PyObject *)&PyType_Type, args, NULL);
    Py_DECREF(args);
    if (cls == NULL) {
        return IMPL_POS;
    }
    if (adopt_class(cls) < 0) {
        Py_DECREF(cls);
        return IMPL_POS;
    }
    int stored = PyDict_SetItem(support::module_namespace, str_Parameter, cls);
    Py_DECREF(cls);
    Py_CLEAR(x.class_namespace);
    return stored < 0 ? IMPL_POS : 0;
}

int
add_test_dict(Execution &) noexcept
{
    PyObject *test = PyDict_New();
    if (test == NULL) {
        return IMPL_POS;
    }
    int stored = PyDict_SetItem(support::module_namespace, str___test__, test);
    Py_DECREF(test);
    return stored < 0 ? IMPL_POS : 0;
}

/// The steps of execution once the module reference is set, in order, with
/// the source line of their failures.
const struct {
    int (*run)(Execution &) noexcept;
    int line;
} exec_steps[] = {
    {hold_namespace, 1},  // the namespace, builtins, runtime support module
    {set_builtins, 1},
    {make_names, 1},
    {register_step, 1},
    {cache_builtins_step, 1},
    {make_constants, 1},
    {import_numpy, 1},
    {import_pandas, 2},
    {import_os_sys_re, 4},
    {capture_step, 4},
    {make_class_namespace, 7},
    {add_methods, 7},
    {make_class, 7},
    {add_test_dict, 1},
};

/// Re-execution: the ready module is ready; any other module object is
/// refused.
int
check_reexecution(PyObject *module) noexcept
{
    if (module_ref == module) {
        return 0;
    }
    PyErr_SetString(PyExc_RuntimeError,
                    "Module 'param' has already been imported. "
                    "Re-initialisation is not supported.");
    return -1;
}

int
param_exec(PyObject *module) noexcept
{
    if (module_ref != NULL) {
        return check_reexecution(module);
    }
    // Until the namespace exists a failure carries no traceback entry.
    if (check_version() < 0 || build_empty_tuple() < 0
        || support::obtain_method_function_type() < 0) {
        assert(PyErr_Occurred());
        return -1;
    }
    Py_INCREF(module);
    module_ref = module;
    Execution x{module};
    for (const auto &step : exec_steps) {
        x.line = step.line;
        int pos = step.run(x);
        if (pos != 0) {
            assert(PyErr_Occurred());
            Py_CLEAR(x.class_namespace);
            if (support::module_namespace != NULL) {
                support::add_traceback(routine_init_module, pos, x.line);
            }
            Py_CLEAR(module_ref);
            return -1;
        }
    }
    return 0;
}

PyModuleDef_Slot param_slots[] = {
    {Py_mod_create, (void *)param_create},
    {Py_mod_exec, (void *)param_exec},
    FERNLAKE_ONE_INTERPRETER_SLOT  // one interpreter per process
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
PyInit_param(void) noexcept
{
    return PyModuleDef_Init(&fernlake::param_def);
}

PARAM_SOURCE_END;
